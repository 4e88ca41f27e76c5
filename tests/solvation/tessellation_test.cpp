// Weighted icosahedral grids on the unit sphere.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "core/solvation/tessellation.h"
#include "core/types/errors.h"

namespace quorin {
namespace {

constexpr double kFourPi = 4.0 * std::numbers::pi;

// Every grid is symmetric under the icosahedral group, so it integrates all
// spherical harmonics of degree 1 to 5 exactly; the reference moments are the
// exact sphere integrals: int x^2 = 4pi/3, int x^4 = 4pi/5, int x^2 y^2 = 4pi/15.
TEST(SphereTessellation, GridsAreUnitWeightedAndIntegrateLowMomentsExactly) {
    struct Case { std::size_t nppa; };
    for (Case c : {Case{12}, Case{42}, Case{1082}}) {
        const auto grid = generate_sphere_tessellation(c.nppa);
        ASSERT_EQ(grid.size(), c.nppa);
        double w = 0, mx = 0, my = 0, mz = 0, xx = 0, yy = 0, zz = 0, xy = 0, xz = 0, yz = 0;
        double x4 = 0, x2y2 = 0, x3y = 0;
        for (const SpherePoint& p : grid) {
            EXPECT_NEAR(p.x * p.x + p.y * p.y + p.z * p.z, 1.0, 1e-14);
            EXPECT_GT(p.weight, 0.0);
            w += p.weight;
            mx += p.weight * p.x; my += p.weight * p.y; mz += p.weight * p.z;
            xx += p.weight * p.x * p.x; yy += p.weight * p.y * p.y; zz += p.weight * p.z * p.z;
            xy += p.weight * p.x * p.y; xz += p.weight * p.x * p.z; yz += p.weight * p.y * p.z;
            x4 += p.weight * std::pow(p.x, 4);
            x2y2 += p.weight * p.x * p.x * p.y * p.y;
            x3y += p.weight * p.x * p.x * p.x * p.y;
        }
        SCOPED_TRACE(c.nppa);
        EXPECT_NEAR(w, kFourPi, 1e-12);
        for (double m : {mx, my, mz, xy, xz, yz, x3y}) EXPECT_NEAR(m, 0.0, 1e-12);
        for (double m : {xx, yy, zz}) EXPECT_NEAR(m, kFourPi / 3.0, 1e-12);
        EXPECT_NEAR(x4, kFourPi / 5.0, 1e-12);
        EXPECT_NEAR(x2y2, kFourPi / 15.0, 1e-12);
    }
}

TEST(SphereTessellation, VerticesAndOrderingFollowTheIcosahedron) {
    const auto g12 = generate_sphere_tessellation(12);
    const auto g42 = generate_sphere_tessellation(42);
    const auto g1082 = generate_sphere_tessellation(1082);

    // Point 0: vertex (-1, 0, 0) turned one radian about z.
    for (const auto* g : {&g12, &g42, &g1082}) {
        EXPECT_NEAR((*g)[0].x, -std::cos(1.0), 1e-15);
        EXPECT_NEAR((*g)[0].y, std::sin(1.0), 1e-15);
        EXPECT_NEAR((*g)[0].z, 0.0, 1e-15);
    }
    // Vertex 1 before the turn: (-1/sqrt5, (2/sqrt5) cos(1 + 72deg), (2/sqrt5) sin(1 + 72deg)).
    const double phi1 = 1.0 + 72.0 * std::numbers::pi / 180.0;
    const double x1 = -1.0 / std::sqrt(5.0);
    const double y1 = 2.0 / std::sqrt(5.0) * std::cos(phi1);
    EXPECT_NEAR(y1, -0.5664620889296588, 1e-15);
    EXPECT_NEAR(g12[1].x, x1 * std::cos(1.0) + y1 * std::sin(1.0), 1e-15);
    EXPECT_NEAR(g12[1].y, -x1 * std::sin(1.0) + y1 * std::cos(1.0), 1e-15);
    EXPECT_NEAR(g12[1].z, 0.6921854533327375, 1e-15);

    // The 12 vertices are equivalent, so they share 4pi/12.
    for (const SpherePoint& p : g12) EXPECT_NEAR(p.weight, kFourPi / 12.0, 1e-15);

    // All grids share the vertices; the 42-grid's edge midpoints (edge e at
    // index 12 + e) are the middle one of the five points per edge of the
    // 1082-grid (index 12 + 5e + 2). Midpoints outweigh vertices.
    for (std::size_t k = 0; k < 12; ++k) {
        EXPECT_NEAR(g42[k].x, g12[k].x, 1e-15);
        EXPECT_NEAR(g1082[k].y, g12[k].y, 1e-15);
    }
    for (std::size_t e = 0; e < 30; ++e) {
        const SpherePoint& a = g42[12 + e];
        const SpherePoint& b = g1082[12 + 5 * e + 2];
        EXPECT_NEAR(a.x, b.x, 1e-14);
        EXPECT_NEAR(a.y, b.y, 1e-14);
        EXPECT_NEAR(a.z, b.z, 1e-14);
        EXPECT_GT(a.weight, g42[0].weight);
    }
    // First edge (0, 1): its midpoint is the normalised sum of vertices 0 and 1.
    const double sx = g12[0].x + g12[1].x, sy = g12[0].y + g12[1].y, sz = g12[0].z + g12[1].z;
    const double len = std::sqrt(sx * sx + sy * sy + sz * sz);
    EXPECT_NEAR(g42[12].x, sx / len, 1e-15);
    EXPECT_NEAR(g42[12].z, sz / len, 1e-15);
}

TEST(SphereTessellation, UnsupportedCountsStop) {
    for (std::size_t n : {0u, 13u, 162u}) {
        try {
            generate_sphere_tessellation(n);
            FAIL() << n << " accepted";
        } catch (const EngineStop& e) {
            EXPECT_STREQ(e.what(), "nppa must be 12, 42, or 1082");
        }
    }
}

}  // namespace
}  // namespace quorin
