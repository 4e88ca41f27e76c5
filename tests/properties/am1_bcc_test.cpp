#include "core/properties/am1_bcc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <string>
#include <variant>
#include <vector>

#include "common/geometry.h"
#include "common/molecules.h"

namespace quorin {
namespace {

using fixtures::Geometry;
using fixtures::methane;

Am1BccResult corrected(const Geometry& g, std::vector<double> initial = {}) {
    if (initial.empty()) initial.assign(g.z.size(), 0.0);
    auto outcome = compute_am1_bcc_charges(MolecularBatch::new_by_atomic_number(g.z, g.xyz), initial);
    EXPECT_TRUE(std::holds_alternative<Am1BccResult>(outcome));
    return std::get<Am1BccResult>(outcome);
}

// Six-ring of carbons, numbered around the ring, hydrogens after: planar
// (benzene) or puckered with two hydrogens per carbon (cyclohexane).
Geometry six_ring(bool saturated) {
    Geometry g;
    const double r = saturated ? 1.46 : 1.39;
    for (int k = 0; k < 6; ++k) {
        const double phi = k * M_PI / 3;
        g.z.push_back(6);
        g.xyz.push_back({r * std::cos(phi), r * std::sin(phi), saturated ? 0.25 * (k % 2 ? 1 : -1) : 0.0});
    }
    for (int k = 0; k < 6; ++k) {
        const double phi = k * M_PI / 3;
        const double out = r + (saturated ? 0.6 : 1.09);
        for (int side = 0; side < (saturated ? 2 : 1); ++side) {
            g.z.push_back(1);
            g.xyz.push_back({out * std::cos(phi), out * std::sin(phi), saturated ? (side ? 0.9 : -0.9) : 0.0});
        }
    }
    return g;
}

TEST(Am1Bcc, TableIsAntisymmetric) {
    const std::uint8_t elements[] = {1, 6, 7, 8, 9, 14, 15, 16, 17, 35, 53, 26};
    const Hybridization classes[] = {Hybridization::Sp3, Hybridization::Sp2, Hybridization::Sp,
                                     Hybridization::Aromatic, Hybridization::Terminal};
    int nonzero = 0;
    for (auto zi : elements)
        for (auto ci : classes)
            for (auto zj : elements)
                for (auto cj : classes)
                    for (std::size_t order = 1; order <= 3; ++order) {
                        const double d = lookup_bcc_delta(zi, ci, zj, cj, order);
                        EXPECT_EQ(d, -lookup_bcc_delta(zj, cj, zi, ci, order));
                        nonzero += d != 0.0;
                    }
    EXPECT_GT(nonzero, 0);
    // Rows read off the table, in both orders.
    EXPECT_EQ(lookup_bcc_delta(8, Hybridization::Sp3, 6, Hybridization::Aromatic, 1), -0.065);
    EXPECT_EQ(lookup_bcc_delta(1, Hybridization::Terminal, 6, Hybridization::Sp, 1), 0.0768);
    EXPECT_EQ(lookup_bcc_delta(6, Hybridization::Sp2, 6, Hybridization::Sp3, 1), 0.012);
    EXPECT_EQ(lookup_bcc_delta(6, Hybridization::Terminal, 6, Hybridization::Sp2, 2), 0.0);
    EXPECT_EQ(lookup_bcc_delta(6, Hybridization::Sp, 7, Hybridization::Terminal, 3), 0.132);
}

TEST(Am1Bcc, CorrectionsOfHydrocarbons) {
    // Methane: four C-H of an sp3 carbon, 4 x -0.0487 on the carbon.
    const Am1BccResult m = corrected(methane(), {-0.2, 0.05, 0.05, 0.05, 0.05});
    EXPECT_NEAR(m.bond_charge_corrections[0], -0.1948, 1e-12);
    for (int h = 1; h < 5; ++h) EXPECT_NEAR(m.bcc_charges[h], 0.05 + 0.0487, 1e-12);
    EXPECT_NEAR(m.total_charge, 0.0, 1e-12);
    // Benzene: aromatic carbons, -0.0407 from their C-H, nothing from C-C.
    const Am1BccResult b = corrected(six_ring(false));
    for (int c = 0; c < 6; ++c) EXPECT_NEAR(b.bond_charge_corrections[c], -0.0407, 1e-12);
    // Cyclohexane: four bonds per carbon fail the ring test; sp3, two C-H each.
    const Am1BccResult c = corrected(six_ring(true));
    for (int k = 0; k < 6; ++k) EXPECT_NEAR(c.bond_charge_corrections[k], -2 * 0.0487, 1e-12);
}

TEST(Am1Bcc, ChargeIsConservedAndRenumberingPermutes) {
    for (const char* name : {"water", "benzene", "aspirin", "caffeine", "decane", "icosane", "ala10", "tetracontane",
                             "octacontane"}) {
        SCOPED_TRACE(name);
        const Geometry g = fixtures::ladder_molecule(name);
        const std::size_t n = g.z.size();
        std::vector<double> initial(n);
        for (std::size_t a = 0; a < n; ++a) initial[a] = 0.01 * static_cast<double>(a % 7) - 0.03;
        const Am1BccResult r = corrected(g, initial);
        const double sum = std::accumulate(r.bond_charge_corrections.begin(), r.bond_charge_corrections.end(), 0.0);
        EXPECT_NEAR(sum, 0.0, 1e-12);
        EXPECT_NEAR(r.total_charge, std::accumulate(initial.begin(), initial.end(), 0.0), 1e-12);
        const Am1BccResult p = corrected(fixtures::reversed(g), std::vector<double>(initial.rbegin(), initial.rend()));
        for (std::size_t a = 0; a < n; ++a) {
            EXPECT_EQ(p.initial_charges[n - 1 - a], r.initial_charges[a]);
            EXPECT_NEAR(p.bond_charge_corrections[n - 1 - a], r.bond_charge_corrections[a], 1e-12);
            EXPECT_NEAR(p.bcc_charges[n - 1 - a], r.bcc_charges[a], 1e-12);
        }
    }
    const Geometry water = fixtures::ladder_molecule("water");
    auto outcome = compute_am1_bcc_charges(MolecularBatch::new_by_atomic_number(water.z, water.xyz),
                                           std::vector<double>{0.0, 0.0});
    ASSERT_TRUE(std::holds_alternative<std::string>(outcome));
    EXPECT_EQ(std::get<std::string>(outcome), "Mismatch between initial charges length (2) and number of atoms (3)");
}

}  // namespace
}  // namespace quorin
