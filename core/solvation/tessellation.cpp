#include "core/solvation/tessellation.h"

#include <array>
#include <cmath>
#include <numbers>

#include "core/types/errors.h"

namespace quorin {
namespace {

using Vec3 = std::array<double, 3>;

// Icosahedron with two vertices on the x axis and two rings of five at
// x = -+1/sqrt(5); the rings start one radian off the y axis.
std::array<Vec3, 12> icosahedron_vertices() {
    const double inv_sqrt5 = 1.0 / std::sqrt(5.0);
    const double ring_radius = 2.0 * inv_sqrt5;
    const double step = 72.0 * std::numbers::pi / 180.0;
    std::array<Vec3, 12> v{};
    v[0] = {-1.0, 0.0, 0.0};
    v[11] = {1.0, 0.0, 0.0};
    for (int k = 1; k <= 5; ++k) {
        const double phi = 1.0 + (k % 5) * step;
        v[k] = {-inv_sqrt5, ring_radius * std::cos(phi), ring_radius * std::sin(phi)};
    }
    for (int k = 6; k <= 10; ++k) {
        const double phi = 1.0 + (k - 4.5) * step;
        v[k] = {inv_sqrt5, ring_radius * std::cos(phi), ring_radius * std::sin(phi)};
    }
    // Turn the whole solid by one radian about z.
    const double c = std::cos(1.0);
    const double s = std::sin(1.0);
    for (Vec3& p : v) {
        const double x = p[0];
        const double y = p[1];
        p[0] = x * c + y * s;
        p[1] = -x * s + y * c;
    }
    return v;
}

constexpr int kEdges[30][2] = {
    {0, 1},  {0, 2},  {0, 3}, {0, 4}, {0, 5}, {11, 10}, {11, 9}, {11, 8}, {11, 7}, {11, 6},
    {1, 2},  {2, 3},  {3, 4}, {4, 5}, {5, 1}, {6, 7},   {7, 8},  {8, 9},  {9, 10}, {10, 6},
    {1, 6},  {6, 2},  {2, 7}, {7, 3}, {3, 8}, {8, 4},   {4, 9},  {9, 5},  {5, 10}, {10, 1}};

constexpr int kFaces[20][3] = {
    {0, 1, 2},   {0, 2, 3},  {0, 3, 4},  {0, 4, 5},  {0, 5, 1},  {11, 10, 9}, {11, 9, 8},
    {11, 8, 7},  {11, 7, 6}, {11, 6, 10}, {1, 2, 6}, {2, 3, 7},  {3, 4, 8},   {4, 5, 9},
    {5, 1, 10},  {6, 7, 2},  {7, 8, 3},  {8, 9, 4},  {9, 10, 5}, {10, 6, 1}};

}  // namespace

std::vector<SpherePoint> generate_sphere_tessellation(std::size_t nppa) {
    if (nppa != 12 && nppa != 42 && nppa != 1082) {
        throw EngineStop("nppa must be 12, 42, or 1082");
    }
    const std::array<Vec3, 12> vertex = icosahedron_vertices();

    // Frequency n of the subdivision: grids of 10 n^2 + 2 points subdivide each
    // edge n times; grids of 30 n^2 + 2 points add the centres of the n^2 small
    // triangles of every face.
    std::size_t n = 1;
    bool centres = false;
    if (nppa != 12) {
        const std::size_t m = (nppa - 2) / 10;
        n = static_cast<std::size_t>(std::llround(std::sqrt(static_cast<double>(m))));
        if (n * n != m) {
            n = static_cast<std::size_t>(std::llround(std::sqrt(static_cast<double>((nppa - 2) / 30))));
            centres = true;
            if (30 * n * n + 2 != nppa) stop_assert_eq("Invalid nppa configuration", 30 * n * n + 2, nppa);
        }
    }

    std::vector<Vec3> raw;
    raw.reserve(nppa);
    for (const Vec3& p : vertex) raw.push_back(p);
    auto combine = [&](double ca, const Vec3& a, double cb, const Vec3& b, double cc, const Vec3& c) {
        raw.push_back({ca * a[0] + cb * b[0] + cc * c[0], ca * a[1] + cb * b[1] + cc * c[1],
                       ca * a[2] + cb * b[2] + cc * c[2]});
    };
    const Vec3 origin{};
    const double nd = static_cast<double>(n);
    if (n >= 2) {
        for (const auto& e : kEdges) {
            for (std::size_t k = 1; k < n; ++k) {
                const double kd = static_cast<double>(k);
                combine(nd - kd, vertex[e[0]], kd, vertex[e[1]], 0.0, origin);
            }
        }
        for (const auto& f : kFaces) {
            const Vec3& a = vertex[f[0]];
            const Vec3& b = vertex[f[1]];
            const Vec3& c = vertex[f[2]];
            for (std::size_t i = 1; i + 2 <= n; ++i) {
                for (std::size_t j = 1; i + j + 1 <= n; ++j) {
                    const double id = static_cast<double>(i);
                    const double jd = static_cast<double>(j);
                    combine(nd - id - jd, a, id, b, jd, c);
                }
            }
            if (!centres) continue;
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t j = 0; i + j < n; ++j) {
                    const double id = static_cast<double>(i);
                    const double jd = static_cast<double>(j);
                    combine(nd - id - jd - 2.0 / 3.0, a, id + 1.0 / 3.0, b, jd + 1.0 / 3.0, c);
                }
            }
            for (std::size_t i = 0; i + 1 < n; ++i) {
                for (std::size_t j = 0; i + j + 1 < n; ++j) {
                    const double id = static_cast<double>(i);
                    const double jd = static_cast<double>(j);
                    combine(nd - id - jd - 4.0 / 3.0, a, id + 2.0 / 3.0, b, jd + 2.0 / 3.0, c);
                }
            }
        }
    }
    if (raw.size() != nppa) stop_assert_eq("Point count mismatch in dvfill", raw.size(), nppa);

    // Points off the vertices sit on flat faces at distance l < n from the
    // centre; 6 (n/l)^2 makes their weight follow the solid angle they cover.
    std::vector<SpherePoint> points(nppa);
    double weight_sum = 0.0;
    for (std::size_t k = 0; k < nppa; ++k) {
        const Vec3& p = raw[k];
        const double len = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
        const double w = k < 12 ? 5.0 : 6.0 * (nd / len) * (nd / len);
        points[k] = {p[0] / len, p[1] / len, p[2] / len, w};
        weight_sum += w;
    }
    const double scale = 4.0 * std::numbers::pi / weight_sum;
    for (SpherePoint& p : points) p.weight *= scale;
    return points;
}

}  // namespace quorin
