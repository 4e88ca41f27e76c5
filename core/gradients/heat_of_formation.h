#pragma once
// Isolated-atom reference energies and the heat-of-formation rule that turns
// an SCF total energy into a standard heat of formation.
#include <cstdint>
#include <utility>

#include "core/parameters/parameter_model.h"
#include "core/types/molecule.h"

namespace quorin {

// (E_atom in eV, experimental heat of formation of the gaseous atom in
// kcal/mol) for one element under one model. The atom is taken in a fixed
// ground-state configuration with its high-spin (Hund) occupation; an atom
// with d electrons and d orbitals gets the average over its high-spin
// determinants, all one-centre repulsions included. An element without
// parameters gives (0, 0).
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
