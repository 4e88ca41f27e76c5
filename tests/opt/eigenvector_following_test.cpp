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
// per coordinate (data/molecules/reactions): the Claisen rearrangement of allyl vinyl ether, the proton
// transfer of malonaldehyde, the 1,5-hydrogen shift of (Z)-1,3-pentadiene and
// the Diels-Alder addition of ethylene to butadiene. Each search reaches, in
// the default cycles, a geometry whose exact Hessian has exactly one
// imaginary frequency, and says so although its updated Hessian shows more
// downward curvatures there.
TEST(EigenvectorFollowing, TextbookTransitionStatesAreRecognised) {
    const Pm6Model pm6;
    for (const char* name : {"claisen_ts_guess", "malonaldehyde_ts_guess", "pentadiene_h_shift_ts_guess",
                             "diels_alder_ts_guess"}) {
        SCOPED_TRACE(name);
        const Geometry start = fixtures::ladder_molecule(std::string("reactions/") + name);
        ASSERT_FALSE(start.z.empty());
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
