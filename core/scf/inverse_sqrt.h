#pragma once
// Inverse square root of a symmetric positive (semi-)definite matrix, such as
// an overlap matrix, for symmetric orthogonalisation.
#include "core/scf/eigensolver.h"
#include "core/types/aligned.h"

namespace quorin {

// x := S^-1/2 = W W^T with W = U diag(|lambda|^-1/4) from the eigenpairs
// (lambda, U) of s, each |lambda| floored at min_eigenvalue so that a
// near-singular S stays invertible. The workspace, eigenvalues, eigenvectors
// and x have s's size; on return eigenvectors holds W and eigenvalues the
// factors |lambda|^-1/4. Stops on a shape mismatch.
void inverse_sqrt_symmetric(const Matrix& s, double min_eigenvalue, EigensolverWorkspace& workspace,
                            Vec64& eigenvalues, Matrix& eigenvectors, Matrix& x);

}  // namespace quorin
