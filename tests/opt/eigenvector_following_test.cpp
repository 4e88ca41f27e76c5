#include "core/opt/eigenvector_following.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "common/engine_stop.h"
#include "common/frequencies.h"
#include "common/geometry.h"
#include "common/minimum.h"
#include "core/gradients/heat_of_formation.h"
#include "core/opt/lbfgs.h"
#include "core/scf/scf_loop.h"
#include "core/types/errors.h"
#include "core/vibrations/hessian.h"

namespace quorin {
namespace {

const Am1Model kAm1;

using fixtures::Geometry;
using fixtures::make_molecule;
using fixtures::stop_message;

// Ammonia with N-H 1.0 angstrom and the hydrogens `height` angstrom below the
// nitrogen, slightly uneven so that no symmetry holds the search.
Geometry ammonia(double height) {
    Geometry g{{7, 1, 1, 1}, {{0, 0, 0}}};
    for (int k = 0; k < 3; ++k) {
        const double phi = 2.0 * M_PI * k / 3.0 + 0.03 * k;
        g.xyz.push_back({std::cos(phi), std::sin(phi), -height * (1.0 + 0.1 * k)});
    }
    return g;
}

struct Search {
    MolecularBatch molecule;
    ScfWorkspace scf;
    GradientWorkspace gradient;
    EigenvectorFollowingWorkspace ef;
    TransitionStateResult result;
};

Search search(const Geometry& g, const TransitionStateOptions& options) {
    Search s{make_molecule(g, kAm1), {}, {}, EigenvectorFollowingWorkspace::allocate(g.z.size()), {}};
    s.scf = ScfWorkspace::allocate(s.molecule.n_basis);
    s.gradient = GradientWorkspace::allocate(s.molecule.n_basis);
    s.result = optimize_transition_state(s.molecule, kAm1, s.scf, s.gradient, s.ef, options);
    return s;
}

double angle_deg(const MolecularBatch& m, std::size_t centre, std::size_t a, std::size_t b) {
    double u[3] = {m.x[a] - m.x[centre], m.y[a] - m.y[centre], m.z[a] - m.z[centre]};
    double v[3] = {m.x[b] - m.x[centre], m.y[b] - m.y[centre], m.z[b] - m.z[centre]};
    const double dot = u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
    return std::acos(dot / std::sqrt((u[0] * u[0] + u[1] * u[1] + u[2] * u[2]) * (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]))) *
           180.0 / M_PI;
}

double heat_of(const Search& s) { return s.result.final_heat_of_formation; }

// Minimum by L-BFGS; symmetry keeps a planar start planar.
double minimum_heat(const Geometry& g) { return fixtures::tight_minimum(g, kAm1).heat_kcal; }

TEST(EigenvectorFollowing, AmmoniaInversionTransitionState) {
    Search s = search(ammonia(0.1), TransitionStateOptions{});
    const TransitionStateResult& r = s.result;
    ASSERT_TRUE(r.converged) << r.cycles << " cycles, rms " << r.final_grad_rms;
    EXPECT_LT(r.final_grad_rms, 0.1);
    EXPECT_LT(r.final_grad_max, 0.2);
    EXPECT_LT(r.ts_mode_eigenvalue, 0.0);
    EXPECT_EQ(r.hessian.rows(), 12u);
    const double sum = angle_deg(s.molecule, 0, 1, 2) + angle_deg(s.molecule, 0, 2, 3) + angle_deg(s.molecule, 0, 3, 1);
    EXPECT_NEAR(sum, 360.0, 0.5);
    EXPECT_NEAR(heat_of(s), compute_heat_of_formation_kcal_mol(s.molecule, kAm1, r.final_energy), 1e-9);
    // Steps carry no overall translation: the centroid stays where it was.
    const Geometry start = ammonia(0.1);
    for (std::size_t c = 0; c < 3; ++c) {
        double before = 0.0, after = 0.0;
        for (std::size_t a = 0; a < 4; ++a) before += start.xyz[a][c], after += s.molecule.axis(c)[a];
        EXPECT_NEAR(after, before, 1e-9);
    }

    // With no cycle the start is only evaluated.
    TransitionStateOptions none;
    none.max_cycles = 0;
    none.target_mode = 5;
    const Search idle = search(ammonia(0.1), none);
    EXPECT_FALSE(idle.result.converged);
    EXPECT_EQ(idle.result.cycles, 0u);
    EXPECT_EQ(idle.result.ts_mode_index, 0u);
    EXPECT_EQ(idle.result.initial_grad_rms, idle.result.final_grad_rms);
}

// HCN -> HNC: the hydrogen bridging the C-N bond. A rigid motion of the start
// changes nothing but the frame.
TEST(EigenvectorFollowing, HydrogenCyanideIsomerisation) {
    const Geometry bridged{{6, 7, 1}, {{0, 0, 0}, {1.18, 0, 0}, {0.55, 1.15, 0.05}}};
    const Search s = search(bridged, TransitionStateOptions{});
    ASSERT_TRUE(s.result.converged);
    const double hcn = minimum_heat({{6, 7, 1}, {{0, 0, 0}, {1.16, 0, 0}, {-1.07, 0.05, 0}}});
    const double hnc = minimum_heat({{6, 7, 1}, {{0, 0, 0}, {1.18, 0, 0}, {2.18, 0.05, 0}}});
    EXPECT_GT(heat_of(s), std::max(hcn, hnc));

    const Geometry moved = fixtures::moved(bridged, fixtures::rotation_matrix({0.3, -1.0, 0.7}, 1.1), {2.5, -1.0, 0.3});
    const Search again = search(moved, TransitionStateOptions{});
    ASSERT_TRUE(again.result.converged);
    EXPECT_NEAR(heat_of(again), heat_of(s), 0.01);
}

// Textbook transition states (PM6) from guesses moved by up to 0.1 angstrom
// per coordinate: the Claisen rearrangement of allyl vinyl ether, the proton
// transfer of malonaldehyde, the 1,5-hydrogen shift of (Z)-1,3-pentadiene and
// the Diels-Alder addition of ethylene to butadiene. Each search reaches, in
// the default cycles, a geometry whose exact Hessian has exactly one
// imaginary frequency, and says so although its updated Hessian shows more
// downward curvatures there.
TEST(EigenvectorFollowing, TextbookTransitionStatesAreRecognised) {
    const Pm6Model pm6;
    const std::vector<std::pair<const char*, Geometry>> starts{
        {"Claisen",
         {{6, 6, 8, 6, 6, 6, 1, 1, 1, 1, 1, 1, 1, 1},
         {
          {-0.073, 0.069, 0.053},
          {-0.049, -0.001, 1.370},
          {1.130, 0.388, 1.909},
          {1.506, 2.353, 1.400},
          {1.828, 2.196, 0.033},
          {0.771, 1.878, -0.704},
          {-0.931, -0.278, -0.458},
          {0.648, -0.717, -0.387},
          {-0.952, -0.284, 1.847},
          {2.460, 2.590, 1.911},
          {0.753, 2.923, 1.640},
          {2.728, 2.545, -0.476},
          {1.136, 1.839, -1.794},
          {-0.127, 2.782, -0.703}}}},
        {"malonaldehyde",
         {{8, 6, 6, 6, 8, 1, 1, 1, 1},
         {
          {-1.151, 2.052, -0.016},
          {-1.268, 0.702, -0.019},
          {0.057, -0.039, -0.005},
          {1.237, 0.782, 0.001},
          {1.176, 2.051, 0.024},
          {-0.050, 2.532, 0.097},
          {0.062, -1.010, -0.038},
          {-2.114, 0.230, 0.037},
          {2.154, 0.070, -0.013}}}},
        {"1,5-hydrogen shift",
         {{6, 6, 6, 6, 6, 1, 1, 1, 1, 1, 1, 1, 1},
         {
          {-1.202, 2.159, -0.026},
          {-1.179, 0.775, -0.087},
          {-0.097, 0.067, -0.048},
          {1.147, 0.849, -0.006},
          {1.217, 2.145, 0.028},
          {-0.070, 2.377, 0.924},
          {0.005, -1.042, 0.034},
          {-2.250, 0.290, 0.018},
          {2.123, 0.145, 0.073},
          {-2.059, 2.640, 0.491},
          {-0.959, 2.643, -1.021},
          {1.062, 2.547, -0.912},
          {2.129, 2.516, 0.342}}}},
        {"Diels-Alder",
         {{6, 6, 6, 6, 6, 6, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
         {
          {-1.381, 0.052, -0.016},
          {-0.748, 1.182, -0.019},
          {0.757, 1.141, -0.005},
          {1.467, 0.082, 0.001},
          {-0.734, -0.199, -2.114},
          {0.640, -0.168, -2.041},
          {-1.163, 2.216, -0.038},
          {1.271, 2.215, 0.037},
          {-0.951, -1.046, -0.013},
          {-2.517, 0.129, 0.093},
          {0.941, -0.893, -0.048},
          {2.600, 0.056, -0.097},
          {-1.230, 0.611, -2.338},
          {-1.240, -1.231, -2.404},
          {1.347, 0.580, -2.438},
          {1.348, -1.193, -2.389}}}},
    };
    for (const auto& [name, start] : starts) {
        SCOPED_TRACE(name);
        MolecularBatch m = make_molecule(start, pm6);
        ScfWorkspace scf = ScfWorkspace::allocate(m.n_basis);
        GradientWorkspace gradient = GradientWorkspace::allocate(m.n_basis);
        EigenvectorFollowingWorkspace ef = EigenvectorFollowingWorkspace::allocate(start.z.size());
        const TransitionStateResult r = optimize_transition_state(m, pm6, scf, gradient, ef, TransitionStateOptions{});
        EXPECT_TRUE(r.converged) << r.cycles << " cycles, rms " << r.final_grad_rms;
        EXPECT_LT(r.ts_mode_eigenvalue, 0.0);
        const HessianResult h =
            compute_hessian_and_frequencies(m, pm6, scf, fixtures::frequency_scf_options(), fixtures::frequency_options());
        EXPECT_EQ(count_imaginary_frequencies(h.vibrational_frequencies_cm1), 1u);
    }
}

TEST(EigenvectorFollowing, InitialHessianAndFrozenCoordinates) {
    // Central differences from the ladder SCF against the vibrational
    // analysis' own Hessian (tighter SCF, own road) at the same geometry.
    const Geometry g = ammonia(0.3);
    MolecularBatch m = make_molecule(g, kAm1);
    ScfWorkspace scf = ScfWorkspace::allocate(m.n_basis);
    GradientWorkspace gws = GradientWorkspace::allocate(m.n_basis);
    EigenvectorFollowingWorkspace ef = EigenvectorFollowingWorkspace::allocate(4);
    evaluate_energy_and_gradient(m, kAm1, scf, gws, {}, ef.gradient_ev);
    const Matrix h = compute_initial_cartesian_hessian(0.005, m, kAm1, scf, gws, ef, true, std::nullopt);
    for (std::size_t a = 0; a < 4; ++a) EXPECT_EQ(m.z[a], g.xyz[a][2]);

    MolecularBatch m2 = make_molecule(g, kAm1);
    ScfWorkspace scf2 = ScfWorkspace::allocate(m2.n_basis);
    const HessianResult reference = compute_hessian_and_frequencies(m2, kAm1, scf2, fixtures::frequency_scf_options(),
                                                                    fixtures::frequency_options());
    double diff2 = 0.0, norm2 = 0.0;
    for (std::size_t i = 0; i < 12; ++i) {
        for (std::size_t j = 0; j < 12; ++j) {
            const double ref = reference.cartesian_hessian(i, j);
            diff2 += (h(i, j) - ref) * (h(i, j) - ref);
            norm2 += ref * ref;
        }
    }
    EXPECT_LT(std::sqrt(diff2 / norm2), 0.005);

    // Frozen nitrogen: 500 on its diagonal, and it never moves.
    TransitionStateOptions options;
    options.active_mask = std::vector<std::uint8_t>{0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    options.max_cycles = 5;
    const Search s = search(ammonia(0.1), options);
    EXPECT_EQ(s.molecule.x[0], 0.0);
    EXPECT_EQ(s.molecule.y[0], 0.0);
    EXPECT_EQ(s.molecule.z[0], 0.0);
    EXPECT_NE(s.molecule.z[1], ammonia(0.1).xyz[1][2]);
    options.max_cycles = 0;
    const Search idle = search(ammonia(0.1), options);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(idle.result.hessian(i, i), 500.0);
}

TEST(EigenvectorFollowing, RefusesUnsoundOptionsBeforeAnyScf) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* message;
        std::function<void(TransitionStateOptions&)> change;
    };
    const std::vector<Case> cases{
        {"target_mode 12 does not exist: the Hessian has 12 modes (0 to 11)",
         [](TransitionStateOptions& o) { o.target_mode = 12; }},
        {"trust_radius must be a positive finite number", [](TransitionStateOptions& o) { o.trust_radius = -0.1; }},
        {"trust_radius must be a positive finite number", [=](TransitionStateOptions& o) { o.trust_radius = nan; }},
        {"grad_rms_tol must be a positive finite number", [](TransitionStateOptions& o) { o.grad_rms_tol = 0.0; }},
        {"grad_max_tol must be a positive finite number", [=](TransitionStateOptions& o) { o.grad_max_tol = nan; }},
        {"min_trust must be a positive finite number", [](TransitionStateOptions& o) { o.min_trust = 0.0; }},
        {"min_trust must not exceed max_trust", [](TransitionStateOptions& o) { o.min_trust = 0.5; }},
        {"hessian_step must be a positive finite number", [](TransitionStateOptions& o) { o.hessian_step = 0.0; }},
        {"active_mask must hold one flag per Cartesian coordinate: got 11 for 12 coordinates",
         [](TransitionStateOptions& o) { o.active_mask = std::vector<std::uint8_t>(11, 1); }},
        {"initial_hessian must have 3N rows (left: 11, right: 12)",
         [](TransitionStateOptions& o) { o.initial_hessian = Matrix::zeros(11, 12); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        TransitionStateOptions options;
        c.change(options);
        MolecularBatch m = make_molecule(ammonia(0.1), kAm1);
        ScfWorkspace ws = ScfWorkspace::allocate(m.n_basis);
        GradientWorkspace gws = GradientWorkspace::allocate(m.n_basis);
        EigenvectorFollowingWorkspace ef = EigenvectorFollowingWorkspace::allocate(4);
        const std::string message = stop_message([&] { optimize_transition_state(m, kAm1, ws, gws, ef, options); });
        EXPECT_EQ(message.substr(0, std::string(c.message).size()), c.message) << message;
        EXPECT_TRUE(std::all_of(ws.hcore.data().begin(), ws.hcore.data().end(), [](double v) { return v == 0.0; }));
    }
}

}  // namespace
}  // namespace quorin
