#pragma once
// The dense symmetric eigensolver for large matrices, in steps that each take
// a fraction of a second, with a look for a pending stop between them. One
// LAPACK call on a matrix of thousands of rows runs for seconds and cannot be
// stopped; here the reduction to tridiagonal form runs one panel of columns
// at a time, the tridiagonal problem is split in halves down to pieces of at
// most 1,000 rows that LAPACK solves in one call each, and the pieces are
// joined again by rank-one updates: up to order 2,000 in one LAPACK call
// each, larger ones with their secular equations, eigenvector formulas and
// matrix products a block of roots or columns at a time. The
// back-transformation runs one block of eigenvectors at a time. It is the
// same divide and conquer that the one-call driver runs, with the same work.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/types/aligned.h"

namespace quorin {

// From this order on, diagonalize_symmetric (core/scf/eigensolver.h) runs in
// stages: below it one LAPACK call finishes in well under a second.
inline constexpr std::size_t kStagedEigensolverMinOrder = 1000;

// Doubles and 32-bit integers of scratch the staged solver needs for order n;
// the same as the one-call driver's minimum.
std::size_t staged_eigensolver_real_work(std::size_t n);
std::size_t staged_eigensolver_integer_work(std::size_t n);

// Eigenvalues of the symmetric matrix a ascending, eigenvectors in the
// columns of `eigenvectors` with the sign rule of fix_eigenvector_signs; a
// stays untouched.
// `real_work` and `integer_work` hold at least the sizes above. Calls
// check_interruption between steps. Returns false when a LAPACK step reports
// a failure or an eigenvalue is not finite; the outputs are then unusable.
bool diagonalize_in_stages(const Matrix& a, Vec64& real_work, std::vector<std::int32_t>& integer_work,
                           Vec64& eigenvalues, Matrix& eigenvectors);

}  // namespace quorin
