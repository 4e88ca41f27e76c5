#include "core/integrals/multipole_params.h"

#include <algorithm>
#include <cmath>

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

}  // namespace quorin
