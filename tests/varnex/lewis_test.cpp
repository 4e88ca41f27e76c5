#include "core/varnex/lewis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/geometry.h"

namespace quorin {
namespace {

using fixtures::Geometry;

LewisStructure lewis_of(const Geometry& g) { return construct_lewis_structure(MolecularBatch::new_by_atomic_number(g.z, g.xyz)); }

// Planar six-ring of carbons (ring bond `cc`) with hydrogens at 1.09 A,
// numbered around the ring, hydrogens after.
Geometry benzene(double cc) {
    Geometry g;
    for (int k = 0; k < 6; ++k) {
        const double phi = k * M_PI / 3;
        g.z.push_back(6);
        g.xyz.push_back({cc * std::cos(phi), cc * std::sin(phi), 0});
    }
    for (int k = 0; k < 6; ++k) {
        const double phi = k * M_PI / 3;
        g.z.push_back(1);
        g.xyz.push_back({(cc + 1.09) * std::cos(phi), (cc + 1.09) * std::sin(phi), 0});
    }
    return g;
}

TEST(LewisStructure, BondOrdersAndLonePairsOfSmallMolecules) {
    // Orders from d / (r_i + r_j) with radii C 0.76, N 0.71: < 0.82 triple,
    // < 0.92 double (hand-computed ratios in each comment).
    struct Case {
        const char* name;
        Geometry g;
        std::vector<std::size_t> orders;
        std::vector<std::size_t> counts;
        std::vector<std::size_t> lone_pairs;
    };
    const double oh = 0.96, a = 104.5 * M_PI / 360;
    const std::vector<Case> cases = {
        {"H2 at 0.74", {{1, 1}, {{{0, 0, 0}, {0, 0, 0.74}}}}, {1}, {1, 1}, {0, 0}},
        {"water", {{8, 1, 1}, {{{0, 0, 0}, {oh * std::sin(a), oh * std::cos(a), 0}, {-oh * std::sin(a), oh * std::cos(a), 0}}}},
         {1, 1}, {2, 1, 1}, {2, 0, 0}},
        {"N2 at 1.10 (0.775)", {{7, 7}, {{{0, 0, 0}, {0, 0, 1.10}}}}, {3}, {1, 1}, {1, 1}},
        {"C-C 1.53 (1.007)", {{6, 6}, {{{0, 0, 0}, {1.53, 0, 0}}}}, {1}, {1, 1}, {1, 1}},
        {"C=C 1.33 (0.875)", {{6, 6}, {{{0, 0, 0}, {1.33, 0, 0}}}}, {2}, {1, 1}, {1, 1}},
        {"C#C 1.20 (0.789)", {{6, 6}, {{{0, 0, 0}, {1.20, 0, 0}}}}, {3}, {1, 1}, {0, 0}},
        {"C-Cl 1.60, halogen rule", {{6, 17}, {{{0, 0, 0}, {1.60, 0, 0}}}}, {1}, {1, 1}, {1, 3}},
        {"Br radius 1.20 at 2.0", {{6, 35}, {{{0, 0, 0}, {2.0, 0, 0}}}}, {1}, {1, 1}, {1, 3}},
        {"0.3 A apart: no bond", {{1, 1}, {{{0, 0, 0}, {0, 0, 0.3}}}}, {}, {0, 0}, {0, 0}},
        {"isolated O", {{8}, {{{0, 0, 0}}}}, {}, {0}, {3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const LewisStructure l = lewis_of(c.g);
        ASSERT_EQ(l.bonds.size(), c.orders.size());
        for (std::size_t b = 0; b < c.orders.size(); ++b) EXPECT_EQ(l.bonds[b].order, c.orders[b]);
        EXPECT_EQ(l.bond_counts, c.counts);
        for (std::size_t a = 0; a < c.lone_pairs.size(); ++a) {
            EXPECT_EQ(l.lone_pairs[a].first, a);
            EXPECT_EQ(l.lone_pairs[a].second, c.lone_pairs[a]);
        }
    }
    // Benzene at 1.39 A: ratio 0.914, six double bonds, each carbon over-bonded.
    const LewisStructure b = lewis_of(benzene(1.39));
    ASSERT_EQ(b.bonds.size(), 12u);
    // Discovery order: (0,1), (0,5), (0,6), (1,2), (1,7), ...
    EXPECT_EQ(b.bonds[0].atom_j, 1u);
    EXPECT_EQ(b.bonds[1].atom_j, 5u);
    EXPECT_EQ(b.bonds[2].atom_j, 6u);
    EXPECT_NEAR(b.bonds[0].distance, 1.39, 1e-12);
    for (const LewisBond& bond : b.bonds) EXPECT_EQ(bond.order, bond.atom_j < 6 ? 2u : 1u);
    for (std::size_t c = 0; c < 6; ++c) {
        EXPECT_EQ(b.bond_counts[c], 3u);
        EXPECT_EQ(b.lone_pairs[c].second, 0u);
    }
}

TEST(LewisStructure, RenumberingAtomsPermutesTheStructure) {
    const Geometry caffeine = fixtures::ladder_molecule("caffeine");
    const Geometry reversed = fixtures::reversed(caffeine);
    const LewisStructure l = lewis_of(caffeine), r = lewis_of(reversed);
    const std::size_t n = caffeine.z.size();
    ASSERT_EQ(l.bonds.size(), r.bonds.size());
    for (const LewisBond& bond : l.bonds) {
        bool found = false;
        for (const LewisBond& other : r.bonds) {
            if (other.atom_i == n - 1 - bond.atom_j && other.atom_j == n - 1 - bond.atom_i) {
                found = true;
                EXPECT_EQ(other.order, bond.order);
            }
        }
        EXPECT_TRUE(found) << bond.atom_i << "-" << bond.atom_j;
    }
    for (std::size_t a = 0; a < n; ++a) {
        EXPECT_EQ(l.bond_counts[a], r.bond_counts[n - 1 - a]);
        EXPECT_EQ(l.lone_pairs[a].second, r.lone_pairs[n - 1 - a].second);
    }
}

TEST(LewisStructure, AlkanesHaveOnlySingleBondsAndSaturatedAtoms) {
    for (const char* name : {"decane", "icosane", "tetracontane", "octacontane"}) {
        SCOPED_TRACE(name);
        const Geometry g = fixtures::ladder_molecule(name);
        const LewisStructure l = lewis_of(g);
        for (const LewisBond& bond : l.bonds) EXPECT_EQ(bond.order, 1u);
        for (std::size_t a = 0; a < g.z.size(); ++a) {
            EXPECT_EQ(l.bond_counts[a], g.z[a] == 6 ? 4u : 1u);
            EXPECT_EQ(l.lone_pairs[a].second, 0u);
        }
    }
}

}  // namespace
}  // namespace quorin
