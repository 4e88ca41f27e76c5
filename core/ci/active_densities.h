#pragma once
// Spin-summed one- and two-particle densities of a CI vector over the active
// window, and the active-space energy they give with any set of window
// orbitals: E = sum h_pq g_pq + 1/2 sum (pq|rs) G_pqrs. With the densities of
// a CI root held fixed, this is the root's energy at a nearby geometry to
// first order (the root is stationary in its CI vector), without building or
// diagonalising the CI matrix again.
#include <cstddef>
#include <span>
#include <vector>

#include "core/ci/active_integrals.h"
#include "core/ci/microstates.h"
#include "core/types/aligned.h"

namespace quorin {

// Most window orbitals the densities handle (one bit per orbital and spin).
inline constexpr std::size_t kMaxDensityOrbitals = 64;

struct ActiveDensities {
    Matrix one;               // n x n, g_pq = sum_s <a+_ps a_qs>
    std::vector<double> two;  // n^4, G_pqrs = sum_st <a+_ps a+_rt a_st a_qs> at ((p n + q) n + r) n + s
};

// Densities of the normalised vector `w` over `microstates` (alpha strings
// outer, beta inner, as generate_microstates makes them), in the spin-orbital
// order alpha 0, beta 0, alpha 1, ... of the CI matrix. Stops for more than
// kMaxDensityOrbitals orbitals.
ActiveDensities compute_active_densities(std::span<const Microstate> microstates, std::size_t n,
                                         std::span<const double> w);

// a - b, element by element, for densities of one window.
ActiveDensities difference(const ActiveDensities& a, const ActiveDensities& b);

// One-electron operator of the window without its own reference mean field:
// h_pq = F_pq - sum_k o_k (2 (pq|kk) - (pk|qk)), with F the SCF Fock matrix
// over the window orbitals and o the per-spin reference occupations. On the
// diagonal of canonical orbitals this is the CI's active orbital energy.
Matrix window_core_operator(const Matrix& fock, std::span<const double> reference_occupations,
                            const ActiveIntegrals& integrals);

// sum h_pq g_pq + 1/2 sum (pq|rs) G_pqrs.
double active_space_energy(const Matrix& h, const ActiveIntegrals& integrals, const ActiveDensities& densities);

}  // namespace quorin
