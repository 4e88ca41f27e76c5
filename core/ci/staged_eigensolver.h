#pragma once
// The dense symmetric eigensolver for large CI matrices, in steps that each
// take a fraction of a second, with a look for a pending stop between them.
// One LAPACK call on a matrix of thousands of rows runs for many seconds and
// cannot be stopped; here the reduction to tridiagonal form runs one panel
// of columns at a time and the back-transformation one block of eigenvectors
// at a time. Only the tridiagonal eigensolver remains one call (about n^3/4
// flops at most, far less when many couplings vanish).
#include <cstddef>

#include "core/types/aligned.h"

namespace quorin {

// Matrices below this order go to diagonalize_symmetric in one call: it
// finishes in well under a second.
inline constexpr std::size_t kStagedEigensolverMinOrder = 1000;

// Same contract as diagonalize_symmetric (core/scf/eigensolver.h):
// eigenvalues ascending, eigenvectors in columns with their largest
// component positive; a stays untouched. Calls check_interruption between
// steps. Falls back to diagonalize_symmetric when LAPACK reports a failure.
void diagonalize_in_stages(const Matrix& a, Vec64& eigenvalues, Matrix& eigenvectors);

// Doubles of scratch diagonalize_in_stages holds for a matrix of order n (a
// reduced copy of the matrix, the tridiagonal solver's work), for memory
// plans.
std::size_t staged_eigensolver_scratch_doubles(std::size_t n);

}  // namespace quorin
