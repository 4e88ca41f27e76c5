#include "core/scf/escalation_ladder.h"

#include <gtest/gtest.h>

#include <string>

#include "common/molecules.h"

namespace quorin {
namespace {

const MndoModel kMndo;
const Pm6Model kPm6;

TEST(EscalationLadder, StarvedFirstTryIsRescuedByALaterOne) {
    // A budget one or two iterations short of what the plain SCF of these
    // molecules needs; a later try gets twice the budget and reports its
    // own count (the shifted tries need 12 to 16 iterations).
    struct Case {
        const ParameterModel* model;
        fixtures::Geometry geometry;
        std::size_t budget;
    };
    for (const Case& c : {Case{&kMndo, fixtures::water(), 6}, Case{&kMndo, fixtures::ammonia(), 6},
                          Case{&kPm6, fixtures::water(), 6}, Case{&kPm6, fixtures::ammonia(), 7}}) {
        SCOPED_TRACE(std::string(c.model->name()) + " budget " + std::to_string(c.budget));
        const MolecularBatch m = fixtures::make_molecule(c.geometry, *c.model);
        ScfWorkspace ws = ScfWorkspace::allocate(m.n_basis);
        ScfOptions starved;
        starved.max_iterations = c.budget;
        ASSERT_FALSE(run_rhf_scf_with_options(m, *c.model, ws, starved).converged);
        const ScfResult r =
            run_rhf_scf_adaptive_with_nddo_and_cosmo(m, *c.model, ws, c.budget, true, std::nullopt, 1e-7, 1e-6);
        EXPECT_TRUE(r.converged) << r.iterations;
        EXPECT_GT(r.iterations, c.budget);
        EXPECT_LE(r.iterations, 2 * c.budget);
        ScfOptions full;
        full.energy_tolerance = 1e-10;
        full.density_tolerance = 1e-9;
        EXPECT_NEAR(r.total_energy, run_rhf_scf_with_options(m, *c.model, ws, full).total_energy, 1e-4);
    }
}

TEST(EscalationLadder, EasyCaseCostsOnePlainScfAndZeroBudgetNone) {
    const std::array<double, 3> field = {0.0, 0.02, -0.05};
    const MolecularBatch m = fixtures::make_molecule(fixtures::formaldehyde(), kMndo);
    ScfWorkspace ws = ScfWorkspace::allocate(m.n_basis);
    ScfOptions direct;
    direct.electric_field = field;
    const ScfResult plain = run_rhf_scf_with_options(m, kMndo, ws, direct);
    const ScfResult ladder = run_rhf_scf_adaptive_with_field(m, kMndo, ws, 60, true, field, 1e-7, 1e-6);
    ASSERT_TRUE(plain.converged);
    EXPECT_EQ(ladder.iterations, plain.iterations);
    EXPECT_EQ(ladder.total_energy, plain.total_energy);

    const ScfResult empty = run_rhf_scf_adaptive_with_nddo_and_cosmo(m, kMndo, ws, 0, true, std::nullopt, 1e-7, 1e-6);
    EXPECT_FALSE(empty.converged);
    EXPECT_EQ(empty.iterations, 0u);
}

}  // namespace
}  // namespace quorin
