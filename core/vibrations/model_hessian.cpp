#include "core/vibrations/model_hessian.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/types/constants.h"

namespace quorin {

namespace {

using Vec3 = std::array<double, 3>;

// Force constants and bonding weights of the model of Lindh et al., Chem.
// Phys. Lett. 241 (1995) 423, in its atomic units: stretch (hartree/bohr^2),
// bend and torsion (hartree/rad^2); alpha (bohr^-2) and r_ref (bohr) by the
// rows H-He, Li-Ne and beyond.
constexpr double kStretch = 0.45;
constexpr double kBend = 0.15;
constexpr double kTorsion = 0.005;
constexpr double kAlpha[3][3] = {{1.0, 0.3949, 0.3949}, {0.3949, 0.28, 0.28}, {0.3949, 0.28, 0.28}};
constexpr double kReference[3][3] = {{1.35, 2.10, 2.53}, {2.10, 2.87, 3.40}, {2.53, 3.40, 3.40}};
constexpr double kHartreeToKcalMol = kHartreeToEv * kEvToKcalMol;
// Terms whose weight falls below this are left out; atoms whose pair weight
// falls below kNeighbourWeight are no neighbours in bends and torsions.
constexpr double kSmallestWeight = 1e-8;
constexpr double kNeighbourWeight = 1e-4;
// A bend within this sine of collinear is taken as two bends across the line.
constexpr double kLinearSine = 0.17;

std::size_t period_row(std::uint8_t z) { return z <= 2 ? 0 : z <= 10 ? 1 : 2; }

Vec3 sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec3 scaled(const Vec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double length(const Vec3& a) { return std::sqrt(dot(a, a)); }
// -(a + b): the centre's gradient of an angle, which no translation changes.
Vec3 opposite_sum(const Vec3& a, const Vec3& b) { return {-a[0] - b[0], -a[1] - b[1], -a[2] - b[2]}; }

// H += k b b^T for an internal coordinate whose gradient on atom atoms[t] is
// b[t] (angstrom^-1, or rad per angstrom).
template <std::size_t M>
void add_term(Matrix& h, double k, const std::array<std::size_t, M>& atoms, const std::array<Vec3, M>& b) {
    for (std::size_t s = 0; s < M; ++s) {
        for (std::size_t t = 0; t < M; ++t) {
            for (std::size_t c = 0; c < 3; ++c) {
                double* row = &h(3 * atoms[s] + c, 3 * atoms[t]);
                for (std::size_t d = 0; d < 3; ++d) row[d] += k * b[s][c] * b[t][d];
            }
        }
    }
}

// Two unit vectors perpendicular to the direction d and to each other.
std::array<Vec3, 2> perpendiculars(const Vec3& d) {
    const Vec3 e = scaled(d, 1.0 / length(d));
    const Vec3 helper = std::fabs(e[0]) < 0.9 ? Vec3{1, 0, 0} : Vec3{0, 1, 0};
    Vec3 n1 = cross(e, helper);
    n1 = scaled(n1, 1.0 / length(n1));
    return {n1, cross(e, n1)};
}

}  // namespace

Matrix model_cartesian_hessian(const MolecularBatch& molecule) {
    const std::size_t n = molecule.n_atoms;
    Matrix h = Matrix::zeros(3 * n, 3 * n);
    std::vector<Vec3> r(n);
    for (std::size_t a = 0; a < n; ++a) r[a] = {molecule.x[a], molecule.y[a], molecule.z[a]};

    // Bonding weights of all pairs, and each atom's neighbours.
    Matrix rho = Matrix::zeros(n, n);
    std::vector<std::vector<std::size_t>> neighbours(n);
    const double bohr2 = kBohrToAngstrom * kBohrToAngstrom;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const std::size_t ri = period_row(molecule.atomic_numbers[i]), rj = period_row(molecule.atomic_numbers[j]);
            const double r_ref = kReference[ri][rj] * kBohrToAngstrom;
            const Vec3 d = sub(r[i], r[j]);
            const double weight = std::exp(kAlpha[ri][rj] / bohr2 * (r_ref * r_ref - dot(d, d)));
            rho(i, j) = rho(j, i) = weight;
            if (weight > kNeighbourWeight) {
                neighbours[i].push_back(j);
                neighbours[j].push_back(i);
            }
        }
    }

    const double stretch = kStretch * kHartreeToKcalMol / bohr2;
    const double bend = kBend * kHartreeToKcalMol;
    const double torsion = kTorsion * kHartreeToKcalMol;

    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (rho(i, j) < kSmallestWeight) continue;
            const Vec3 d = sub(r[i], r[j]);
            const double l = length(d);
            if (!(l > 0.0)) continue;
            const Vec3 e = scaled(d, 1.0 / l);
            add_term<2>(h, stretch * rho(i, j), {i, j}, {e, scaled(e, -1.0)});
        }
    }

    // Bends i-j-k about j.
    for (std::size_t j = 0; j < n; ++j) {
        const auto& near = neighbours[j];
        for (std::size_t p = 0; p < near.size(); ++p) {
            for (std::size_t q = 0; q < p; ++q) {
                const std::size_t i = near[p], k = near[q];
                const double weight = bend * rho(i, j) * rho(j, k);
                if (weight < kSmallestWeight) continue;
                const Vec3 u = sub(r[i], r[j]), v = sub(r[k], r[j]);
                const double lu = length(u), lv = length(v);
                if (!(lu > 0.0 && lv > 0.0)) continue;
                const Vec3 eu = scaled(u, 1.0 / lu), ev = scaled(v, 1.0 / lv);
                const double c = std::clamp(dot(eu, ev), -1.0, 1.0);
                const double s = std::sqrt(1.0 - c * c);
                if (s > kLinearSine) {
                    // d theta / d r_i = (cos theta e_u - e_v) / (|u| sin theta), and alike for k.
                    const Vec3 bi = scaled(sub(scaled(eu, c), ev), 1.0 / (lu * s));
                    const Vec3 bk = scaled(sub(scaled(ev, c), eu), 1.0 / (lv * s));
                    add_term<3>(h, weight, {i, j, k}, {bi, opposite_sum(bi, bk), bk});
                    continue;
                }
                // Nearly collinear: two bends across the line, each moving i
                // and k to the same side when j lies between them (theta near
                // 180 degrees), to opposite sides when it does not (near 0).
                for (const Vec3& m : perpendiculars(c < 0.0 ? sub(eu, ev) : eu)) {
                    const Vec3 bi = scaled(m, 1.0 / lu), bk = scaled(m, (c < 0.0 ? 1.0 : -1.0) / lv);
                    add_term<3>(h, weight, {i, j, k}, {bi, opposite_sum(bi, bk), bk});
                }
            }
        }
    }

    // Torsions i-j-k-l about j-k, weighted down as either bend nears linear,
    // where the dihedral angle is undefined.
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t k : neighbours[j]) {
            if (k < j) continue;  // each central pair once
            for (std::size_t i : neighbours[j]) {
                if (i == k) continue;
                for (std::size_t l : neighbours[k]) {
                    if (l == j || l == i) continue;
                    double weight = torsion * rho(i, j) * rho(j, k) * rho(k, l);
                    if (weight < kSmallestWeight) continue;
                    // Blondel and Karplus' derivatives of the dihedral angle.
                    const Vec3 f = sub(r[i], r[j]), g = sub(r[j], r[k]), hh = sub(r[l], r[k]);
                    const Vec3 a = cross(f, g), b = cross(hh, g);
                    const double a2 = dot(a, a), b2 = dot(b, b), lg = length(g);
                    const double f2 = dot(f, f), h2 = dot(hh, hh), g2 = lg * lg;
                    if (!(a2 > 1e-12 * f2 * g2 && b2 > 1e-12 * h2 * g2)) continue;
                    weight *= (a2 / (f2 * g2)) * (b2 / (h2 * g2));  // sin^2 of both bends
                    const double fg = dot(f, g), hg = dot(hh, g);
                    const Vec3 bi = scaled(a, -lg / a2);
                    const Vec3 bl = scaled(b, lg / b2);
                    const Vec3 bj = sub(scaled(a, lg / a2 + fg / (a2 * lg)), scaled(b, hg / (b2 * lg)));
                    const Vec3 bk = sub(scaled(b, hg / (b2 * lg) - lg / b2), scaled(a, fg / (a2 * lg)));
                    add_term<4>(h, weight, {i, j, k, l}, {bi, bj, bk, bl});
                }
            }
        }
    }
    return h;
}

}  // namespace quorin
