#include "core/gradients/heat_of_formation.h"

#include <algorithm>

#include "core/types/constants.h"

namespace quorin {

namespace {

struct AtomConfiguration {
    double n_s;
    double n_p;
    double n_d;
    double heat_kcal_mol;
};

// Ground-state valence occupations and experimental atomic heats of
// formation, H to Kr; Z = 0 is a placeholder. Transition metals keep their d
// electrons out of the two-electron terms (only n_d u_dd enters).
constexpr AtomConfiguration kConfigurations[] = {
    {1, 0, 0, 0.0},       // 0
    {1, 0, 0, 52.102},    // H
    {2, 0, 0, 0.0},       // He
    {1, 0, 0, 38.41},     // Li
    {2, 0, 0, 76.96},     // Be
    {2, 1, 0, 135.7},     // B
    {2, 2, 0, 170.89},    // C
    {2, 3, 0, 113.0},     // N
    {2, 4, 0, 59.559},    // O
    {2, 5, 0, 18.89},     // F
    {2, 6, 0, 0.0},       // Ne
    {1, 0, 0, 25.65},     // Na
    {2, 0, 0, 35.0},      // Mg
    {2, 1, 0, 79.49},     // Al
    {2, 2, 0, 108.39},    // Si
    {2, 3, 0, 75.57},     // P
    {2, 4, 0, 66.4},      // S
    {2, 5, 0, 28.99},     // Cl
    {2, 6, 0, 0.0},       // Ar
    {1, 0, 0, 21.42},     // K
    {2, 0, 0, 42.6},      // Ca
    {2, 0, 1, 90.3},      // Sc
    {2, 0, 2, 112.3},     // Ti
    {2, 0, 3, 122.9},     // V
    {1, 0, 5, 95.0},      // Cr
    {2, 0, 5, 67.7},      // Mn
    {2, 0, 6, 99.3},      // Fe
    {2, 0, 7, 102.4},     // Co
    {2, 0, 8, 102.8},     // Ni
    {1, 0, 10, 80.7},     // Cu
    {2, 0, 0, 31.17},     // Zn
    {2, 1, 0, 65.4},      // Ga
    {2, 2, 0, 89.5},      // Ge
    {2, 3, 0, 72.3},      // As
    {2, 4, 0, 54.3},      // Se
    {2, 5, 0, 26.74},     // Br
    {2, 6, 0, 0.0},       // Kr
};

constexpr AtomConfiguration kIodine{2, 5, 0, 25.517};
constexpr AtomConfiguration kUnlisted{1, 0, 0, 0.0};

AtomConfiguration configuration_of(std::uint8_t z) {
    if (z < std::size(kConfigurations)) return kConfigurations[z];
    if (z == 53) return kIodine;
    return kUnlisted;
}

}  // namespace

std::pair<double, double> get_isolated_atom_energy_and_heat(std::uint8_t atomic_number,
                                                            const ParameterModel& model) {
    const auto rec = model.get_element(atomic_number);
    if (!rec) return {0.0, 0.0};
    const AtomConfiguration c = configuration_of(atomic_number);
    const double ns = c.n_s, np = c.n_p, nd = c.n_d;
    // p-shell repulsion: np(np-1)/2 electron pairs at g_p2, less the exchange
    // integral (g_pp - g_p2)/2 for each of the q parallel-spin pairs that the
    // m electrons (or holes) of a high-spin p shell form.
    const double p_pairs = np * (np - 1.0) / 2.0;
    const double m = std::min(np, 6.0 - np);
    const double q = m * (m - 1.0) / 2.0;
    const double energy_ev = ns * rec->u_ss + np * rec->u_pp + nd * rec->u_dd +
                             std::max(ns - 1.0, 0.0) * rec->g_ss + ns * np * rec->g_sp -
                             (q / 2.0) * rec->g_pp + (p_pairs + q / 2.0) * rec->g_p2 -
                             (ns * np / 2.0) * rec->h_sp;
    return {energy_ev, c.heat_kcal_mol};
}

IsolatedAtomSums sum_isolated_atoms(const MolecularBatch& molecule, const ParameterModel& model) {
    IsolatedAtomSums sums;
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const auto [energy_ev, heat_kcal_mol] =
            get_isolated_atom_energy_and_heat(molecule.atomic_numbers[a], model);
        sums.energy_ev += energy_ev;
        sums.heat_kcal_mol += heat_kcal_mol;
    }
    return sums;
}

double compute_heat_of_formation_kcal_mol(const MolecularBatch& molecule, const ParameterModel& model,
                                          double total_energy_ev) {
    const IsolatedAtomSums atoms = sum_isolated_atoms(molecule, model);
    return atoms.heat_kcal_mol + (total_energy_ev - atoms.energy_ev) * kEvToKcalMol;
}

}  // namespace quorin
