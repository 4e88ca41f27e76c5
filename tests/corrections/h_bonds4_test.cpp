#include "core/corrections/h_bonds4.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "tests/corrections/geometry_helpers.h"

namespace quorin {
namespace {

using testing::Atom;

const H4Parameters kDefault = {2.32, 3.1, 1.07, 2.01, 0.42, 3.61, 1.41};

H4Parameters with(std::size_t index, double value) {
    H4Parameters p = kDefault;
    p[index] = value;
    return p;
}

double h4(const std::vector<Atom>& atoms, const H4Parameters& p = kDefault) {
    return compute_h4_energy(testing::make_molecule(atoms), p);
}

// Donor water on the origin with its first hydrogen on +x, acceptor water at
// 3.0 angstrom on the x axis with its hydrogens pointing away.
std::vector<Atom> water_dimer() {
    return {{8, 0, 0, 0},           {1, 0.96, 0, 0},        {1, -0.2404, 0.9294, 0},
            {8, 3.0, 0, 0},         {1, 3.5875, 0, 0.7592}, {1, 3.5875, 0, -0.7592}};
}

// Ammonium donating along +x to a bare oxygen at 2.9 angstrom; `hydrogens` = 4 or 3.
std::vector<Atom> ammonium_to_oxygen(int hydrogens) {
    const double b = 1.01, s2 = std::sqrt(2.0), s6 = std::sqrt(6.0);
    std::vector<Atom> atoms = {{7, 0, 0, 0},
                               {1, b, 0, 0},
                               {8, 2.9, 0, 0},
                               {1, -b / 3, b * 2 * s2 / 3, 0},
                               {1, -b / 3, -b * s2 / 3, b * s6 / 3},
                               {1, -b / 3, -b * s2 / 3, -b * s6 / 3}};
    atoms.resize(static_cast<std::size_t>(hydrogens) + 2);
    return atoms;
}

// Water hydroxyl donating to a formate oxygen (O-C-O 140 degrees, so the two
// formate oxygens are not counted as neighbours of each other). With
// `second_oxygen` false the second oxygen becomes a hydrogen (a carbonyl).
std::vector<Atom> hydroxyl_to_formate(bool second_oxygen) {
    const double deg = std::numbers::pi / 180.0;
    const double cx = 2.9 + 1.26 * std::cos(60 * deg), cy = 1.26 * std::sin(60 * deg);
    const double other = second_oxygen ? 1.26 : 1.10;
    return {{8, 0, 0, 0},
            {1, 0.97, 0, 0},
            {8, 2.9, 0, 0},
            {6, cx, cy, 0},
            {static_cast<std::uint8_t>(second_oxygen ? 8 : 1), cx + other * std::cos(100 * deg),
             cy + other * std::sin(100 * deg), 0},
            {1, cx + 1.10 * std::cos(350 * deg), cy + 1.10 * std::sin(350 * deg), 0}};
}

// Donor D at the origin, hydrogen at distance d on +x, acceptor at distance l from
// the hydrogen, bent so that the D-H-A angle is 180 degrees minus delta.
std::vector<Atom> bent_contact(std::uint8_t zd, std::uint8_t za, double d, double l, double delta) {
    return {{zd, 0, 0, 0}, {1, d, 0, 0}, {za, d + l * std::cos(delta), l * std::sin(delta), 0}};
}

// Energies from hand derivation. The distance term is -1 at 3.0 angstrom and
// 0 at 1.5 and 5.5 angstrom; a lone hydrogen on a bare donor oxygen or
// nitrogen leaves every multiplier at 1, so a straight contact at 3.0
// angstrom gives minus the donor-acceptor weight.
TEST(H4Energy, ContactsGiveTheirHandDerivedEnergies) {
    struct Case {
        std::string name;
        std::vector<Atom> atoms;
        double expected;
    };
    const std::vector<Case> cases = {
        {"O-H...O", {{8, 0, 0, 0}, {1, 1.0, 0, 0}, {8, 3.0, 0, 0}}, -2.32},
        {"O...H-O, donor second", {{8, 0, 0, 0}, {8, 3.0, 0, 0}, {1, 2.0, 0, 0}}, -2.32},
        {"O-H...N", {{8, 0, 0, 0}, {1, 1.0, 0, 0}, {7, 3.0, 0, 0}}, -3.1},
        {"N...H-O", {{7, 0, 0, 0}, {1, 2.0, 0, 0}, {8, 3.0, 0, 0}}, -3.1},
        {"N-H...O", {{7, 0, 0, 0}, {1, 1.0, 0, 0}, {8, 3.0, 0, 0}}, -1.07},
        {"O...H-N", {{8, 0, 0, 0}, {1, 2.0, 0, 0}, {7, 3.0, 0, 0}}, -1.07},
        {"N-H...N", {{7, 0, 0, 0}, {1, 1.0, 0, 0}, {7, 3.0, 0, 0}}, -2.01},
        // Two hydrogens and no heavy neighbour on the donor: water multiplier 0.42.
        {"water dimer", water_dimer(), -2.32 * 0.42},
        {"distance term zero at 1.5", {{8, 0, 0, 0}, {1, 0.75, 0, 0}, {8, 1.5, 0, 0}}, 0.0},
        {"distance term zero at 5.5", {{8, 0, 0, 0}, {1, 1.0, 0, 0}, {8, 5.5, 0, 0}}, 0.0},
        {"beyond the 5.5 cut-off", {{7, 0, 0, 0}, {1, 1.0, 0, 0}, {8, 5.6, 0, 0}}, 0.0},
        {"hydrogen at 90 degrees", {{8, 0, 0, 0}, {8, 3.0, 0, 0}, {1, 1.5, 1.5, 0}}, 0.0},
        {"hydrogen bent beyond 90 degrees", {{8, 0, 0, 0}, {8, 3.0, 0, 0}, {1, -0.5, 0.8, 0}}, 0.0},
        {"hydrogen on the line outside the pair", {{8, 0, 0, 0}, {8, 3.0, 0, 0}, {1, 4.0, 0, 0}}, 0.0},
        {"proton midway", {{8, 0, 0, 0}, {1, 1.5, 0, 0}, {8, 3.0, 0, 0}}, 0.0},
        {"no nitrogen or oxygen", {{6, 0, 0, 0}, {1, 1.0, 0, 0}, {1, 3.0, 0, 0}, {9, 2.0, 0, 0}}, 0.0},
        // A hydrogen on top of an oxygen is skipped and is no neighbour.
        {"hydrogen coincident with the donor", {{8, 0, 0, 0}, {1, 1.0, 0, 0}, {8, 3.0, 0, 0}, {1, 0, 0, 0}}, -2.32},
        {"coincident heavy atoms", {{8, 0, 0, 0}, {8, 0, 0, 0}, {1, 1.0, 0, 0}}, 0.0},
        {"unknown elements nearby", {{8, 0, 0, 0}, {1, 1.0, 0, 0}, {8, 3.0, 0, 0}, {0, 0, 4, 0}, {250, 0, -4, 0}}, -2.32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(h4(c.atoms), c.expected, 1e-9);
    }
}

// Multipliers isolated as ratios of two energies; expected values by hand:
// angular 1 - S(1/2)^2 = 0.75 with S(1/2) = 1/2; proton 1 - S(0.15/0.3) = 0.5.
TEST(H4Energy, EachMultiplierScalesTheContactAsDerived) {
    struct Case {
        std::string name;
        std::vector<Atom> atoms;
        H4Parameters params;
        std::vector<Atom> reference;
        H4Parameters reference_params;
        double ratio;
    };
    const double quarter_pi = std::numbers::pi / 4.0;
    const double r45 = std::hypot(0.97 + 2.0 * std::cos(quarter_pi), 2.0 * std::sin(quarter_pi));
    const std::vector<Case> cases = {
        {"angular factor at 45 degrees", bent_contact(8, 8, 0.97, 2.0, quarter_pi), kDefault,
         bent_contact(8, 8, 0.97, r45 - 0.97, 0.0), kDefault, 0.75},
        {"proton factor halfway to its end", {{8, 0, 0, 0}, {1, 1.3, 0, 0}, {8, 2.9, 0, 0}}, kDefault,
         {{8, 0, 0, 0}, {1, 1.0, 0, 0}, {8, 2.9, 0, 0}}, kDefault, 0.5},
        {"proton factor at 1.15", {{8, 0, 0, 0}, {1, 1.15, 0, 0}, {8, 2.9, 0, 0}}, kDefault,
         {{8, 0, 0, 0}, {1, 1.0, 0, 0}, {8, 2.9, 0, 0}}, kDefault, 1.0},
        {"water donor", water_dimer(), kDefault, water_dimer(), with(4, 1.0), 0.42},
        {"methanol-like donor", {{8, 0, 0, 0}, {1, 0.96, 0, 0}, {6, -0.358, 1.384, 0}, {8, 2.9, 0, 0}},
         kDefault, {{8, 0, 0, 0}, {1, 0.96, 0, 0}, {6, -0.358, 1.384, 0}, {8, 2.9, 0, 0}}, with(4, 1.0), 1.0},
        {"hydroxide donor", {{8, 0, 0, 0}, {1, 0.96, 0, 0}, {8, 2.9, 0, 0}}, kDefault,
         {{8, 0, 0, 0}, {1, 0.96, 0, 0}, {8, 2.9, 0, 0}}, with(4, 1.0), 1.0},
        {"ammonium donor", ammonium_to_oxygen(4), kDefault, ammonium_to_oxygen(4), with(5, 1.0), 3.61},
        {"ammonia donor", ammonium_to_oxygen(3), kDefault, ammonium_to_oxygen(3), with(5, 1.0), 1.0},
        {"ammonium against ammonia", ammonium_to_oxygen(4), kDefault, ammonium_to_oxygen(3), kDefault, 3.61},
        {"formate acceptor", hydroxyl_to_formate(true), with(4, 1.0), hydroxyl_to_formate(true),
         {2.32, 3.1, 1.07, 2.01, 1.0, 3.61, 1.0}, 1.41},
        {"carbonyl acceptor", hydroxyl_to_formate(false), with(4, 1.0), hydroxyl_to_formate(false),
         {2.32, 3.1, 1.07, 2.01, 1.0, 3.61, 1.0}, 1.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const double reference = h4(c.reference, c.reference_params);
        ASSERT_LT(reference, -0.1);
        EXPECT_NEAR(h4(c.atoms, c.params) / reference, c.ratio, 1e-9);
    }
}

// A heavy neighbour of a water donor at 1.3 times its reference radius
// (covalent radius + 0.73) counts 1 - S(1/2) = 1/2, so the water multiplier
// becomes 1 + (1 - 1/2)(0.42 - 1) = 0.71. Radii from the printed table; 0 for
// elements without an entry.
TEST(H4Energy, NeighbourCountsUseTheCovalentRadii) {
    const std::pair<std::uint8_t, double> radii[] = {{3, 1.34}, {6, 0.77}, {16, 1.02}, {26, 1.25}, {53, 1.33},
                                                     {58, 0.0}, {71, 1.6}, {86, 1.45}, {118, 0.0}, {200, 0.0}};
    const double norm = std::sqrt(0.6 * 0.6 + 0.6 * 0.6 + 0.53 * 0.53);
    for (auto [z, radius] : radii) {
        SCOPED_TRACE(int{z});
        const double d = 1.3 * (radius + 0.73) / norm;
        std::vector<Atom> atoms = water_dimer();
        atoms.push_back({z, -0.6 * d, -0.6 * d, 0.53 * d});
        EXPECT_NEAR(h4(atoms) / h4(atoms, with(4, 1.0)), 0.71, 1e-9);
    }
}

// On the donor-acceptor line the angular factor takes its limit 1. Straight
// contacts along skew directions make the rounded cosine land on either side
// of -1; every one must give the straight-contact energy, never NaN.
TEST(H4Energy, StraightContactTakesTheLimitOfTheAngularFactor) {
    const double straight = h4({{8, 0, 0, 0}, {1, 1.0, 0, 0}, {8, 3.0, 0, 0}});
    EXPECT_NEAR(straight, -2.32, 1e-12);
    for (double delta : {1e-8, 1e-5, 1e-3}) {
        const double l = std::sqrt(9.0 - std::pow(std::sin(delta), 2)) - std::cos(delta);  // keeps O...O at 3.0
        EXPECT_NEAR(h4(bent_contact(8, 8, 1.0, l, delta)), straight, 1e-9) << delta;
    }
    const double origin[3] = {0.1234567, -2.345678, 7.891011};
    for (int k = 0; k < 500; ++k) {
        // Directions on a spiral over the sphere.
        const double zc = 1.0 - (2.0 * k + 1.0) / 500.0;
        const double phi = k * 2.399963229728653;
        const double s = std::sqrt(1.0 - zc * zc);
        const double u[3] = {s * std::cos(phi), s * std::sin(phi), zc};
        std::vector<Atom> atoms;
        for (auto [z, t] : {std::pair<std::uint8_t, double>{8, 0.0}, {1, 1.0}, {8, 3.0}}) {
            atoms.push_back({z, origin[0] + t * u[0], origin[1] + t * u[1], origin[2] + t * u[2]});
        }
        const double e = h4(atoms);
        ASSERT_TRUE(std::isfinite(e)) << k;
        EXPECT_NEAR(e, straight, 1e-9) << k;
    }
}

std::vector<Atom> mixed_complex() {
    std::vector<Atom> atoms = water_dimer();
    atoms[1] = {1, 0.955, 0.08, 0.03};
    atoms = testing::combine(atoms, ammonium_to_oxygen(4), {0.4, 3.4, 0.8});
    return testing::combine(atoms, hydroxyl_to_formate(true), {-1.0, -2.6, 2.2});
}

TEST(H4Energy, InvariantUnderRigidMotionAndAtomOrder) {
    const MolecularBatch mol = testing::make_molecule(mixed_complex());
    const double e = compute_h4_energy(mol, kDefault);
    ASSERT_LT(e, -1.0);
    const MolecularBatch turned =
        testing::moved(mol, testing::rotation_matrix({1.0, 2.0, -0.5}, 0.83), {-3.0, 11.0, 0.5});
    const MolecularBatch shuffled = testing::reordered(mol, testing::scrambled_order(mol.n_atoms));
    EXPECT_NEAR(compute_h4_energy(turned, kDefault), e, 1e-11 * std::abs(e));
    EXPECT_NEAR(compute_h4_energy(shuffled, kDefault), e, 1e-11 * std::abs(e));
}

// Every atom moved by a few hundredths of an angstrom, so that no contact is
// exactly straight and no count sits on a kink of its multiplier.
std::vector<Atom> jiggled(std::vector<Atom> atoms) {
    for (std::size_t k = 0; k < atoms.size(); ++k) {
        const double t = static_cast<double>(k + 1);
        atoms[k].x += 0.021 * std::sin(1.3 * t);
        atoms[k].y += 0.017 * std::cos(2.1 * t);
        atoms[k].z_coord += 0.019 * std::sin(0.7 * t + 0.4);
    }
    return atoms;
}

// Cyclic formic-acid dimer: O...O 2.65, the bridging hydrogens 1.66 from the
// carbonyl oxygens (inside the switching range of its neighbour count).
std::vector<Atom> formic_acid_dimer() {
    const std::vector<Atom> half = {{6, -2.0, 0.0, 0}, {8, -1.4, 1.05, 0}, {8, -1.25, -1.15, 0},
                                    {1, -3.1, 0.05, 0}, {1, -0.2606, -1.1127, 0}};
    std::vector<Atom> atoms = half;
    for (const Atom& a : half) atoms.push_back({a.z, -a.x, -a.y, -a.z_coord});
    return atoms;
}

TEST(H4Energy, GradientEqualsCentralDifferenceOfEnergy) {
    std::vector<Atom> stretched_water = water_dimer();
    stretched_water[1].x = 1.22;  // proton factor and the donor's hydrogen count both between their limits
    std::vector<Atom> stretched_ammonium = ammonium_to_oxygen(4);
    stretched_ammonium[1].x = 1.3;  // proton factor; a neighbour count between 3 and 4
    struct Case {
        std::string name;
        std::vector<Atom> atoms;
    };
    const std::vector<Case> cases = {
        {"water dimer", jiggled(water_dimer())},
        {"stretched water donor", jiggled(stretched_water)},
        {"formic acid dimer", jiggled(formic_acid_dimer())},
        {"stretched ammonium donor", jiggled(stretched_ammonium)},
        // A carbon 1.86 from the donor oxygen: a heavy-neighbour count between 0 and 1.
        {"water donor near a carbon", jiggled({{8, 0, 0, 0}, {1, 0.96, 0, 0}, {1, -0.24, 0.93, 0}, {6, -0.9, -1.6, 0.3},
                                               {8, 2.9, 0, 0}})},
        {"mixed complex", jiggled(mixed_complex())},
    };
    const auto energy = [](const MolecularBatch& m) { return compute_h4_energy(m, kDefault); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const MolecularBatch mol = testing::make_molecule(c.atoms);
        std::vector<std::array<double, 3>> analytic(mol.n_atoms, {0.0, 0.0, 0.0});
        EXPECT_EQ(compute_h4_energy_and_gradients(mol, kDefault, analytic), energy(mol));
        const auto numeric = testing::central_difference(mol, energy, 1e-4);
        for (std::size_t i = 0; i < mol.n_atoms; ++i) {
            for (int k = 0; k < 3; ++k) {
                // 1e-5 eV/angstrom in kcal/mol/angstrom.
                EXPECT_NEAR(analytic[i][k], numeric[i][k], 2.3e-4) << "atom " << i << " axis " << k;
            }
        }
    }
    std::vector<std::array<double, 3>> short_rows(1);
    EXPECT_ANY_THROW(compute_h4_energy_and_gradients(testing::make_molecule(water_dimer()), kDefault, short_rows));
}

// ---- hydrogen-hydrogen repulsion ----

std::vector<std::array<double, 3>> hh_gradient(const MolecularBatch& mol) {
    return compute_hh_repulsion_energy_and_gradients(mol).second;
}

double hh_energy(const MolecularBatch& mol) { return compute_hh_repulsion_energy_and_gradients(mol).first; }

double hh_pair(double r) { return hh_energy(testing::make_molecule({{1, 0, 0, 0}, {1, r, 0, 0}})); }

double hh_pair_slope(double r) {
    return hh_gradient(testing::make_molecule({{1, 0, 0, 0}, {1, r, 0, 0}}))[1][0];
}

TEST(HhRepulsion, GradientEqualsCentralDifferenceOfEnergy) {
    const double a = 1.09 / std::sqrt(3.0);
    const std::vector<Atom> methane = {{6, 0, 0, 0}, {1, a, a, a}, {1, -a, -a, a}, {1, -a, a, -a}, {1, a, -a, -a}};
    struct Case {
        std::string name;
        std::vector<Atom> atoms;
    };
    const std::vector<Case> cases = {
        {"water dimer", mixed_complex()},
        {"methane pair", testing::combine(methane, methane, {1.1, 2.3, 1.6})},
        {"aspirin", testing::ladder_atoms("aspirin")},
        // Pairs at 0.93 (flat), 1.2 and 1.44 (joining quintic), 1.9 and beyond (exponential).
        {"all three ranges", {{1, 0, 0, 0}, {1, 1.2, 0, 0}, {1, 0.3, 1.9, 0.4}, {1, 0.1, -0.9, 0.2}, {8, 0.5, 0.5, 0.5}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const MolecularBatch mol = testing::make_molecule(c.atoms);
        const auto analytic = hh_gradient(mol);
        const auto numeric = testing::central_difference(mol, hh_energy, 1e-5);
        ASSERT_EQ(analytic.size(), mol.n_atoms);
        for (std::size_t i = 0; i < mol.n_atoms; ++i) {
            for (int k = 0; k < 3; ++k) {
                EXPECT_NEAR(analytic[i][k], numeric[i][k], 2e-6 * (1.0 + std::abs(numeric[i][k])));
                if (mol.atomic_numbers[i] != 1) {
                    EXPECT_EQ(analytic[i][k], 0.0);
                }
            }
        }
    }
}

// The three pieces meet with equal value and slope at 1.0 and 1.5 angstrom;
// reference values from the repulsion's definition: the flat wall
// 25.46293603147693 kcal/mol below 1.0 and about 5.3286 kcal/mol at 1.5.
TEST(HhRepulsion, PiecesJoinSmoothlyAndDecayToZero) {
    EXPECT_DOUBLE_EQ(hh_pair(0.9), 25.46293603147693);
    EXPECT_EQ(hh_pair_slope(0.9), 0.0);
    EXPECT_NEAR(hh_pair(1.5), 5.3286, 1e-4);
    for (double joint : {1.0, 1.5}) {
        SCOPED_TRACE(joint);
        EXPECT_NEAR(hh_pair(joint - 1e-9), hh_pair(joint + 1e-9), 1e-6);
        EXPECT_NEAR(hh_pair_slope(joint - 1e-9), hh_pair_slope(joint + 1e-9), 1e-5);
    }
    double previous = hh_pair(1.0);
    for (double r = 1.05; r < 8.0; r += 0.05) {
        const double e = hh_pair(r);
        EXPECT_LT(e, previous) << r;
        EXPECT_LT(hh_pair_slope(r), 0.0) << r;
        previous = e;
    }
    EXPECT_LT(hh_pair(6.0), 1e-10);
}

TEST(HhRepulsion, InvariantUnderRigidMotionAndAtomOrder) {
    const MolecularBatch mol = testing::make_molecule(mixed_complex());
    const auto [e, g] = compute_hh_repulsion_energy_and_gradients(mol);
    ASSERT_GT(e, 1.0);
    const testing::Rotation rot = testing::rotation_matrix({-0.2, 0.9, 0.4}, 1.7);
    const MolecularBatch turned = testing::moved(mol, rot, {2.0, 0.0, -9.0});
    const std::vector<std::size_t> order = testing::scrambled_order(mol.n_atoms);
    const MolecularBatch shuffled = testing::reordered(mol, order);
    const auto [e_turned, g_turned] = compute_hh_repulsion_energy_and_gradients(turned);
    const auto [e_shuffled, g_shuffled] = compute_hh_repulsion_energy_and_gradients(shuffled);
    EXPECT_NEAR(e_turned, e, 1e-11 * e);
    EXPECT_NEAR(e_shuffled, e, 1e-11 * e);
    for (std::size_t i = 0; i < mol.n_atoms; ++i) {
        const auto expected = testing::rotate(rot, g[i]);
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(g_turned[i][k], expected[k], 1e-9);
            EXPECT_NEAR(g_shuffled[i][k], g[order[i]][k], 1e-12);
        }
    }
}

TEST(HhRepulsion, DegenerateInputsGiveZero) {
    const std::vector<std::vector<Atom>> cases = {
        {},
        {{1, 0, 0, 0}, {8, 0.5, 0, 0}, {7, 1.0, 0, 0}},
        {{1, 0.3, 0.3, 0.3}, {1, 0.3, 0.3, 0.3}, {6, 0, 0, 0}},  // coincident hydrogens
    };
    for (const auto& atoms : cases) {
        const auto [e, g] = compute_hh_repulsion_energy_and_gradients(testing::make_molecule(atoms));
        EXPECT_EQ(e, 0.0);
        ASSERT_EQ(g.size(), atoms.size());
        for (const auto& row : g) EXPECT_EQ(row, (std::array<double, 3>{0.0, 0.0, 0.0}));
    }
}

}  // namespace
}  // namespace quorin
