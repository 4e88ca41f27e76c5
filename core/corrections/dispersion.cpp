#include "core/corrections/dispersion.h"

#include <cmath>
#include <string>
#include <vector>

#include "core/corrections/pair_geometry.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

// Per-element C6 (J nm^6 mol^-1), van der Waals radius (pm) and effective
// electron number. Elements not listed take no part.
struct DispersionElement {
    std::uint8_t z;
    double c6;
    double radius_pm;
    double electrons;
};

constexpr DispersionElement kElements[] = {
    {1, 0.16, 156.0, 0.8},   {2, 0.084, 140.0, 1.42}, {5, 5.79, 180.0, 2.16},
    {6, 1.65, 170.0, 2.5},   {7, 1.11, 155.0, 2.82},  {8, 0.7, 152.0, 3.15},
    {9, 0.57, 147.0, 3.48},  {10, 0.45, 154.0, 3.81}, {15, 3.25, 180.0, 4.5},
    {16, 5.79, 180.0, 4.8},  {17, 5.97, 175.0, 5.1},  {18, 3.71, 188.0, 5.4},
    {27, 0.04, 140.0, 2.9},  {35, 11.6, 185.0, 6.0},  {36, 4.47, 202.0, 6.3},
    {53, 25.8, 198.0, 6.95}, {54, 16.5, 216.0, 7.25},
};

// Carbon with exactly four close neighbours (sp3) has the smaller C6.
constexpr double kCarbonSp3C6 = 0.95;
constexpr double kCarbonNeighbourCutoffAngstrom = 1.85;
constexpr double kJoulePerKcal = 4184.0;
constexpr double kNmPerAngstrom = 0.1;
constexpr double kMinPairDistanceAngstrom = 1e-6;
constexpr double kThird = 0.3333333333333333;

struct FormConstants {
    double s6;
    double s_r;
    double d;
};

FormConstants form_constants(DispersionModel model) {
    switch (model) {
        case kDispersionPm6DhPlus: return {0.89, 1.04, 20.0};
        case kDispersionPm7: return {2.286419, 1.226593, 15.450118};
        case kDispersionD3Bj: return {1.0, 1.0, 14.0};
        default: throw EngineStop("Unknown dispersion model " + std::to_string(int{model}));
    }
}

const DispersionElement* find_element(std::uint8_t z) {
    for (const DispersionElement& e : kElements) {
        if (e.z == z) return &e;
    }
    return nullptr;
}

struct AtomDispersion {
    std::size_t index;
    double c6;
    double radius_pm;
    double electrons;
};

std::size_t count_close_neighbours(const MolecularBatch& mol, std::size_t c) {
    std::size_t count = 0;
    for (std::size_t k = 0; k < mol.n_atoms; ++k) {
        if (k != c && pair_separation(mol, k, c).r < kCarbonNeighbourCutoffAngstrom) ++count;
    }
    return count;
}

std::vector<AtomDispersion> participating_atoms(const MolecularBatch& mol) {
    std::vector<AtomDispersion> atoms;
    for (std::size_t i = 0; i < mol.n_atoms; ++i) {
        const DispersionElement* e = find_element(mol.atomic_numbers[i]);
        if (e == nullptr) continue;
        double c6 = e->c6;
        if (e->z == 6 && count_close_neighbours(mol, i) == 4) c6 = kCarbonSp3C6;
        atoms.push_back({i, c6, e->radius_pm, e->electrons});
    }
    return atoms;
}

// Energy; when `gradients` is non-null the analytic gradient is added to it.
double dispersion(const MolecularBatch& mol, DispersionModel model, std::array<double, 3>* gradients) {
    const FormConstants form = form_constants(model);
    const std::vector<AtomDispersion> atoms = participating_atoms(mol);
    double sum = 0.0;
    for (std::size_t a = 0; a < atoms.size(); ++a) {
        const AtomDispersion& ai = atoms[a];
        const std::size_t i = ai.index;
        for (std::size_t b = a + 1; b < atoms.size(); ++b) {
            const AtomDispersion& aj = atoms[b];
            const std::size_t j = aj.index;
            const PairSeparation sep = pair_separation(mol, i, j);
            const double r = sep.r;
            if (r <= kMinPairDistanceAngstrom) continue;

            // Pair C6 weighted by the effective electron numbers; pair radius
            // as the cubic-over-quadratic mean of the two radii.
            const double c6 =
                2.0 * std::pow(ai.c6 * ai.c6 * aj.c6 * aj.c6 * ai.electrons * aj.electrons, kThird) /
                (std::pow(ai.c6 * aj.electrons * aj.electrons, kThird) +
                 std::pow(aj.c6 * ai.electrons * ai.electrons, kThird));
            const double ri = ai.radius_pm;
            const double rj = aj.radius_pm;
            const double r0 = 2.0 * (ri * ri * ri + rj * rj * rj) / (ri * ri + rj * rj) * 0.001;  // nm
            const double rho = kNmPerAngstrom * r;
            const double rho2 = rho * rho;
            const double rho6 = rho2 * rho2 * rho2;

            double pair_energy;
            double de_drho;  // of the scaled energy s6 * e_ij
            if (model == kDispersionD3Bj) {
                const double r_bj = 0.538 * r0 + 0.233;
                const double r_bj2 = r_bj * r_bj;
                const double r_bj6 = r_bj2 * r_bj2 * r_bj2;
                const double r_bj8 = r_bj6 * r_bj2;
                const double rho8 = rho6 * rho2;
                const double c8 = 3.0 * c6 * r0 * r0;
                const double den6 = rho6 + r_bj6;
                const double den8 = rho8 + r_bj8;
                pair_energy = -(c6 / den6 + 1.009 * c8 / den8) / kJoulePerKcal;
                de_drho = form.s6 *
                          (6.0 * c6 * rho * rho2 * rho2 / (den6 * den6) +
                           8.072 * c8 * rho * rho6 / (den8 * den8)) /
                          kJoulePerKcal;
            } else {
                const double slope = form.d / (form.s_r * r0);
                const double f = 1.0 / (1.0 + std::exp(-form.d * (rho / (form.s_r * r0) - 1.0)));
                pair_energy = -c6 * f / rho6 / kJoulePerKcal;
                de_drho = form.s6 * c6 / (rho6 * kJoulePerKcal) * (6.0 * f / rho - slope * f * (1.0 - f));
            }
            sum += pair_energy;

            if (gradients != nullptr) add_pair_gradient(gradients, i, j, sep, de_drho * kNmPerAngstrom / r);
        }
    }
    return form.s6 * sum;
}

}  // namespace

double compute_dispersion_energy_and_gradients(
    const MolecularBatch& molecule, DispersionModel model,
    std::span<std::array<double, 3>> gradients_kcal_mol_angstrom) {
    if (gradients_kcal_mol_angstrom.size() != molecule.n_atoms) {
        stop_assert_eq("Dispersion gradient array length does not match the atom count",
                       gradients_kcal_mol_angstrom.size(), molecule.n_atoms);
    }
    return dispersion(molecule, model, gradients_kcal_mol_angstrom.data());
}

double compute_dispersion_energy(const MolecularBatch& molecule, DispersionModel model) {
    return dispersion(molecule, model, nullptr);
}

DispersionModel dispersion_model_named(const std::string& upper_name) {
    if (upper_name == "DH+" || upper_name == "PM6-DH+" || upper_name == "PM6_DH+") return kDispersionPm6DhPlus;
    if (upper_name == "PM7") return kDispersionPm7;
    if (upper_name == "D3" || upper_name == "D3BJ" || upper_name == "D3-BJ" || upper_name == "PM6-D3" ||
        upper_name == "AM1-D3") {
        return kDispersionD3Bj;
    }
    throw RequestError("Unknown dispersion model '" + upper_name + "'. Supported: 'PM6-DH+', 'PM7', 'D3-BJ'");
}

}  // namespace quorin
