#include "core/reactions/saddle.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "common/engine_stop.h"
#include "common/geometry.h"
#include "common/minimum.h"
#include "core/gradients/heat_of_formation.h"
#include "core/reactions/docking.h"
#include "core/scf/escalation_ladder.h"

namespace quorin {
namespace {

const Am1Model kAm1;

using fixtures::Geometry;
using Rows = std::vector<std::array<double, 3>>;

using fixtures::Minimum;

// The AM1 ammonia pyramid from a slightly uneven start.
Minimum ammonia_pyramid() {
    Geometry g{{7, 1, 1, 1}, {{0, 0, 0}}};
    for (int k = 0; k < 3; ++k) {
        const double phi = 2.0 * M_PI * k / 3.0 + 0.05 * k;
        g.xyz.push_back({std::cos(phi), std::sin(phi), -0.38 - 0.02 * k});
    }
    return fixtures::tight_minimum(g, kAm1);
}

// The nitrogen reflected through the plane of the hydrogens.
Geometry inverted(Geometry g) {
    const auto& h1 = g.xyz[1];
    const auto& h2 = g.xyz[2];
    const auto& h3 = g.xyz[3];
    const double u[3] = {h2[0] - h1[0], h2[1] - h1[1], h2[2] - h1[2]};
    const double v[3] = {h3[0] - h1[0], h3[1] - h1[1], h3[2] - h1[2]};
    double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    double height = 0.0;
    for (int k = 0; k < 3; ++k) n[k] /= len, height += (g.xyz[0][k] - h1[k]) * n[k];
    for (int k = 0; k < 3; ++k) g.xyz[0][k] -= 2.0 * height * n[k];
    return g;
}

SaddleOptions unrefined() {
    SaddleOptions options;
    options.refine_with_ts = false;
    return options;
}

TEST(Saddle, AmmoniaInversionPath) {
    const Minimum pyramid = ammonia_pyramid();
    const Geometry product = inverted(pyramid.geometry);
    const SaddleOptions options = unrefined();
    const SaddleResult r = run_saddle(pyramid.geometry.z, pyramid.geometry.xyz, product.xyz, kAm1, options);
    ASSERT_TRUE(r.converged);
    EXPECT_FALSE(r.ts_refinement.has_value());
    ASSERT_EQ(r.num_cycles, r.trajectory.size());
    ASSERT_GT(r.num_cycles, 2u);
    // Each cycle closes the docked gap by one step, never below the threshold.
    const double d0 = dock(pyramid.geometry.xyz, product.xyz).second;
    for (const SaddlePoint& p : r.trajectory) {
        EXPECT_NEAR(p.distance, std::max(d0 - double(p.cycle) * options.step_size, options.convergence_distance), 1e-9);
    }
    EXPECT_EQ(r.final_distance, r.trajectory.back().distance);
    // Mirror images start with heats equal to rounding; the end with the lower
    // heat (the reactant on a tie) moves first.
    EXPECT_NEAR(r.barrier_forward_kcal, r.barrier_reverse_kcal, 1e-6);
    EXPECT_EQ(r.trajectory.front().moving_structure, r.barrier_forward_kcal >= r.barrier_reverse_kcal ? 1u : 2u);
    // Barriers from the starting heats of the two ends.
    const double heat_product = [&] {
        MolecularBatch m = fixtures::make_molecule(product, kAm1);
        ScfWorkspace scf = ScfWorkspace::allocate(m.n_basis);
        const ScfResult e = run_rhf_scf_adaptive_with_nddo_and_cosmo(m, kAm1, scf, 80, true, std::nullopt, 1e-9, 1e-8);
        return compute_heat_of_formation_kcal_mol(m, kAm1, e.total_energy);
    }();
    EXPECT_NEAR(r.barrier_forward_kcal, r.transition_state_heat_of_formation_kcal - pyramid.heat_kcal, 1e-4);
    EXPECT_NEAR(r.barrier_reverse_kcal, r.transition_state_heat_of_formation_kcal - heat_product, 1e-9);
    EXPECT_GT(r.barrier_forward_kcal, 0.0);
}

// A rigid copy of the reactant is the same structure: no reaction path
// joins it to the reactant. Unsound input stops before any SCF.
TEST(Saddle, SameStructureAndUnsoundInputAreRefused) {
    const Minimum pyramid = ammonia_pyramid();
    const Geometry copy =
        fixtures::moved(pyramid.geometry, fixtures::rotation_matrix({1.0, 2.0, -0.5}, 2.0), {4.0, -1.0, 2.0});
    try {
        run_saddle(pyramid.geometry.z, pyramid.geometry.xyz, copy.xyz, kAm1, unrefined());
        ADD_FAILURE() << "a rigid copy was searched";
    } catch (const RequestError& refusal) {
        EXPECT_NE(std::string(refusal.what()).find("The reactant and product are the same structure"),
                  std::string::npos)
            << refusal.what();
    }

    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* message;
        std::function<void(SaddleOptions&, Rows&)> change;
    };
    const std::vector<Case> cases{
        {"step_size must be a positive finite number", [](SaddleOptions& o, Rows&) { o.step_size = -0.1; }},
        {"convergence_distance must be a positive finite number",
         [](SaddleOptions& o, Rows&) { o.convergence_distance = 0.0; }},
        {"convergence_distance must be a positive finite number",
         [=](SaddleOptions& o, Rows&) { o.convergence_distance = nan; }},
        {"Product coordinates must hold one row per atom (left: 3, right: 4)",
         [](SaddleOptions&, Rows& product) { product.pop_back(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        SaddleOptions options = unrefined();
        Rows product = copy.xyz;
        c.change(options, product);
        EXPECT_EQ(fixtures::stop_message([&] { run_saddle(pyramid.geometry.z, pyramid.geometry.xyz, product, kAm1, options); }),
                  c.message);
    }
}

}  // namespace
}  // namespace quorin
