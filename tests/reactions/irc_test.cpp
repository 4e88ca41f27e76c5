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
// pyramids: monotone heats, equal heats at mirror points, steps of the
// default length that halve only on arrival, no point repeated, ends at a
// vanishing gradient that minimise to the pyramid's heat.
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

    double step = defaults.step_size;
    for (std::size_t k = 1; k <= ts; ++k) {
        const IrcPoint& forward = r.points[ts + k];
        const IrcPoint& reverse = r.points[ts - k];
        const IrcPoint& before = r.points[ts + k - 1];
        // The step stays or halves: step_size / 2^j.
        const double increment = forward.path_coordinate - before.path_coordinate;
        EXPECT_LE(increment, step * (1 + 1e-9));
        step = increment;
        EXPECT_NEAR(std::remainder(std::log2(defaults.step_size / step), 1.0), 0.0, 1e-9);
        EXPECT_NEAR(reverse.path_coordinate, -forward.path_coordinate, 1e-12);
        EXPECT_NEAR(forward.heat_of_formation_kcal, reverse.heat_of_formation_kcal, 0.01);
        EXPECT_LT(forward.heat_of_formation_kcal, before.heat_of_formation_kcal);
        const double moved = mass_weighted_distance(forward, before, saddle_->geometry.z);
        EXPECT_LE(moved, step * (1 + 1e-9));
        EXPECT_GT(moved, 0.25 * step) << "a point repeats the one before";
        // The mirror image through the molecular plane.
        EXPECT_NEAR(forward.coordinates[1][2], -reverse.coordinates[1][2], 1e-4);
    }
    for (const IrcPoint* end : {&r.points.front(), &r.points.back()}) {
        EXPECT_LT(end->mass_weighted_gradient_rms, defaults.min_gradient);
        EXPECT_NEAR(minimised({saddle_->geometry.z, end->coordinates}).heat_kcal, pyramid_->heat_kcal, 0.01);
        EXPECT_NEAR(end->heat_of_formation_kcal, pyramid_->heat_kcal, 0.01);
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
TEST_F(AmmoniaInversion, SuppliedTransitionVectorIsNormalised) {
    IrcOptions options;
    options.max_points = 2;
    options.direction = kIrcForward;
    std::vector<double> umbrella(12, 0.0);
    umbrella[2] = std::sqrt(atomic_mass(7));
    for (std::size_t a = 1; a < 4; ++a) umbrella[3 * a + 2] = -atomic_mass(7) / 3.0 / std::sqrt(atomic_mass(1));
    options.transition_vector = umbrella;
    const IrcResult unit = trace(saddle_->geometry, options).result;
    for (double& c : umbrella) c *= 7.0;
    options.transition_vector = umbrella;
    const IrcResult long_vector = trace(saddle_->geometry, options).result;
    ASSERT_EQ(unit.points.size(), 3u);
    ASSERT_EQ(long_vector.points.size(), 3u);
    for (std::size_t a = 0; a < 4; ++a) {
        for (std::size_t c = 0; c < 3; ++c) {
            EXPECT_NEAR(unit.points.back().coordinates[a][c], long_vector.points.back().coordinates[a][c], 1e-8);
        }
    }
}

// Butane from its syn-eclipsed transition state (PM6, one imaginary mode of
// -126 cm^-1, minimised from a syn start by the transition-state search): the
// energy falls by only about 0.01 kcal/mol over the first steps, where the
// gradient is already small. The branches end at the gauche minima (dihedral
// 60 to 80 degrees, about 2.8 kcal/mol lower), or, when the points run out
// first (25 steps of 0.05), are not converged.
TEST(IntrinsicReactionCoordinate, ButaneSynBranchesEndAtTheGaucheMinima) {
    const Pm6Model pm6;
    const Geometry syn = fixtures::ladder_molecule("reactions/butane_syn_ts");
    ASSERT_EQ(syn.z.size(), 14u);
    auto dihedral = [](const std::vector<std::array<double, 3>>& r) {
        std::array<double, 3> b0{}, b1{}, b2{};
        for (int c = 0; c < 3; ++c) b0[c] = r[0][c] - r[1][c], b1[c] = r[2][c] - r[1][c], b2[c] = r[3][c] - r[2][c];
        const double l1 = std::sqrt(b1[0] * b1[0] + b1[1] * b1[1] + b1[2] * b1[2]);
        for (double& c : b1) c /= l1;
        const double p0 = b0[0] * b1[0] + b0[1] * b1[1] + b0[2] * b1[2];
        const double p2 = b2[0] * b1[0] + b2[1] * b1[1] + b2[2] * b1[2];
        std::array<double, 3> v{}, w{};
        for (int c = 0; c < 3; ++c) v[c] = b0[c] - p0 * b1[c], w[c] = b2[c] - p2 * b1[c];
        const double x = v[0] * w[0] + v[1] * w[1] + v[2] * w[2];
        const double y = (b1[1] * v[2] - b1[2] * v[1]) * w[0] + (b1[2] * v[0] - b1[0] * v[2]) * w[1] +
                         (b1[0] * v[1] - b1[1] * v[0]) * w[2];
        return std::atan2(y, x) * 180.0 / M_PI;
    };
    for (double step : {0.05, 0.2}) {
        SCOPED_TRACE(step);
        IrcOptions options;
        options.step_size = step;
        options.max_points = step < 0.1 ? 25 : 50;
        MolecularBatch m = make_molecule(syn, pm6);
        ScfWorkspace scf = ScfWorkspace::allocate(m.n_basis);
        GradientWorkspace gradient = GradientWorkspace::allocate(m.n_basis);
        IrcWorkspace ws = IrcWorkspace::allocate(m);
        const IrcResult r = trace_intrinsic_reaction_coordinate(m, pm6, scf, gradient, ws, options);
        const double ts_heat = r.points[r.ts_point_index].heat_of_formation_kcal;
        for (const auto& [end, converged] : {std::pair{&r.points.front(), r.reverse_converged},
                                             std::pair{&r.points.back(), r.forward_converged}}) {
            if (!converged) continue;
            EXPECT_GT(std::fabs(dihedral(end->coordinates)), 60.0);
            EXPECT_LT(std::fabs(dihedral(end->coordinates)), 80.0);
            EXPECT_LT(end->heat_of_formation_kcal, ts_heat - 2.0);
        }
        if (step == 0.2) {
            EXPECT_TRUE(r.forward_converged && r.reverse_converged);
        }
    }
}

}  // namespace
}  // namespace quorin
