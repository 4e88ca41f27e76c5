#pragma once
// Isolated-atom reference energies and the heat-of-formation rule that turns
// an SCF total energy into a standard heat of formation.
#include <cstdint>
#include <optional>
#include <utility>

#include "core/parameters/parameter_model.h"
#include "core/types/molecule.h"

namespace quorin {

// Valence occupations of an element's reference configuration in the
// model's shells (a model without a d shell holds the d electrons in its p
// shell) and the experimental heat of formation of the gaseous atom.
struct AtomReference {
    double n_s = 0.0, n_p = 0.0, n_d = 0.0;
    double heat_kcal_mol = 0.0;
    // The configuration has d electrons: its energy is the average of
    // configuration. Otherwise it is the high-spin (Hund) ground term.
    bool averaged = false;
};

// The reference of an element under a model; none when the model has no
// parameters for it. Stops when the configuration's electrons do not fit the
// model's shells or do not number the model's core charge.
std::optional<AtomReference> isolated_atom_reference(std::uint8_t atomic_number, const ParameterModel& model);

// (E_atom in eV, atomic heat in kcal/mol) of an element under a model, from
// the model's own one-centre energies and integrals (those the Fock builder
// uses, s-d, p-d and d-d terms included). An element without parameters
// gives (0, 0); stops as isolated_atom_reference does.
std::pair<double, double> get_isolated_atom_energy_and_heat(std::uint8_t atomic_number,
                                                            const ParameterModel& model);

// Sums over a molecule's atoms of the isolated-atom energies and heats.
struct IsolatedAtomSums {
    double energy_ev = 0.0;
    double heat_kcal_mol = 0.0;
};
IsolatedAtomSums sum_isolated_atoms(const MolecularBatch& molecule, const ParameterModel& model);

// Heat of formation in kcal/mol: sum of the atomic heats plus the atomisation
// energy (total_energy_ev minus the isolated-atom energies) in kcal/mol.
double compute_heat_of_formation_kcal_mol(const MolecularBatch& molecule, const ParameterModel& model,
                                          double total_energy_ev);

}  // namespace quorin
