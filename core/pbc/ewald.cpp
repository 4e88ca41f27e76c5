#include "core/pbc/ewald.h"

#include <cmath>
#include <numbers>

#include "core/types/constants.h"
#include "core/types/interruption.h"

namespace quorin {

namespace {

constexpr double kPi = std::numbers::pi;
// erfc(6) = 2e-17: the real-space and reciprocal sums stop where their
// Gaussians have fallen to that.
constexpr double kReach = 6.0;

Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Every lattice point sum n_k v_k (k below `size`) within `radius` of
// `centre`, through the bound |n_k - w_k . centre| <= radius |w_k| with w the
// dual basis (v_k . w_l = delta_kl).
template <typename Visit>
void for_points_within(const std::array<Vec3, 3>& v, const std::array<Vec3, 3>& w, int size, const Vec3& centre,
                       double radius, Visit visit) {
    std::array<long, 3> lo{}, hi{};
    for (int k = 0; k < size; ++k) {
        const double c = dot(w[k], centre);
        const double reach = radius * std::sqrt(dot(w[k], w[k]));
        lo[k] = static_cast<long>(std::ceil(c - reach));
        hi[k] = static_cast<long>(std::floor(c + reach));
    }
    for (long n1 = lo[0]; n1 <= hi[0]; ++n1) {
        for (long n2 = lo[1]; n2 <= hi[1]; ++n2) {
            for (long n3 = lo[2]; n3 <= hi[2]; ++n3) {
                Vec3 p{};
                for (int c = 0; c < 3; ++c) p[c] = n1 * v[0][c] + n2 * v[1][c] + n3 * v[2][c];
                visit(p);
            }
        }
    }
}

// sum over n of 1 / |d - n a| - 2 / (|n| |a|) for n != 0, plus 1 / |d| when d
// is not zero: the chain's sum less the harmonic part common to every pair.
// Paired terms n and -n fall off as (3 x^2 - d^2) / (|a|^3 n^3), x the
// component of d along a; the sum runs until they are far below 1e-6 eV and
// that leading term covers the rest.
double chain_sum(const Vec3& a, const Vec3& d) {
    const double length = std::sqrt(dot(a, a));
    const double d2 = dot(d, d);
    const double x = dot(d, a) / length;
    const auto inverse = [&](double n) {
        const Vec3 gap = {d[0] - n * a[0], d[1] - n * a[1], d[2] - n * a[2]};
        return 1.0 / std::sqrt(dot(gap, gap));
    };
    const long last = static_cast<long>(std::ceil((200.0 + 20.0 * std::sqrt(d2)) / length));
    double sum = d2 > 1e-24 ? 1.0 / std::sqrt(d2) : 0.0;
    for (long n = 1; n <= last; ++n) sum += inverse(double(n)) + inverse(-double(n)) - 2.0 / (double(n) * length);
    const double beyond = 0.5 / ((double(last) + 0.5) * (double(last) + 0.5));  // sum of n^-3 past `last`
    return sum + (3.0 * x * x - d2) / (length * length * length) * beyond;
}

// e^shift erfc(x), without overflow where erfc underflows.
double scaled_erfc(double shift, double x) {
    if (x < 25.0) return std::exp(shift) * std::erfc(x);
    return std::exp(shift - x * x) / (x * std::sqrt(kPi));  // leading term of erfc's asymptotic series
}

}  // namespace

Matrix coulomb_lattice_sum(const UnitCell& cell, std::span<const Vec3> positions) {
    const std::size_t m = positions.size();
    Matrix phi = Matrix::zeros(m, m);
    const int dim = cell.dimension;
    if (dim == 1) {
        for (std::size_t i = 0; i < m; ++i) {
            for (std::size_t j = 0; j < m; ++j) {
                const Vec3 d = {positions[i][0] - positions[j][0], positions[i][1] - positions[j][1],
                                positions[i][2] - positions[j][2]};
                phi(i, j) = kCoulombEvAngstrom * chain_sum(cell.a1, d);
            }
        }
        return phi;
    }
    const std::array<Vec3, 3> a = {cell.a1, cell.a2, cell.a3};
    const std::array<Vec3, 3> b = {cell.b1, cell.b2, cell.b3};
    std::array<Vec3, 3> a_dual{}, b_dual{};  // b / 2 pi and a / 2 pi
    for (int k = 0; k < 3; ++k) {
        for (int c = 0; c < 3; ++c) {
            a_dual[k][c] = b[k][c] / (2.0 * kPi);
            b_dual[k][c] = a[k][c] / (2.0 * kPi);
        }
    }
    Vec3 normal = cross(cell.a1, cell.a2);
    const double normal_length = std::sqrt(dot(normal, normal));
    for (double& c : normal) c /= normal_length;
    const double alpha = std::sqrt(kPi) / std::pow(cell.measure, 1.0 / dim);
    const double real_cutoff = kReach / alpha;
    const double reciprocal_cutoff = 2.0 * kReach * alpha;

    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
            check_interruption();
            Vec3 d{};
            for (int c = 0; c < 3; ++c) d[c] = positions[i][c] - positions[j][c];
            double sum = 0.0;
            for_points_within(a, a_dual, dim, d, real_cutoff, [&](const Vec3& r) {
                const Vec3 gap = {d[0] - r[0], d[1] - r[1], d[2] - r[2]};
                const double rho = std::sqrt(dot(gap, gap));
                if (rho > 1e-12 && rho < real_cutoff) sum += std::erfc(alpha * rho) / rho;
            });
            // Height above the sheet's plane, 2D only.
            const double z = dim == 2 ? dot(d, normal) : 0.0;
            for_points_within(b, b_dual, dim, Vec3{}, reciprocal_cutoff, [&](const Vec3& g) {
                const double g2 = dot(g, g);
                if (g2 < 1e-24 || g2 > reciprocal_cutoff * reciprocal_cutoff) return;
                const double gl = std::sqrt(g2);
                const double wave = std::cos(dot(g, d));
                if (dim == 3) {
                    sum += 4.0 * kPi / cell.measure * std::exp(-g2 / (4.0 * alpha * alpha)) / g2 * wave;
                } else {
                    const double centre = gl / (2.0 * alpha);
                    sum += kPi / (cell.measure * gl) * wave *
                           (scaled_erfc(gl * z, centre + alpha * z) + scaled_erfc(-gl * z, centre - alpha * z));
                }
            });
            if (dim == 2) {
                // The plane-averaged (G = 0) term of a sheet, less its
                // divergent part common to every pair.
                sum -= 2.0 * kPi / cell.measure *
                       (z * std::erf(alpha * z) + std::exp(-alpha * alpha * z * z) / (alpha * std::sqrt(kPi)));
            }
            if (i == j) sum -= 2.0 * alpha / std::sqrt(kPi);
            phi(i, j) = kCoulombEvAngstrom * sum;
        }
    }
    return phi;
}

}  // namespace quorin
