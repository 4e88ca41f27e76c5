#include "core/gradients/mulliken.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/scf.h"
#include "core/integrals/overlap.h"
#include "core/scf/scf_loop.h"
#include "core/types/constants.h"
#include "core/types/errors.h"
#include "gradients/test_molecules.h"

namespace quorin {
namespace {

using namespace testing;

struct Orbitals {
    Matrix coefficients;
    std::size_t n_occ;
};

Orbitals scf_orbitals(const MolecularBatch& molecule, const ParameterModel& model) {
    ScfOptions options;
    options.max_iterations = 200;
    const fixtures::ScfRun run = fixtures::run_scf(molecule, model, options);
    EXPECT_TRUE(run.result.converged);
    double trace = 0.0;
    for (std::size_t i = 0; i < molecule.n_basis; ++i) trace += run.workspace.density(i, i);
    return {run.workspace.coefficients, static_cast<std::size_t>(std::lround(trace / 2.0))};
}

// Two identical hydrogen 1s functions, exponent zeta (bohr^-1), each the
// normalised sum of c_i (2a_i/pi)^(3/4) exp(-a_i r^2), a_i = zeta^2 times the
// tabulated exponent: S = sum c_i c_j (2 sqrt(a_i a_j) / (a_i + a_j))^(3/2)
// exp(-a_i a_j R^2 / (a_i + a_j)), R in bohr.
double hydrogen_1s_overlap(double zeta, double r_angstrom) {
    const SlaterGaussianExpansion& g = slater_gaussian_expansion(1, 0);
    const double rb = r_angstrom * kAngstromToBohr;
    double s = 0.0;
    for (std::size_t i = 0; i < 6; ++i)
        for (std::size_t j = 0; j < 6; ++j) {
            const double a = g.exponent[i] * zeta * zeta, b = g.exponent[j] * zeta * zeta;
            s += g.coefficient[i] * g.coefficient[j] * std::pow(2.0 * std::sqrt(a * b) / (a + b), 1.5) *
                 std::exp(-a * b / (a + b) * rb * rb);
        }
    return s;
}

TEST(Mulliken, HydrogenMoleculeIsNeutralAtEveryDistance) {
    const double zeta = kMndo.get_element(1)->zeta_s;
    for (double r : {0.5, 0.74, 1.5, 3.0}) {
        SCOPED_TRACE("R = " + std::to_string(r));
        const std::array<std::array<double, 3>, 2> at{{{0.0, 0.0, 0.0}, {0.3 * r, 0.4 * r, std::sqrt(0.75) * r}}};
        const MolecularBatch h2 = MolecularBatch::new_for_model({1, 1}, at, kMndo);
        const Orbitals orbitals = scf_orbitals(h2, kMndo);
        const MullikenResult m = compute_mulliken_population(h2, kMndo, orbitals.coefficients, 1);
        EXPECT_NEAR(m.overlap(0, 1), hydrogen_1s_overlap(zeta, r), 1e-10);
        for (std::size_t a = 0; a < 2; ++a) {
            EXPECT_NEAR(m.charges[a], 0.0, 1e-10);
            EXPECT_NEAR(m.atomic_populations[a], 1.0, 1e-10);
        }
        EXPECT_NEAR(m.total_population, 2.0, 1e-10);
    }
}

// Neutral closed-shell molecules: charges sum to zero, S^-1/2 S S^-1/2 = 1,
// the population counts every electron, d functions overlap nothing.
TEST(Mulliken, NeutralMoleculesConserveCharge) {
    struct Case {
        std::string name;
        Geometry geometry;
        const ParameterModel* model;
    };
    const std::vector<Case> cases{
        {"water AM1", ladder_molecule("water"), &kAm1},
        {"caffeine MNDO", ladder_molecule("caffeine"), &kMndo},
        {"mixed chain PM6", mixed_chain(), &kPm6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MolecularBatch molecule = make_molecule(c.geometry, *c.model);
        const Orbitals orbitals = scf_orbitals(molecule, *c.model);
        const MullikenResult m = compute_mulliken_population(molecule, *c.model, orbitals.coefficients, orbitals.n_occ);
        double charge_sum = 0.0;
        for (std::size_t a = 0; a < molecule.n_atoms; ++a) charge_sum += m.charges[a];
        EXPECT_NEAR(charge_sum, 0.0, 1e-9);
        EXPECT_NEAR(m.total_population, 2.0 * orbitals.n_occ, 1e-9);

        const std::size_t n = molecule.n_basis;
        double worst = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                double xsx = 0.0;
                for (std::size_t k = 0; k < n; ++k) {
                    for (std::size_t l = 0; l < n; ++l) xsx += m.s_inv_sqrt(i, k) * m.overlap(k, l) * m.s_inv_sqrt(l, j);
                }
                worst = std::max(worst, std::abs(xsx - (i == j ? 1.0 : 0.0)));
            }
        }
        EXPECT_LT(worst, 1e-9);

        for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
            for (std::size_t mu = 4; mu < molecule.orbitals_per_atom[a]; ++mu) {
                const std::size_t i = molecule.first_orbital[a] + mu;
                for (std::size_t j = 0; j < n; ++j) EXPECT_EQ(m.overlap(i, j), i == j ? 1.0 : 0.0);
            }
        }
    }
    // Water's oxygen draws charge from both hydrogens.
    const MolecularBatch water = make_molecule(ladder_molecule("water"), kAm1);
    const Orbitals orbitals = scf_orbitals(water, kAm1);
    const MullikenResult m = compute_mulliken_population(water, kAm1, orbitals.coefficients, orbitals.n_occ);
    EXPECT_LT(m.charges[0], -0.2);
    EXPECT_GT(m.charges[1], 0.1);
    EXPECT_GT(m.charges[2], 0.1);
}

// A lone hydrogen holding one doubly occupied orbital (an H- electron count)
// keeps it; an atom the model lacks (silicon under RM1) overlaps nothing and
// its charge is minus its population.
TEST(Mulliken, IsolatedOrbitalsKeepTheirElectrons) {
    const std::array<std::array<double, 3>, 1> one{{{1.0, 2.0, 3.0}}};
    const MolecularBatch h = MolecularBatch::new_for_model({1}, one, kMndo);
    Matrix c1 = Matrix::zeros(1, 1);
    c1(0, 0) = 1.0;
    const MullikenResult hydride = compute_mulliken_population(h, kMndo, c1, 1);
    EXPECT_DOUBLE_EQ(hydride.s_inv_sqrt(0, 0), 1.0);
    EXPECT_DOUBLE_EQ(hydride.charges[0], -1.0);

    const std::array<std::array<double, 3>, 2> two{{{0.0, 0.0, 0.0}, {0.0, 0.0, 1.5}}};
    const MolecularBatch sih = MolecularBatch::new_for_model({14, 1}, two, kRm1);
    ASSERT_EQ(sih.n_basis, 5u);
    Matrix c = Matrix::zeros(5, 5);
    for (std::size_t i = 0; i < 5; ++i) c(i, i) = 1.0;  // occupied orbital: silicon s
    const MullikenResult m = compute_mulliken_population(sih, kRm1, c, 1);
    for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(m.overlap(j, 4), 0.0);
    EXPECT_NEAR(m.charges[0], -2.0, 1e-12);
    EXPECT_NEAR(m.charges[1], 1.0, 1e-12);
}

TEST(Mulliken, StopsOnInvalidInput) {
    const MolecularBatch water = make_molecule(ladder_molecule("water"), kAm1);
    EXPECT_THROW(compute_mulliken_population(water, kAm1, Matrix::zeros(5, 5), 1), EngineStop);
    EXPECT_THROW(compute_mulliken_population(water, kAm1, Matrix::zeros(6, 5), 1), EngineStop);
    EXPECT_THROW(compute_mulliken_population(water, kAm1, Matrix::zeros(6, 6), 7), EngineStop);
}

}  // namespace
}  // namespace quorin
