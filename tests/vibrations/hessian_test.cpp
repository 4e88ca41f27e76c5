#include "core/vibrations/hessian.h"

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
#include "core/gradients/nuclear_gradients.h"
#include "core/parameters/atomic_mass.h"
#include "core/types/constants.h"

namespace quorin {
namespace {

const Am1Model kAm1;

using Coords = std::vector<std::array<double, 3>>;
using fixtures::Geometry;
using fixtures::make_molecule;

Geometry water() {
    const double half = 0.5 * 104.0 * M_PI / 180.0, r = 0.96;
    return {{8, 1, 1}, {{0, 0, 0}, {r * std::sin(half), r * std::cos(half), 0}, {-r * std::sin(half), r * std::cos(half), 0}}};
}

Geometry methane() {
    const double a = 1.11 / std::sqrt(3.0);
    return {{6, 1, 1, 1, 1}, {{0, 0, 0}, {a, a, a}, {-a, -a, a}, {-a, a, -a}, {a, -a, -a}}};
}

Geometry carbon_dioxide() { return {{8, 6, 8}, {{0.1, 0.2, -1.19}, {0.1, 0.2, 0.0}, {0.1, 0.2, 1.19}}}; }

// CH3SH: sulfur carries d shells under PM6.
Geometry methanethiol() {
    return {{6, 16, 1, 1, 1, 1},
            {{0, 0, 0}, {1.82, 0, 0}, {2.15, 1.30, 0.05}, {-0.36, 1.03, 0}, {-0.36, -0.51, 0.89},
             {-0.37, -0.52, -0.88}}};
}

using fixtures::frequency_options;
using fixtures::frequency_scf_options;

struct HessianRun {
    MolecularBatch molecule;
    ScfWorkspace scf;
    HessianResult result;
};

HessianRun run_hessian(const Geometry& g, const HessianOptions& options = frequency_options(),
                const ScfOptions& scf_options = frequency_scf_options()) {
    HessianRun run{make_molecule(g, kAm1), {}, {}};
    run.scf = ScfWorkspace::allocate(run.molecule.n_basis);
    run.result = compute_hessian_and_frequencies(run.molecule, kAm1, run.scf, scf_options, options);
    return run;
}

using fixtures::stop_message;

double scf_energy(const Geometry& g) {
    MolecularBatch m = make_molecule(g, kAm1);
    ScfWorkspace ws = ScfWorkspace::allocate(m.n_basis);
    const ScfResult r = run_rhf_scf_with_options(m, kAm1, ws, frequency_scf_options());
    EXPECT_TRUE(r.converged);
    return r.total_energy;
}

// Largest |nu| among the k_ext modes of smallest magnitude.
double largest_external(const std::vector<double>& all, std::size_t k_ext) {
    std::vector<double> magnitudes;
    for (double nu : all) magnitudes.push_back(std::fabs(nu));
    std::sort(magnitudes.begin(), magnitudes.end());
    return magnitudes[k_ext - 1];
}

TEST(Hessian, MatchesSecondDifferencesOfScfEnergies) {
    const Geometry g = water();
    const HessianRun run = run_hessian(g);
    const Matrix& h = run.result.cartesian_hessian;
    // d2E/dx_i dx_j from four displaced SCF energies, independent of the gradient code.
    const double d = 0.01;
    struct Pair {
        std::size_t i, j;
    };
    for (const Pair p : {Pair{0, 0}, Pair{4, 4}, Pair{3, 7}, Pair{1, 3}, Pair{6, 1}, Pair{2, 2}}) {
        SCOPED_TRACE(std::to_string(p.i) + "," + std::to_string(p.j));
        auto energy = [&](double di, double dj) {
            Geometry shifted = g;
            shifted.xyz[p.i / 3][p.i % 3] += di;
            shifted.xyz[p.j / 3][p.j % 3] += dj;
            return scf_energy(shifted);
        };
        double second;
        if (p.i == p.j) {
            second = (energy(d, 0) - 2.0 * energy(0, 0) + energy(-d, 0)) / (d * d);
        } else {
            second = (energy(d, d) - energy(d, -d) - energy(-d, d) + energy(-d, -d)) / (4.0 * d * d);
        }
        second *= kEvToKcalMol;
        EXPECT_NEAR(h(p.i, p.j), second, 2e-3 * std::max(std::fabs(second), 50.0));
        EXPECT_EQ(h(p.i, p.j), h(p.j, p.i));
    }
}

// The displaced evaluations reuse the base geometry's pair records,
// resonance blocks and pair term derivatives wherever the moved atom is not
// involved, and start the SCFs at +h from a first-order density. Reference:
// the same central differences with every displaced SCF and gradient built
// from scratch and started from the base density. With the SCFs converged
// tightly the two agree to rounding.
TEST(Hessian, ReusedPairDataGiveThePlainHessian) {
    const Pm6Model pm6;
    struct Case {
        const char* name;
        Geometry geometry;
        const ParameterModel* model;
    };
    for (const Case& c : {Case{"formaldehyde AM1", {{6, 8, 1, 1}, {{0, 0, 0}, {0, 0.05, 1.21}, {0.94, 0, -0.59}, {-0.94, 0.02, -0.6}}}, &kAm1},
                          Case{"methanethiol PM6", methanethiol(), &pm6}}) {
        SCOPED_TRACE(c.name);
        ScfOptions tight = frequency_scf_options();
        tight.max_iterations = 200;
        tight.energy_tolerance = 1e-12;
        tight.density_tolerance = 1e-12;
        MolecularBatch m = make_molecule(c.geometry, *c.model);
        ScfWorkspace ws = ScfWorkspace::allocate(m.n_basis);
        const Matrix reused =
            compute_hessian_and_frequencies(m, *c.model, ws, tight, frequency_options()).cartesian_hessian;

        ASSERT_TRUE(run_rhf_scf_with_options(m, *c.model, ws, tight).converged);
        const Matrix base_density = ws.density;
        ScfOptions from_base = tight;
        from_base.initial_density = &base_density;
        GradientWorkspace gradient_ws = GradientWorkspace::allocate(m.n_basis);
        const auto plain_gradient = [&](std::size_t, std::size_t, std::span<std::array<double, 3>> g) {
            ASSERT_TRUE(run_rhf_scf_with_options(m, *c.model, ws, from_base).converged);
            compute_cartesian_gradients_with_options(m, *c.model, ws.density, gradient_ws, g, true);
        };
        Coords plus(m.n_atoms), minus(m.n_atoms);
        const Matrix plain = central_difference_hessian(m, frequency_options().step_size_angstrom, std::nullopt, 0.0,
                                                        plain_gradient, ws, base_density, plus, minus);
        double largest = 0.0, difference = 0.0;
        for (std::size_t k = 0; k < plain.data().size(); ++k) {
            largest = std::max(largest, std::fabs(plain.data()[k]));
            difference = std::max(difference, std::fabs(plain.data()[k] - reused.data()[k]));
        }
        EXPECT_LT(difference, 1e-9 * largest);
        EXPECT_GT(largest, 100.0);
    }
}

TEST(Hessian, ModeCountsAndSymmetryDegeneracies) {
    struct Case {
        const char* name;
        Geometry geometry;
        std::size_t n_vib;
        std::vector<std::size_t> degeneracies;  // sizes of the degenerate sets, ascending
    };
    const std::vector<Case> cases{
        {"water", water(), 3, {1, 1, 1}},
        {"methane (Td: a1, e, t2, t2)", methane(), 9, {1, 2, 3, 3}},
        {"carbon dioxide (linear: two stretches, pi bend)", carbon_dioxide(), 4, {1, 1, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const HessianRun run = run_hessian(c.geometry);
        const HessianResult& r = run.result;
        const std::size_t dim = 3 * c.geometry.z.size();
        ASSERT_EQ(r.all_frequencies_cm1.size(), dim);
        ASSERT_EQ(r.normal_modes.size(), dim);
        ASSERT_EQ(r.vibrational_frequencies_cm1.size(), c.n_vib);
        EXPECT_LT(largest_external(r.all_frequencies_cm1, dim - c.n_vib), 0.1);
        EXPECT_TRUE(std::is_sorted(r.all_frequencies_cm1.begin(), r.all_frequencies_cm1.end()));
        // Frequencies within 0.5 cm^-1 of their neighbour form one degenerate set;
        // sets are separated by more than 5 cm^-1.
        std::vector<std::size_t> sets{1};
        for (std::size_t i = 1; i < c.n_vib; ++i) {
            const double gap = r.vibrational_frequencies_cm1[i] - r.vibrational_frequencies_cm1[i - 1];
            if (gap < 0.5) {
                ++sets.back();
            } else {
                EXPECT_GT(gap, 5.0);
                sets.push_back(1);
            }
        }
        std::sort(sets.begin(), sets.end());
        EXPECT_EQ(sets, c.degeneracies);
        EXPECT_NEAR(r.zpve_kcal_mol, r.thermo.zpve_kcal_mol, 0.0);
        EXPECT_GT(r.vibrational_frequencies_cm1.back(), 1000.0);
    }
}

TEST(Hessian, MassesScaleFrequenciesAndCallLeavesInputsIntact) {
    const Geometry g = water();
    const HessianRun plain = run_hessian(g);
    HessianOptions heavy = frequency_options();
    const double k = 4.0;
    heavy.custom_masses = std::vector<double>{k * atomic_mass(8), k * atomic_mass(1), k * atomic_mass(1)};
    HessianRun scaled = run_hessian(g, heavy);
    for (std::size_t i = 0; i < 3; ++i) {
        const double nu = plain.result.vibrational_frequencies_cm1[i];
        EXPECT_NEAR(scaled.result.vibrational_frequencies_cm1[i], nu / std::sqrt(k), 1e-6 * nu);
    }
    // Coordinates come back exactly and the workspace holds the base density.
    for (std::size_t a = 0; a < 3; ++a) {
        EXPECT_EQ(scaled.molecule.x[a], g.xyz[a][0]);
        EXPECT_EQ(scaled.molecule.y[a], g.xyz[a][1]);
        EXPECT_EQ(scaled.molecule.z[a], g.xyz[a][2]);
    }
    ScfWorkspace fresh = ScfWorkspace::allocate(scaled.molecule.n_basis);
    run_rhf_scf_with_options(scaled.molecule, kAm1, fresh, frequency_scf_options());
    for (std::size_t i = 0; i < fresh.density.data().size(); ++i) {
        EXPECT_EQ(scaled.scf.density.data()[i], fresh.density.data()[i]);
    }
}

TEST(Hessian, RefusesUnsoundInputsAndUnconvergedScf) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* message;
        std::function<void(HessianOptions&)> change;
    };
    const std::vector<Case> cases{
        {"Hessian step_size_angstrom must be a positive finite number", [](HessianOptions& o) { o.step_size_angstrom = 0.0; }},
        {"Hessian step_size_angstrom must be a positive finite number", [=](HessianOptions& o) { o.step_size_angstrom = nan; }},
        {"Hessian step_size_angstrom must be a positive finite number", [=](HessianOptions& o) { o.step_size_angstrom = inf; }},
        {"Temperature must be strictly positive", [](HessianOptions& o) { o.temperature_k = 0.0; }},
        {"Temperature must be strictly positive", [=](HessianOptions& o) { o.temperature_k = nan; }},
        {"Temperature must be a finite number of kelvin", [=](HessianOptions& o) { o.temperature_k = inf; }},
        {"Pressure must be a positive finite number of atmospheres", [](HessianOptions& o) { o.pressure_atm = -1.0; }},
        {"Rotational symmetry number must be a whole number from 1 to 60",
         [](HessianOptions& o) { o.rotational_symmetry_number = 0.0; }},
        {"custom_masses must hold one mass per atom: got 2 for 3 atoms",
         [](HessianOptions& o) { o.custom_masses = std::vector<double>{16.0, 1.0}; }},
        {"custom_masses[1] must be a positive finite mass in amu",
         [](HessianOptions& o) { o.custom_masses = std::vector<double>{16.0, 0.0, 1.0}; }},
        {"custom_masses[2] must be a positive finite mass in amu",
         [=](HessianOptions& o) { o.custom_masses = std::vector<double>{16.0, 1.0, nan}; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        HessianOptions options = frequency_options();
        c.change(options);
        Geometry g = water();
        MolecularBatch m = make_molecule(g, kAm1);
        ScfWorkspace ws = ScfWorkspace::allocate(m.n_basis);
        EXPECT_EQ(stop_message([&] { compute_hessian_and_frequencies(m, kAm1, ws, frequency_scf_options(), options); }),
                  c.message);
        // Refused before any SCF work.
        EXPECT_TRUE(std::all_of(ws.density.data().begin(), ws.density.data().end(), [](double v) { return v == 0.0; }));
    }

    // An atom with no tabulated mass (Z = 95) is refused before its lack of
    // parameters could matter; custom masses make it acceptable to this check.
    {
        const Coords xyz{{0, 0, 0}, {0, 0, 2.5}};
        MolecularBatch m = MolecularBatch::new_by_atomic_number({95, 1}, xyz);
        ScfWorkspace ws = ScfWorkspace::allocate(m.n_basis);
        EXPECT_EQ(stop_message([&] { compute_hessian_and_frequencies(m, kAm1, ws, frequency_scf_options(), frequency_options()); }),
                  "No atomic mass is tabulated for atom 0 (Z=95); supply custom_masses");
    }
    {
        MolecularBatch empty = MolecularBatch::new_by_atomic_number({}, Coords{});
        ScfWorkspace ws = ScfWorkspace::allocate(0);
        EXPECT_EQ(stop_message([&] { compute_hessian_and_frequencies(empty, kAm1, ws, frequency_scf_options(), frequency_options()); }),
                  "MolecularBatch must contain at least 1 atom");
    }

    // Base SCF cut short.
    const Geometry g = water();
    ScfOptions short_scf = frequency_scf_options();
    short_scf.max_iterations = 2;
    EXPECT_EQ(stop_message([&] { run_hessian(g, frequency_options(), short_scf); }),
              "Base SCF must converge before computing Hessian");

    // Displaced SCF: an iteration budget that just suffices at the base
    // geometry fails after a 0.2 angstrom displacement, which needs more.
    MolecularBatch m = make_molecule(g, kAm1);
    ScfWorkspace ws = ScfWorkspace::allocate(m.n_basis);
    ScfOptions tight = frequency_scf_options();
    tight.max_iterations = run_rhf_scf_with_options(m, kAm1, ws, tight).iterations;
    const Matrix base_density = ws.density;
    HessianOptions big_step = frequency_options();
    big_step.step_size_angstrom = 0.2;
    const std::string message = stop_message([&] { compute_hessian_and_frequencies(m, kAm1, ws, tight, big_step); });
    EXPECT_EQ(message.rfind("SCF did not converge at the displaced geometry of atom", 0), 0u) << message;
    for (std::size_t a = 0; a < 3; ++a) EXPECT_EQ(m.x[a], g.xyz[a][0]);
    for (std::size_t i = 0; i < base_density.data().size(); ++i) {
        EXPECT_EQ(ws.density.data()[i], base_density.data()[i]);
    }
}

}  // namespace
}  // namespace quorin
