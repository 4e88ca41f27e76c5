#pragma once
// Small dense Cholesky solver for symmetric positive-definite systems.
#include <cstddef>
#include <optional>
#include <span>

#include "core/types/aligned.h"

namespace quorin {

// The pivot at which a factorisation found the matrix not positive definite.
struct CholeskyPivotError {
    std::size_t index = 0;
    double value = 0.0;
};

// Overwrites the square matrix `a` by its lower-triangular factor L (A = L L^T,
// zeros above the diagonal). Returns nothing on success, or the first pivot
// that is not safely positive (d <= 1e-14, or not a finite number); `a` is then
// partly overwritten. Stops with "Matrix must be square" for a non-square matrix.
std::optional<CholeskyPivotError> cholesky_decompose(Matrix& a);

// Solves L L^T x = b by a forward pass into `work` and a backward pass into `x`.
// `work` must hold at least n values. Stops with "Cholesky diagonal pivot is zero"
// when a diagonal entry of L has magnitude <= 1e-15.
void solve_cholesky_system(const Matrix& l, std::span<const double> b, std::span<double> x,
                           std::span<double> work);

}  // namespace quorin
