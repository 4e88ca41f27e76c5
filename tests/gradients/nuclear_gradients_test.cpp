#include "core/gradients/nuclear_gradients.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "common/scf.h"
#include "core/scf/scf_loop.h"
#include "core/types/errors.h"
#include "gradients/test_molecules.h"

namespace quorin {
namespace {

using Gradient = std::vector<std::array<double, 3>>;

using namespace testing;

using fixtures::ScfRun;

ScfRun run_scf(const MolecularBatch& molecule, const ParameterModel& model, bool use_nddo, bool tight) {
    ScfOptions options;
    options.use_nddo = use_nddo;
    if (tight) {
        options.max_iterations = 300;
        options.energy_tolerance = 1e-12;
        options.density_tolerance = 1e-10;
    }
    return fixtures::run_scf(molecule, model, options);
}

Gradient gradient_of(MolecularBatch& molecule, const ParameterModel& model, const Matrix& density, bool use_nddo,
                     bool full_rebuild = false) {
    GradientWorkspace ws = GradientWorkspace::allocate(molecule.n_basis);
    Gradient g(molecule.n_atoms);
    if (full_rebuild) {
        compute_cartesian_gradients_full_rebuild(molecule, model, density, ws, g, use_nddo);
    } else {
        compute_cartesian_gradients_with_options(molecule, model, density, ws, g, use_nddo);
    }
    return g;
}

double max_abs(const Gradient& a, const Gradient& b = {}) {
    double largest = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (std::size_t k = 0; k < 3; ++k) largest = std::max(largest, std::abs(a[i][k] - (b.empty() ? 0.0 : b[i][k])));
    }
    return largest;
}

// The pair-local path reproduces the full rebuild to rounding for every
// method and element mix (sp and d shells, PM7 feathering with and without d
// orbitals, atoms a model lacks: Si and B under RM1), in both Hamiltonian forms.
TEST(NuclearGradients, PairLocalPathMatchesFullRebuild) {
    struct Case {
        std::string name;
        Geometry geometry;
        std::vector<const ParameterModel*> models;
        bool also_gamma;
    };
    const std::vector<Case> cases{
        {"H2", hydrogen_molecule(), kAllModels, true},
        {"water", ladder_molecule("water"), kSpModels, true},
        {"formaldehyde", formaldehyde(), kSpModels, false},
        {"benzene", ladder_molecule("benzene"), kAllModels, true},
        {"mixed chain", mixed_chain(), kSpModels, true},
        {"boron halides", boron_halides(), kSpModels, false},
        {"caffeine", ladder_molecule("caffeine"), {&kAm1, &kPm6}, false},
        {"decane", ladder_molecule("decane"), {&kMndo, &kPm7}, false},
        {"iron dimethyl", iron_dimethyl(), {&kPm7}, true},
    };
    for (const auto& c : cases) {
        for (const ParameterModel* model : c.models) {
            for (bool use_nddo : {true, false}) {
                if (!use_nddo && !c.also_gamma) continue;
                SCOPED_TRACE(c.name + " " + std::string(model->name()) + (use_nddo ? " NDDO" : " gamma"));
                MolecularBatch molecule = make_molecule(c.geometry, *model);
                const Matrix& p = run_scf(molecule, *model, use_nddo, false).workspace.density;
                for (std::size_t i = 0; i < p.rows(); ++i) {
                    for (std::size_t j = 0; j < i; ++j) ASSERT_EQ(p(i, j), p(j, i));  // else the fast path is skipped
                }
                const Gradient reference = gradient_of(molecule, *model, p, use_nddo, true);
                EXPECT_LT(max_abs(gradient_of(molecule, *model, p, use_nddo), reference), 1e-6);
                EXPECT_GT(max_abs(reference), 1e-3);  // not a comparison of two zero vectors
            }
        }
    }
}

// After one atom moves, the pairs without it keep their term derivatives
// from the base geometry: the gradient is the same number for number as the
// one that differentiates every pair anew (sp atoms; d shells and an atom
// without parameters under RM1; both Hamiltonian forms).
TEST(NuclearGradients, ReusedPairDerivativesGiveTheSameGradient) {
    struct Case {
        std::string name;
        const ParameterModel* model;
        bool use_nddo;
    };
    for (const Case& c : {Case{"AM1 NDDO", &kAm1, true}, Case{"PM6 NDDO", &kPm6, true},
                          Case{"RM1 NDDO (no Si record)", &kRm1, true}, Case{"PM6 gamma", &kPm6, false}}) {
        SCOPED_TRACE(c.name);
        MolecularBatch molecule = make_molecule(c.model == &kAm1 ? formaldehyde() : mixed_chain(), *c.model);
        const Matrix& p = run_scf(molecule, *c.model, c.use_nddo, false).workspace.density;
        const PairTermDerivatives base = compute_pair_term_derivatives(molecule, *c.model, c.use_nddo);
        GradientWorkspace ws = GradientWorkspace::allocate(molecule.n_basis);
        for (const std::size_t moved : {std::size_t{0}, molecule.n_atoms - 1}) {
            const double saved = molecule.y[moved];
            molecule.y[moved] += 0.005;
            Gradient reused(molecule.n_atoms);
            compute_cartesian_gradients_after_move(molecule, *c.model, p, ws, reused, base, moved);
            const Gradient fresh = gradient_of(molecule, *c.model, p, c.use_nddo);
            molecule.y[moved] = saved;
            EXPECT_EQ(max_abs(reused, fresh), 0.0) << "atom " << moved;
            EXPECT_GT(max_abs(fresh), 1e-3);
        }
    }
}

// For a converged density the frozen-density gradient is the derivative of
// the SCF energy itself (the energy is stationary in the density). Reference:
// fourth-order central differences of tightly converged SCF energies.
TEST(NuclearGradients, GradientIsDerivativeOfScfEnergy) {
    struct Case {
        std::string name;
        Geometry geometry;
        const ParameterModel* model;
        bool use_nddo;
    };
    const std::vector<Case> cases{
        {"water MNDO", ladder_molecule("water"), &kMndo, true},
        {"water AM1 gamma", ladder_molecule("water"), &kAm1, false},
        {"formaldehyde PM3", formaldehyde(), &kPm3, true},
        {"formaldehyde RM1", formaldehyde(), &kRm1, true},
        {"mixed chain PM6", mixed_chain(), &kPm6, true},
        {"H2 PM7", hydrogen_molecule(), &kPm7, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MolecularBatch molecule = make_molecule(c.geometry, *c.model);
        const ScfRun scf = run_scf(molecule, *c.model, c.use_nddo, true);
        ASSERT_TRUE(scf.result.converged);
        GradientWorkspace ws = GradientWorkspace::allocate(molecule.n_basis);
        EXPECT_NEAR(evaluate_frozen_energy(molecule, *c.model, scf.workspace.density, ws, c.use_nddo),
                    scf.result.total_energy, 1e-7);

        const Gradient g = gradient_of(molecule, *c.model, scf.workspace.density, c.use_nddo);
        for (std::size_t atom = 0; atom < std::min<std::size_t>(molecule.n_atoms, 4); ++atom) {
            for (std::size_t axis = 0; axis < 3; ++axis) {
                Vec64& coords = axis == 0 ? molecule.x : (axis == 1 ? molecule.y : molecule.z);
                const double saved = coords[atom], h = 2e-3;
                auto energy_at = [&](double shift) {
                    coords[atom] = saved + shift;
                    const ScfRun run = run_scf(molecule, *c.model, c.use_nddo, true);
                    EXPECT_TRUE(run.result.converged);
                    return run.result.total_energy;
                };
                const double derivative =
                    (-energy_at(2 * h) + 8 * energy_at(h) - 8 * energy_at(-h) + energy_at(-2 * h)) / (12 * h);
                coords[atom] = saved;
                EXPECT_NEAR(g[atom][axis], derivative, 2e-5) << "atom " << atom << " axis " << axis;
            }
        }
    }
}

// No net force; no net torque for a converged density (the energy is
// invariant under rigid rotation); coordinates restored bit for bit; a lone
// atom feels nothing; an empty molecule gives an empty result.
TEST(NuclearGradients, RigidMotionInvariancesAndRestoredGeometry) {
    for (const ParameterModel* model : std::vector<const ParameterModel*>{&kAm1, &kPm6}) {
        SCOPED_TRACE(std::string(model->name()));
        MolecularBatch molecule = make_molecule(mixed_chain(), *model);
        const Vec64 x0 = molecule.x, y0 = molecule.y, z0 = molecule.z;
        const ScfRun scf = run_scf(molecule, *model, true, true);
        ASSERT_TRUE(scf.result.converged);
        for (bool full_rebuild : {false, true}) {
            const Gradient g = gradient_of(molecule, *model, scf.workspace.density, true, full_rebuild);
            std::array<double, 3> force{}, torque{};
            for (std::size_t a = 0; a < g.size(); ++a) {
                const std::array<double, 3> r{molecule.x[a], molecule.y[a], molecule.z[a]};
                for (std::size_t k = 0; k < 3; ++k) {
                    force[k] += g[a][k];
                    torque[k] += r[(k + 1) % 3] * g[a][(k + 2) % 3] - r[(k + 2) % 3] * g[a][(k + 1) % 3];
                }
            }
            for (std::size_t k = 0; k < 3; ++k) {
                EXPECT_NEAR(force[k], 0.0, 1e-12);
                EXPECT_NEAR(torque[k], 0.0, 1e-5);
            }
            for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
                EXPECT_TRUE(molecule.x[a] == x0[a] && molecule.y[a] == y0[a] && molecule.z[a] == z0[a]);
            }
        }
    }

    const std::array<std::array<double, 3>, 1> at{{{0.3, -0.2, 1.1}}};
    MolecularBatch carbon = MolecularBatch::new_for_model({6}, at, kMndo);
    Matrix density = Matrix::zeros(4, 4);
    for (std::size_t i = 0; i < 4; ++i) density(i, i) = 1.0;
    for (bool use_nddo : {true, false}) {
        for (bool full_rebuild : {false, true}) {
            EXPECT_EQ(gradient_of(carbon, kMndo, density, use_nddo, full_rebuild)[0],
                      (std::array<double, 3>{0.0, 0.0, 0.0}));
        }
    }
    MolecularBatch empty = MolecularBatch::new_for_model({}, std::span<const std::array<double, 3>>{}, kMndo);
    EXPECT_TRUE(gradient_of(empty, kMndo, Matrix::zeros(0, 0), true).empty());
}

// Shape errors stop both paths; a density that is not exactly symmetric is
// outside the pair decomposition and gives exactly the full-rebuild result.
TEST(NuclearGradients, MalformedInputs) {
    MolecularBatch molecule = make_molecule(formaldehyde(), kPm3);
    Matrix density = Matrix::zeros(molecule.n_basis, molecule.n_basis);
    density.copy_from(run_scf(molecule, kPm3, true, false).workspace.density);
    density(0, 5) += 0.05;
    for (bool use_nddo : {true, false}) {
        EXPECT_EQ(max_abs(gradient_of(molecule, kPm3, density, use_nddo),
                          gradient_of(molecule, kPm3, density, use_nddo, true)),
                  0.0);
    }
    GradientWorkspace ws = GradientWorkspace::allocate(molecule.n_basis);
    Gradient short_output(molecule.n_atoms - 1), output(molecule.n_atoms);
    const Matrix wrong_density = Matrix::zeros(molecule.n_basis + 1, molecule.n_basis + 1);
    EXPECT_THROW(compute_cartesian_gradients_with_options(molecule, kPm3, density, ws, short_output, true), EngineStop);
    EXPECT_THROW(compute_cartesian_gradients_with_options(molecule, kPm3, wrong_density, ws, output, true), EngineStop);
    EXPECT_THROW(compute_cartesian_gradients_full_rebuild(molecule, kPm3, density, ws, short_output, true), EngineStop);
    EXPECT_THROW(compute_cartesian_gradients_full_rebuild(molecule, kPm3, wrong_density, ws, output, true), EngineStop);
}

}  // namespace
}  // namespace quorin
