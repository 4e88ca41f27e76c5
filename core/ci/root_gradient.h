#pragma once
// Nuclear gradient of the total energy of one CI root: the SCF energy plus
// the root's CI energy, with the response of the SCF orbitals that the CI
// energy, unlike the SCF energy, is not stationary in.
#include <array>
#include <span>
#include <vector>

#include "core/ci/ci_matrix.h"
#include "core/parameters/parameter_model.h"
#include "core/scf/scf_loop.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// Orbital energies (eV) closer than this count as one degenerate level.
inline constexpr double kDegenerateOrbitalsEv = 1e-5;

// Gradient (eV/angstrom, one triple per atom, net force removed) of
// E_SCF + E_CI for the root whose normalised CI vector over the microstates
// of `options` is `ci_vector`. `density`, `coefficients` and
// `orbital_energies` are the SCF's density, MO coefficients and MO energies
// at the molecule's geometry, converged as converge_scf_for_ci leaves them,
// and `scf_options` the options of that SCF (gas phase: no solvent, field or
// point charges).
//
// The root's energy is stationary in its CI vector, so the vector is held
// fixed; the CI energy then depends on the geometry through the integrals,
// the Fock matrix over the window and the canonical SCF orbitals that make
// the window. The orbitals' change is carried by one linear response of the
// SCF (a Z-vector equation), and the gradient is the frozen-density gradient
// of the SCF density, plus that of a relaxed difference density at fixed SCF
// density, plus the two-centre integral derivatives contracted with the
// root's two-particle density. The energy does not change under rotations
// of degenerate window orbitals (kDegenerateOrbitalsEv) into each other,
// which are left out. Refuses, as run_meci does, a window whose edge lies
// within kWindowEdgeGapEv of the next MO outside. Stops when the orbital
// response does not converge (an unstable SCF); the molecule's coordinates
// are restored on every path.
std::vector<std::array<double, 3>> compute_ci_root_gradient(MolecularBatch& molecule, const ParameterModel& model,
                                                            const ScfOptions& scf_options, const Matrix& density,
                                                            const Matrix& coefficients,
                                                            std::span<const double> orbital_energies,
                                                            const MeciOptions& options,
                                                            std::span<const double> ci_vector);

}  // namespace quorin
