#include "core/integrals/d_rotation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/types/errors.h"

namespace quorin {
namespace {

// Molecular positions: 0 s; 1 px, 2 py, 3 pz; 4 x2-y2, 5 xz, 6 z2, 7 yz, 8 xy.
// Local positions: 0 s; 1 p-sigma, 2 p-pi, 3 p-pi'; 4 d-sigma, 5 d-pi, 6 d-pi', 7 d-delta, 8 d-delta'.

TEST(DOrbitalRotation, AxisAlignedPairsGiveTheHandDerivedRealHarmonics) {
    const double h = std::sqrt(3.0) / 2.0;
    struct Case {
        const char* name;
        double dx, dy, dz;
        std::vector<std::vector<double>> rows;  // local positions 1..8 on molecular 1..8
    };
    // Along +x: z' = x, x' = -z, y' = y. z'^2 = x^2 = (sqrt3/2)(x2-y2) - z2/2, x'z' = -xz,
    // y'z' = xy, x'^2 - y'^2 = z^2 - y^2 = (1/2)(x2-y2) + (sqrt3/2) z2, x'y' = -yz.
    // Along -z: z' = -z, x' = x, y' = -y.
    const std::vector<Case> cases = {
        {"+z", 0, 0, 1.5,
         {{0, 0, 1, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0, 0, 0},
          {0, 0, 0, 0, 0, 1, 0, 0}, {0, 0, 0, 0, 1, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 1, 0},
          {0, 0, 0, 1, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 1}}},
        {"-z", 0, 0, -1.5,
         {{0, 0, -1, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0, 0, 0}, {0, -1, 0, 0, 0, 0, 0, 0},
          {0, 0, 0, 0, 0, 1, 0, 0}, {0, 0, 0, 0, -1, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 1, 0},
          {0, 0, 0, 1, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, -1}}},
        {"+x", 2.0, 0, 0,
         {{1, 0, 0, 0, 0, 0, 0, 0}, {0, 0, -1, 0, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0, 0, 0},
          {0, 0, 0, h, 0, -0.5, 0, 0}, {0, 0, 0, 0, -1, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 1},
          {0, 0, 0, 0.5, 0, h, 0, 0}, {0, 0, 0, 0, 0, 0, -1, 0}}},
    };
    for (const auto& c : cases) {
        const auto rot =
            DOrbitalRotation3D::from_direction(c.dx, c.dy, c.dz, std::sqrt(c.dx * c.dx + c.dy * c.dy + c.dz * c.dz));
        EXPECT_EQ(rot.orbital[0][0], 1.0);
        for (std::size_t a = 0; a < 8; ++a) {
            for (std::size_t mu = 0; mu < 8; ++mu) {
                EXPECT_NEAR(rot.orbital[a + 1][mu + 1], c.rows[a][mu], 1e-15) << c.name << " " << a << " " << mu;
            }
        }
    }
}

TEST(DOrbitalRotation, QuarterTurnAboutZMapsXzOntoYz) {
    // Turning the pair by 90 degrees about z carries x -> y, y -> -x, so the
    // local orbitals expand with px -> py, py -> -px, d(xz) -> d(yz),
    // d(yz) -> -d(xz), d(x2-y2) -> -d(x2-y2), d(xy) -> -d(xy), d(z2) -> d(z2).
    const auto first = DOrbitalRotation3D::from_direction(0.8, 0.0, 0.6, 1.0);
    const auto turned = DOrbitalRotation3D::from_direction(0.0, 0.8, 0.6, 1.0);
    const std::array<std::pair<std::size_t, double>, 9> image{
        {{0, 1}, {2, 1}, {1, -1}, {3, 1}, {4, -1}, {7, 1}, {6, 1}, {5, -1}, {8, -1}}};
    for (std::size_t a = 0; a < 9; ++a) {
        for (std::size_t mu = 0; mu < 9; ++mu) {
            EXPECT_NEAR(turned.orbital[a][image[mu].first], image[mu].second * first.orbital[a][mu], 1e-15)
                << a << " " << mu;
        }
    }
}

TEST(DOrbitalRotation, OrbitalCountsOutsideOneToNineStop) {
    EXPECT_THROW(spd_pair_count(0), EngineStop);
    EXPECT_THROW(spd_pair_count(10), EngineStop);
    EXPECT_EQ(spd_pair_count(9), 45u);
    const auto rot = DOrbitalRotation3D::from_direction(0, 0, 1, 1);
    SpdBlock local{}, half{};
    SpdMask mask{};
    EXPECT_THROW(tx(12, 9, local, mask, half, rot), EngineStop);
}

}  // namespace
}  // namespace quorin
