#pragma once
// Dense matrix kernels on BLAS (OpenBLAS), for the O(n^3) steps of the SCF
// and its readers. All matrices are row-major.
#include <cstddef>

#include "core/scf/blas_threads.h"
#include "core/types/aligned.h"

namespace quorin {

// c := a b for a (m x k), b (k x n), c (m x n). Stops on shape mismatch.
void multiply(const Matrix& a, const Matrix& b, Matrix& c);

// c := a b[:, :k] for a (m x n), b (n x >= k), c (m x k).
void multiply_leading_columns(const Matrix& a, const Matrix& b, std::size_t k, Matrix& c);

// out := alpha a[:, :k] a[:, :k]^T for a (n x >= k), out (n x n), both
// triangles filled. k = 0 gives a zero matrix.
void leading_columns_gram(const Matrix& a, std::size_t k, double alpha, Matrix& out);

}  // namespace quorin
