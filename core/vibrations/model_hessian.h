#pragma once
// A model of the Cartesian Hessian from the geometry alone: harmonic
// stretches of atom pairs, bends of atom triples and torsions of chains of
// four, each force constant scaled by how bonded its atoms are,
// rho_ij = exp(alpha (r_ref^2 - r_ij^2)) with alpha and r_ref by the rows of
// the periodic table of the two atoms (a bend by rho_ij rho_jk, a torsion by
// rho_ij rho_jk rho_kl). Not the engine's Hessian: a cheap guide to which
// motions are soft and which stiff, for searches that meet the true Hessian
// only through its products with vectors.
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// The model, 3N x 3N in kcal/(mol angstrom^2), symmetric, positive
// semidefinite and blind to rigid translations and rotations (every term is
// a function of distances and angles).
Matrix model_cartesian_hessian(const MolecularBatch& molecule);

}  // namespace quorin
