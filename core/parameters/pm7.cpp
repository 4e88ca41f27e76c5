#include "core/parameters/pm7.h"

#include <algorithm>
#include <cmath>

#include "core/integrals/core_repulsion.h"
#include "core/parameters/parameter_tables.h"
#include "core/types/constants.h"

namespace quorin {

namespace {

bool in_pm7_pair_set(std::uint8_t z) { return (z >= 1 && z <= 57) || (z >= 71 && z <= 83); }

}  // namespace

std::pair<double, double> get_pm7_pair_params(std::uint8_t za, std::uint8_t zb) {
    const std::uint8_t lo = std::min(za, zb);
    const std::uint8_t hi = std::max(za, zb);
    if (!in_pm7_pair_set(hi)) return {0.0, 0.0};
    if (tables::pm7_pair_has_own_entry(hi, lo)) {
        // An own entry whose published value is not in the tables has no
        // parameters here; the repulsion then falls back to its default form.
        if (const tables::PairParams* p = tables::pm7_pair(hi, lo)) return {p->alpha, p->x};
        return {0.0, 0.0};
    }
    if (!in_pm7_pair_set(lo)) return {0.0, 0.0};
    const tables::PairParams* hh = tables::pm7_pair(hi, hi);
    const tables::PairParams* ll = tables::pm7_pair(lo, lo);
    if (hh == nullptr || ll == nullptr || !(hh->x > 1e-5)) return {0.0, 0.0};
    return {(hh->alpha + ll->alpha) / 2.0, (hh->x + ll->x) / 2.0};
}

double compute_pair_core_repulsion_pm7(const ElementParams& a, const ElementParams& b, double r) {
    if (r < 1e-10) return 0.0;
    constexpr double e2 = kCoulombEvAngstrom;
    const double rho = e2 / (2.0 * a.g_ss) + e2 / (2.0 * b.g_ss);

    // Klopman-Ohno integral switched smoothly to the bare Coulomb law at 7 angstrom.
    double gamma = e2 / r;
    if (r < 7.0) {
        const double w = std::exp(-0.22 * (r - 7.0) * (r - 7.0));
        gamma = w * e2 / r + (1.0 - w) * e2 / std::sqrt(rho * rho + r * r);
    }

    auto [alpha, x] = get_pm7_pair_params(a.atomic_number, b.atomic_number);
    if (x < 1e-5) x = 0.0;
    if (alpha < 1e-6) alpha = 1.2;

    const std::uint8_t lo = std::min(a.atomic_number, b.atomic_number);
    const std::uint8_t hi = std::max(a.atomic_number, b.atomic_number);
    double factor;
    if (lo == 6 && hi == 6) {
        factor = 1.0 + 2.0 * x * std::exp(-alpha * (r + 0.0003 * std::pow(r, 6))) +
                 8.947612 * std::exp(-6.024265 * r);
    } else if (lo == 1 && (hi == 6 || hi == 7)) {
        factor = 1.0 + 2.0 * x * std::exp(-alpha * r * r);
    } else if (lo == 1 && hi == 8) {
        factor = 1.0 + 2.0 * x * std::exp(-alpha * r * r) + 0.012037 * std::exp(-2.0 * 0.701333 * r);
    } else if (x > 1e-5) {
        factor = 1.0 + 2.0 * x * std::exp(-alpha * (r + 0.0003 * std::pow(r, 6)));
    } else {
        factor = 1.0 + 10.0 * std::exp(-2.18 * r);
    }

    const double charges = a.core_charge * b.core_charge;
    const double gauss = gaussian_core_sum(a, r) + gaussian_core_sum(b, r);

    // Steep repulsive wall against nuclear collapse, in units of the summed cube roots of Z.
    double wall = 0.0;
    const double reduced = r / (std::cbrt(double(a.atomic_number)) + std::cbrt(double(b.atomic_number)));
    if (reduced < 3.0) wall = std::min(1e-8 / std::pow(reduced, 12), 100000.0);

    return factor * gamma * charges + charges / r * gauss + wall;
}

}  // namespace quorin
