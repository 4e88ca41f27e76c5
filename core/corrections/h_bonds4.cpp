#include "core/corrections/h_bonds4.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <vector>

#include "core/corrections/pair_geometry.h"

namespace quorin {

namespace {

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

// Distance term of the donor-acceptor separation: zero at 1.5 and 5.5 angstrom,
// minimum -1 at 3.0 angstrom.
double distance_term(double r) {
    constexpr double c[] = {-4.685120000004504,  3.407360000011028,   5.317546666655722,
                            -7.206874074068388,  3.2530962962946175,  -0.700871111110828,
                            0.07357629629627092, -0.003034074074073135};
    double e = c[7];
    for (int k = 6; k >= 0; --k) e = e * r + c[k];
    return e;
}

double donor_acceptor_weight(const H4Parameters& p, std::uint8_t donor, std::uint8_t acceptor) {
    if (donor == kOxygen) return acceptor == kOxygen ? p[0] : p[1];
    return acceptor == kOxygen ? p[2] : p[3];
}

// Weakens a water donor: full effect for two hydrogen and no heavy neighbours.
double water_factor(const MolecularBatch& mol, std::size_t donor, const H4Parameters& p) {
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
    return 1.0 + std::max(1.0 - n_x, 0.0) * tri * (p[4] - 1.0);
}

// Strengthens an ammonium-like donor (more than three neighbours).
double amine_factor(const MolecularBatch& mol, std::size_t donor, const H4Parameters& p) {
    const double n = neighbour_count(mol, donor, kNitrogenTermAngstrom);
    return 1.0 + std::max(n - 3.0, 0.0) * (p[5] - 1.0);
}

// Strengthens an acceptor oxygen of a carboxylate: O1-C(-O2) with one bond on
// each oxygen and three on the carbon.
double carboxylate_factor(const MolecularBatch& mol, std::size_t acceptor, const H4Parameters& p) {
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
    return 1.0 + tri(n_o1, 1.0) * tri(n_o2, 1.0) * tri(n_c, 3.0) * (p[6] - 1.0);
}

}  // namespace

double compute_h4_energy(const MolecularBatch& molecule, const H4Parameters& parameters) {
    const MolecularBatch& mol = molecule;
    const auto is_heavy = [&](std::size_t i) {
        return mol.atomic_numbers[i] == kNitrogen || mol.atomic_numbers[i] == kOxygen;
    };
    // The environment multipliers depend on the donor or the acceptor alone,
    // so each is worked out once per atom rather than once per contact.
    std::vector<double> water(mol.n_atoms, 1.0), amine(mol.n_atoms, 1.0), carboxylate(mol.n_atoms, 1.0);
    for (std::size_t a = 0; a < mol.n_atoms; ++a) {
        if (mol.atomic_numbers[a] == kOxygen) {
            water[a] = water_factor(mol, a, parameters);
            carboxylate[a] = carboxylate_factor(mol, a, parameters);
        } else if (mol.atomic_numbers[a] == kNitrogen) {
            amine[a] = amine_factor(mol, a, parameters);
        }
    }
    double energy = 0.0;
    for (std::size_t a = 0; a < mol.n_atoms; ++a) {
        if (!is_heavy(a)) continue;
        for (std::size_t b = a + 1; b < mol.n_atoms; ++b) {
            if (!is_heavy(b)) continue;
            const double r_ab = distance(mol, a, b);
            if (r_ab > kHeavyPairCutoffAngstrom) continue;
            for (std::size_t h = 0; h < mol.n_atoms; ++h) {
                if (mol.atomic_numbers[h] != kHydrogen) continue;
                const double d_ah = distance(mol, a, h);
                const double d_bh = distance(mol, b, h);
                if (d_ah < kCoincidentAngstrom || d_bh < kCoincidentAngstrom) continue;

                // Deviation from a straight a-h-b line; rounding can push the
                // cosine just outside [-1, 1].
                const double dot = (mol.x[a] - mol.x[h]) * (mol.x[b] - mol.x[h]) +
                                   (mol.y[a] - mol.y[h]) * (mol.y[b] - mol.y[h]) +
                                   (mol.z[a] - mol.z[h]) * (mol.z[b] - mol.z[h]);
                const double cos_theta = std::clamp(dot / (d_ah * d_bh), -1.0, 1.0);
                const double delta = std::numbers::pi - std::acos(cos_theta);
                if (delta >= kHalfPi) continue;

                const bool a_donates = d_bh > d_ah;
                const std::size_t donor = a_donates ? a : b;
                const std::size_t acceptor = a_donates ? b : a;
                const double d_dh = a_donates ? d_ah : d_bh;
                const double d_acc_h = a_donates ? d_bh : d_ah;
                const std::uint8_t z_d = mol.atomic_numbers[donor];
                const std::uint8_t z_a = mol.atomic_numbers[acceptor];

                // At delta = 0 this is the limit of the formula, 1.
                const double s_angle = switch_poly(delta / kHalfPi);
                const double angular = 1.0 - s_angle * s_angle;

                double proton = 1.0;
                if (d_dh > kProtonShiftOnsetAngstrom) {
                    const double m = 0.5 * (d_acc_h + d_dh) - kProtonShiftOnsetAngstrom;
                    if (m > kCoincidentAngstrom) {
                        proton = 1.0 - switch_poly((d_dh - kProtonShiftOnsetAngstrom) / m);
                    }
                }

                // The water multiplier applies to O-H...O contacts only.
                const double water_d = z_a == kOxygen ? water[donor] : 1.0;
                energy += donor_acceptor_weight(parameters, z_d, z_a) * distance_term(r_ab) * angular *
                          proton * water_d * amine[donor] * carboxylate[acceptor];
            }
        }
    }
    return energy;
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
