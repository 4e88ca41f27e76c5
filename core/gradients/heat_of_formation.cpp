#include "core/gradients/heat_of_formation.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "core/fock/one_center.h"
#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

struct AtomConfiguration {
    double n_s;
    double n_p;
    double n_d;
    double heat_kcal_mol;
};

// Ground-state valence occupations and experimental atomic heats of
// formation (kcal/mol), H to Kr; Z = 0 is a placeholder.
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
// 7s2 6d2.
constexpr AtomConfiguration kThorium{2, 0, 2, 143.9};
constexpr AtomConfiguration kUnlisted{1, 0, 0, 0.0};

AtomConfiguration configuration_of(std::uint8_t z) {
    if (z < std::size(kConfigurations)) return kConfigurations[z];
    if (z == 53) return kIodine;
    if (z == 90) return kThorium;
    return kUnlisted;
}

// Average-of-configuration energy: sum n U plus, for every shell pair, the
// mean repulsion of an electron pair over all spin-orbital pairs of the
// configuration, with J = (ii|jj) and K = (ij|ij) from the atom's one-centre
// table. Within a shell of g orbitals the n(n - 1)/2 pairs each get
// 2 S / (g (2g - 1)); between shells the n_a n_b pairs each get
// S / (g_a g_b), where S sums J - K/2 over the orbital pairs.
double average_of_configuration_energy(const ElementParams& element, const DElementParams* d_params,
                                       const AtomReference& occ) {
    std::array<double, kSpdPairs * kSpdPairs> table;
    fill_spd_one_center_table(element, d_params, table.data());
    const auto pair_sum = [&table](std::size_t a0, std::size_t a1, std::size_t b0, std::size_t b1) {
        double sum = 0.0;
        for (std::size_t i = a0; i < a1; ++i) {
            for (std::size_t j = b0; j < b1; ++j) {
                sum += table[packed_pair_index(i, i) * kSpdPairs + packed_pair_index(j, j)] -
                       0.5 * table[packed_pair_index(i, j) * kSpdPairs + packed_pair_index(i, j)];
            }
        }
        return sum;
    };
    struct Shell {
        std::size_t first, count;
        double electrons, u;
    };
    const std::array<Shell, 3> shells{Shell{0, 1, occ.n_s, element.u_ss}, Shell{1, 3, occ.n_p, element.u_pp},
                                      Shell{4, 5, occ.n_d, element.u_dd}};
    double energy = 0.0;
    for (std::size_t a = 0; a < shells.size(); ++a) {
        const Shell& sa = shells[a];
        if (sa.electrons == 0.0) continue;
        const double ga = static_cast<double>(sa.count);
        energy += sa.electrons * sa.u;
        energy += sa.electrons * (sa.electrons - 1.0) / (ga * (2.0 * ga - 1.0)) *
                  pair_sum(sa.first, sa.first + sa.count, sa.first, sa.first + sa.count);
        for (std::size_t b = a + 1; b < shells.size(); ++b) {
            const Shell& sb = shells[b];
            if (sb.electrons == 0.0) continue;
            energy += sa.electrons * sb.electrons / (ga * static_cast<double>(sb.count)) *
                      pair_sum(sa.first, sa.first + sa.count, sb.first, sb.first + sb.count);
        }
    }
    return energy;
}

// Hund (high-spin) ground term of s^ns p^np: np(np-1)/2 electron pairs at
// g_p2, less the exchange integral (g_pp - g_p2)/2 for each of the q
// parallel-spin pairs that the m electrons (or holes) of the p shell form.
double high_spin_sp_energy(const ElementParams& e, const AtomReference& occ) {
    const double ns = occ.n_s, np = occ.n_p;
    const double p_pairs = np * (np - 1.0) / 2.0;
    const double m = std::min(np, 6.0 - np);
    const double q = m * (m - 1.0) / 2.0;
    return ns * e.u_ss + np * e.u_pp + std::max(ns - 1.0, 0.0) * e.g_ss + ns * np * e.g_sp -
           (q / 2.0) * e.g_pp + (p_pairs + q / 2.0) * e.g_p2 - (ns * np / 2.0) * e.h_sp;
}

}  // namespace

std::optional<AtomReference> isolated_atom_reference(std::uint8_t atomic_number, const ParameterModel& model) {
    const auto rec = model.get_element(atomic_number);
    if (!rec) return std::nullopt;
    const AtomConfiguration c = configuration_of(atomic_number);
    AtomReference ref{c.n_s, c.n_p, c.n_d, c.heat_kcal_mol, c.n_d > 0.0};
    const std::uint8_t orbitals = model.basis_type(atomic_number);
    // A model that gives the atom no d shell holds its d electrons in the p
    // shell, its only valence shell beyond s.
    if (ref.n_d > 0.0 && orbitals < 9) {
        ref.n_p += ref.n_d;
        ref.n_d = 0.0;
    }
    const bool fits = ref.n_s <= 2.0 && ref.n_p <= (orbitals >= 4 ? 6.0 : 0.0) &&
                      ref.n_d <= (orbitals >= 9 ? 10.0 : 0.0);
    if (!fits || ref.n_s + ref.n_p + ref.n_d != rec->core_charge) {
        throw EngineStop("No isolated-atom reference for element Z=" + std::to_string(atomic_number) + " under " +
                         std::string(model.name()) + ": its configuration does not hold the " +
                         std::to_string(static_cast<int>(rec->core_charge)) + " valence electrons of the model");
    }
    return ref;
}

std::pair<double, double> get_isolated_atom_energy_and_heat(std::uint8_t atomic_number,
                                                            const ParameterModel& model) {
    const std::optional<AtomReference> ref = isolated_atom_reference(atomic_number, model);
    if (!ref) return {0.0, 0.0};
    const ElementParams rec = *model.get_element(atomic_number);
    if (!ref->averaged) return {high_spin_sp_energy(rec, *ref), ref->heat_kcal_mol};
    const std::optional<DElementParams> d = model.get_d_element_params(atomic_number);
    return {average_of_configuration_energy(rec, d ? &*d : nullptr, *ref), ref->heat_kcal_mol};
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
