#pragma once
// d-orbital element data: the one-centre spd two-electron integrals from
// Slater-Condon radial integrals, and the charge separations and additive
// terms of the spd point-charge multipoles used by the d two-centre integrals.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/parameters/parameter_model.h"
#include "core/parameters/parameter_tables.h"

namespace quorin {

// F[i] = (i - 1)! for i = 1..30, F[0] = 0.
using FactorialTable = std::array<double, 31>;
// B[n][m] = C(n - 1, m - 1) for 1 <= m <= n <= 30, 0 elsewhere.
using PascalTable = std::array<std::array<double, 31>, 31>;

constexpr FactorialTable make_factorial_table() {
    FactorialTable f{};
    f[1] = 1.0;
    for (std::size_t i = 2; i < f.size(); ++i) f[i] = f[i - 1] * static_cast<double>(i - 1);
    return f;
}

constexpr PascalTable make_pascal_table() {
    PascalTable b{};
    for (std::size_t n = 1; n < b.size(); ++n) {
        b[n][1] = 1.0;
        b[n][n] = 1.0;
        for (std::size_t m = 2; m < n; ++m) b[n][m] = b[n - 1][m - 1] + b[n - 1][m];
    }
    return b;
}

// Principal quantum numbers of the sp and d shells used by the one-centre
// integrals and moments (0 where the table has none). Stops for Z > 107.
int d_table_n_sp(std::uint8_t atomic_number);
int d_table_n_d(std::uint8_t atomic_number);

// Radial Slater-Condon integral R^k (eV), electron 1 in (n_a, x_a)(n_b, x_b),
// electron 2 in (n_c, x_c)(n_d, x_d); exponents in bohr^-1. Stops when the
// quantum numbers leave the tables or the closed form has no finite value.
double rsc(int k, int n_a, int n_b, int n_c, int n_d, const FactorialTable& factorials, const PascalTable& pascal,
           double x_a, double x_b, double x_c, double x_d);

// The 12 radial integrals F0dd, F2dd, F4dd, F0sd, G2sd, F0pd, F2pd, G1pd,
// G3pd, R1sppd, R2sdpp, R2sddd (eV) of one atom.
std::array<double, 12> scprm(std::uint8_t atomic_number, const FactorialTable& factorials, const PascalTable& pascal,
                             double zeta_s, double zeta_p, double zeta_d);

// L-th radial moment between two normalised Slater functions (carries 2^L
// over the plain <r^L>, the length scale of the multipole separations).
double aijl(int n1, int n2, int l, const FactorialTable& factorials, double z1, double z2);

// Moments [0, 0, A_sp, A_pp, A_sd, A_pd, A_dd]; the d moments only with_d.
std::array<double, 7> aijm(std::uint8_t atomic_number, bool with_d, const FactorialTable& factorials, double zeta_s,
                           double zeta_p, double zeta_d);

// Charge separations [0..6] and additive terms [0..9] (bohr) of the spd
// multipoles, fitted to the one-centre integrals.
void ddpo(std::uint8_t atomic_number, bool with_d, const std::array<double, 7>& moments,
          const std::array<double, 53>& one_center_integrals, std::array<double, 7>& charge_separations,
          std::array<double, 10>& additive_terms, double g_ss, double h_sp, double g_pp, double g_p2);

// The full d record of one element. g_sp is accepted and not used.
DElementParams compute_d_element_params(std::uint8_t atomic_number, double zeta_s, double zeta_p, double zeta_d,
                                        double g_ss, double g_sp, double g_pp, double g_p2, double h_sp,
                                        double zeta_s_one_center, double zeta_p_one_center,
                                        double zeta_d_one_center, double f0_sd, double g2_sd, double rho_core);

// The 38 PM7 d-element rows, ascending in Z.
std::span<const tables::DElementRow> pm7_d_element_rows();

}  // namespace quorin
