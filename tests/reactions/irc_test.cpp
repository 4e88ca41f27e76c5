#include "core/reactions/irc.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/engine_stop.h"
#include "common/geometry.h"
#include "core/parameters/atomic_mass.h"
#include "common/minimum.h"

namespace quorin {
namespace {

const Am1Model kAm1;

using fixtures::Geometry;
using fixtures::make_molecule;

using fixtures::Minimum;

Minimum minimised(const Geometry& g) { return fixtures::tight_minimum(g, kAm1, 1e-10); }

// Ammonia with N at the origin and the hydrogens at height `h` above the
// plane, 120 degrees apart: planar (h = 0) it is the inversion saddle point,
// and the minimiser keeps the exact mirror symmetry.
Geometry ammonia(double h) {
    Geometry g{{7, 1, 1, 1}, {{0, 0, 0}}};
    for (int k = 0; k < 3; ++k) g.xyz.push_back({std::cos(2 * M_PI * k / 3), std::sin(2 * M_PI * k / 3), h});
    return g;
}

struct Trace {
    MolecularBatch molecule;
    IrcResult result;
};

Trace trace(const Geometry& g, const IrcOptions& options) {
    Trace t{make_molecule(g, kAm1), {}};
    ScfWorkspace scf = ScfWorkspace::allocate(t.molecule.n_basis);
    GradientWorkspace gradient = GradientWorkspace::allocate(t.molecule.n_basis);
    IrcWorkspace ws = IrcWorkspace::allocate(t.molecule);
    t.result = trace_intrinsic_reaction_coordinate(t.molecule, kAm1, scf, gradient, ws, options);
    return t;
}

double mass_weighted_distance(const IrcPoint& a, const IrcPoint& b, const std::vector<std::uint8_t>& z) {
    double d2 = 0.0;
    for (std::size_t i = 0; i < z.size(); ++i) {
        for (int c = 0; c < 3; ++c) {
            const double d = a.coordinates[i][c] - b.coordinates[i][c];
            d2 += atomic_mass(z[i]) * d * d;
        }
    }
    return std::sqrt(d2);
}

class AmmoniaInversion : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        saddle_ = new Minimum(minimised(ammonia(0.0)));
        pyramid_ = new Minimum(minimised(ammonia(0.35)));
        both_ = new Trace(trace(saddle_->geometry, IrcOptions{}));
    }
    static void TearDownTestSuite() {
        delete saddle_;
        delete pyramid_;
        delete both_;
    }
    static Minimum* saddle_;
    static Minimum* pyramid_;
    static Trace* both_;
};

Minimum* AmmoniaInversion::saddle_ = nullptr;
Minimum* AmmoniaInversion::pyramid_ = nullptr;
Trace* AmmoniaInversion::both_ = nullptr;

// Both branches run downhill from the planar saddle into the two mirror-image
// pyramids: monotone heats, equal heats at mirror points, fixed arc length per
// step, ends that minimise to the pyramid's heat.
TEST_F(AmmoniaInversion, BothBranchesDescendSymmetricallyIntoThePyramid) {
    const IrcResult& r = both_->result;
    const IrcOptions defaults;
    ASSERT_TRUE(r.forward_converged);
    ASSERT_TRUE(r.reverse_converged);
    const std::size_t ts = r.ts_point_index;
    ASSERT_EQ(r.points.size(), 2 * ts + 1) << "mirror branches have equal length";
    EXPECT_EQ(r.points[ts].path_coordinate, 0.0);
    EXPECT_EQ(r.points[ts].coordinates, saddle_->geometry.xyz);
    EXPECT_NEAR(r.points[ts].heat_of_formation_kcal, saddle_->heat_kcal, 1e-6);
    // The molecule is put back at the saddle point.
    EXPECT_EQ(both_->molecule.z[1], saddle_->geometry.xyz[1][2]);

    for (std::size_t k = 1; k <= ts; ++k) {
        const IrcPoint& forward = r.points[ts + k];
        const IrcPoint& reverse = r.points[ts - k];
        EXPECT_NEAR(forward.path_coordinate, k * defaults.step_size, 1e-12);
        EXPECT_NEAR(reverse.path_coordinate, -(k * defaults.step_size), 1e-12);
        EXPECT_NEAR(forward.heat_of_formation_kcal, reverse.heat_of_formation_kcal, 0.01);
        EXPECT_LT(forward.heat_of_formation_kcal, r.points[ts].heat_of_formation_kcal);
        // Rises only within the allowance, or at the point that ends the branch.
        if (k < ts) {
            EXPECT_LT(forward.heat_of_formation_kcal, r.points[ts + k - 1].heat_of_formation_kcal + 0.02);
        }
        EXPECT_LE(mass_weighted_distance(forward, r.points[ts + k - 1], saddle_->geometry.z),
                  defaults.step_size * (1 + 1e-9));
        // The mirror image through the molecular plane.
        EXPECT_NEAR(forward.coordinates[1][2], -reverse.coordinates[1][2], 1e-4);
    }
    EXPECT_GT(std::fabs(r.points.back().coordinates[1][2]), 0.2);
    // The branch stops on arrival: its arc length exceeds the nearly straight
    // chord from the saddle to its end by at most two steps.
    const double chord = mass_weighted_distance(r.points[ts], r.points.back(), saddle_->geometry.z);
    EXPECT_LE(r.points.back().path_coordinate, chord + 2 * defaults.step_size);
    for (const IrcPoint* end : {&r.points.front(), &r.points.back()}) {
        EXPECT_NEAR(minimised({saddle_->geometry.z, end->coordinates}).heat_kcal, pyramid_->heat_kcal, 0.01);
    }
}

// At a minimum every vibration is real: there is no path down to trace.
TEST_F(AmmoniaInversion, AMinimumIsRefused) {
    try {
        trace(pyramid_->geometry, IrcOptions{});
        ADD_FAILURE() << "a minimum was traced";
    } catch (const RequestError& refusal) {
        EXPECT_NE(std::string(refusal.what()).find("not a transition state"), std::string::npos) << refusal.what();
    }
}

TEST(IntrinsicReactionCoordinate, RefusesUnusableInputBeforeAnyScf) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Geometry h2{{1, 1}, {{0, 0, 0}, {0.8, 0, 0}}};
    struct Case {
        IrcOptions options;
        Geometry geometry;
        std::string message;
    };
    std::vector<Case> cases;
    IrcOptions step;  // the step-size rule is shared with Python, whose tests cover it
    step.step_size = -0.1;
    cases.push_back({step, h2, "step_size must be a positive finite number"});
    IrcOptions no_corrector;
    no_corrector.max_corrector_iterations = 0;
    cases.push_back({no_corrector, h2, "max_corrector_iterations must be at least 1"});
    IrcOptions zero_vector;
    zero_vector.transition_vector = std::vector<double>(6, 0.0);
    cases.push_back({zero_vector, h2, "Supplied transition vector must not be zero"});
    IrcOptions nan_vector;
    nan_vector.transition_vector = std::vector<double>{1, 0, 0, 0, 0, nan};
    cases.push_back({nan_vector, h2, "Supplied transition vector must hold finite numbers"});
    IrcOptions short_vector;
    short_vector.transition_vector = std::vector<double>{1, 0, 0};
    cases.push_back({short_vector, h2, "Supplied transition vector length mismatch"});
    cases.push_back(
        {IrcOptions{}, {{1, 95}, {{0, 0, 0}, {0.8, 0, 0}}}, "No atomic mass is tabulated for atom 1 (Z=95)"});
    for (const Case& c : cases) {
        MolecularBatch m = MolecularBatch::new_by_atomic_number(c.geometry.z, c.geometry.xyz);
        ScfWorkspace scf = ScfWorkspace::allocate(m.n_basis);
        GradientWorkspace gradient = GradientWorkspace::allocate(m.n_basis);
        IrcWorkspace ws = IrcWorkspace::allocate(m);
        const std::string stop = fixtures::stop_message(
            [&] { trace_intrinsic_reaction_coordinate(m, kAm1, scf, gradient, ws, c.options); });
        EXPECT_NE(stop.find(c.message), std::string::npos) << stop;
    }
}

// A supplied direction is normalised: its length does not change the path.
TEST(IntrinsicReactionCoordinate, SuppliedTransitionVectorIsNormalised) {
    const Geometry h2{{1, 1}, {{0, 0, 0}, {0.9, 0, 0}}};
    IrcOptions options;
    options.max_points = 2;
    options.direction = kIrcForward;
    options.transition_vector = std::vector<double>{-1, 0, 0, 1, 0, 0};
    const IrcResult unit = trace(h2, options).result;
    options.transition_vector = std::vector<double>{-7, 0, 0, 7, 0, 0};
    const IrcResult long_vector = trace(h2, options).result;
    ASSERT_EQ(unit.points.size(), long_vector.points.size());
    for (std::size_t a = 0; a < 2; ++a) {
        EXPECT_NEAR(unit.points.back().coordinates[a][0], long_vector.points.back().coordinates[a][0], 1e-12);
    }
    // One step of 0.1 amu^1/2 angstrom moves each hydrogen by about 0.1 / sqrt(2 m_H).
    const double moved = unit.points[1].coordinates[1][0] - 0.9;
    EXPECT_NEAR(std::fabs(moved), 0.1 / std::sqrt(2 * 1.0079), 0.01);
}

}  // namespace
}  // namespace quorin
