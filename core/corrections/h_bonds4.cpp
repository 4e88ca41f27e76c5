#include "core/corrections/h_bonds4.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <span>
#include <vector>

#include "core/corrections/pair_geometry.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

using Vec3 = std::array<double, 3>;

// Covalent radii (angstrom) for Z = 1..118, used only for neighbour counts.
constexpr std::array<double, 118> kCovalentRadiusAngstrom = {
    0.37, 0.32, 1.34, 0.9,  0.82, 0.77, 0.75, 0.73, 0.71, 0.69,   // 1-10
    1.54, 1.3,  1.18, 1.11, 1.06, 1.02, 0.99, 0.97, 1.96, 1.74,   // 11-20
    1.44, 1.36, 1.25, 1.27, 1.39, 1.25, 1.26, 1.21, 1.38, 1.31,   // 21-30
    1.26, 1.22, 1.19, 1.16, 1.14, 1.1,  2.11, 1.92, 1.62, 1.48,   // 31-40
    1.37, 1.45, 1.56, 1.26, 1.35, 1.31, 1.53, 1.48, 1.44, 1.41,   // 41-50
    1.38, 1.35, 1.33, 1.3,  2.25, 1.98, 1.69, 0.0,  0.0,  0.0,    // 51-60
    0.0,  0.0,  0.0,  0.0,  0.0,  0.0,  0.0,  0.0,  0.0,  0.0,    // 61-70
    1.6,  1.5,  1.38, 1.46, 1.59, 1.28, 1.37, 1.28, 1.44, 1.49,   // 71-80
    0.0,  0.0,  1.46, 0.0,  0.0,  1.45,                           // 81-86
};

constexpr std::uint8_t kHydrogen = 1;
constexpr std::uint8_t kCarbon = 6;
constexpr std::uint8_t kNitrogen = 7;
constexpr std::uint8_t kOxygen = 8;

// Radius term of the centre atom in neighbour counts.
constexpr double kOxygenTermAngstrom = 0.73;
constexpr double kNitrogenTermAngstrom = 0.75;
constexpr double kCarbonTermAngstrom = 0.77;

constexpr double kHeavyPairCutoffAngstrom = 5.5;
constexpr double kProtonShiftOnsetAngstrom = 1.15;
constexpr double kCoincidentAngstrom = 1e-12;
constexpr double kHalfPi = std::numbers::pi / 2.0;

double covalent_radius(std::uint8_t z) {
    if (z < 1 || z > kCovalentRadiusAngstrom.size()) return 0.0;
    return kCovalentRadiusAngstrom[z - 1];
}

// Smooth step on [0, 1]: S(0) = 0, S(1) = 1, first three derivatives zero at both ends.
double switch_poly(double x) {
    const double x2 = x * x;
    return x2 * x2 * (35.0 + x * (-84.0 + x * (70.0 - 20.0 * x)));
}

double distance(const MolecularBatch& mol, std::size_t i, std::size_t j) { return pair_separation(mol, i, j).r; }

// Fractional bond count: 1 inside the reference radius, switched to 0 at 1.6 times it.
double neighbour_weight(double d, double reference) {
    if (d == 0.0 || d >= 1.6 * reference) return 0.0;
    if (d <= reference) return 1.0;
    return 1.0 - switch_poly((d - reference) / (0.6 * reference));
}

double neighbour_weight_of(const MolecularBatch& mol, std::size_t centre, std::size_t k, double term) {
    return neighbour_weight(distance(mol, centre, k), covalent_radius(mol.atomic_numbers[k]) + term);
}

double neighbour_count(const MolecularBatch& mol, std::size_t centre, double term) {
    double n = 0.0;
    for (std::size_t k = 0; k < mol.n_atoms; ++k) {
        if (k != centre) n += neighbour_weight_of(mol, centre, k, term);
    }
    return n;
}

// Closest atom of element `z` bonded (positive weight) to `centre`, other than `exclude`.
std::optional<std::size_t> closest_bonded(const MolecularBatch& mol, std::size_t centre, double term,
                                          std::uint8_t z, std::size_t exclude) {
    std::optional<std::size_t> best;
    double best_distance = 1e10;
    for (std::size_t k = 0; k < mol.n_atoms; ++k) {
        if (k == centre || k == exclude || mol.atomic_numbers[k] != z) continue;
        if (neighbour_weight_of(mol, centre, k, term) <= 0.0) continue;
        const double d = distance(mol, centre, k);
        if (d < best_distance) {
            best_distance = d;
            best = k;
        }
    }
    return best;
}

// S'(x) = 140 x^3 (1 - x)^3.
double switch_slope(double x) {
    const double y = x * (1.0 - x);
    return 140.0 * y * y * y;
}

// Slope d(weight)/dd of neighbour_weight.
double neighbour_weight_slope(double d, double reference) {
    if (d <= reference || d >= 1.6 * reference) return 0.0;
    return -switch_slope((d - reference) / (0.6 * reference)) / (0.6 * reference);
}

// Adds scale * grad(weight of k around centre).
void add_neighbour_weight_gradient(const MolecularBatch& mol, std::size_t centre, std::size_t k, double term,
                                   double scale, std::span<Vec3> gradient) {
    const PairSeparation sep = pair_separation(mol, centre, k);
    const double slope = neighbour_weight_slope(sep.r, covalent_radius(mol.atomic_numbers[k]) + term);
    if (slope != 0.0) add_pair_gradient(gradient.data(), centre, k, sep, scale * slope / sep.r);
}

void add_neighbour_count_gradient(const MolecularBatch& mol, std::size_t centre, double term, double scale,
                                  std::span<Vec3> gradient) {
    if (scale == 0.0) return;
    for (std::size_t k = 0; k < mol.n_atoms; ++k) {
        if (k != centre) add_neighbour_weight_gradient(mol, centre, k, term, scale, gradient);
    }
}

// Slope of max(0, 1 - |n - centre|); 0 on the kinks.
double tri_slope(double n, double centre) {
    if (std::abs(n - centre) >= 1.0 || n == centre) return 0.0;
    return n < centre ? 1.0 : -1.0;
}

// Distance term of the donor-acceptor separation: zero at 1.5 and 5.5 angstrom,
// minimum -1 at 3.0 angstrom; with its slope.
constexpr double kDistanceTerm[] = {-4.685120000004504,  3.407360000011028,   5.317546666655722,
                                    -7.206874074068388,  3.2530962962946175,  -0.700871111110828,
                                    0.07357629629627092, -0.003034074074073135};

double distance_term(double r) {
    double e = kDistanceTerm[7];
    for (int k = 6; k >= 0; --k) e = e * r + kDistanceTerm[k];
    return e;
}

double distance_term_slope(double r) {
    double e = 7.0 * kDistanceTerm[7];
    for (int k = 6; k >= 1; --k) e = e * r + k * kDistanceTerm[k];
    return e;
}

double donor_acceptor_weight(const H4Parameters& p, std::uint8_t donor, std::uint8_t acceptor) {
    if (donor == kOxygen) return acceptor == kOxygen ? p[0] : p[1];
    return acceptor == kOxygen ? p[2] : p[3];
}

// The environment multipliers below return their value; given a gradient
// array they also add `scale` times their gradient to it (the choice of the
// closest bonded atoms is held fixed, the kinks of max and |.| take slope 0).

// Weakens a water donor: full effect for two hydrogen and no heavy neighbours.
double water_factor(const MolecularBatch& mol, std::size_t donor, const H4Parameters& p, double scale = 0.0,
                    std::span<Vec3> gradient = {}) {
    double n_h = 0.0;
    double n_x = 0.0;
    for (std::size_t k = 0; k < mol.n_atoms; ++k) {
        if (k == donor) continue;
        const double w = neighbour_weight_of(mol, donor, k, kOxygenTermAngstrom);
        if (mol.atomic_numbers[k] == kHydrogen) {
            n_h += w;
        } else {
            n_x += w;
        }
    }
    if (n_h < 1.0) return 1.0;
    const double tri = std::max(0.0, 1.0 - std::abs(n_h - 2.0));
    const double heavy = std::max(1.0 - n_x, 0.0);
    if (!gradient.empty() && scale != 0.0) {
        const double by_h = scale * heavy * tri_slope(n_h, 2.0) * (p[4] - 1.0);
        const double by_x = heavy > 0.0 ? -scale * tri * (p[4] - 1.0) : 0.0;
        for (std::size_t k = 0; k < mol.n_atoms; ++k) {
            if (k == donor) continue;
            const double by = mol.atomic_numbers[k] == kHydrogen ? by_h : by_x;
            if (by != 0.0) add_neighbour_weight_gradient(mol, donor, k, kOxygenTermAngstrom, by, gradient);
        }
    }
    return 1.0 + heavy * tri * (p[4] - 1.0);
}

// Strengthens an ammonium-like donor (more than three neighbours).
double amine_factor(const MolecularBatch& mol, std::size_t donor, const H4Parameters& p, double scale = 0.0,
                    std::span<Vec3> gradient = {}) {
    const double n = neighbour_count(mol, donor, kNitrogenTermAngstrom);
    if (!gradient.empty() && n > 3.0) {
        add_neighbour_count_gradient(mol, donor, kNitrogenTermAngstrom, scale * (p[5] - 1.0), gradient);
    }
    return 1.0 + std::max(n - 3.0, 0.0) * (p[5] - 1.0);
}

// Strengthens an acceptor oxygen of a carboxylate: O1-C(-O2) with one bond on
// each oxygen and three on the carbon.
double carboxylate_factor(const MolecularBatch& mol, std::size_t acceptor, const H4Parameters& p,
                          double scale = 0.0, std::span<Vec3> gradient = {}) {
    const double n_o1 = neighbour_count(mol, acceptor, kOxygenTermAngstrom);
    const std::optional<std::size_t> carbon =
        closest_bonded(mol, acceptor, kOxygenTermAngstrom, kCarbon, acceptor);
    if (!carbon) return 1.0;
    const double n_c = neighbour_count(mol, *carbon, kCarbonTermAngstrom);
    const std::optional<std::size_t> other_oxygen =
        closest_bonded(mol, *carbon, kCarbonTermAngstrom, kOxygen, acceptor);
    if (!other_oxygen) return 1.0;
    const double n_o2 = neighbour_count(mol, *other_oxygen, kOxygenTermAngstrom);
    const auto tri = [](double n, double centre) { return std::max(0.0, 1.0 - std::abs(centre - n)); };
    const double t_o1 = tri(n_o1, 1.0);
    const double t_o2 = tri(n_o2, 1.0);
    const double t_c = tri(n_c, 3.0);
    if (!gradient.empty() && scale != 0.0) {
        const double s = scale * (p[6] - 1.0);
        add_neighbour_count_gradient(mol, acceptor, kOxygenTermAngstrom, s * tri_slope(n_o1, 1.0) * t_o2 * t_c,
                                     gradient);
        add_neighbour_count_gradient(mol, *other_oxygen, kOxygenTermAngstrom,
                                     s * t_o1 * tri_slope(n_o2, 1.0) * t_c, gradient);
        add_neighbour_count_gradient(mol, *carbon, kCarbonTermAngstrom, s * t_o1 * t_o2 * tri_slope(n_c, 3.0),
                                     gradient);
    }
    return 1.0 + t_o1 * t_o2 * t_c * (p[6] - 1.0);
}

// Gradient of cos(a-h-b) with respect to a and b (h takes minus their sum).
struct AngleCosineGradient {
    Vec3 at_a;
    Vec3 at_b;
};

AngleCosineGradient angle_cosine_gradient(const Vec3& va, const Vec3& vb, double la, double lb, double cos_theta) {
    AngleCosineGradient g{};
    for (std::size_t k = 0; k < 3; ++k) {
        g.at_a[k] = vb[k] / (la * lb) - cos_theta * va[k] / (la * la);
        g.at_b[k] = va[k] / (la * lb) - cos_theta * vb[k] / (lb * lb);
    }
    return g;
}

// H4 energy (kcal/mol); with a non-empty `gradient` its gradient is added.
double h4_energy(const MolecularBatch& mol, const H4Parameters& parameters, std::span<Vec3> gradient) {
    const bool with_gradient = !gradient.empty();
    const auto is_heavy = [&](std::size_t i) {
        return mol.atomic_numbers[i] == kNitrogen || mol.atomic_numbers[i] == kOxygen;
    };
    // The environment multipliers depend on the donor or the acceptor alone,
    // so each is worked out once per atom rather than once per contact; so is
    // the energy's derivative with respect to each of them.
    const std::size_t n = mol.n_atoms;
    std::vector<double> water(n, 1.0), amine(n, 1.0), carboxylate(n, 1.0);
    std::vector<double> by_water(with_gradient ? n : 0, 0.0), by_amine(by_water), by_carboxylate(by_water);
    for (std::size_t a = 0; a < n; ++a) {
        if (mol.atomic_numbers[a] == kOxygen) {
            water[a] = water_factor(mol, a, parameters);
            carboxylate[a] = carboxylate_factor(mol, a, parameters);
        } else if (mol.atomic_numbers[a] == kNitrogen) {
            amine[a] = amine_factor(mol, a, parameters);
        }
    }
    double energy = 0.0;
    for (std::size_t a = 0; a < n; ++a) {
        if (!is_heavy(a)) continue;
        for (std::size_t b = a + 1; b < n; ++b) {
            if (!is_heavy(b)) continue;
            const PairSeparation ab = pair_separation(mol, a, b);
            const double r_ab = ab.r;
            if (r_ab > kHeavyPairCutoffAngstrom) continue;
            for (std::size_t h = 0; h < n; ++h) {
                if (mol.atomic_numbers[h] != kHydrogen) continue;
                const PairSeparation ah = pair_separation(mol, a, h);
                const PairSeparation bh = pair_separation(mol, b, h);
                const double d_ah = ah.r;
                const double d_bh = bh.r;
                if (d_ah < kCoincidentAngstrom || d_bh < kCoincidentAngstrom) continue;

                // Deviation from a straight a-h-b line; rounding can push the
                // cosine just outside [-1, 1].
                const Vec3 va = {ah.dx, ah.dy, ah.dz};
                const Vec3 vb = {bh.dx, bh.dy, bh.dz};
                const double raw_cos = (va[0] * vb[0] + va[1] * vb[1] + va[2] * vb[2]) / (d_ah * d_bh);
                const double cos_theta = std::clamp(raw_cos, -1.0, 1.0);
                const double delta = std::numbers::pi - std::acos(cos_theta);
                if (delta >= kHalfPi) continue;

                const bool a_donates = d_bh > d_ah;
                const std::size_t donor = a_donates ? a : b;
                const std::size_t acceptor = a_donates ? b : a;
                const PairSeparation& dh = a_donates ? ah : bh;
                const PairSeparation& acc_h = a_donates ? bh : ah;
                const double d_dh = dh.r;
                const double d_acc_h = acc_h.r;
                const std::uint8_t z_d = mol.atomic_numbers[donor];
                const std::uint8_t z_a = mol.atomic_numbers[acceptor];

                // At delta = 0 this is the limit of the formula, 1.
                const double u = delta / kHalfPi;
                const double s_angle = switch_poly(u);
                const double angular = 1.0 - s_angle * s_angle;

                double proton = 1.0;
                double proton_by_dh = 0.0;   // d proton / d d_dh
                double proton_by_acc = 0.0;  // d proton / d d_acc_h
                if (d_dh > kProtonShiftOnsetAngstrom) {
                    const double m = 0.5 * (d_acc_h + d_dh) - kProtonShiftOnsetAngstrom;
                    if (m > kCoincidentAngstrom) {
                        const double x = (d_dh - kProtonShiftOnsetAngstrom) / m;
                        proton = 1.0 - switch_poly(x);
                        const double slope = switch_slope(x) / m;
                        proton_by_dh = -slope * (1.0 - 0.5 * x);
                        proton_by_acc = 0.5 * x * slope;
                    }
                }

                // The water multiplier applies to O-H...O contacts only.
                const bool water_applies = z_a == kOxygen;
                const double water_d = water_applies ? water[donor] : 1.0;
                const double weight = donor_acceptor_weight(parameters, z_d, z_a);
                const double radial = distance_term(r_ab);
                const double environment = water_d * amine[donor] * carboxylate[acceptor];
                const double geometric = weight * radial * angular * proton;
                energy += geometric * environment;
                if (!with_gradient) continue;

                if (water_applies) by_water[donor] += geometric * amine[donor] * carboxylate[acceptor];
                by_amine[donor] += geometric * water_d * carboxylate[acceptor];
                by_carboxylate[acceptor] += geometric * water_d * amine[donor];

                const double common = weight * environment;
                add_pair_gradient(gradient.data(), a, b, ab,
                                  common * distance_term_slope(r_ab) * angular * proton / r_ab);
                add_pair_gradient(gradient.data(), donor, h, dh, common * radial * angular * proton_by_dh / d_dh);
                add_pair_gradient(gradient.data(), acceptor, h, acc_h,
                                  common * radial * angular * proton_by_acc / d_acc_h);
                // d angular / d cos(theta) through delta = pi - acos(cos); it
                // vanishes with the switch's slope at a straight line.
                const double sin_theta = std::sqrt(std::max(0.0, 1.0 - cos_theta * cos_theta));
                if (raw_cos > -1.0 && raw_cos < 1.0 && sin_theta > 1e-8) {
                    const double by_cos =
                        common * radial * proton * (-2.0 * s_angle * switch_slope(u) / kHalfPi) / sin_theta;
                    const AngleCosineGradient g = angle_cosine_gradient(va, vb, d_ah, d_bh, cos_theta);
                    for (std::size_t k = 0; k < 3; ++k) {
                        gradient[a][k] += by_cos * g.at_a[k];
                        gradient[b][k] += by_cos * g.at_b[k];
                        gradient[h][k] -= by_cos * (g.at_a[k] + g.at_b[k]);
                    }
                }
            }
        }
    }
    if (with_gradient) {
        for (std::size_t a = 0; a < n; ++a) {
            if (mol.atomic_numbers[a] == kOxygen) {
                water_factor(mol, a, parameters, by_water[a], gradient);
                carboxylate_factor(mol, a, parameters, by_carboxylate[a], gradient);
            } else if (mol.atomic_numbers[a] == kNitrogen) {
                amine_factor(mol, a, parameters, by_amine[a], gradient);
            }
        }
    }
    return energy;
}

}  // namespace

double compute_h4_energy(const MolecularBatch& molecule, const H4Parameters& parameters) {
    return h4_energy(molecule, parameters, {});
}

double compute_h4_energy_and_gradients(const MolecularBatch& molecule, const H4Parameters& parameters,
                                       std::span<std::array<double, 3>> gradients_kcal_mol_angstrom) {
    if (gradients_kcal_mol_angstrom.size() != molecule.n_atoms) {
        stop_assert_eq("H4 gradient array length does not match the atom count",
                       gradients_kcal_mol_angstrom.size(), molecule.n_atoms);
    }
    return h4_energy(molecule, parameters, gradients_kcal_mol_angstrom);
}

std::pair<double, std::vector<std::array<double, 3>>> compute_hh_repulsion_energy_and_gradients(
    const MolecularBatch& molecule) {
    const MolecularBatch& mol = molecule;
    std::vector<std::array<double, 3>> gradients(mol.n_atoms, {0.0, 0.0, 0.0});
    double energy = 0.0;
    for (std::size_t i = 0; i < mol.n_atoms; ++i) {
        if (mol.atomic_numbers[i] != kHydrogen) continue;
        for (std::size_t j = 0; j < i; ++j) {
            if (mol.atomic_numbers[j] != kHydrogen) continue;
            const PairSeparation sep = pair_separation(mol, i, j);
            const double r = sep.r;
            if (r < kCoincidentAngstrom) continue;

            // Flat wall below 1.0, stretched exponential above 1.5, joined by a
            // quintic matching value and slope at both ends.
            double e;
            double de_dr;
            if (r <= 1.0) {
                e = 25.46293603147693;
                de_dr = 0.0;
            } else if (r < 1.5) {
                e = ((((-2714.9523516034697 * r + 17103.650110591705) * r - 42511.85798221796) * r +
                      52063.19679913834) * r - 31430.65833597229) * r + 7516.08469609514;
                de_dr = (((-13574.761758017348 * r + 68414.60044236682) * r - 127535.57394665388) * r +
                         104126.39359827669) * r - 31430.65833597229;
            } else {
                e = 118.7326 * std::exp(-1.53965 * std::pow(r, 1.72905));
                de_dr = -2.6621318325 * std::pow(r, 0.72905) * e;
            }
            energy += e;
            add_pair_gradient(gradients.data(), i, j, sep, de_dr / r);
        }
    }
    return {energy, std::move(gradients)};
}

}  // namespace quorin
