// Solvent-accessible cavity built from atomic spheres.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <vector>

#include "core/solvation/cavity.h"
#include "core/types/errors.h"

namespace quorin {
namespace {

constexpr double kPi = std::numbers::pi;

MolecularBatch molecule_of(std::vector<std::uint8_t> z, std::vector<std::array<double, 3>> xyz) {
    return MolecularBatch::new_by_atomic_number(std::move(z), xyz);
}

// A lone atom keeps its whole sphere: the areas add up to 4 pi R^2, every
// segment lies on the sphere, and the divergence-theorem volume is 4/3 pi R^3:
// exactly for an atom at the origin (normal . position = R), and elsewhere up to
// the small residual first moment of the gathered segments.
TEST(CosmoCavity, LoneAtomIsAFullSphere) {
    struct Case {
        std::uint8_t z;
        std::array<double, 3> centre;
        std::size_t segments;
        double radius;
    };
    for (const Case& c : {Case{1, {0.0, 0.0, 0.0}, 12, 1.3}, Case{6, {1.0, -2.0, 0.5}, 42, 2.0},
                          Case{8, {0.3, 0.1, 4.0}, 42, 1.72}}) {
        SCOPED_TRACE(static_cast<int>(c.z));
        const CosmoCavity cav = CosmoCavity::construct(molecule_of({c.z}, {c.centre}), 1.30005);
        ASSERT_EQ(cav.segments.size(), c.segments);
        double area = 0.0;
        for (const CavitySegment& s : cav.segments) {
            EXPECT_EQ(s.atom, 0u);
            EXPECT_GT(s.area, 0.0);
            double r2 = 0.0, n2 = 0.0;
            for (int k = 0; k < 3; ++k) {
                r2 += std::pow(s.position[k] - c.centre[k], 2);
                n2 += s.normal[k] * s.normal[k];
            }
            EXPECT_NEAR(std::sqrt(r2), c.radius, 1e-12);
            EXPECT_NEAR(n2, 1.0, 1e-12);
            area += s.area;
        }
        EXPECT_NEAR(area, 4.0 * kPi * c.radius * c.radius, 1e-10);
        EXPECT_NEAR(cav.total_area, area, 1e-10);
        const double volume = 4.0 / 3.0 * kPi * std::pow(c.radius, 3);
        const bool at_origin = c.centre == std::array<double, 3>{0.0, 0.0, 0.0};
        EXPECT_NEAR(cav.volume, volume, at_origin ? 1e-10 : 1e-3 * volume);
    }
}

// Two overlapping atoms: atom 0 loses the cap of its probe sphere (radius
// P0 = R0 + r_solv) that lies inside the other's probe sphere. With centre
// distance d, that cap starts at cos(theta) = (P0^2 + d^2 - P1^2)/(2 P0 d) and
// covers 2 pi (1 - cos(theta)) steradians; its share of 4 pi R0^2 is gone. The
// fine grid resolves the cap edge to well under 1% of the sphere.
TEST(CosmoCavity, OverlapRemovesTheBuriedCapAndDistanceRestoresIt) {
    const double rs = 1.30005;
    struct Case { std::uint8_t z0, z1; double d; };
    for (const Case& c : {Case{6, 8, 1.2}, Case{1, 6, 1.1}, Case{6, 6, 1.54}}) {
        SCOPED_TRACE(c.d);
        const CosmoCavity cav =
            CosmoCavity::construct(molecule_of({c.z0, c.z1}, {{0.0, 0.0, 0.0}, {c.d, 0.0, 0.0}}), rs);
        const double r[2] = {cosmo_atomic_radius_angstrom(c.z0), cosmo_atomic_radius_angstrom(c.z1)};
        double area[2] = {0.0, 0.0};
        for (const CavitySegment& s : cav.segments) {
            area[s.atom] += s.area;
            // Surviving segments of atom 0 face away from atom 1 (and vice versa).
            const double toward = s.atom == 0 ? s.normal[0] : -s.normal[0];
            const double p_self = r[s.atom] + rs, p_other = r[1 - s.atom] + rs;
            const double cos_cap = (p_self * p_self + c.d * c.d - p_other * p_other) / (2.0 * p_self * c.d);
            EXPECT_LT(toward, cos_cap + 0.1);
        }
        for (int a = 0; a < 2; ++a) {
            const double p_self = r[a] + rs, p_other = r[1 - a] + rs;
            const double cos_cap = (p_self * p_self + c.d * c.d - p_other * p_other) / (2.0 * p_self * c.d);
            const double exposed = r[a] * r[a] * (4.0 * kPi - 2.0 * kPi * (1.0 - cos_cap));
            EXPECT_NEAR(area[a], exposed, 0.005 * 4.0 * kPi * r[a] * r[a]) << "atom " << a;
        }
        // Moved beyond the sum of probe radii, both spheres are whole again.
        const double far = r[0] + r[1] + 2.0 * rs + 0.01;
        const CosmoCavity apart =
            CosmoCavity::construct(molecule_of({c.z0, c.z1}, {{0.0, 0.0, 0.0}, {far, 0.0, 0.0}}), rs);
        EXPECT_NEAR(apart.total_area, 4.0 * kPi * (r[0] * r[0] + r[1] * r[1]), 1e-9);
    }
}

TEST(CosmoCavity, SegmentsAreOrderedByAtomAndAHiddenAtomLeavesNone) {
    // A hydrogen at a carbon's centre lies wholly inside the carbon's probe sphere.
    const CosmoCavity cav = CosmoCavity::construct(
        molecule_of({6, 1, 8}, {{0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, {0.0, 1.2, 0.0}}), 1.30005);
    std::size_t last_atom = 0;
    for (const CavitySegment& s : cav.segments) {
        EXPECT_NE(s.atom, 1u);
        EXPECT_GE(s.atom, last_atom);
        last_atom = s.atom;
    }
    EXPECT_EQ(last_atom, 2u);
}

TEST(CosmoCavity, RadiiAndEmptyMolecule) {
    struct Case { std::uint8_t z; double r; };
    // Special values, and 1.17 x the van der Waals radius otherwise (Fe 2.06, Rn 2.3).
    for (const Case& c : {Case{0, 2.0}, Case{1, 1.3}, Case{6, 2.0}, Case{8, 1.72}, Case{53, 2.32},
                          Case{26, 1.17 * 2.06}, Case{86, 1.17 * 2.3}, Case{87, 2.0}, Case{255, 2.0}}) {
        EXPECT_DOUBLE_EQ(cosmo_atomic_radius_angstrom(c.z), c.r) << static_cast<int>(c.z);
    }
    try {
        CosmoCavity::construct(molecule_of({}, {}), 1.3);
        FAIL() << "empty molecule accepted";
    } catch (const EngineStop& e) {
        EXPECT_STREQ(e.what(), "Molecular batch cannot be empty for COSMO");
    }
}

}  // namespace
}  // namespace quorin
