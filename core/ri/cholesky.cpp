#include "core/ri/cholesky.h"

#include <cmath>

#include "core/types/errors.h"
#include "core/types/interruption.h"

namespace quorin {

std::optional<CholeskyPivotError> cholesky_decompose(Matrix& a) {
    const std::size_t n = a.rows();
    if (a.cols() != n) stop_assert_eq("Matrix must be square", n, a.cols());
    for (std::size_t j = 0; j < n; ++j) {
        // A column costs at most n^2 / 4 products: milliseconds at the
        // largest cavities.
        check_interruption();
        const double* row_j = a.row(j);
        double d = row_j[j];
        for (std::size_t k = 0; k < j; ++k) d -= row_j[k] * row_j[k];
        // A NaN pivot fails here as well, so nothing non-finite leaves the factor.
        if (!(d > 1e-14)) return CholeskyPivotError{j, d};
        const double l_jj = std::sqrt(d);
        a(j, j) = l_jj;
        const double inv = 1.0 / l_jj;
        for (std::size_t i = j + 1; i < n; ++i) {
            double* row_i = a.row(i);
            double sum = row_i[j];
            for (std::size_t k = 0; k < j; ++k) sum -= row_i[k] * row_j[k];
            row_i[j] = sum * inv;
        }
        for (std::size_t i = 0; i < j; ++i) a(i, j) = 0.0;
    }
    return std::nullopt;
}

void solve_cholesky_system(const Matrix& l, std::span<const double> b, std::span<double> x,
                           std::span<double> work) {
    const std::size_t n = l.rows();
    if (l.cols() != n) stop_assert_eq("Cholesky factor must be square", n, l.cols());
    if (b.size() != n) stop_assert_eq("Right-hand side length must match the factor", b.size(), n);
    if (x.size() != b.size()) stop_assert_eq("Solution length must match the right-hand side", x.size(), b.size());
    if (work.size() < n) throw EngineStop("assertion failed: tmp.len() >= n");

    for (std::size_t i = 0; i < n; ++i) {
        const double* row_i = l.row(i);
        const double l_ii = row_i[i];
        if (std::abs(l_ii) <= 1e-15) throw EngineStop("Cholesky diagonal pivot is zero");
        double sum = b[i];
        for (std::size_t k = 0; k < i; ++k) sum -= row_i[k] * work[k];
        work[i] = sum / l_ii;
    }
    // Backward pass with L^T, as a column sweep: once x_i is known, its
    // contribution is removed from the remaining y_k (k < i), which reads row i
    // of L contiguously instead of walking down a column.
    for (std::size_t i = n; i-- > 0;) {
        const double* row_i = l.row(i);
        const double xi = work[i] / row_i[i];
        x[i] = xi;
        for (std::size_t k = 0; k < i; ++k) work[k] -= row_i[k] * xi;
    }
}

}  // namespace quorin
