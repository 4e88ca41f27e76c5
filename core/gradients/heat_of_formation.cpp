#include "core/gradients/heat_of_formation.h"

#include <algorithm>
#include <array>
#include <bit>
#include <optional>

#include "core/fock/one_center.h"
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
// formation, H to Kr; Z = 0 is a placeholder.
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

// One shell of an atom: its orbitals [first, first + count) and electrons.
struct Shell {
    std::size_t first;
    std::size_t count;
    int electrons;
};

// Orbitals a shell's high-spin determinants choose among: with n electrons in
// g orbitals, n alpha electrons take n of them (n <= g), or alpha fills the
// shell and n - g beta electrons take n - g of them.
int chosen_orbitals(const Shell& shell) {
    const int g = static_cast<int>(shell.count);
    return shell.electrons <= g ? shell.electrons : shell.electrons - g;
}

// Electronic energy of the atom in its high-spin ground configuration, with
// the one-centre energies and integrals the SCF uses (a molecule's energy
// holds every s-d and d-d repulsion, so its atom reference must too): the
// average over the highest-spin determinants, each shell filled alpha first,
// which is the spherical ground term. Each determinant's energy is sum U plus,
// for every electron pair in orbitals i and j, (ii|jj) less (ij|ij) when the
// spins are equal.
// Returns nothing when the model gives the element no d orbitals.
std::optional<double> high_spin_atom_energy(std::uint8_t atomic_number, const ParameterModel& model,
                                            const ElementParams& element, const AtomConfiguration& c) {
    constexpr std::array<std::array<double, 3>, 1> kOrigin{};
    const MolecularBatch atom = MolecularBatch::new_for_model({atomic_number}, kOrigin, model);
    if (atom.n_basis < 9) return std::nullopt;
    const OneCenterTables tables = OneCenterTables::build(atom, model);
    const double* table = tables.spd.data();
    auto integral = [table](std::size_t i, std::size_t j, std::size_t k, std::size_t l) {
        return table[packed_pair_index(i, j) * kSpdPairs + packed_pair_index(k, l)];
    };
    const std::array<Shell, 3> shells{Shell{0, 1, static_cast<int>(c.n_s)}, Shell{1, 3, static_cast<int>(c.n_p)},
                                      Shell{4, 5, static_cast<int>(c.n_d)}};
    const std::array<double, 9> u{element.u_ss, element.u_pp, element.u_pp, element.u_pp, element.u_dd,
                                  element.u_dd, element.u_dd, element.u_dd, element.u_dd};
    double sum = 0.0;
    int determinants = 0;
    // Bit i of `mask` marks orbital i as one of its shell's chosen orbitals.
    for (unsigned mask = 0; mask < (1u << 9); ++mask) {
        const bool fits = std::all_of(shells.begin(), shells.end(), [mask](const Shell& shell) {
            return std::popcount((mask >> shell.first) & ((1u << shell.count) - 1u)) == chosen_orbitals(shell);
        });
        if (!fits) continue;
        std::array<double, 9> alpha{}, beta{};
        for (const Shell& shell : shells) {
            const bool over_half = shell.electrons > static_cast<int>(shell.count);
            for (std::size_t i = shell.first; i < shell.first + shell.count; ++i) {
                const double chosen = (mask >> i) & 1u ? 1.0 : 0.0;
                alpha[i] = over_half ? 1.0 : chosen;
                beta[i] = over_half ? chosen : 0.0;
            }
        }
        double energy = 0.0;
        for (std::size_t i = 0; i < 9; ++i) {
            energy += (alpha[i] + beta[i]) * u[i];
            for (std::size_t j = 0; j < 9; ++j) {
                const double total = (alpha[i] + beta[i]) * (alpha[j] + beta[j]);
                const double same_spin = alpha[i] * alpha[j] + beta[i] * beta[j];
                energy += 0.5 * (total * integral(i, i, j, j) - same_spin * integral(i, j, i, j));
            }
        }
        sum += energy;
        ++determinants;
    }
    return sum / determinants;
}

}  // namespace

std::pair<double, double> get_isolated_atom_energy_and_heat(std::uint8_t atomic_number,
                                                            const ParameterModel& model) {
    const auto rec = model.get_element(atomic_number);
    if (!rec) return {0.0, 0.0};
    const AtomConfiguration c = configuration_of(atomic_number);
    if (c.n_d > 0.0) {
        if (const std::optional<double> energy_ev = high_spin_atom_energy(atomic_number, model, *rec, c)) {
            return {*energy_ev, c.heat_kcal_mol};
        }
    }
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
