#include "core/varnex/orthogonalize.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include <cblas.h>

#include "core/scf/blas.h"
#include "core/scf/eigensolver.h"
#include "core/scf/inverse_sqrt.h"

namespace quorin {

namespace {

// Above this row sum of |S - I| the inverse square root is taken from the
// eigen-decomposition; below it the series I - E/2 + 3E^2/8 agrees with it
// to about 1e-18.
constexpr double kSeriesBound = 1e-6;

// `matrix` as a zeroed rows x cols matrix, reallocated only on a new shape.
void zeroed(Matrix& matrix, std::size_t rows, std::size_t cols) {
    if (matrix.rows() != rows || matrix.cols() != cols) {
        matrix = Matrix::zeros(rows, cols);
    } else {
        matrix.fill(0.0);
    }
}

// X = S^-1/2 by the eigen-decomposition, eigenvalues floored at 1e-8.
void inverse_sqrt_dense(const Matrix& s, OrthogonalizationWorkspace& ws) {
    const std::size_t m = s.rows();
    if (ws.eigenvalues.size() != m) ws.eigenvalues = Vec64::zeros(m);
    zeroed(ws.eigenvectors, m, m);
    if (ws.eigensolver.n != m) ws.eigensolver = EigensolverWorkspace::allocate(m);
    zeroed(ws.inverse_sqrt, m, m);
    inverse_sqrt_symmetric(s, 1e-8, ws.eigensolver, ws.eigenvalues, ws.eigenvectors, ws.inverse_sqrt);
}

// X = I - E/2 + 3 E^2 / 8 with E = S - I, for S within kSeriesBound of I.
void inverse_sqrt_series(const Matrix& s, OrthogonalizationWorkspace& ws) {
    const std::size_t m = s.rows();
    Matrix& e = ws.scratch;
    zeroed(e, m, m);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) e(i, j) = s(i, j) - (i == j ? 1.0 : 0.0);
    }
    Matrix& x = ws.inverse_sqrt;
    zeroed(x, m, m);
    multiply(e, e, x);
    for (std::size_t i = 0; i < m; ++i) {
        double* xi = x.row(i);
        for (std::size_t j = 0; j < m; ++j) xi[j] = 0.375 * xi[j] - 0.5 * e(i, j);
        xi[i] += 1.0;
    }
}

}  // namespace

double dot_over_run(const Lmo& lmo, const double* dense) {
    if (lmo.ao_indices.empty()) return 0.0;
    return scipy_cblas_ddot(static_cast<blasint>(lmo.ao_indices.size()), lmo.coefficients.data(), 1,
                            dense + lmo.ao_indices.front(), 1);
}

bool is_ascending_run(const std::vector<std::size_t>& indices) {
    return !indices.empty() && indices.back() >= indices.front() &&
           indices.back() - indices.front() + 1 == indices.size() &&
           std::adjacent_find(indices.begin(), indices.end(), std::greater_equal<>()) == indices.end();
}

double dot_with_dense(const Lmo& lmo, const double* dense) {
    if (is_ascending_run(lmo.ao_indices)) return dot_over_run(lmo, dense);
    double sum = 0.0;
    for (std::size_t k = 0; k < lmo.ao_indices.size(); ++k) sum += lmo.coefficients[k] * dense[lmo.ao_indices[k]];
    return sum;
}

void orthogonalize_occupied_lmos(std::size_t n_basis, std::vector<Lmo>& lmos) {
    OrthogonalizationWorkspace workspace;
    orthogonalize_occupied_lmos(n_basis, lmos, workspace);
}

void fill_dense_rows(const std::vector<Lmo>& lmos, std::size_t n_basis, Matrix& rows) {
    zeroed(rows, lmos.size(), n_basis);
    for (std::size_t b = 0; b < lmos.size(); ++b) {
        double* row = rows.row(b);
        for (std::size_t k = 0; k < lmos[b].ao_indices.size(); ++k) row[lmos[b].ao_indices[k]] = lmos[b].coefficients[k];
    }
}

void orthogonalize_occupied_lmos(std::size_t n_basis, std::vector<Lmo>& lmos, OrthogonalizationWorkspace& ws) {
    const std::size_t m = lmos.size();
    if (m < 2) return;
    Matrix& dense = ws.dense;
    fill_dense_rows(lmos, n_basis, dense);
    Matrix& s = ws.overlap;
    zeroed(s, m, m);
    leading_columns_gram(dense, n_basis, 1.0, s);
    double largest_row_sum = 0.0;
    for (std::size_t a = 0; a < m; ++a) {
        double row_sum = 0.0;
        for (std::size_t b = 0; b < m; ++b) row_sum += std::abs(s(a, b) - (a == b ? 1.0 : 0.0));
        largest_row_sum = std::max(largest_row_sum, row_sum);
    }
    if (largest_row_sum <= kSeriesBound) {
        inverse_sqrt_series(s, ws);
    } else {
        inverse_sqrt_dense(s, ws);
    }
    // X is symmetric, so row a of X D is sum_b X_ba |b>.
    Matrix& combined = ws.combined;
    zeroed(combined, m, n_basis);
    multiply(ws.inverse_sqrt, dense, combined);
    for (std::size_t a = 0; a < m; ++a) {
        const double* d = combined.row(a);
        Lmo& lmo = lmos[a];
        lmo.ao_indices.clear();
        lmo.coefficients.clear();
        for (std::size_t k = 0; k < n_basis; ++k) {
            if (std::abs(d[k]) > 1e-12) {
                lmo.ao_indices.push_back(k);
                lmo.coefficients.push_back(d[k]);
            }
        }
    }
}

void construct_density_from_lmos(const std::vector<Lmo>& lmos, Matrix& density) {
    Matrix columns;
    construct_density_from_lmos(lmos, density, columns);
}

void construct_density_from_lmos(const std::vector<Lmo>& lmos, Matrix& density, Matrix& columns) {
    const std::size_t n = density.rows();
    zeroed(columns, n, lmos.size());
    for (std::size_t i = 0; i < lmos.size(); ++i) {
        for (std::size_t k = 0; k < lmos[i].ao_indices.size(); ++k) {
            columns(lmos[i].ao_indices[k], i) = lmos[i].coefficients[k];
        }
    }
    leading_columns_gram(columns, lmos.size(), 2.0, density);
}

}  // namespace quorin
