#pragma once
// Starting density of the SCF: every atom neutral, its valence electrons
// spread evenly over its orbitals, no bonds.
#include <cstddef>

#include "core/parameters/parameter_model.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// density := the diagonal neutral-atom density. Each atom holds its core
// charge: main-group atoms spread it evenly over s and p (a d shell stays
// empty); transition metals put up to two electrons in s and spread the rest
// evenly over d. No orbital takes more than two electrons; what would not fit
// goes to the atom's other orbitals. Atoms without parameters stay empty.
void build_atomic_guess_density(const MolecularBatch& molecule, const ParameterModel& model, Matrix& density);

// density := the closed-shell density of the n_occ lowest orbitals (columns
// of coefficients, energies ascending), except that a set of orbitals
// degenerate (within kGuessDegeneracyEv) across the occupied-virtual border
// shares its electrons evenly. The neutral-atom Fock matrix has such sets
// (a metal's untouched d orbitals); picking some of them would make the SCF's
// result depend on the molecule's orientation.
inline constexpr double kGuessDegeneracyEv = 1e-6;
void build_guess_orbital_density(const Matrix& coefficients, const Vec64& orbital_energies, std::size_t n_occ,
                                 Matrix& density);

}  // namespace quorin
