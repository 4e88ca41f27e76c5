#include "core/scf/blas.h"

#include <cblas.h>

#include <algorithm>

#include "core/types/errors.h"

namespace quorin {

namespace {

blasint as_blas_int(std::size_t value) { return static_cast<blasint>(value); }

}  // namespace

void multiply(const Matrix& a, const Matrix& b, Matrix& c) { multiply_leading_columns(a, b, b.cols(), c); }

void multiply_leading_columns(const Matrix& a, const Matrix& b, std::size_t k, Matrix& c) {
    if (a.cols() != b.rows()) stop_assert_eq("Matrix product inner dimension mismatch", a.cols(), b.rows());
    if (k > b.cols()) stop_assert_eq("Matrix product column count mismatch", k, b.cols());
    if (c.rows() != a.rows()) stop_assert_eq("Matrix product row count mismatch", c.rows(), a.rows());
    if (c.cols() != k) stop_assert_eq("Matrix product column count mismatch", c.cols(), k);
    if (c.rows() == 0 || k == 0) return;
    if (a.cols() == 0) {
        c.fill(0.0);
        return;
    }
    select_blas_threads(std::max({a.rows(), a.cols(), k}));
    scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, as_blas_int(a.rows()), as_blas_int(k),
                      as_blas_int(a.cols()), 1.0, a.data().data(), as_blas_int(a.cols()), b.data().data(),
                      as_blas_int(b.cols()), 0.0, c.data().data(), as_blas_int(c.cols()));
}

void leading_columns_gram(const Matrix& a, std::size_t k, double alpha, Matrix& out) {
    const std::size_t n = a.rows();
    if (k > a.cols()) stop_assert_eq("Gram matrix column count mismatch", k, a.cols());
    if (out.rows() != n) stop_assert_eq("Gram matrix size mismatch", out.rows(), n);
    if (out.cols() != n) stop_assert_eq("Gram matrix size mismatch", out.cols(), n);
    if (n == 0) return;
    if (k == 0) {
        out.fill(0.0);
        return;
    }
    select_blas_threads(n);
    scipy_cblas_dsyrk(CblasRowMajor, CblasUpper, CblasNoTrans, as_blas_int(n), as_blas_int(k), alpha,
                      a.data().data(), as_blas_int(a.cols()), 0.0, out.data().data(), as_blas_int(n));
    for (std::size_t i = 1; i < n; ++i) {
        double* row = out.row(i);
        for (std::size_t j = 0; j < i; ++j) row[j] = out(j, i);
    }
}

}  // namespace quorin
