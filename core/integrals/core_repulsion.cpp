#include "core/integrals/core_repulsion.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/parameters/pm7.h"
#include "core/types/constants.h"

namespace quorin {

namespace {

constexpr double e2 = kCoulombEvAngstrom;

// Klopman-Ohno core integral of two atoms at distance r.
double core_gamma(const ElementParams& a, const ElementParams& b, double r) {
    return klopman_ohno_gamma(r * r, klopman_ohno_radius(a) + klopman_ohno_radius(b));
}

// Fixed boron-partner Gaussian pairs that replace boron's own terms.
constexpr std::array<GaussianTerm, 2> kBoronWithHydrogen{{{0.412253, 10.0, 0.832586}, {-0.149917, 6.0, 1.18622}}};
constexpr std::array<GaussianTerm, 2> kBoronWithCarbon{{{0.261751, 8.0, 1.063995}, {0.050275, 5.0, 1.936492}}};
constexpr std::array<GaussianTerm, 2> kBoronWithHalogen{{{0.359244, 9.0, 0.819351}, {0.074729, 9.0, 1.574414}}};

const std::array<GaussianTerm, 2>* boron_partner_terms(std::uint8_t partner) {
    switch (partner) {
        case 1: return &kBoronWithHydrogen;
        case 6: return &kBoronWithCarbon;
        case 9:
        case 17:
        case 35:
        case 53: return &kBoronWithHalogen;
        default: return nullptr;
    }
}

double gaussian_term_inclusive(const GaussianTerm& t, double r) {
    const double e = t.l * (r - t.m) * (r - t.m);
    return e <= 25.0 ? t.k * std::exp(-e) : 0.0;
}

// Steep repulsive wall against nuclear collapse of the PM6 and PM7 forms, in
// units of the summed cube roots of the atomic numbers; zero from r = 3 on.
double short_range_wall(const ElementParams& a, const ElementParams& b, double r) {
    const double reduced = r / (std::cbrt(double(a.atomic_number)) + std::cbrt(double(b.atomic_number)));
    if (reduced >= 3.0) return 0.0;
    return std::min(1e-8 / std::pow(reduced, 12), 100000.0);
}

}  // namespace

double klopman_ohno_radius(const ElementParams& element) { return e2 / (2.0 * element.g_ss); }

double klopman_ohno_gamma(double r_squared, double rho_sum) { return e2 / std::sqrt(r_squared + rho_sum * rho_sum); }

double klopman_ohno_gamma(const MolecularBatch& molecule, std::size_t a, std::size_t b, double rho_sum) {
    const double dx = molecule.x[a] - molecule.x[b];
    const double dy = molecule.y[a] - molecule.y[b];
    const double dz = molecule.z[a] - molecule.z[b];
    return klopman_ohno_gamma(dx * dx + dy * dy + dz * dz, rho_sum);
}

double gaussian_core_sum(const ElementParams& p, double r) {
    double sum = 0.0;
    const std::size_t n = std::min<std::size_t>(p.n_gaussians, p.gaussians.size());
    for (std::size_t i = 0; i < n; ++i) {
        const GaussianTerm& t = p.gaussians[i];
        const double e = t.l * (r - t.m) * (r - t.m);
        if (e < 25.0) sum += t.k * std::exp(-e);
    }
    return sum;
}

namespace {

// MNDO form; with `boron_rule` a boron atom bonded to H, C or a halogen uses
// the fixed partner triples instead of its own Gaussians (an AM1 feature).
double mndo_form_core_repulsion(const ElementParams& a, const ElementParams& b, double r, bool boron_rule) {
    if (r < 1e-10) return 0.0;
    const std::uint8_t za = a.atomic_number;
    const std::uint8_t zb = b.atomic_number;
    // N-H and O-H: the heavy atom's exponential is scaled by R.
    const double f_a = (zb == 1 && (za == 7 || za == 8)) ? r : 1.0;
    const double f_b = (za == 1 && (zb == 7 || zb == 8)) ? r : 1.0;
    const double charges = a.core_charge * b.core_charge;
    const double e_core = charges * core_gamma(a, b, r) *
                          (1.0 + f_a * std::exp(-a.alpha * r) + f_b * std::exp(-b.alpha * r));

    double gauss = 0.0;
    const std::array<GaussianTerm, 2>* boron_terms = nullptr;
    const ElementParams* partner = nullptr;
    if (boron_rule && za == 5 && zb != 5) {
        boron_terms = boron_partner_terms(zb);
        partner = &b;
    } else if (boron_rule && zb == 5 && za != 5) {
        boron_terms = boron_partner_terms(za);
        partner = &a;
    }
    if (boron_terms != nullptr) {
        for (const GaussianTerm& t : *boron_terms) gauss += gaussian_term_inclusive(t, r);
        const std::size_t n = std::min<std::size_t>(partner->n_gaussians, partner->gaussians.size());
        for (std::size_t i = 0; i < n; ++i) gauss += gaussian_term_inclusive(partner->gaussians[i], r);
    } else {
        gauss = gaussian_core_sum(a, r) + gaussian_core_sum(b, r);
    }
    return e_core + charges / r * gauss;
}

}  // namespace

double compute_pair_core_repulsion(const ElementParams& a, const ElementParams& b, double r) {
    return mndo_form_core_repulsion(a, b, r, false);
}

double compute_pair_core_repulsion_am1(const ElementParams& a, const ElementParams& b, double r) {
    return mndo_form_core_repulsion(a, b, r, true);
}

double compute_pair_core_repulsion_pm6(const ElementParams& a, const ElementParams& b, double r) {
    if (r < 1e-10) return 0.0;
    const auto [alpha, x] = Pm6Model::get_pair_params(a.atomic_number, b.atomic_number);
    const std::uint8_t lo = std::min(a.atomic_number, b.atomic_number);
    const std::uint8_t hi = std::max(a.atomic_number, b.atomic_number);
    double f;
    if (lo == 1 && (hi == 6 || hi == 7 || hi == 8)) {
        f = 2.0 * x * std::exp(-alpha * r * r);
    } else if (x > 1e-5) {
        f = 2.0 * x * std::exp(-alpha * (r + 0.0003 * std::pow(r, 6)));
    } else {
        f = 10.0 * std::exp(-2.18 * r);
    }
    // Extra short-range C-C repulsion and a weak Si-O attraction near 2.9 angstrom.
    if (lo == 6 && hi == 6) f += 9.28 * std::exp(-5.98 * r);
    if (lo == 8 && hi == 14) f -= 0.0007 * std::exp(-(r - 2.9) * (r - 2.9));
    const double charges = a.core_charge * b.core_charge;
    return charges * core_gamma(a, b, r) * (1.0 + f) +
           charges / r * (gaussian_core_sum(a, r) + gaussian_core_sum(b, r)) + short_range_wall(a, b, r);
}

double compute_pair_core_repulsion_pm7(const ElementParams& a, const ElementParams& b, double r) {
    if (r < 1e-10) return 0.0;
    // Klopman-Ohno integral switched smoothly to the bare Coulomb law at 7 angstrom.
    double gamma = e2 / r;
    if (r < 7.0) {
        const double w = std::exp(-0.22 * (r - 7.0) * (r - 7.0));
        const double rho = pm7_core_radius_angstrom(a) + pm7_core_radius_angstrom(b);
        gamma = w * e2 / r + (1.0 - w) * e2 / std::sqrt(r * r + rho * rho);
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
    return factor * gamma * charges + charges / r * gauss + short_range_wall(a, b, r);
}

double compute_total_core_repulsion(const MolecularBatch& molecule, const ParameterModel& model) {
    double energy_ev = 0.0;
    const std::size_t n = molecule.n_atoms;
    for (std::size_t i = 0; i < n; ++i) {
        const auto rec_i = model.get_element(molecule.atomic_numbers[i]);
        if (!rec_i) continue;
        for (std::size_t j = i + 1; j < n; ++j) {
            const auto rec_j = model.get_element(molecule.atomic_numbers[j]);
            if (!rec_j) continue;
            const double dx = molecule.x[i] - molecule.x[j];
            const double dy = molecule.y[i] - molecule.y[j];
            const double dz = molecule.z[i] - molecule.z[j];
            energy_ev += model.pair_core_repulsion(*rec_i, *rec_j, std::sqrt(dx * dx + dy * dy + dz * dz));
        }
    }
    return energy_ev;
}

}  // namespace quorin
