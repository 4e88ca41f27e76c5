#include "core/corrections/dispersion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/types/errors.h"
#include "tests/corrections/geometry_helpers.h"

namespace quorin {
namespace {

using testing::Atom;

const DispersionModel kForms[] = {kDispersionPm6DhPlus, kDispersionPm7, kDispersionD3Bj};

std::vector<Atom> methane() {
    const double a = 1.09 / std::sqrt(3.0);
    return {{6, 0, 0, 0}, {1, a, a, a}, {1, -a, -a, a}, {1, -a, a, -a}, {1, a, -a, -a}};
}

std::vector<Atom> water() { return {{8, 0, 0, 0}, {1, 0.96, 0, 0}, {1, -0.2404, 0.9294, 0}}; }

std::vector<std::array<double, 3>> gradient(const MolecularBatch& mol, DispersionModel form) {
    std::vector<std::array<double, 3>> g(mol.n_atoms, {0.0, 0.0, 0.0});
    compute_dispersion_energy_and_gradients(mol, form, g);
    return g;
}

struct GeometryCase {
    std::string name;
    std::vector<Atom> atoms;
};

std::vector<GeometryCase> geometries() {
    const std::vector<Atom> benzene = testing::ladder_atoms("benzene");
    return {
        {"methane dimer", testing::combine(methane(), methane(), {3.1, 0.7, 1.9})},
        {"stacked benzene dimer", testing::combine(benzene, benzene, {0.8, 0.3, 3.6})},
        {"water and methane", testing::combine(water(), methane(), {2.2, 2.4, -0.9})},
        {"aspirin", testing::ladder_atoms("aspirin")},
        {"rare gases and halogens",
         {{18, 0, 0, 0}, {54, 3.9, 0.4, 0}, {53, 1.2, 4.1, 0.6}, {36, -2.0, -2.9, 1.1}, {2, 0.3, 0.2, 3.0}}},
    };
}

TEST(Dispersion, GradientEqualsCentralDifferenceOfEnergy) {
    for (const GeometryCase& geo : geometries()) {
        const MolecularBatch mol = testing::make_molecule(geo.atoms);
        for (DispersionModel form : kForms) {
            SCOPED_TRACE(geo.name + ", form " + std::to_string(form));
            const auto analytic = gradient(mol, form);
            const auto numeric = testing::central_difference(
                mol, [&](const MolecularBatch& m) { return compute_dispersion_energy(m, form); }, 1e-4);
            double largest = 0.0;
            std::array<double, 3> total{};
            for (const auto& row : analytic) {
                for (int c = 0; c < 3; ++c) {
                    largest = std::max(largest, std::abs(row[c]));
                    total[c] += row[c];
                }
            }
            ASSERT_GT(largest, 1e-4);
            for (std::size_t i = 0; i < mol.n_atoms; ++i) {
                for (int c = 0; c < 3; ++c) EXPECT_NEAR(analytic[i][c], numeric[i][c], 1e-6 + 1e-6 * largest);
            }
            // Pair forces are equal and opposite.
            for (int c = 0; c < 3; ++c) EXPECT_NEAR(total[c], 0.0, 1e-12 * (1.0 + largest) * mol.n_atoms);
        }
    }
}

TEST(Dispersion, EnergyAndGradientInvariantUnderRigidMotionAndAtomOrder) {
    const testing::Rotation rot = testing::rotation_matrix({0.3, -1.0, 0.7}, 2.1);
    for (const GeometryCase& geo : geometries()) {
        const MolecularBatch mol = testing::make_molecule(geo.atoms);
        const MolecularBatch turned = testing::moved(mol, rot, {4.0, -7.5, 2.25});
        const std::vector<std::size_t> order = testing::scrambled_order(mol.n_atoms);
        const MolecularBatch shuffled = testing::reordered(mol, order);
        for (DispersionModel form : kForms) {
            SCOPED_TRACE(geo.name + ", form " + std::to_string(form));
            const double e = compute_dispersion_energy(mol, form);
            EXPECT_NEAR(compute_dispersion_energy(turned, form), e, 1e-11 * std::abs(e));
            EXPECT_NEAR(compute_dispersion_energy(shuffled, form), e, 1e-11 * std::abs(e));
            const auto g = gradient(mol, form);
            const auto g_turned = gradient(turned, form);
            const auto g_shuffled = gradient(shuffled, form);
            for (std::size_t i = 0; i < mol.n_atoms; ++i) {
                const auto expected = testing::rotate(rot, g[i]);
                for (int c = 0; c < 3; ++c) {
                    EXPECT_NEAR(g_turned[i][c], expected[c], 1e-10);
                    EXPECT_NEAR(g_shuffled[i][c], g[order[i]][c], 1e-12);
                }
            }
        }
    }
}

// Two argon atoms at the sum of their van der Waals radii (3.76 angstrom).
// For a homonuclear pair the combination rules give C6 = 3.71 and R0 = 0.376 nm;
// the references are the closed forms evaluated by hand at rho = R0:
//   forms 0, 1: -s6 C6 / R0^6 / 4184 / (1 + exp(-d (1/sR - 1)))
//   form 2: -(C6/(R0^6 + Rbj^6) + 1.009 * 3 C6 R0^2/(R0^8 + Rbj^8)) / 4184, Rbj = 0.538 R0 + 0.233.
TEST(Dispersion, ArgonPairAtContactMatchesHandValues) {
    const MolecularBatch mol = testing::make_molecule({{18, 0, 0, 0}, {18, 0, 0, 3.76}});
    const double expected[] = {-0.08843384991230586, -0.039078982997670327, -0.3168479449183039};
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(compute_dispersion_energy(mol, kForms[k]), expected[k], 1e-13);
}

// Far apart the damping is complete and the energy vanishes as the undamped
// tail: -s6 C6/rho^6/4184 (forms 0, 1), -C6/rho^6/4184 - 1.009 C8/rho^8/4184 (form 2).
TEST(Dispersion, VanishesAtLongRangeWithTheUndampedAsymptote) {
    const double c6 = 3.71, r0 = 0.376;
    const double s6[] = {0.89, 2.286419, 1.0};
    for (int k = 0; k < 3; ++k) {
        for (double r : {40.0, 80.0}) {
            const MolecularBatch mol = testing::make_molecule({{18, 0, 0, 0}, {18, r, 0, 0}});
            const double rho = 0.1 * r;
            double asymptote = -s6[k] * c6 / std::pow(rho, 6) / 4184.0;
            if (k == 2) asymptote -= 1.009 * 3.0 * c6 * r0 * r0 / std::pow(rho, 8) / 4184.0;
            EXPECT_NEAR(compute_dispersion_energy(mol, kForms[k]), asymptote, 1e-5 * std::abs(asymptote));
        }
    }
}

// A carbon with exactly four atoms closer than 1.85 angstrom uses C6 = 0.95,
// otherwise 1.65. Sodium neighbours count but take no part, so only the C-Ne
// pair contributes and the energy is proportional to the pair C6. The expected
// ratio uses the polarisability-weighted form of the combination rule,
// C6ij = 2 C6i C6j / ((aj/ai) C6i + (ai/aj) C6j), a = (C6 N)^(1/3), derived by
// hand from the cube-root form.
TEST(Dispersion, CarbonC6FollowsItsNeighbourCount) {
    const auto pair_c6 = [](double c6i, double ni, double c6j, double nj) {
        const double ai = std::cbrt(c6i * ni), aj = std::cbrt(c6j * nj);
        return 2.0 * c6i * c6j / ((aj / ai) * c6i + (ai / aj) * c6j);
    };
    const double ratio_sp3 = pair_c6(0.95, 2.5, 0.45, 3.81) / pair_c6(1.65, 2.5, 0.45, 3.81);
    const Atom carbon{6, 0, 0, 0}, neon{10, 0, 0, 4.0};
    const std::vector<Atom> na = {{11, 1.5, 0, 0}, {11, -1.5, 0, 0}, {11, 0, 1.5, 0}, {11, 0, -1.5, 0},
                                  {11, 0, 0, -1.5}};
    struct Case {
        std::string name;
        std::vector<Atom> neighbours;
        double expected_ratio;
    };
    const std::vector<Case> cases = {
        {"four neighbours", {na[0], na[1], na[2], na[3]}, ratio_sp3},
        {"three neighbours", {na[0], na[1], na[2]}, 1.0},
        {"five neighbours", na, 1.0},
        {"fourth exactly at 1.85", {na[0], na[1], na[2], {11, 0, -1.85, 0}}, 1.0},
        {"fourth just inside 1.85", {na[0], na[1], na[2], {11, 0, -1.8499, 0}}, ratio_sp3},
    };
    for (DispersionModel form : kForms) {
        const double bare = compute_dispersion_energy(testing::make_molecule({carbon, neon}), form);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            std::vector<Atom> atoms = {carbon, neon};
            atoms.insert(atoms.end(), c.neighbours.begin(), c.neighbours.end());
            const double e = compute_dispersion_energy(testing::make_molecule(atoms), form);
            EXPECT_NEAR(e / bare, c.expected_ratio, 1e-12);
        }
    }
}

// Element table against the printed values (C6 in J nm^6/mol, R in pm, N).
// Far apart (30 angstrom) a homonuclear pair gives -s6 C6/rho^6/4184 and a pair
// with hydrogen the combination-rule C6; close (3 angstrom) the Becke-Johnson
// form of a homonuclear pair depends on R through R0 = 2R.
TEST(Dispersion, ElementTableMatchesPrintedValues) {
    struct Element {
        std::uint8_t z;
        double c6, radius_pm, n;
    };
    const Element table[] = {{1, 0.16, 156.0, 0.8},   {2, 0.084, 140.0, 1.42}, {5, 5.79, 180.0, 2.16},
                             {6, 1.65, 170.0, 2.5},   {7, 1.11, 155.0, 2.82},  {8, 0.7, 152.0, 3.15},
                             {9, 0.57, 147.0, 3.48},  {10, 0.45, 154.0, 3.81}, {15, 3.25, 180.0, 4.5},
                             {16, 5.79, 180.0, 4.8},  {17, 5.97, 175.0, 5.1},  {18, 3.71, 188.0, 5.4},
                             {27, 0.04, 140.0, 2.9},  {35, 11.6, 185.0, 6.0},  {36, 4.47, 202.0, 6.3},
                             {53, 25.8, 198.0, 6.95}, {54, 16.5, 216.0, 7.25}};
    const auto pair_c6 = [](double c6i, double ni, double c6j, double nj) {
        const double ai = std::cbrt(c6i * ni), aj = std::cbrt(c6j * nj);
        return 2.0 * c6i * c6j / ((aj / ai) * c6i + (ai / aj) * c6j);
    };
    const double far_rho6 = std::pow(3.0, 6);
    for (const Element& e : table) {
        SCOPED_TRACE(int{e.z});
        const double homo = compute_dispersion_energy(
            testing::make_molecule({{e.z, 0, 0, 0}, {e.z, 30.0, 0, 0}}), kDispersionPm6DhPlus);
        EXPECT_NEAR(-homo * far_rho6 * 4184.0 / 0.89, e.c6, 1e-9 * e.c6);
        const double with_h = compute_dispersion_energy(
            testing::make_molecule({{e.z, 0, 0, 0}, {1, 0, 30.0, 0}}), kDispersionPm6DhPlus);
        EXPECT_NEAR(-with_h * far_rho6 * 4184.0 / 0.89, pair_c6(e.c6, e.n, 0.16, 0.8), 1e-9);
        const double rho = 0.3, r0 = 0.002 * e.radius_pm, rbj = 0.538 * r0 + 0.233;
        const double close = -(e.c6 / (std::pow(rho, 6) + std::pow(rbj, 6)) +
                               1.009 * 3.0 * e.c6 * r0 * r0 / (std::pow(rho, 8) + std::pow(rbj, 8))) / 4184.0;
        EXPECT_NEAR(compute_dispersion_energy(testing::make_molecule({{e.z, 0, 0, 0}, {e.z, 0, 0, 3.0}}),
                                              kDispersionD3Bj),
                    close, 1e-12 * std::abs(close));
    }
}

TEST(Dispersion, DegenerateInputsGiveZeroAndLeaveTheGradientUntouched) {
    const std::vector<std::vector<Atom>> cases = {
        {},
        {{6, 0, 0, 0}},
        {{11, 0, 0, 0}, {12, 3, 0, 0}, {0, 0, 3, 0}, {87, 0, 0, 3}, {200, 1, 1, 1}},
        {{1, 0.5, 0.5, 0.5}, {1, 0.5, 0.5, 0.5}},  // coincident atoms
    };
    for (const auto& atoms : cases) {
        const MolecularBatch mol = testing::make_molecule(atoms);
        for (DispersionModel form : kForms) {
            std::vector<std::array<double, 3>> g(mol.n_atoms, {1.5, -2.0, 0.25});
            EXPECT_EQ(compute_dispersion_energy_and_gradients(mol, form, g), 0.0);
            EXPECT_EQ(compute_dispersion_energy(mol, form), 0.0);
            for (const auto& row : g) EXPECT_EQ(row, (std::array<double, 3>{1.5, -2.0, 0.25}));
        }
    }
}

TEST(Dispersion, StopsOnWrongGradientLengthOrUnknownForm) {
    const MolecularBatch mol = testing::make_molecule(methane());
    std::vector<std::array<double, 3>> short_g(4), g(5);
    EXPECT_THROW(compute_dispersion_energy_and_gradients(mol, kDispersionPm7, short_g), EngineStop);
    EXPECT_THROW(compute_dispersion_energy_and_gradients(mol, 3, g), EngineStop);
    EXPECT_THROW(compute_dispersion_energy(mol, 255), EngineStop);
}

}  // namespace
}  // namespace quorin
