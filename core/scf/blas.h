#pragma once
// Dense matrix kernels on BLAS (OpenBLAS), for the O(n^3) steps of the SCF
// and its readers. All matrices are row-major.
#include <cstddef>

#include "core/types/aligned.h"

namespace quorin {

// The library's thread count is one setting for the whole process (it has
// no per-thread one), so nothing saves and restores it: every dense call
// first sets the count its size deserves. When requests on several threads
// race, a call may run with the count another one set; that changes its
// speed and at most the rounding of its results.

// Square matrices of this order and larger are worth the library's threads;
// below it the threads cost more than they save, and a small request stays
// on the calling thread so that many of them in parallel processes scale.
inline constexpr std::size_t kThreadedBlasMinOrder = 600;

// The most threads the engine lets the library use: the count the library
// had when the engine first asked, which is OPENBLAS_NUM_THREADS (or
// OMP_NUM_THREADS) when the user set it and the number of cores otherwise.
int blas_thread_limit();

// Sets the library's thread count for a dense call on matrices of order
// `order`: blas_thread_limit() from kThreadedBlasMinOrder on, one below.
void select_blas_threads(std::size_t order);

// Runs the library calls that follow on the calling thread alone.
class SingleThreadedBlas {
public:
    SingleThreadedBlas() { select_blas_threads(0); }
};

// c := a b for a (m x k), b (k x n), c (m x n). Stops on shape mismatch.
void multiply(const Matrix& a, const Matrix& b, Matrix& c);

// c := a b[:, :k] for a (m x n), b (n x >= k), c (m x k).
void multiply_leading_columns(const Matrix& a, const Matrix& b, std::size_t k, Matrix& c);

// out := alpha a[:, :k] a[:, :k]^T for a (n x >= k), out (n x n), both
// triangles filled. k = 0 gives a zero matrix.
void leading_columns_gram(const Matrix& a, std::size_t k, double alpha, Matrix& out);

}  // namespace quorin
