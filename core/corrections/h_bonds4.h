#pragma once
// Geometry-only empirical corrections for hydrogen bonds: the H4 energy of
// N-H...N/O and O-H...N/O contacts, and a short-range hydrogen-hydrogen
// repulsion with its gradient. Energies in kcal/mol, coordinates in angstrom.
#include <array>
#include <utility>
#include <vector>

#include "core/types/molecule.h"

namespace quorin {

// H4 parameters in order: weights (kcal/mol) of O-H...O, O-H...N, N-H...O,
// N-H...N (donor first); multipliers for a water-like donor oxygen, an
// ammonium-like donor nitrogen and a carboxylate-like acceptor oxygen.
using H4Parameters = std::array<double, 7>;

// H4 hydrogen-bond energy in kcal/mol (negative for bound contacts). Energy
// only; the term has no gradient.
double compute_h4_energy(const MolecularBatch& molecule, const H4Parameters& parameters);

// Hydrogen-hydrogen repulsion: (energy in kcal/mol, gradient in
// kcal/mol/angstrom with one row per atom, zero rows for non-hydrogens).
std::pair<double, std::vector<std::array<double, 3>>> compute_hh_repulsion_energy_and_gradients(
    const MolecularBatch& molecule);

}  // namespace quorin
