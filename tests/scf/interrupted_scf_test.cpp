#include <gtest/gtest.h>

#include "common/molecules.h"
#include "core/scf/scf_loop.h"
#include "core/types/interruption.h"

namespace quorin {
namespace {

TEST(InterruptedScf, StopsAtTheRequestedIterationAndLeavesTheWorkspaceReusable) {
    const Pm6Model model;
    const MolecularBatch molecule = fixtures::make_molecule(fixtures::water(), model);
    ScfOptions options;
    options.energy_tolerance = 1e-10;
    options.density_tolerance = 1e-9;
    ScfWorkspace fresh = ScfWorkspace::allocate(molecule.n_basis);
    const ScfResult reference = run_rhf_scf_with_options(molecule, model, fresh, options);
    ASSERT_TRUE(reference.converged);
    ASSERT_GT(reference.iterations, 3u);

    // The check is asked once per iteration: a stop reported at the third
    // question ends the run in its third iteration.
    int asked = 0;
    const auto stop_at_third = [](void* count) { return ++*static_cast<int*>(count) >= 3; };
    ScfWorkspace reused = ScfWorkspace::allocate(molecule.n_basis);
    {
        const InterruptionScope scope(stop_at_third, &asked);
        EXPECT_THROW(run_rhf_scf_with_options(molecule, model, reused, options), Interrupted);
    }
    EXPECT_EQ(asked, 3);
    // Every run starts from its own guess: the abandoned one leaves no trace.
    const ScfResult again = run_rhf_scf_with_options(molecule, model, reused, options);
    EXPECT_EQ(again.iterations, reference.iterations);
    EXPECT_EQ(again.total_energy, reference.total_energy);
}

}  // namespace
}  // namespace quorin
