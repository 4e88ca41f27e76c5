#pragma once
// Mulliken orbital and atomic populations in the overlapping Slater basis.
// The SCF works in an orthogonalised basis; its orbitals are carried back by
// S^-1/2 (S the valence s/p overlap matrix) before the populations are formed.
#include <cstddef>

#include "core/parameters/parameter_model.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

struct MullikenResult {
    Matrix overlap;             // S: unit diagonal, s/p blocks between atoms
    Matrix s_inv_sqrt;          // S^-1/2
    Matrix density;             // D = 2 sum_occ C'_ik C'_jk, C' = S^-1/2 C
    Matrix population_matrix;   // D_ij S_ij
    Vec64 orbital_populations;  // q_mu = sum_nu D_mu_nu S_mu_nu
    Vec64 atomic_populations;   // per atom, sum of its q_mu
    Vec64 charges;              // core charge minus population
    double total_population = 0.0;
};

// Populations of the n_occ lowest doubly occupied orbitals of `coefficients`
// (n_basis x n_basis, one orbital per column). Stops on a coefficient matrix
// of the wrong shape or n_occ > n_basis.
MullikenResult compute_mulliken_population(const MolecularBatch& molecule, const ParameterModel& model,
                                           const Matrix& coefficients, std::size_t n_occ);

}  // namespace quorin
