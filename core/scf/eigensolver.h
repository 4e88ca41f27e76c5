#pragma once
// Dense symmetric eigensolver. The LAPACK divide-and-conquer driver does the
// work, from order kStagedEigensolverMinOrder on in steps that answer a stop
// request (core/scf/staged_eigensolver.h); a cyclic Jacobi (threshold
// strategy in the first sweeps, fixed sweep limit) takes over if LAPACK
// reports a failure. Eigenvalues come out in
// ascending order, eigenvectors as the columns of the eigenvector matrix, each
// with its largest-magnitude component positive, so that results do not depend
// on the library build.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/types/aligned.h"

namespace quorin {

inline constexpr std::size_t kJacobiMaxSweeps = 100;

// The LAPACK work arrays of one matrix size. Repeated callers allocate them
// once and reuse them; only the Jacobi fallback, if LAPACK ever fails,
// allocates its own work matrix.
struct EigensolverWorkspace {
    Vec64 work;                       // real LAPACK workspace
    std::vector<std::int32_t> iwork;  // integer LAPACK workspace
    std::size_t n = 0;

    static EigensolverWorkspace allocate(std::size_t n);
};

// Diagonalises the symmetric n x n matrix a (left untouched). Returns the
// Jacobi sweep count when the fallback ran, else 0. Never fails numerically;
// stops on shape mismatch. From order kStagedEigensolverMinOrder on it calls
// check_interruption between its steps (Interrupted passes through). This
// form allocates its scratch per call.
std::size_t diagonalize_symmetric(const Matrix& a, Vec64& eigenvalues, Matrix& eigenvectors);

// The same with caller-owned scratch of a's size: allocates nothing.
std::size_t diagonalize_symmetric(const Matrix& a, EigensolverWorkspace& workspace, Vec64& eigenvalues,
                                  Matrix& eigenvectors);

// The same, with a caller-owned n x n matrix for the Jacobi fallback; the
// LAPACK scratch is allocated per call.
std::size_t diagonalize_symmetric_with_work(const Matrix& a, Matrix& work, Vec64& eigenvalues,
                                            Matrix& eigenvectors);

// The cyclic Jacobi itself, without the sign convention. On return the work
// matrix's diagonal holds the unsorted eigenvalues and its off-diagonal
// whatever the rotations left behind. Returns the sweep count
// (kJacobiMaxSweeps when the off-diagonal sum never fell below n * 1e-14).
std::size_t diagonalize_symmetric_jacobi(const Matrix& a, Matrix& work, Vec64& eigenvalues,
                                         Matrix& eigenvectors);

// Flips each column so that its largest-magnitude component is positive; among
// components equal in magnitude to within 1e-10 relative, the lowest index.
void fix_eigenvector_signs(Matrix& eigenvectors);

// The same rule for one vector of n entries v[0], v[stride], ...
void fix_eigenvector_sign(double* v, std::size_t n, std::size_t stride);

}  // namespace quorin
