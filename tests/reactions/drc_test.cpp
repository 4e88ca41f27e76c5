#include "core/reactions/drc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "common/engine_stop.h"
#include "common/geometry.h"
#include "core/parameters/atomic_mass.h"
#include "core/vibrations/hessian.h"
#include "common/minimum.h"

namespace quorin {
namespace {

const Am1Model kAm1;

using fixtures::Geometry;
using fixtures::make_molecule;

struct Trajectory {
    MolecularBatch molecule;
    DrcResult result;
};

Trajectory run(const Geometry& g, const DrcOptions& options) {
    Trajectory r{make_molecule(g, kAm1), {}};
    ScfWorkspace scf = ScfWorkspace::allocate(r.molecule.n_basis);
    GradientWorkspace gradient = GradientWorkspace::allocate(r.molecule.n_basis);
    DrcWorkspace ws = DrcWorkspace::allocate(r.molecule);
    r.result = run_dynamic_reaction_coordinate(r.molecule, kAm1, scf, gradient, ws, options);
    return r;
}

Geometry minimised(const Geometry& g) { return fixtures::tight_minimum(g, kAm1, 1e-10).geometry; }

// Moves atom `b` away from atom `a` along their bond by `delta` angstrom.
Geometry stretched(Geometry g, std::size_t a, std::size_t b, double delta) {
    std::array<double, 3> d{};
    double len = 0.0;
    for (int c = 0; c < 3; ++c) {
        d[c] = g.xyz[b][c] - g.xyz[a][c];
        len += d[c] * d[c];
    }
    len = std::sqrt(len);
    for (int c = 0; c < 3; ++c) g.xyz[b][c] += delta * d[c] / len;
    return g;
}

double bond_length(const std::vector<std::array<double, 3>>& xyz, std::size_t a, std::size_t b) {
    return std::hypot(xyz[a][0] - xyz[b][0], xyz[a][1] - xyz[b][1], xyz[a][2] - xyz[b][2]);
}

Geometry water() {
    const double half = 0.5 * 104.5 * M_PI / 180.0, r = 0.96;
    const double x = r * std::sin(half), y = r * std::cos(half);
    return {{8, 1, 1}, {{0, 0, 0}, {x, y, 0}, {-x, y, 0}}};
}

const Geometry kHydrogen{{1, 1}, {{0, 0, 0}, {0.8, 0, 0}}};

DrcOptions nve(double dt, std::size_t steps) {
    DrcOptions o;
    o.time_step_fs = dt;
    o.total_steps = steps;
    return o;
}

DrcOptions nvt(double target_k, double tau_fs, double dt, std::size_t steps) {
    DrcOptions o = nve(dt, steps);
    o.initial_velocities.value = InitialVelocities::MaxwellBoltzmann{std::nullopt, target_k};
    o.temperature_k = target_k;
    o.berendsen_tau_fs = tau_fs;
    o.nvt = true;
    return o;
}

double largest_deviation(const DrcResult& r) {
    double largest = 0.0;
    for (const DrcFrame& f : r.frames) largest = std::max(largest, std::fabs(f.total_energy_ev - r.initial_energy_ev));
    return largest;
}

std::array<double, 3> momentum(const DrcFrame& f, const std::vector<std::uint8_t>& z) {
    std::array<double, 3> p{};
    for (std::size_t a = 0; a < z.size(); ++a) {
        for (int c = 0; c < 3; ++c) p[c] += atomic_mass(z[a]) * f.velocities[a][c];
    }
    return p;
}

// Velocity Verlet is second order: halving the step divides the energy
// error by about four. Internal forces keep the total momentum at zero.
TEST(DynamicReactionCoordinate, ConservesEnergyAndMomentumWithSecondOrderError) {
    const Geometry start = stretched(minimised(water()), 0, 1, 0.05);
    const Trajectory coarse = run(start, nve(0.2, 200));
    const Trajectory fine = run(start, nve(0.1, 400));
    const DrcFrame& first = fine.result.frames.front();
    EXPECT_EQ(first.kinetic_energy_ev, 0.0);
    EXPECT_EQ(first.temperature_k, 0.0);
    for (const DrcFrame& f : fine.result.frames) {
        for (double p : momentum(f, start.z)) EXPECT_LE(std::fabs(p), 1e-10) << "step " << f.step;
    }
    // Something happened: the stretched bond pushed energy into motion.
    double largest_kinetic = 0.0;
    for (const DrcFrame& f : fine.result.frames) largest_kinetic = std::max(largest_kinetic, f.kinetic_energy_ev);
    EXPECT_GT(largest_kinetic, 0.05);
    const double ratio = largest_deviation(coarse.result) / largest_deviation(fine.result);
    EXPECT_GT(ratio, 3.0);
    EXPECT_LT(ratio, 5.0);
    EXPECT_DOUBLE_EQ(fine.result.max_energy_drift_ev, largest_deviation(fine.result));
    EXPECT_LT(fine.result.max_energy_drift_ev, 1e-3);
}

// The bond of a diatomic released from a small stretch oscillates with the
// harmonic period 1/(c nu) = 33356.41 fs cm^-1 / nu, nu from the Hessian at
// the minimum; this ties the acceleration and energy unit factors together.
TEST(DynamicReactionCoordinate, DiatomicOscillatesWithTheHarmonicPeriod) {
    const Geometry minimum = minimised({{6, 8}, {{0, 0, 0}, {1.17, 0, 0}}});
    MolecularBatch m = make_molecule(minimum, kAm1);
    ScfWorkspace scf = ScfWorkspace::allocate(m.n_basis);
    ScfOptions scf_options;
    scf_options.energy_tolerance = 1e-9;
    scf_options.density_tolerance = 1e-8;
    scf_options.use_nddo = true;
    HessianOptions hessian_options;
    hessian_options.use_nddo = true;
    const double wavenumber =
        compute_hessian_and_frequencies(m, kAm1, scf, scf_options, hessian_options).vibrational_frequencies_cm1.at(0);
    const double period_fs = 33356.40952 / wavenumber;

    DrcOptions options = nve(0.1, static_cast<std::size_t>(2.5 * period_fs / 0.1));
    const Trajectory r = run(stretched(minimum, 0, 1, 0.02), options);
    std::vector<double> length;
    for (const DrcFrame& f : r.result.frames) length.push_back(bond_length(f.coordinates, 0, 1));
    const double mid = 0.5 * (*std::max_element(length.begin(), length.end()) +
                              *std::min_element(length.begin(), length.end()));
    // Times at which the shrinking bond passes its mid length, interpolated.
    std::vector<double> crossings;
    for (std::size_t i = 1; i < length.size(); ++i) {
        if (length[i - 1] >= mid && length[i] < mid) {
            const double t = (length[i - 1] - mid) / (length[i - 1] - length[i]);
            crossings.push_back(r.result.frames[i - 1].time_fs + t * options.time_step_fs);
        }
    }
    ASSERT_GE(crossings.size(), 2u);
    EXPECT_NEAR(crossings[1] - crossings[0], period_fs, 0.02 * period_fs);
}

TEST(DynamicReactionCoordinate, MaxwellBoltzmannStartIsSeededAtTheTargetTemperatureWithoutDrift) {
    const Geometry g = water();
    const DrcOptions options = nvt(500.0, 50.0, 0.5, 3);
    const Trajectory first = run(g, options);
    const Trajectory second = run(g, options);
    const DrcFrame& f0 = first.result.frames.front();
    EXPECT_NEAR(f0.temperature_k, 500.0, 1e-9 * 500.0);
    for (double p : momentum(f0, g.z)) EXPECT_LE(std::fabs(p), 1e-12);
    // The default seed makes the whole trajectory reproducible bit for bit.
    ASSERT_EQ(first.result.frames.size(), second.result.frames.size());
    for (std::size_t i = 0; i < first.result.frames.size(); ++i) {
        EXPECT_EQ(first.result.frames[i].coordinates, second.result.frames[i].coordinates);
        EXPECT_EQ(first.result.frames[i].velocities, second.result.frames[i].velocities);
        EXPECT_EQ(first.result.frames[i].total_energy_ev, second.result.frames[i].total_energy_ev);
    }
    // No seed means the fixed default seed; another seed draws other velocities.
    DrcOptions reseeded = options;
    reseeded.total_steps = 0;
    reseeded.initial_velocities.value = InitialVelocities::MaxwellBoltzmann{kDefaultVelocitySeed, 500.0};
    EXPECT_EQ(run(g, reseeded).result.frames.front().velocities, f0.velocities);
    reseeded.initial_velocities.value = InitialVelocities::MaxwellBoltzmann{7, 500.0};
    EXPECT_NE(run(g, reseeded).result.frames.front().velocities, f0.velocities);
}

// Staggered ethane, carbons on z.
Geometry ethane() {
    const double cc = 1.53, ch = 1.10, tilt = (180.0 - 109.5) * M_PI / 180.0;
    Geometry g{{6, 6}, {{0, 0, 0.5 * cc}, {0, 0, -0.5 * cc}}};
    for (int k = 0; k < 6; ++k) {
        const double side = k < 3 ? 1.0 : -1.0, phi = k * M_PI / 3.0 * 2.0 + (k < 3 ? 0.0 : M_PI / 3.0);
        g.z.push_back(1);
        g.xyz.push_back({ch * std::sin(tilt) * std::cos(phi), ch * std::sin(tilt) * std::sin(phi),
                         side * (0.5 * cc + ch * std::cos(tilt))});
    }
    return g;
}

// The thermostat holds a molecule near its target; without it, a start at
// the target temperature from a minimum gives about half of its vibrational
// kinetic energy to the potential (equipartition), so it settles clearly lower.
TEST(DynamicReactionCoordinate, BerendsenThermostatHoldsTheTargetTemperature) {
    const Geometry start = minimised(ethane());
    const double target = 300.0;
    auto second_half_mean = [](const DrcResult& r) {
        double sum = 0.0;
        const std::size_t half = r.frames.size() / 2;
        for (std::size_t i = half; i < r.frames.size(); ++i) sum += r.frames[i].temperature_k;
        return sum / static_cast<double>(r.frames.size() - half);
    };
    const DrcOptions coupled = nvt(target, 20.0, 0.5, 800);
    DrcOptions free = coupled;
    free.nvt = false;
    const double held = second_half_mean(run(start, coupled).result);
    const double unheld = second_half_mean(run(start, free).result);
    EXPECT_NEAR(held, target, 0.15 * target);
    EXPECT_LT(unheld, 0.8 * target);
}

// Supplied velocities: Custom as given, ScaledCustom rescaled to the
// requested kinetic energy (kcal/mol), a diatomic counting one degree of
// freedom: T = 2 KE / k_B.
TEST(DynamicReactionCoordinate, SuppliedVelocitiesAreUsedOrRescaled) {
    DrcOptions options = nve(0.5, 0);
    options.initial_velocities.value = InitialVelocities::Custom{{{0.01, 0, 0}, {-0.01, 0, 0}}};
    const DrcFrame custom = run(kHydrogen, options).result.frames.front();
    EXPECT_EQ(custom.velocities[0][0], 0.01);
    const double ke = 1.0079 * 0.01 * 0.01 * kKineticEnergyFactor;  // 2 x (m v^2 / 2)
    EXPECT_NEAR(custom.kinetic_energy_ev, ke, 1e-15);
    EXPECT_NEAR(custom.temperature_k, 2.0 * ke / kBoltzmannEvPerK, 1e-9);

    options.initial_velocities.value = InitialVelocities::ScaledCustom{{{0.01, 0, 0}, {-0.01, 0, 0}}, 2.0};
    EXPECT_NEAR(run(kHydrogen, options).result.frames.front().kinetic_energy_ev, 2.0 / 23.06054783061903, 1e-14);

    // Carbon dioxide counts 3N - 5 = 4 degrees of freedom, as the vibrational
    // analysis does, also with the carbon 3e-4 angstrom off axis (an
    // antisymmetric stretch without net momentum).
    options.initial_velocities.value =
        InitialVelocities::ScaledCustom{{{0, 0, 0.01}, {0, 0, -0.02 * 15.9994 / 12.011}, {0, 0, 0.01}}, 2.0};
    for (double off_axis : {0.0, 3e-4}) {
        const Geometry co2{{8, 6, 8}, {{0, 0, -1.16}, {off_axis, 0, 0}, {0, 0, 1.16}}};
        EXPECT_NEAR(run(co2, options).result.frames.front().temperature_k,
                    2.0 * (2.0 / 23.06054783061903) / (4.0 * kBoltzmannEvPerK), 1e-6)
            << off_axis;
    }
}

TEST(DynamicReactionCoordinate, RefusesUnusableInputBeforeAnyScf) {
    struct Case {
        DrcOptions options;
        Geometry geometry;
        std::string message;
    };
    std::vector<Case> cases;
    // The time-step, temperature and coupling-time refusals share this rule
    // with Python, whose tests cover them.
    DrcOptions step = nve(-0.5, 5);
    cases.push_back({step, kHydrogen, "time_step_fs must be a positive finite number"});
    // A coupling time shorter than the step overshoots the bath.
    cases.push_back({nvt(300.0, 0.1, 0.5, 5), kHydrogen, "berendsen_tau_fs must be at least time_step_fs"});
    DrcOptions negative_ke = nve(0.5, 5);
    negative_ke.initial_velocities.value = InitialVelocities::ScaledCustom{{{1, 0, 0}, {0, 0, 0}}, -1.0};
    cases.push_back(
        {negative_ke, kHydrogen, "ScaledCustom kinetic energy must be a finite number of kcal/mol at or above zero"});
    DrcOptions short_list = nve(0.5, 5);
    short_list.initial_velocities.value = InitialVelocities::Custom{{{0, 0, 0}}};
    cases.push_back({short_list, kHydrogen, "Custom velocities count mismatch"});
    // Z = 95 has no tabulated mass: its inverse mass would be infinite.
    cases.push_back({nve(0.5, 5), {{1, 95}, {{0, 0, 0}, {1, 0, 0}}}, "No atomic mass is tabulated for atom 1 (Z=95)"});
    for (const Case& c : cases) {
        MolecularBatch m = MolecularBatch::new_by_atomic_number(c.geometry.z, c.geometry.xyz);
        ScfWorkspace scf = ScfWorkspace::allocate(m.n_basis);
        GradientWorkspace gradient = GradientWorkspace::allocate(m.n_basis);
        DrcWorkspace ws = DrcWorkspace::allocate(m);
        const std::string stop = fixtures::stop_message(
            [&] { run_dynamic_reaction_coordinate(m, kAm1, scf, gradient, ws, c.options); });
        EXPECT_NE(stop.find(c.message), std::string::npos) << stop;
        EXPECT_EQ(m.x[1], c.geometry.xyz[1][0]);  // nothing moved
    }
}

}  // namespace
}  // namespace quorin
