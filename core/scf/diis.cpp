#include "core/scf/diis.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/scf/blas.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

void require_square(const Matrix& m, std::size_t n, const char* what) {
    if (m.rows() != n) stop_assert_eq(what, m.rows(), n);
    if (m.cols() != n) stop_assert_eq(what, m.cols(), n);
}

// sum_ij a_ij b_ij for antisymmetric a and b, from their strict upper triangles.
double antisymmetric_inner(const Matrix& a, const Matrix& b) {
    const std::size_t n = a.rows();
    double sum = 0.0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double* a_row = a.row(i);
        const double* b_row = b.row(i);
        for (std::size_t j = i + 1; j < n; ++j) sum += a_row[j] * b_row[j];
    }
    return 2.0 * sum;
}

}  // namespace

DiisWorkspace DiisWorkspace::allocate(std::size_t n, std::size_t requested_capacity) {
    DiisWorkspace ws;
    ws.n = n;
    ws.capacity = std::clamp<std::size_t>(requested_capacity, 2, MAX_DIIS_CAPACITY);
    ws.fock_history.reserve(ws.capacity);
    ws.error_history.reserve(ws.capacity);
    for (std::size_t k = 0; k < ws.capacity; ++k) {
        ws.fock_history.push_back(Matrix::zeros(n, n));
        ws.error_history.push_back(Matrix::zeros(n, n));
    }
    ws.reset();
    return ws;
}

void DiisWorkspace::reset() {
    count = 0;
    for (std::size_t k = 0; k < capacity; ++k) {
        order[k] = k;
        for (std::size_t j = 0; j < capacity; ++j) b[k][j] = 0.0;
    }
}

void DiisWorkspace::drop_oldest() {
    if (count < 2) {
        reset();
        return;
    }
    const std::size_t oldest = order[0];
    for (std::size_t k = 0; k + 1 < count; ++k) order[k] = order[k + 1];
    order[count - 1] = oldest;
    for (std::size_t i = 0; i + 1 < count; ++i) {
        for (std::size_t j = 0; j + 1 < count; ++j) b[i][j] = b[i + 1][j + 1];
    }
    --count;
}

DiisStep DiisWorkspace::push_and_extrapolate(Matrix& fock, const Matrix& density, Matrix& scratch) {
    DiisStep step = push(fock, density, scratch);
    extrapolate(fock, step);
    return step;
}

DiisStep DiisWorkspace::push(const Matrix& fock, const Matrix& density, Matrix& scratch) {
    require_square(fock, n, "DIIS Fock matrix size mismatch");
    require_square(density, n, "DIIS density matrix size mismatch");
    require_square(scratch, n, "DIIS scratch matrix size mismatch");

    // Storage slot of the new entry; a full history first gives up its oldest.
    if (count == capacity) drop_oldest();
    const std::size_t slot = order[count];
    const std::size_t newest = count++;

    multiply(fock, density, scratch);

    // For symmetric F and P, PF = (FP)^T, so the commutator is FP - (FP)^T:
    // antisymmetric, filled from its upper triangle.
    Matrix& error = error_history[slot];
    DiisStep step;
    double upper_sum_sq = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double* e_row = error.row(i);
        const double* s_row = scratch.row(i);
        e_row[i] = 0.0;
        for (std::size_t j = i + 1; j < n; ++j) {
            const double e = s_row[j] - scratch(j, i);
            e_row[j] = e;
            error(j, i) = -e;
            step.max_error = std::max(step.max_error, std::fabs(e));
            upper_sum_sq += e * e;
        }
    }
    const double sum_sq = 2.0 * upper_sum_sq;
    fock_history[slot].copy_from(fock);
    step.rms_error = std::sqrt(sum_sq / std::max<double>(static_cast<double>(n) * n, 1.0));

    for (std::size_t k = 0; k < count; ++k) {
        const double v = antisymmetric_inner(error, error_history[order[k]]);
        b[newest][k] = v;
        b[k][newest] = v;
    }
    step.entries_used = 1;
    return step;
}

void DiisWorkspace::extrapolate(Matrix& fock, DiisStep& step) {
    require_square(fock, n, "DIIS Fock matrix size mismatch");
    std::array<double, MAX_DIIS_CAPACITY> c{};
    const std::size_t m = solve_coefficients(c);
    step.entries_used = std::max<std::size_t>(m, 1);
    if (m == 0) return;
    fock.fill(0.0);
    double* f = fock.data().data();
    const std::size_t len = fock.data().size();
    for (std::size_t k = 0; k < m; ++k) {
        const double* h = fock_history[order[k]].data().data();
        const double ck = c[k];
        for (std::size_t i = 0; i < len; ++i) f[i] += ck * h[i];
    }
    step.extrapolated = true;
}

std::size_t DiisWorkspace::solve_coefficients(std::array<double, MAX_DIIS_CAPACITY>& c) {
    if (count < 2) return 0;
    const std::size_t slot = order[count - 1];
    const double own_square = b[count - 1][count - 1];
    while (count >= 2) {
        if (solve_pulay_system(b, count, c)) return count;
        drop_oldest();
    }
    // Nothing usable: keep only the newest entry. The slot order stays a
    // permutation, so the next push cannot land on the kept entry's slot.
    reset();
    std::swap(order[0], order[slot]);
    count = 1;
    b[0][0] = own_square;
    return 0;
}

bool solve_pulay_system(const DiisMatrix& b, std::size_t m,
                        std::array<double, MAX_DIIS_CAPACITY>& coefficients) {
    if (m < 2 || m > MAX_DIIS_CAPACITY) {
        throw EngineStop("assertion failed: (2..=MAX_DIIS_CAPACITY).contains(&m)");
    }
    double scale = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        if (!std::isfinite(b[i][i])) return false;
        scale = std::max(scale, b[i][i]);
    }
    if (scale < 1e-16) return false;

    constexpr std::size_t kMax = MAX_DIIS_CAPACITY + 1;
    const std::size_t dim = m + 1;
    double a[kMax][kMax] = {};
    double rhs[kMax] = {};
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) a[i][j] = b[i][j] / scale;
        a[i][m] = -1.0;
        a[m][i] = -1.0;
    }
    a[m][m] = 0.0;
    rhs[m] = -1.0;

    // Gaussian elimination with partial pivoting.
    for (std::size_t col = 0; col < dim; ++col) {
        std::size_t pivot = col;
        double best = std::fabs(a[col][col]);
        for (std::size_t r = col + 1; r < dim; ++r) {
            if (std::fabs(a[r][col]) > best) {
                best = std::fabs(a[r][col]);
                pivot = r;
            }
        }
        // Written so that a NaN pivot also counts as singular.
        if (!(best >= 1e-12)) return false;
        if (pivot != col) {
            for (std::size_t j = 0; j < dim; ++j) std::swap(a[col][j], a[pivot][j]);
            std::swap(rhs[col], rhs[pivot]);
        }
        for (std::size_t r = col + 1; r < dim; ++r) {
            const double factor = a[r][col] / a[col][col];
            if (factor == 0.0) continue;
            for (std::size_t j = col; j < dim; ++j) a[r][j] -= factor * a[col][j];
            rhs[r] -= factor * rhs[col];
        }
    }
    double x[kMax] = {};
    for (std::size_t i = dim; i-- > 0;) {
        double s = rhs[i];
        for (std::size_t j = i + 1; j < dim; ++j) s -= a[i][j] * x[j];
        x[i] = s / a[i][i];
    }

    double sum = 0.0;
    for (std::size_t k = 0; k < m; ++k) {
        if (!std::isfinite(x[k])) return false;
        if (std::fabs(x[k]) > 50.0) return false;
        sum += x[k];
    }
    if (std::fabs(sum - 1.0) > 1e-3) return false;
    for (std::size_t k = 0; k < m; ++k) coefficients[k] = x[k];
    return true;
}

}  // namespace quorin
