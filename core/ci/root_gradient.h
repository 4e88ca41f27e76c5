#pragma once
// Nuclear gradient of the total energy of one CI root: the SCF energy plus
// the root's CI energy, differentiated with the SCF re-solved at every
// displaced geometry (the CI energy depends on the orbitals, which the
// ground-state density gradient does not follow).
#include <array>
#include <span>
#include <vector>

#include "core/ci/ci_matrix.h"
#include "core/parameters/parameter_model.h"
#include "core/scf/scf_loop.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// Gradient (eV/angstrom, one triple per atom, net force removed) of
// E_SCF + E_CI for the root whose normalised CI vector over the microstates
// of `options` is `ci_vector`. `density`, `coefficients` and
// `orbital_energies` are the SCF's converged density, MO coefficients and
// MO energies at the molecule's geometry, and `scf_options` the options of
// that SCF.
//
// Method: central differences (1e-3 angstrom) of the root's energy. At each
// displaced geometry the SCF is re-solved, started from `density` and
// converged tightly. The window there is made of the displaced occupied and
// virtual MOs that overlap the reference window most (the energy-ordered
// window unless a level is degenerate across its edge, whose window orbital
// is then carried over smoothly), rotated among themselves onto the
// reference orbitals. The root's CI energy there is that of the fixed CI
// vector, through its one- and two-particle densities: the root's energy is
// stationary in its CI vector, so holding the vector changes the energy only
// in second order, which central differences cancel, and the root is
// followed by its vector across close roots. Stops when a displaced SCF does
// not converge or the window cannot be followed; the molecule's coordinates
// are restored on every path.
std::vector<std::array<double, 3>> compute_ci_root_gradient(MolecularBatch& molecule, const ParameterModel& model,
                                                            const ScfOptions& scf_options, const Matrix& density,
                                                            const Matrix& coefficients,
                                                            std::span<const double> orbital_energies,
                                                            const MeciOptions& options,
                                                            std::span<const double> ci_vector);

}  // namespace quorin
