#include "core/varnex/orthogonalize.h"

#include <algorithm>
#include <cmath>

#include "core/scf/eigensolver.h"

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
    zeroed(ws.scratch, m, m);
    diagonalize_symmetric_with_work(s, ws.scratch, ws.eigenvalues, ws.eigenvectors);
    const Vec64& values = ws.eigenvalues;
    const Matrix& vectors = ws.eigenvectors;
    Matrix& x = ws.inverse_sqrt;
    zeroed(x, m, m);
    for (std::size_t k = 0; k < m; ++k) {
        const double scale = 1.0 / std::sqrt(std::max(values[k], 1e-8));
        for (std::size_t i = 0; i < m; ++i) {
            const double uik = vectors(i, k) * scale;
            if (uik == 0.0) continue;
            double* row = x.row(i);
            for (std::size_t j = 0; j < m; ++j) row[j] += uik * vectors(j, k);
        }
    }
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
    for (std::size_t i = 0; i < m; ++i) {
        double* xi = x.row(i);
        for (std::size_t k = 0; k < m; ++k) {
            const double eik = e(i, k);
            if (eik == 0.0) continue;
            const double* ek = e.row(k);
            for (std::size_t j = 0; j < m; ++j) xi[j] += 0.375 * eik * ek[j];
        }
        for (std::size_t j = 0; j < m; ++j) xi[j] -= 0.5 * e(i, j);
        xi[i] += 1.0;
    }
}

// One ascending run of consecutive indices (the SCF keeps its lists sorted,
// so delocalised orbitals end as such runs).
bool contiguous(const std::vector<std::size_t>& indices) {
    return !indices.empty() && indices.back() >= indices.front() &&
           indices.back() - indices.front() + 1 == indices.size() && std::is_sorted(indices.begin(), indices.end());
}

}  // namespace

double dot_with_dense(const Lmo& lmo, const double* dense) {
    const std::size_t n = lmo.ao_indices.size();
    const double* c = lmo.coefficients.data();
    if (!contiguous(lmo.ao_indices)) {
        double sum = 0.0;
        for (std::size_t k = 0; k < n; ++k) sum += c[k] * dense[lmo.ao_indices[k]];
        return sum;
    }
    const double* d = dense + lmo.ao_indices.front();
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        s0 += c[k] * d[k];
        s1 += c[k + 1] * d[k + 1];
        s2 += c[k + 2] * d[k + 2];
        s3 += c[k + 3] * d[k + 3];
    }
    for (; k < n; ++k) s0 += c[k] * d[k];
    return (s0 + s1) + (s2 + s3);
}

void orthogonalize_occupied_lmos(std::size_t n_basis, std::vector<Lmo>& lmos) {
    OrthogonalizationWorkspace workspace;
    orthogonalize_occupied_lmos(n_basis, lmos, workspace);
}

void orthogonalize_occupied_lmos(std::size_t n_basis, std::vector<Lmo>& lmos, OrthogonalizationWorkspace& ws) {
    const std::size_t m = lmos.size();
    if (m < 2) return;
    Matrix& dense = ws.dense;
    zeroed(dense, m, n_basis);
    for (std::size_t b = 0; b < m; ++b) {
        double* row = dense.row(b);
        for (std::size_t k = 0; k < lmos[b].ao_indices.size(); ++k) row[lmos[b].ao_indices[k]] = lmos[b].coefficients[k];
    }
    Matrix& s = ws.overlap;
    zeroed(s, m, m);
    for (std::size_t a = 0; a < m; ++a) {
        for (std::size_t b = a; b < m; ++b) {
            const double* row = dense.row(b);
            s(a, b) = s(b, a) = dot_with_dense(lmos[a], row);
        }
    }
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
    const Matrix& x = ws.inverse_sqrt;

    // Terms that move no coefficient by more than 1e-16 are left out: even
    // all of them together stay far below the 1e-12 at which coefficients
    // are dropped. Near the identity this leaves about one term per orbital.
    std::vector<double>& largest = ws.largest;
    largest.assign(m, 0.0);
    for (std::size_t b = 0; b < m; ++b) {
        for (const double c : lmos[b].coefficients) largest[b] = std::max(largest[b], std::abs(c));
    }
    std::vector<double>& d = ws.combined;
    d.resize(n_basis);
    for (std::size_t a = 0; a < m; ++a) {
        std::fill(d.begin(), d.end(), 0.0);
        for (std::size_t b = 0; b < m; ++b) {
            const double xba = x(b, a);
            if (std::abs(xba) * largest[b] <= 1e-16) continue;
            const double* row = dense.row(b);
            for (std::size_t k = 0; k < n_basis; ++k) d[k] += xba * row[k];
        }
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
    density.fill(0.0);
    for (const Lmo& lmo : lmos) {
        const std::size_t n = lmo.ao_indices.size();
        const double* c = lmo.coefficients.data();
        const bool run = contiguous(lmo.ao_indices);
        for (std::size_t k = 0; k < n; ++k) {
            double* row = density.row(lmo.ao_indices[k]);
            const double ck = 2.0 * c[k];
            if (run) {
                double* out = row + lmo.ao_indices.front();
                for (std::size_t l = 0; l < n; ++l) out[l] += ck * c[l];
            } else {
                for (std::size_t l = 0; l < n; ++l) row[lmo.ao_indices[l]] += ck * c[l];
            }
        }
    }
}

}  // namespace quorin
