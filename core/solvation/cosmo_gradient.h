#pragma once
// Nuclear gradient of the dielectric energy of a converged solvated SCF.
//
// With phi the potential of cores and electrons on the segments, sigma the
// solution of A sigma = phi and q = f(eps) sigma the screening charges, the
// dielectric energy is E = (e^2 / 2) f sigma . phi. The SCF makes the total
// energy stationary in the density, so its gradient at the converged density
// P is the gas-phase frozen-density gradient plus, at fixed P,
//   dE/dX = e^2 [ q . dphi/dX - (1 / 2f) q^T (dA/dX) q ].
//
// Segments are carried rigidly by their atom. The cavity is piecewise rigid:
// as long as no fine grid point crosses the solvent sphere of another atom,
// each segment keeps its area and normal and its centre moves with its atom,
// and the formula is the exact derivative of the reported energy. What it
// leaves out are the steps where a fine point becomes buried or exposed;
// those change the energy by a jump (1e-5 to 1e-4 eV for one point on small
// molecules), not by a slope, and have no derivative to add.
#include <array>
#include <span>

#include "core/solvation/cosmo.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// Adds the dielectric energy's gradient (eV/angstrom, one triple per atom) at
// `density` to `gradient`. `state` is the solvated SCF's state at the same
// geometry; its electronic screening charges are recomputed from `density`.
// Adds nothing without screening (eps <= 1). Stops when `gradient` does not
// hold one triple per atom or the density is not n_basis x n_basis.
void add_cosmo_gradient(const MolecularBatch& molecule, const Matrix& density, CosmoState& state,
                        std::span<std::array<double, 3>> gradient);

}  // namespace quorin
