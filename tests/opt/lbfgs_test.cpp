#include "core/opt/lbfgs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/engine_stop.h"
#include "common/geometry.h"
#include "common/molecules.h"
#include "core/scf/escalation_ladder.h"
#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {
namespace {

const Am1Model kAm1;

using fixtures::Geometry;
using fixtures::make_molecule;
using fixtures::methane;
using fixtures::stop_message;

Geometry water() {
    const double half = 0.5 * 104.5 * M_PI / 180.0, r = 0.96;
    return {{8, 1, 1}, {{0, 0, 0}, {r * std::sin(half), r * std::cos(half), 0}, {-r * std::sin(half), r * std::cos(half), 0}}};
}

Geometry ethylene() {
    const double cc = 1.33, ch = 1.08, half = 0.5 * 117.0 * M_PI / 180.0;
    const double hx = 0.5 * cc + ch * std::cos(half), hy = ch * std::sin(half);
    return {{6, 6, 1, 1, 1, 1}, {{0.5 * cc, 0, 0}, {-0.5 * cc, 0, 0}, {hx, hy, 0}, {hx, -hy, 0}, {-hx, hy, 0}, {-hx, -hy, 0}}};
}

// Carbons 0-5 around the ring, hydrogen 6 + k on carbon k.
Geometry benzene() {
    Geometry g;
    for (int k = 0; k < 6; ++k) g.z.push_back(6);
    for (int k = 0; k < 6; ++k) g.z.push_back(1);
    for (double r : {1.39, 1.39 + 1.09}) {
        for (int k = 0; k < 6; ++k) g.xyz.push_back({r * std::cos(k * M_PI / 3.0), r * std::sin(k * M_PI / 3.0), 0.0});
    }
    return g;
}

// Fixed, uneven displacements of up to `amplitude` angstrom per component.
Geometry distorted(Geometry g, double amplitude) {
    for (std::size_t a = 0; a < g.xyz.size(); ++a) {
        for (std::size_t c = 0; c < 3; ++c) g.xyz[a][c] += amplitude * std::sin(1.7 * double(a) + 2.3 * double(c) + 0.4);
    }
    return g;
}

double distance(const MolecularBatch& m, std::size_t a, std::size_t b) {
    return std::hypot(m.x[a] - m.x[b], m.y[a] - m.y[b], m.z[a] - m.z[b]);
}

struct Optimisation {
    MolecularBatch molecule;
    ScfWorkspace scf;
    GradientWorkspace gradient;
    OptimizationResult result;
};

Optimisation optimise(const Geometry& g, const OptimizationOptions& options) {
    Optimisation o{make_molecule(g, kAm1), {}, {}, {}};
    o.scf = ScfWorkspace::allocate(o.molecule.n_basis);
    o.gradient = GradientWorkspace::allocate(o.molecule.n_basis);
    o.result = optimize_geometry_lbfgs(o.molecule, kAm1, o.scf, o.gradient, options);
    return o;
}

OptimizationOptions tight_options() {
    OptimizationOptions o;
    o.grad_rms_tol = 0.02;
    o.grad_max_tol = 0.04;
    o.energy_tol = 1e-9;
    o.use_nddo = true;
    return o;
}

// Ladder SCF and gradient (eV/angstrom) at the molecule's geometry.
std::vector<std::array<double, 3>> gradient_at(MolecularBatch& m, bool use_nddo) {
    ScfWorkspace ws = ScfWorkspace::allocate(m.n_basis);
    GradientWorkspace gws = GradientWorkspace::allocate(m.n_basis);
    EXPECT_TRUE(run_rhf_scf_adaptive_with_nddo_and_cosmo(m, kAm1, ws, 100, use_nddo, std::nullopt, 1e-9, 1e-8).converged);
    std::vector<std::array<double, 3>> g(m.n_atoms);
    compute_cartesian_gradients_with_options(m, kAm1, ws.density, gws, g, use_nddo);
    return g;
}

TEST(GradientNorms, PerAtomWithoutMaskPerComponentWithMask) {
    const double k = kEvToKcalMol;
    struct Case {
        const char* name;
        std::vector<std::array<double, 3>> g;
        std::optional<std::vector<std::uint8_t>> mask;
        double rms, max;
    };
    const std::vector<Case> cases{
        {"one atom (3, 4, 0)", {{3, 4, 0}}, std::nullopt, 5 * k, 5 * k},
        {"two atoms, per-atom lengths 5 and 0", {{3, 4, 0}, {0, 0, 0}}, std::nullopt, std::sqrt(12.5) * k, 5 * k},
        {"mask keeps x and y of atom 0", {{3, 4, 12}, {1, 1, 1}}, std::vector<std::uint8_t>{1, 1, 0, 0, 0, 0},
         std::sqrt(12.5) * k, 4 * k},
        {"mask keeps every component", {{3, 4, 0}, {0, 0, 0}}, std::vector<std::uint8_t>{1, 1, 1, 1, 1, 1},
         std::sqrt(25.0 / 6.0) * k, 4 * k},
        {"mask freezes everything", {{3, 4, 12}}, std::vector<std::uint8_t>{0, 0, 0}, 0.0, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::span<const std::uint8_t>> mask;
        if (c.mask) mask = std::span<const std::uint8_t>(*c.mask);
        const auto [rms, max] = compute_effective_gradient_norms(c.g, mask);
        EXPECT_NEAR(rms, c.rms, 1e-12 * k);
        EXPECT_NEAR(max, c.max, 1e-12 * k);
    }
}

TEST(Lbfgs, DistortedMoleculesReachSymmetricStationaryPoints) {
    using Pairs = std::vector<std::pair<std::size_t, std::size_t>>;
    struct Case {
        const char* name;
        Geometry start;
        std::vector<Pairs> equivalent;  // atom pairs whose distances symmetry makes equal
        bool use_nddo;
    };
    Pairs ring, c_h, meta, para;
    for (std::size_t k = 0; k < 6; ++k) {
        ring.push_back({k, (k + 1) % 6});
        c_h.push_back({k, 6 + k});
        meta.push_back({k, (k + 2) % 6});
    }
    para = {{0, 3}, {1, 4}, {2, 5}};
    const std::vector<Case> cases{
        {"water", distorted(water(), 0.06), {{{0, 1}, {0, 2}}}, true},
        {"water, gamma-only Hamiltonian", distorted(water(), 0.06), {{{0, 1}, {0, 2}}}, false},
        {"methane", distorted(methane(), 0.06), {{{0, 1}, {0, 2}, {0, 3}, {0, 4}}, {{1, 2}, {1, 3}, {1, 4}, {2, 3}, {2, 4}, {3, 4}}}, true},
        {"ethylene", distorted(ethylene(), 0.05), {{{0, 2}, {0, 3}, {1, 4}, {1, 5}}, {{2, 3}, {4, 5}}, {{2, 4}, {3, 5}}, {{2, 5}, {3, 4}}}, true},
        {"benzene", distorted(benzene(), 0.04), {ring, c_h, meta, para}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OptimizationOptions options = tight_options();
        options.use_nddo = c.use_nddo;
        Optimisation o = optimise(c.start, options);
        const OptimizationResult& r = o.result;
        EXPECT_TRUE(r.converged);
        EXPECT_TRUE(r.scf_result.converged);
        EXPECT_LT(r.final_grad_rms, options.grad_rms_tol);
        EXPECT_LT(r.final_grad_max, options.grad_max_tol);
        EXPECT_LT(r.final_energy, r.initial_energy);
        EXPECT_GT(r.cycles, 0u);

        // An independent, tighter SCF at the final geometry agrees that it is stationary.
        double largest = 0.0;
        for (const auto& g : gradient_at(o.molecule, c.use_nddo)) {
            largest = std::max(largest, std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]) * kEvToKcalMol);
        }
        EXPECT_LT(largest, 2.0 * options.grad_max_tol);

        for (const Pairs& set : c.equivalent) {
            double lo = 1e9, hi = 0.0;
            for (const auto& [a, b] : set) {
                lo = std::min(lo, distance(o.molecule, a, b));
                hi = std::max(hi, distance(o.molecule, a, b));
            }
            EXPECT_LT(hi - lo, 1e-3) << "pair set starting " << set[0].first << "-" << set[0].second;
        }
        if (c.start.z.size() == 12) {
            // Benzene is planar: every atom lies in the plane of carbons 0, 2, 4.
            const MolecularBatch& m = o.molecule;
            const std::array<double, 3> u{m.x[2] - m.x[0], m.y[2] - m.y[0], m.z[2] - m.z[0]};
            const std::array<double, 3> v{m.x[4] - m.x[0], m.y[4] - m.y[0], m.z[4] - m.z[0]};
            std::array<double, 3> n{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
            const double len = std::hypot(n[0], n[1], n[2]);
            for (std::size_t a = 0; a < 12; ++a) {
                const double h = ((m.x[a] - m.x[0]) * n[0] + (m.y[a] - m.y[0]) * n[1] + (m.z[a] - m.z[0]) * n[2]) / len;
                EXPECT_LT(std::fabs(h), 1e-3) << "atom " << a;
            }
        }
    }
}

TEST(Lbfgs, StepsConvergedStartsAndFrozenCoordinates) {
    const Geometry start = distorted(water(), 0.1);

    // The first step is steepest descent, capped so that the atom that moves
    // most moves exactly max_step.
    {
        OptimizationOptions options = tight_options();
        options.max_cycles = 1;
        options.max_step = 0.05;
        MolecularBatch reference = make_molecule(start, kAm1);
        const auto g = gradient_at(reference, true);
        Optimisation o = optimise(start, options);
        EXPECT_FALSE(o.result.converged);
        EXPECT_EQ(o.result.cycles, 1u);
        double longest = 0.0, g_longest = 0.0;
        for (std::size_t a = 0; a < 3; ++a) {
            g_longest = std::max(g_longest, std::hypot(g[a][0], g[a][1], g[a][2]));
            longest = std::max(longest, std::hypot(o.molecule.x[a] - start.xyz[a][0], o.molecule.y[a] - start.xyz[a][1],
                                                   o.molecule.z[a] - start.xyz[a][2]));
        }
        EXPECT_NEAR(longest, 0.05, 1e-12);
        for (std::size_t a = 0; a < 3; ++a) {
            const std::array<double, 3> moved{o.molecule.x[a] - start.xyz[a][0], o.molecule.y[a] - start.xyz[a][1],
                                              o.molecule.z[a] - start.xyz[a][2]};
            for (std::size_t c = 0; c < 3; ++c) EXPECT_NEAR(moved[c], -0.05 * g[a][c] / g_longest, 1e-5);
        }
    }

    // A start that already meets the tolerances returns at cycle 0 untouched.
    {
        Optimisation first = optimise(start, tight_options());
        ASSERT_TRUE(first.result.converged);
        Geometry optimum{start.z, {}};
        for (std::size_t a = 0; a < 3; ++a) optimum.xyz.push_back({first.molecule.x[a], first.molecule.y[a], first.molecule.z[a]});
        OptimizationOptions loose = tight_options();
        loose.grad_rms_tol = 1.0;
        loose.grad_max_tol = 2.0;
        Optimisation again = optimise(optimum, loose);
        EXPECT_TRUE(again.result.converged);
        EXPECT_EQ(again.result.cycles, 0u);
        EXPECT_EQ(again.result.initial_energy, again.result.final_energy);
        for (std::size_t a = 0; a < 3; ++a) EXPECT_EQ(again.molecule.x[a], optimum.xyz[a][0]);
    }

    // Frozen oxygen stays put while the hydrogens relax; freezing everything
    // gives zero norms and an immediate return.
    {
        OptimizationOptions options = tight_options();
        options.active_mask = std::vector<std::uint8_t>{0, 0, 0, 1, 1, 1, 1, 1, 1};
        Optimisation o = optimise(start, options);
        EXPECT_TRUE(o.result.converged);
        EXPECT_EQ(o.molecule.x[0], start.xyz[0][0]);
        EXPECT_EQ(o.molecule.y[0], start.xyz[0][1]);
        EXPECT_EQ(o.molecule.z[0], start.xyz[0][2]);
        EXPECT_GT(std::fabs(o.molecule.x[1] - start.xyz[1][0]), 1e-3);

        options.active_mask = std::vector<std::uint8_t>(9, 0);
        Optimisation frozen = optimise(start, options);
        EXPECT_TRUE(frozen.result.converged);
        EXPECT_EQ(frozen.result.cycles, 0u);
        EXPECT_EQ(frozen.result.final_grad_rms, 0.0);
        EXPECT_EQ(frozen.result.final_grad_max, 0.0);
    }
}

TEST(Lbfgs, RefusesUnsoundOptionsBeforeAnyScf) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* message;
        std::function<void(OptimizationOptions&)> change;
    };
    const std::vector<Case> cases{
        {"L-BFGS memory must be at least 1", [](OptimizationOptions& o) { o.memory = 0; }},
        {"max_step must be a positive finite number", [](OptimizationOptions& o) { o.max_step = 0.0; }},
        {"max_step must be a positive finite number", [=](OptimizationOptions& o) { o.max_step = inf; }},
        {"max_step must be a positive finite number", [=](OptimizationOptions& o) { o.max_step = nan; }},
        {"grad_rms_tol must be a positive finite number", [](OptimizationOptions& o) { o.grad_rms_tol = -1.0; }},
        {"grad_max_tol must be a positive finite number", [=](OptimizationOptions& o) { o.grad_max_tol = nan; }},
        {"energy_tol must be a positive finite number", [](OptimizationOptions& o) { o.energy_tol = 0.0; }},
        {"active_mask must hold one flag per Cartesian coordinate: got 8 for 9 coordinates",
         [](OptimizationOptions& o) { o.active_mask = std::vector<std::uint8_t>(8, 1); }},
        {"active_mask must hold one flag per Cartesian coordinate: got 10 for 9 coordinates",
         [](OptimizationOptions& o) { o.active_mask = std::vector<std::uint8_t>(10, 1); }},
    };
    const Geometry g = water();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        OptimizationOptions options = tight_options();
        c.change(options);
        MolecularBatch m = make_molecule(g, kAm1);
        ScfWorkspace ws = ScfWorkspace::allocate(m.n_basis);
        GradientWorkspace gws = GradientWorkspace::allocate(m.n_basis);
        EXPECT_EQ(stop_message([&] { optimize_geometry_lbfgs(m, kAm1, ws, gws, options); }), c.message);
        EXPECT_TRUE(std::all_of(ws.hcore.data().begin(), ws.hcore.data().end(), [](double v) { return v == 0.0; }));
    }
}

// A workspace that follows a solution above the one an SCF from the atomic
// guess finds takes that one over and carries it to the next warm start; one
// on the lowest solution keeps its own. (Water has one closed-shell
// solution: a followed energy claimed 1 eV higher stands for a higher one.)
TEST(GeometryEvaluation, AdoptsOnlyALowerSolutionAndCarriesIt) {
    const MolecularBatch m = make_molecule(water(), kAm1);
    ScfWorkspace scf = ScfWorkspace::allocate(m.n_basis);
    std::optional<ScfWorkspace> spare;
    const SurfaceScfSettings settings{.use_nddo = true};
    const ScfResult own = run_surface_scf(m, kAm1, scf, settings);
    ASSERT_TRUE(own.converged);
    const Matrix own_density = scf.density;

    EXPECT_FALSE(adopt_lower_solution(m, kAm1, scf, spare, settings, own.total_energy));
    EXPECT_TRUE(std::equal(own_density.data().begin(), own_density.data().end(), scf.density.data().begin()));

    const std::optional<ScfResult> lower = adopt_lower_solution(m, kAm1, scf, spare, settings, own.total_energy + 1.0);
    ASSERT_TRUE(lower);
    EXPECT_NEAR(lower->total_energy, own.total_energy, 1e-6);
    EXPECT_EQ(scf.carried_coordinates.size(), 3 * m.n_atoms);
    const ScfResult next = run_surface_scf(m, kAm1, scf, settings);
    EXPECT_TRUE(next.converged);
    EXPECT_NEAR(next.total_energy, own.total_energy, 1e-6);
}

}  // namespace
}  // namespace quorin
