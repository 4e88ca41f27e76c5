#pragma once
// Dense symmetric eigensolver: cyclic Jacobi rotations with a threshold
// strategy in the first sweeps and a fixed sweep limit. Eigenvalues come out
// in ascending order, eigenvectors as the columns of the eigenvector matrix.
#include <cstddef>

#include "core/types/aligned.h"

namespace quorin {

inline constexpr std::size_t kJacobiMaxSweeps = 100;

// Diagonalises the symmetric n x n matrix a (left untouched) using an
// internal work copy. Returns the number of sweeps (kJacobiMaxSweeps when the
// off-diagonal sum never fell below n * 1e-14). Stops on shape mismatch.
std::size_t diagonalize_symmetric(const Matrix& a, Vec64& eigenvalues, Matrix& eigenvectors);

// As diagonalize_symmetric, with a caller-owned n x n work matrix. On return
// its diagonal holds the unsorted eigenvalues and its off-diagonal whatever
// the rotations left behind.
std::size_t diagonalize_symmetric_with_work(const Matrix& a, Matrix& work, Vec64& eigenvalues,
                                            Matrix& eigenvectors);

}  // namespace quorin
