#include "core/varnex/solver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <variant>
#include <vector>

#include "common/geometry.h"
#include "common/molecules.h"
#include "common/scf.h"
#include "core/fock/fock_builder.h"
#include "core/hamiltonian/hcore.h"
#include "core/integrals/core_repulsion.h"
#include "core/integrals/pair_integrals.h"
#include "core/scf/density.h"
#include "core/scf/scf_loop.h"
#include "core/varnex/hybrid.h"
#include "core/varnex/lewis.h"
#include "core/varnex/locmin.h"
#include "core/varnex/orthogonalize.h"
#include "core/scf/workspace.h"

namespace quorin {
namespace {

using fixtures::Geometry;
using fixtures::make_molecule;
using fixtures::methane;
using fixtures::water;

const MndoModel kMndo;
const Am1Model kAm1;
const Pm3Model kPm3;
const Pm6Model kPm6;

Geometry ethane() {
    return {{6, 6, 1, 1, 1, 1, 1, 1},
            {{{0, 0, 0.765}, {0, 0, -0.765}, {1.02, 0, 1.16}, {-0.51, 0.88, 1.16}, {-0.51, -0.88, 1.16},
              {-1.02, 0, -1.16}, {0.51, -0.88, -1.16}, {0.51, 0.88, -1.16}}}};
}
Geometry formaldehyde() {
    return {{6, 8, 1, 1}, {{{0, 0, 0}, {0.02, 0, 1.21}, {0.94, 0.03, -0.56}, {-0.93, -0.02, -0.55}}}};
}

VarnexResult run(const MolecularBatch& mol, const ParameterModel& model, const VarnexConfig& config = {}) {
    auto outcome = run_varnex_scf(mol, model, kNoDispersion, config);
    if (auto* message = std::get_if<std::string>(&outcome)) ADD_FAILURE() << *message;
    return std::get<VarnexResult>(std::move(outcome));
}

std::string refusal(const Geometry& g, const ParameterModel& model) {
    auto outcome = run_varnex_scf(make_molecule(g, model), model, kNoDispersion, {});
    return std::holds_alternative<std::string>(outcome) ? std::get<std::string>(outcome) : "";
}

ScfResult diagonalising_scf(const MolecularBatch& mol, const ParameterModel& model) {
    return fixtures::run_scf(mol, model, 300, 1e-10, 1e-9).result;
}

TEST(VarnexScf, EnergyEqualsTheDiagonalisingScf) {
    // Reference: the ordinary closed-shell SCF (NDDO, tight tolerances) at
    // the same geometry; both minimise the same energy functional.
    struct Case {
        const char* name;
        Geometry g;
    };
    const std::vector<Case> cases = {{"water", water()},
                                     {"methane", methane()},
                                     {"ethane", ethane()},
                                     {"formaldehyde", formaldehyde()},
                                     {"benzene", fixtures::ladder_molecule("benzene")},
                                     {"decane", fixtures::ladder_molecule("decane")}};
    for (const ParameterModel* model : std::vector<const ParameterModel*>{&kMndo, &kAm1, &kPm3, &kPm6}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(model->name()) + " " + c.name);
            const MolecularBatch mol = make_molecule(c.g, *model);
            const ScfResult reference = diagonalising_scf(mol, *model);
            ASSERT_TRUE(reference.converged);
            const VarnexResult r = run(mol, *model);
            EXPECT_TRUE(r.converged);
            EXPECT_GE(r.iterations, 2u);
            EXPECT_NEAR(r.total_energy, reference.total_energy, 1e-3);
            EXPECT_NEAR(r.electronic_energy + r.nuclear_repulsion, r.total_energy, 1e-9);
        }
    }
}

TEST(VarnexScf, RunGivesTheNumbersOfTheLiteralIteration) {
    // Reference: the iteration written out plainly: each coupling and
    // diagonal element evaluated on the Fock matrix itself, pairs rotated
    // one by one, the density summed orbital by orbital.
    const MolecularBatch mol = make_molecule(fixtures::ladder_molecule("benzene"), kMndo);
    const VarnexConfig config;
    const std::size_t n = mol.n_basis;
    InitialLmos lmos = std::get<InitialLmos>(construct_initial_lmos(mol, construct_lewis_structure(mol)));
    const auto pairs = precompute_diatomic_pairs(mol, kMndo);
    Matrix h = Matrix::zeros(n, n), f = Matrix::zeros(n, n), p = Matrix::zeros(n, n);
    build_hcore_nddo(mol, kMndo, pairs, h);
    const auto density = [&] {
        Matrix d = Matrix::zeros(n, n);
        for (const Lmo& l : lmos.occupied)
            for (std::size_t k = 0; k < l.ao_indices.size(); ++k)
                for (std::size_t m = 0; m < l.ao_indices.size(); ++m)
                    d(l.ao_indices[k], l.ao_indices[m]) += 2.0 * l.coefficients[k] * l.coefficients[m];
        return d;
    };
    const auto candidates = find_jacobi_candidates(mol, lmos.occupied, lmos.virtuals, config.cutoff_distance);
    orthogonalize_occupied_lmos(n, lmos.occupied);
    p = density();
    double e_tot = 0.0, e_prev = 0.0;
    std::size_t iteration = 0;
    while (iteration < config.max_iter) {
        ++iteration;
        build_fock_nddo(mol, kMndo, pairs, h, p, f);
        e_tot = compute_total_core_repulsion(mol, kMndo) + compute_electronic_energy(p, h, f);
        double largest = 0.0;
        for (std::size_t sweep = 0; sweep < config.max_jacobi_sweeps; ++sweep) {
            std::size_t rotations = 0;
            largest = 0.0;
            for (std::size_t oi = 0; oi < lmos.occupied.size(); ++oi) {
                for (const std::size_t vi : candidates[oi]) {
                    Lmo &o = lmos.occupied[oi], &v = lmos.virtuals[vi];
                    const FockElements e = evaluate_fock_elements(o, v, f);
                    if (std::abs(e.f_ab) > config.jacobi_tol) {
                        rotate_lmo_pair(o, v, e.f_aa, e.f_bb, e.f_ab, config.damping);
                        ++rotations;
                    }
                    largest = std::max(largest, std::abs(e.f_ab));
                }
            }
            if (rotations == 0 || largest < config.jacobi_tol) break;
        }
        orthogonalize_occupied_lmos(n, lmos.occupied);
        const Matrix p_new = density();
        for (std::size_t k = 0; k < n * n; ++k) p.data()[k] = 0.65 * p_new.data()[k] + 0.35 * p.data()[k];
        if (iteration > 1 && std::abs(e_tot - e_prev) < config.energy_tol && largest < config.jacobi_tol) break;
        e_prev = e_tot;
    }
    const VarnexResult r = run(mol, kMndo, config);
    EXPECT_EQ(r.iterations, iteration);
    EXPECT_NEAR(r.total_energy, e_tot, 1e-10);
    std::vector<Lmo> expected = lmos.occupied;
    expected.insert(expected.end(), lmos.virtuals.begin(), lmos.virtuals.end());
    ASSERT_EQ(r.lmos.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) {
        ASSERT_EQ(r.lmos[k].ao_indices, expected[k].ao_indices);
        for (std::size_t e = 0; e < expected[k].coefficients.size(); ++e)
            EXPECT_NEAR(r.lmos[k].coefficients[e], expected[k].coefficients[e], 1e-12);
    }
}

TEST(VarnexScf, DensityIsAnIdempotentProjectorAndEnergyIsInvariant) {
    const Geometry decane = fixtures::ladder_molecule("decane");
    const MolecularBatch mol = make_molecule(decane, kAm1);
    const VarnexResult r = run(mol, kAm1);
    const std::size_t n = mol.n_basis;
    double trace = 0.0, worst = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        trace += r.density(i, i);
        for (std::size_t j = 0; j < n; ++j) {
            double pp = 0.0;
            for (std::size_t k = 0; k < n; ++k) pp += r.density(i, k) * r.density(k, j);
            worst = std::max(worst, std::abs(pp - 2.0 * r.density(i, j)));
        }
    }
    EXPECT_NEAR(trace, 62.0, 1e-8);  // 10 C x 4 + 22 H x 1 valence electrons
    EXPECT_LT(worst, 1e-8);          // P^2 = 2P
    double charge = 0.0;
    for (const double q : r.atomic_charges) charge += q;
    EXPECT_NEAR(charge, 0.0, 1e-8);
    for (std::size_t k = 0; k < 31; ++k) EXPECT_EQ(r.lmos[k].lmo_type, LmoType::BondingSigma);
    // Rigid motion and renumbering leave the energy unchanged.
    const Geometry moved = fixtures::moved(decane, fixtures::rotation_matrix({0.3, -1.0, 0.5}, 1.1), {2.0, -1.0, 4.0});
    EXPECT_NEAR(run(make_molecule(moved, kAm1), kAm1).total_energy, r.total_energy, 1e-5);
    EXPECT_NEAR(run(make_molecule(fixtures::reversed(decane), kAm1), kAm1).total_energy, r.total_energy, 1e-5);
}

TEST(VarnexScf, IterationLimitsAndRefusals) {
    const MolecularBatch mol = make_molecule(water(), kAm1);
    VarnexConfig config;
    config.max_iter = 0;
    const VarnexResult none = run(mol, kAm1, config);
    EXPECT_EQ(none.iterations, 0u);
    EXPECT_FALSE(none.converged);
    EXPECT_EQ(none.total_energy, 0.0);
    EXPECT_EQ(none.lmos.size(), 4u + 2u);  // 2 bonds, 2 lone pairs; 2 antibonds
    config.max_iter = 1;
    EXPECT_FALSE(run(mol, kAm1, config).converged);

    // Bridging hydrogens of diborane: one orbital for two bonds.
    const Geometry diborane{{5, 5, 1, 1, 1, 1, 1, 1},
                            {{{0, 0, 0.885}, {0, 0, -0.885}, {0, 0.97, 0}, {0, -0.97, 0}, {1.04, 0, 1.47},
                              {-1.04, 0, 1.47}, {1.04, 0, -1.47}, {-1.04, 0, -1.47}}}};
    EXPECT_EQ(refusal(diborane, kAm1), "Atom 2 has 2 bonds but only one orbital");
    // CO2 at 1.16 A reads as two triple bonds: carbon has pi hybrids for two
    // of the four pi components only.
    const Geometry co2{{6, 8, 8}, {{{0, 0, 0}, {0, 0, 1.16}, {0, 0, -1.16}}}};
    EXPECT_EQ(refusal(co2, kAm1), "Localized orbitals hold 12 electrons but the molecule has 16 valence electrons");
}

}  // namespace
}  // namespace quorin
