#include "core/varnex/lewis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include <algorithm>
#include <numeric>
#include <random>
#include <variant>

#include "common/geometry.h"
#include "varnex/varnex_molecules.h"
#include "core/varnex/matching.h"

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

// The perceived structure of a geometry, with the valence table's electrons.
std::variant<LewisStructure, std::string> perceive(const Geometry& g) {
    const MolecularBatch mol = MolecularBatch::new_by_atomic_number(g.z, g.xyz);
    std::vector<std::size_t> valence;
    for (const std::uint8_t z : g.z) valence.push_back(lewis_valence(z));
    return perceive_lewis_structure(mol, valence);
}

// Orbitals used per atom (bonds + pi bonds + lone pairs) and the number of
// valence electrons placed, two per bond order and lone pair.
struct Tally {
    std::vector<std::size_t> order_sum, lone_pairs;
    std::size_t electrons = 0, pi_bonds = 0;
};
Tally tally(const LewisStructure& l, std::size_t n) {
    Tally t{std::vector<std::size_t>(n, 0), std::vector<std::size_t>(n, 0)};
    for (const LewisBond& b : l.bonds) {
        t.order_sum[b.atom_i] += b.order;
        t.order_sum[b.atom_j] += b.order;
        t.electrons += 2 * b.order;
        t.pi_bonds += b.order - 1;
    }
    for (const auto& [a, count] : l.lone_pairs) {
        t.lone_pairs[a] = count;
        t.electrons += 2 * count;
    }
    return t;
}

Geometry ring_with_hydrogens(const std::vector<std::uint8_t>& ring_z, double bond) {
    Geometry g;
    const double r = bond;  // a regular hexagon's radius equals its side
    for (std::size_t k = 0; k < ring_z.size(); ++k) {
        const double phi = static_cast<double>(k) * M_PI / 3;
        g.z.push_back(ring_z[k]);
        g.xyz.push_back({r * std::cos(phi), r * std::sin(phi), 0});
    }
    for (std::size_t k = 0; k < ring_z.size(); ++k) {
        if (ring_z[k] != 6) continue;
        const double phi = static_cast<double>(k) * M_PI / 3;
        g.z.push_back(1);
        g.xyz.push_back({(r + 1.08) * std::cos(phi), (r + 1.08) * std::sin(phi), 0});
    }
    return g;
}

Geometry permuted(const Geometry& g, unsigned seed) {
    std::vector<std::size_t> order(g.z.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    Geometry out;
    for (const std::size_t k : order) {
        out.z.push_back(g.z[k]);
        out.xyz.push_back(g.xyz[k]);
    }
    return out;
}

TEST(PerceivedLewisStructure, ClosedShellStructuresOfCommonMolecules) {
    // Expected pi bonds and lone pairs per atom follow from the octet rule by
    // hand: N#N; C=O=... as :C#O: with the lone pairs on both ends; O=C=O;
    // H-C#N:; H2C=C=CH2; CH3-N(+)(=O)O(-) (N without a lone pair, one O with
    // two, the other with three); H3N(+)-CH2-COO(-) (N with four bonds).
    struct Case {
        const char* name;
        Geometry g;
        std::size_t pi_bonds;
        std::vector<std::size_t> lone_pairs;  // first atoms, in order
    };
    const double t = 1.09 / std::sqrt(3.0);
    const std::vector<Case> cases = {
        {"N2", {{7, 7}, {{{0, 0, 0}}, {{0, 0, 1.10}}}}, 2, {1, 1}},
        {"CO", {{6, 8}, {{{0, 0, 0}}, {{0, 0, 1.13}}}}, 2, {1, 1}},
        {"CO2", {{6, 8, 8}, {{{0, 0, 0}}, {{0, 0, 1.16}}, {{0, 0, -1.16}}}}, 2, {0, 2, 2}},
        {"HCN", {{1, 6, 7}, {{{0, 0, -1.07}}, {{0, 0, 0}}, {{0, 0, 1.16}}}}, 2, {0, 0, 1}},
        {"allene",
         {{6, 6, 6, 1, 1, 1, 1},
          {{{0, 0, 0}}, {{0, 0, 1.31}}, {{0, 0, -1.31}}, {{0.93, 0, 1.85}}, {{-0.93, 0, 1.85}}, {{0, 0.93, -1.85}},
           {{0, -0.93, -1.85}}}},
         2, {0, 0, 0}},
        {"nitromethane",
         {{7, 8, 8, 6, 1, 1, 1},
          {{{0, 0, 0}}, {{1.08, 0.0, 0.32}}, {{-1.08, 0.0, 0.32}}, {{0, 0, -1.49}}, {{t, t, -1.49 - t}},
           {{-t, t, -1.49 - t}}, {{0, -1.54 * t, -1.49 - t}}}},
         1, {0}},
        {"glycine zwitterion",
         {{7, 6, 6, 8, 8, 1, 1, 1, 1, 1},
          {{{0, 0, 0}}, {{1.49, 0, 0}}, {{2.04, 1.43, 0}}, {{1.30, 2.41, 0}}, {{3.29, 1.48, 0}}, {{-0.35, -0.97, 0}},
           {{-0.35, 0.49, 0.84}}, {{-0.35, 0.49, -0.84}}, {{1.86, -0.51, 0.89}}, {{1.86, -0.51, -0.89}}}},
         1, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto outcome = perceive(c.g);
        ASSERT_TRUE(std::holds_alternative<LewisStructure>(outcome)) << std::get<std::string>(outcome);
        const LewisStructure& l = std::get<LewisStructure>(outcome);
        const Tally t = tally(l, c.g.z.size());
        std::size_t valence = 0;
        for (const std::uint8_t z : c.g.z) valence += lewis_valence(z);
        EXPECT_EQ(t.electrons, valence);
        EXPECT_EQ(t.pi_bonds, c.pi_bonds);
        for (std::size_t a = 0; a < c.lone_pairs.size(); ++a) EXPECT_EQ(t.lone_pairs[a], c.lone_pairs[a]) << a;
        // No atom holds more than its four valence orbitals (hydrogen one).
        for (std::size_t a = 0; a < c.g.z.size(); ++a) {
            EXPECT_LE(l.bond_counts[a] + (t.order_sum[a] - l.bond_counts[a]) + t.lone_pairs[a], c.g.z[a] == 1 ? 1u : 4u);
        }
    }
    // Nitro and carboxylate oxygens: one with two lone pairs, one with three.
    for (const std::size_t k : {5u, 6u}) {
        const Tally t = tally(std::get<LewisStructure>(perceive(cases[k].g)), cases[k].g.z.size());
        const std::size_t first = k == 5 ? 1 : 3;
        EXPECT_EQ(std::min(t.lone_pairs[first], t.lone_pairs[first + 1]), 2u);
        EXPECT_EQ(std::max(t.lone_pairs[first], t.lone_pairs[first + 1]), 3u);
    }
}

TEST(PerceivedLewisStructure, PiBondsFollowTheGeometryInAnyAtomOrder) {
    // Benzene and pyridine: each ring carbon takes exactly one double bond,
    // the nitrogen one double bond and one lone pair. The cyclooctatetraene
    // tub (C=C 1.341, C-C 1.445 A): its four double bonds on the short bonds,
    // whatever the atom numbering.
    const Geometry tub = fixtures::varnex_molecule("cyclooctatetraene");
    for (const Geometry& molecule : {ring_with_hydrogens({6, 6, 6, 6, 6, 6}, 1.39),
                                     ring_with_hydrogens({7, 6, 6, 6, 6, 6}, 1.39), tub}) {
        for (const unsigned seed : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u}) {
            const Geometry g = seed == 0 ? molecule : permuted(molecule, seed);
            const auto outcome = perceive(g);
            ASSERT_TRUE(std::holds_alternative<LewisStructure>(outcome));
            const LewisStructure& l = std::get<LewisStructure>(outcome);
            const Tally t = tally(l, g.z.size());
            EXPECT_EQ(t.pi_bonds, g.z.size() == 16 ? 4u : 3u);
            for (std::size_t a = 0; a < g.z.size(); ++a) {
                if (g.z[a] == 1) continue;
                EXPECT_EQ(t.order_sum[a] - l.bond_counts[a], 1u) << "seed " << seed << " atom " << a;
                EXPECT_EQ(t.lone_pairs[a], g.z[a] == 7 ? 1u : 0u);
            }
            for (const LewisBond& b : l.bonds) {
                EXPECT_TRUE(b.order == 1 || b.distance < 1.4) << "seed " << seed;
            }
        }
    }
}

TEST(PerceivedLewisStructure, RefusesWhatHasNoClosedShellStructure) {
    // Diborane: bridging hydrogens with two bonds on one orbital, borons with
    // five bonds on four. A lone hydrogen atom: one electron.
    const Geometry diborane{{5, 5, 1, 1, 1, 1, 1, 1},
                            {{{0, 0, 0.885}}, {{0, 0, -0.885}}, {{0, 0.97, 0}}, {{0, -0.97, 0}}, {{1.04, 0, 1.47}},
                             {{-1.04, 0, 1.47}}, {{1.04, 0, -1.47}}, {{-1.04, 0, -1.47}}}};
    EXPECT_EQ(std::get<std::string>(perceive(diborane)), "Atom 0 has 5 bonds but only 4 orbitals");
    EXPECT_EQ(std::get<std::string>(perceive({{1}, {{{0, 0, 0}}}})), "No closed-shell Lewis structure: 1 valence electrons");
}

TEST(GraphMatching, LargestAndHeaviestMatchingsThroughOddCycles) {
    // Reference: exhaustive search over edge subsets (bitmask recursion) on
    // random graphs dense in odd cycles, for the largest matching and, among
    // those of that size, the largest total of random integer weights (small
    // range, so that ties and odd sums occur).
    std::mt19937 rng(11);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t n = 4 + rng() % 9;
        std::vector<WeightedEdge> edges;
        for (std::size_t a = 0; a < n; ++a) {
            for (std::size_t b = a + 1; b < n; ++b) {
                if (rng() % 3 == 0) edges.push_back({a, b, static_cast<std::int64_t>(rng() % 7)});
            }
        }
        using Best = std::pair<std::size_t, std::int64_t>;  // size, weight
        std::function<Best(std::size_t, unsigned)> best = [&](std::size_t k, unsigned used) -> Best {
            if (k == edges.size()) return {0, 0};
            Best result = best(k + 1, used);
            const WeightedEdge& e = edges[k];
            if (!(used >> e.u & 1u) && !(used >> e.v & 1u)) {
                const Best taken = best(k + 1, used | 1u << e.u | 1u << e.v);
                result = std::max(result, Best{taken.first + 1, taken.second + e.weight});
            }
            return result;
        };
        const auto edge_weight = [&](std::size_t a, std::size_t b) -> std::int64_t {
            for (const WeightedEdge& e : edges) {
                if ((e.u == a && e.v == b) || (e.u == b && e.v == a)) return e.weight;
            }
            ADD_FAILURE() << "matched along no edge";
            return 0;
        };
        const Best expected = best(0, 0);

        GraphMatching m;
        for (std::size_t v = 0; v < n; ++v) m.add_vertex();
        for (const WeightedEdge& e : edges) m.add_edge(e.u, e.v);
        for (std::size_t v = 0; v < n; ++v) m.augment_from(v);
        const std::vector<std::size_t> heaviest = maximum_weight_matching(n, edges);
        Best found{0, 0}, weighted{0, 0};
        for (std::size_t v = 0; v < n; ++v) {
            if (m.mate(v) != GraphMatching::kUnmatched && v < m.mate(v)) {
                EXPECT_EQ(m.mate(m.mate(v)), v);
                edge_weight(v, m.mate(v));
                ++found.first;
            }
            if (heaviest[v] != GraphMatching::kUnmatched && v < heaviest[v]) {
                EXPECT_EQ(heaviest[heaviest[v]], v);
                ++weighted.first;
                weighted.second += edge_weight(v, heaviest[v]);
            }
        }
        ASSERT_EQ(found.first, expected.first) << "trial " << trial;
        ASSERT_EQ(weighted, expected) << "trial " << trial;
    }
}

}  // namespace
}  // namespace quorin
