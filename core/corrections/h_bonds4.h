#pragma once
// Geometry-only empirical corrections for hydrogen bonds: the H4 energy of
// N-H...N/O and O-H...N/O contacts and a short-range hydrogen-hydrogen
// repulsion, each with its analytic gradient. Energies in kcal/mol,
// coordinates in angstrom.
#include <array>
#include <span>
#include <utility>
#include <vector>

#include "core/types/molecule.h"

namespace quorin {

// H4 parameters in order: weights (kcal/mol) of O-H...O, O-H...N, N-H...O,
// N-H...N (donor first); multipliers for a water-like donor oxygen, an
// ammonium-like donor nitrogen and a carboxylate-like acceptor oxygen.
using H4Parameters = std::array<double, 7>;

// H4 hydrogen-bond energy in kcal/mol (negative for bound contacts).
double compute_h4_energy(const MolecularBatch& molecule, const H4Parameters& parameters);

// The same energy; its analytic gradient (kcal/mol/angstrom) is added into
// `gradients_kcal_mol_angstrom`, one row per atom. The gradient is that of
// the contacts' roles at the given geometry (donor, acceptor, the acceptor's
// closest bonded carbon and its other oxygen), which change only in steps.
// Stops when the row count differs from the atom count.
double compute_h4_energy_and_gradients(const MolecularBatch& molecule, const H4Parameters& parameters,
                                       std::span<std::array<double, 3>> gradients_kcal_mol_angstrom);

// Hydrogen-hydrogen repulsion: (energy in kcal/mol, gradient in
// kcal/mol/angstrom with one row per atom, zero rows for non-hydrogens).
// Summed over every pair of hydrogen atoms of the molecule, the hydrogens
// bonded to one atom included: methane's six pairs at 1.78 angstrom add
// 11.0 kcal/mol, water's one 4.8 kcal/mol.
std::pair<double, std::vector<std::array<double, 3>>> compute_hh_repulsion_energy_and_gradients(
    const MolecularBatch& molecule);

}  // namespace quorin
