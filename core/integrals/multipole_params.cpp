#include "core/integrals/multipole_params.h"

#include <algorithm>
#include <cmath>

#include "core/parameters/d_element_params.h"
#include "core/types/constants.h"

namespace quorin {

namespace {

// Principal quantum number of the valence shell by atomic number.
double valence_shell_n(std::uint8_t z) {
    if (z == 2) return 1.0;
    if (z >= 3 && z <= 10) return 2.0;
    if (z >= 11 && z <= 18) return 3.0;
    if (z >= 19 && z <= 36) return 4.0;
    if (z >= 37 && z <= 54) return 5.0;
    return 6.0;
}

// Secant search for f(a) = target from x0, x0 + 0.04: at most ten steps,
// stopping when two successive function values coincide.
template <typename F>
double secant_solve(F f, double target, double x0) {
    double x_old = x0;
    double x_cur = x0 + 0.04;
    double f_old = f(x_old);
    double f_cur = f(x_cur);
    for (int step = 0; step < 10; ++step) {
        if (std::abs(f_cur - f_old) < 1e-25) break;
        const double x_new = x_old + (target - f_old) * (x_cur - x_old) / (f_cur - f_old);
        x_old = x_cur;
        f_old = f_cur;
        x_cur = x_new;
        f_cur = f(x_cur);
    }
    return x_cur;
}

}  // namespace

DerivedMultipoleParams DerivedMultipoleParams::from_element(const ElementParams& element) {
    DerivedMultipoleParams out;
    out.atomic_number = element.atomic_number;
    const double am = element.g_ss / kHartreeToEv;
    out.am = am;
    out.rho0 = 0.5 / am;

    const double n = valence_shell_n(element.atomic_number);
    const double zs = element.zeta_s;
    const double zp = element.zeta_p;
    const bool has_sp_pair = element.atomic_number != 1 && zs > 0.0 && zp > 0.0;
    const double d1 = has_sp_pair ? (2.0 * n + 1.0) * std::pow(4.0 * zs * zp, n + 0.5) /
                                        (std::pow(zs + zp, 2.0 * n + 2.0) * 1.7320508075688772)
                                  : 0.0;

    // Hydrogen, and any element without a usable s and p exponent pair, is a
    // bare monopole: its dipole and quadrupole lengths would be undefined.
    if (!has_sp_pair || !(d1 > 0.0) || !std::isfinite(d1)) {
        out.ad = am;
        out.aq = am;
        return out;
    }

    const double d2 = std::sqrt((4.0 * n * n + 6.0 * n + 2.0) / 20.0) / zp;
    out.d1 = d1;
    out.d2 = d2;

    const double hsp = std::max(element.h_sp, 1e-7);
    const double hpp = std::max((element.g_pp - element.g_p2) / 2.0, 0.1);

    // Additive terms: the point-charge model reproduces h_sp and (g_pp - g_p2)/2
    // at zero separation.
    const auto dipole = [d1](double a) { return a / 2.0 - 1.0 / (2.0 * std::sqrt(4.0 * d1 * d1 + 1.0 / (a * a))); };
    const auto quadrupole = [d2](double a) {
        return a / 4.0 - 1.0 / (2.0 * std::sqrt(4.0 * d2 * d2 + 1.0 / (a * a))) +
               1.0 / (4.0 * std::sqrt(8.0 * d2 * d2 + 1.0 / (a * a)));
    };
    out.ad = secant_solve(dipole, hsp / kHartreeToEv, std::cbrt(hsp / (kHartreeToEv * d1 * d1)));
    out.aq = secant_solve(quadrupole, hpp / kHartreeToEv,
                          std::pow(4.0 * hpp / (d2 * d2 * d2 * d2 * 1306.146539807424), 0.2));
    out.rho1 = out.ad > 1e-5 ? 0.5 / out.ad : 0.0;
    out.rho2 = out.aq > 1e-5 ? 0.5 / out.aq : 0.0;
    return out;
}

AtomDistributions build_distributions(const DerivedMultipoleParams& p) {
    AtomDistributions d;
    const double d1 = p.d1;
    const double d2 = p.d2;
    d.ss.add(1.0, 0.0, 0.0, 0.0, p.rho0);
    d.sp_sigma.add(0.5, 0.0, 0.0, d1, p.rho1);
    d.sp_sigma.add(-0.5, 0.0, 0.0, -d1, p.rho1);
    d.sp_pi.add(0.5, d1, 0.0, 0.0, p.rho1);
    d.sp_pi.add(-0.5, -d1, 0.0, 0.0, p.rho1);
    d.pp_sigma.add(1.0, 0.0, 0.0, 0.0, p.rho0);
    d.pp_sigma.add(0.25, 0.0, 0.0, 2.0 * d2, p.rho2);
    d.pp_sigma.add(0.25, 0.0, 0.0, -2.0 * d2, p.rho2);
    d.pp_sigma.add(-0.5, 0.0, 0.0, 0.0, p.rho2);
    d.pp_pi.add(1.0, 0.0, 0.0, 0.0, p.rho0);
    d.pp_pi.add(0.25, 2.0 * d2, 0.0, 0.0, p.rho2);
    d.pp_pi.add(0.25, -2.0 * d2, 0.0, 0.0, p.rho2);
    d.pp_pi.add(-0.5, 0.0, 0.0, 0.0, p.rho2);
    d.pp_pi2.add(1.0, 0.0, 0.0, 0.0, p.rho0);
    d.pp_pi2.add(0.25, 0.0, 2.0 * d2, 0.0, p.rho2);
    d.pp_pi2.add(0.25, 0.0, -2.0 * d2, 0.0, p.rho2);
    d.pp_pi2.add(-0.5, 0.0, 0.0, 0.0, p.rho2);
    d.pp_pisigma.add(0.25, d2, 0.0, d2, p.rho2);
    d.pp_pisigma.add(0.25, -d2, 0.0, -d2, p.rho2);
    d.pp_pisigma.add(-0.25, d2, 0.0, -d2, p.rho2);
    d.pp_pisigma.add(-0.25, -d2, 0.0, d2, p.rho2);
    return d;
}

OnAtomDipoleIntegrals on_atom_dipole_integrals(const ElementParams& element, std::size_t n_orbitals) {
    OnAtomDipoleIntegrals out;
    if (element.atomic_number == 1 || n_orbitals < 4) return out;
    const auto add = [&out](int i, int j, int axis, double value) {
        out.entries[out.count++] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(j),
                                    static_cast<std::uint8_t>(axis), value};
    };
    const double d1 = DerivedMultipoleParams::from_element(element).d1;
    for (int k = 0; k < 3; ++k) add(0, 1 + k, k, d1);
    if (n_orbitals < 9) return out;
    constexpr FactorialTable kFactorials = make_factorial_table();
    const double a_pd = aijm(element.atomic_number, true, kFactorials, element.zeta_s, element.zeta_p,
                             element.zeta_d)[5];
    const double d_pd = a_pd / 4.47213595499958;  // 2 <r>_pd / sqrt(20)
    if (d_pd == 0.0) return out;
    // <p_i| n_k |d_j> of the real harmonics in units of 1/sqrt(5); AOs px 1,
    // py 2, pz 3, d(x2-y2) 4, d(xz) 5, d(z2) 6, d(yz) 7, d(xy) 8.
    const double third = d_pd / std::sqrt(3.0);
    add(1, 4, 0, d_pd);
    add(1, 5, 2, d_pd);
    add(1, 6, 0, -third);
    add(1, 8, 1, d_pd);
    add(2, 4, 1, -d_pd);
    add(2, 6, 1, -third);
    add(2, 7, 2, d_pd);
    add(2, 8, 0, d_pd);
    add(3, 5, 0, d_pd);
    add(3, 6, 2, 2.0 * third);
    add(3, 7, 1, d_pd);
    return out;
}

}  // namespace quorin
