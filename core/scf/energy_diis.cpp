#include "core/scf/energy_diis.h"

#include <cmath>
#include <limits>
#include <utility>

namespace quorin {

namespace {

constexpr std::size_t kMax = MAX_DIIS_CAPACITY;

double trace_of_product(const Matrix& a, const Matrix& b) {
    const double* pa = a.data().data();
    const double* pb = b.data().data();
    double sum = 0.0;
    for (std::size_t i = 0; i < a.data().size(); ++i) sum += pa[i] * pb[i];  // both symmetric
    return sum;
}

// The stationary point of E(c) = h.c + 1/2 c^T Q c on the face of the
// simplex whose vertices are the set bits of `face` (sum c = 1, the others
// 0), from its bordered linear system by Gaussian elimination with partial
// pivoting. False when the system is singular. A vertex is its own
// stationary point. Q and h are divided by Q's largest diagonal entry
// first (the same point, the multiplier scaled): tr P G(P) grows with the
// square of the system's size, and the border's pivot, of order 1 / Q,
// would otherwise fall below any fixed bound on a large molecule.
bool face_stationary_point(const std::array<std::array<double, kMax>, kMax>& q, const std::array<double, kMax>& h,
                           std::size_t m, unsigned face, std::array<double, kMax>& c) {
    std::array<std::size_t, kMax> index{};
    std::size_t s = 0;
    for (std::size_t k = 0; k < m; ++k) {
        if (face & (1u << k)) index[s++] = k;
    }
    c.fill(0.0);
    if (s == 1) {
        c[index[0]] = 1.0;
        return true;
    }
    double scale = 0.0;
    for (std::size_t i = 0; i < s; ++i) scale = std::max(scale, std::fabs(q[index[i]][index[i]]));
    if (!(scale > 0.0) || !std::isfinite(scale)) return false;
    double a[kMax + 1][kMax + 2] = {};
    for (std::size_t i = 0; i < s; ++i) {
        for (std::size_t j = 0; j < s; ++j) a[i][j] = q[index[i]][index[j]] / scale;
        a[i][s] = -1.0;
        a[s][i] = -1.0;
        a[i][s + 1] = -h[index[i]] / scale;
    }
    a[s][s + 1] = -1.0;
    const std::size_t dim = s + 1;
    constexpr double tiny = 1e-13;
    for (std::size_t col = 0; col < dim; ++col) {
        std::size_t pivot = col;
        for (std::size_t r = col + 1; r < dim; ++r) {
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
        }
        if (!(std::fabs(a[pivot][col]) > tiny)) return false;
        if (pivot != col) {
            for (std::size_t j = 0; j <= dim; ++j) std::swap(a[col][j], a[pivot][j]);
        }
        for (std::size_t r = col + 1; r < dim; ++r) {
            const double factor = a[r][col] / a[col][col];
            for (std::size_t j = col; j <= dim; ++j) a[r][j] -= factor * a[col][j];
        }
    }
    double x[kMax + 1] = {};
    for (std::size_t i = dim; i-- > 0;) {
        double sum = a[i][dim];
        for (std::size_t j = i + 1; j < dim; ++j) sum -= a[i][j] * x[j];
        x[i] = sum / a[i][i];
    }
    for (std::size_t i = 0; i < s; ++i) {
        if (!std::isfinite(x[i])) return false;
        c[index[i]] = x[i];
    }
    return true;
}

}  // namespace

void EnergyDiis::record(const DiisWorkspace& diis, const Matrix& density, const Matrix& hcore) {
    const std::size_t newest = diis.order[diis.count - 1];
    density_core[newest] = trace_of_product(density, hcore);
    for (std::size_t k = 0; k < diis.count; ++k) {
        const std::size_t slot = diis.order[k];
        const double response = trace_of_product(density, diis.fock_history[slot]) - density_core[newest];
        density_response[newest][slot] = response;
        density_response[slot][newest] = response;
    }
}

EnergyDiis::Step EnergyDiis::interpolate(const DiisWorkspace& diis, Matrix& fock) const {
    const std::size_t m = diis.count;
    // By age position: E(c) = sum c_i h_i + 1/2 sum c_i c_j tr P_i G(P_j).
    std::array<double, kMax> h{};
    std::array<std::array<double, kMax>, kMax> q{};
    for (std::size_t i = 0; i < m; ++i) {
        h[i] = density_core[diis.order[i]];
        for (std::size_t j = 0; j < m; ++j) q[i][j] = density_response[diis.order[i]][diis.order[j]];
    }
    const auto energy = [&](const std::array<double, kMax>& c) {
        double e = 0.0;
        for (std::size_t i = 0; i < m; ++i) {
            double qc = 0.0;
            for (std::size_t j = 0; j < m; ++j) qc += q[i][j] * c[j];
            e += c[i] * (h[i] + 0.5 * qc);
        }
        return e;
    };

    // The lowest point of a quadratic on the simplex is the stationary point
    // of the face in whose relative interior it lies (a vertex included); so
    // the best feasible stationary point over all 2^m - 1 faces is it.
    Step best;
    best.energy = std::numeric_limits<double>::infinity();
    std::array<double, kMax> c{};
    for (unsigned face = 1; face < (1u << m); ++face) {
        if (!face_stationary_point(q, h, m, face, c)) continue;
        bool feasible = true;
        for (std::size_t k = 0; k < m; ++k) feasible = feasible && c[k] >= 0.0;
        if (!feasible) continue;
        const double e = energy(c);
        if (e < best.energy) {
            best.energy = e;
            best.coefficients = c;
        }
    }

    fock.fill(0.0);
    double* f = fock.data().data();
    const std::size_t len = fock.data().size();
    for (std::size_t k = 0; k < m; ++k) {
        const double ck = best.coefficients[k];
        if (ck == 0.0) continue;
        const double* stored = diis.fock_history[diis.order[k]].data().data();
        for (std::size_t i = 0; i < len; ++i) f[i] += ck * stored[i];
    }
    return best;
}

}  // namespace quorin
