#pragma once
// Two-centre two-electron integrals and electron-core terms of atom pairs
// with d orbitals, from point-charge multipoles of each orbital-pair charge
// distribution in the local pair frame (z' from A to B), and the PM7 shell
// averaging of the rotated block.
//
// Local blocks are SpdBlock values: cell [pA * 45 + pB] holds (ab|cd) for the
// packed local pairs pA = P(a,b) of A and pB = P(c,d) of B (positions as in
// d_rotation.h).
//
// Electron-core array E (eV): E[2k] A's distribution k in B's core field,
// E[2k+1] B's distribution k in A's core field; k = 0 ss, 1 s.p-sigma,
// 2 p-sigma p-sigma, 3 p-pi p-pi, 4 s.d-sigma, 5 p-sigma.d-sigma,
// 6 d-sigma d-sigma, 7 p-pi.d-pi, 8 d-pi d-pi, 9 d-delta d-delta.
#include <array>
#include <cstddef>
#include <span>

#include "core/integrals/d_rotation.h"

namespace quorin {

using DElectronCore = std::array<double, 20>;

// Klopman-Ohno interaction (1/bohr) of the real multipole components (l1, m)
// on A and (l2, m) on B, separations a_sep and b_sep, a_rho2 = (rho_A + rho_B)^2;
// r, separations and rho in bohr. Zero for combinations without a model.
double charg(int l1, int l2, int m, double r, double a_sep, double b_sep, double a_rho2);

// Local integral (ij|kl) in hartree for A's local orbitals i, j and B's k, l
// (positions 0..8). core_side 1 replaces A's ss monopole by its core, 2 B's.
double rijkl(std::span<const double, 10> additive_a, std::span<const double, 7> separations_a,
             std::span<const double, 10> additive_b, std::span<const double, 7> separations_b, std::size_t i,
             std::size_t j, std::size_t k, std::size_t l, int core_side, double r_bohr);

// Fills the local block (every cell, eV) from the 22 feathered sp local
// integrals and, when either atom has 9 orbitals, the d-containing cells;
// writes E[8..19] (zero first). Z are core charges.
void compute_reppd2(std::size_t n_a, std::size_t n_b, std::span<const double, 22> sp_local,
                    std::span<const double, 10> additive_a, std::span<const double, 7> separations_a,
                    std::span<const double, 10> additive_b, std::span<const double, 7> separations_b,
                    std::span<double, kSpdBlockSize> local, std::span<double, 20> electron_core,
                    bool use_feathering, double r_bohr, double core_charge_a, double core_charge_b);

// Shifts the d-shell diagonal cells of W (n_b(n_b+1)/2 columns) so that their
// averages equal W[ss][ss], and the p- and d-shell core attractions in E so
// that their averages equal the ss one.
void apply_pm7_d_correction(std::size_t n_a, std::size_t n_b, bool a_has_d, bool b_has_d,
                            std::span<double, kSpdBlockSize> w, std::span<double, 20> electron_core);

}  // namespace quorin
