#include "core/scf/scf_loop.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/fock/fock_builder.h"
#include "core/gradients/energy_and_gradient.h"
#include "core/scf/eigensolver.h"
#include "core/scf/density.h"
#include "core/scf/initial_guess.h"
#include "core/types/errors.h"
#include "common/molecules.h"

namespace quorin {
namespace {

const MndoModel kMndo;
const Am1Model kAm1;
const Pm3Model kPm3;
const Pm6Model kPm6;
const Pm7Model kPm7;

struct ScfRun {
    MolecularBatch molecule;
    ScfWorkspace workspace;
    ScfResult result;
};

ScfRun run_scf(const fixtures::Geometry& g, const ParameterModel& model, ScfOptions options = {}) {
    ScfRun run{fixtures::make_molecule(g, model), {}, {}};
    run.workspace = ScfWorkspace::allocate(run.molecule.n_basis);
    run.result = run_rhf_scf_with_options(run.molecule, model, run.workspace, options);
    return run;
}

ScfOptions tight(bool nddo = true) {
    ScfOptions o;
    o.use_nddo = nddo;
    o.energy_tolerance = 1e-10;
    o.density_tolerance = 1e-9;
    o.max_iterations = 200;
    return o;
}

struct Case {
    std::string name;
    fixtures::Geometry geometry;
    const ParameterModel* model;
};

std::vector<Case> molecules() {
    std::vector<Case> cases;
    for (const ParameterModel* m : std::initializer_list<const ParameterModel*>{&kMndo, &kAm1, &kPm3, &kPm6}) {
        const std::string method(m->name());
        cases.push_back({method + " H2", fixtures::hydrogen_molecule(), m});
        cases.push_back({method + " CH4", fixtures::methane(), m});
        cases.push_back({method + " H2O", fixtures::water(), m});
        cases.push_back({method + " NH3", fixtures::ammonia(), m});
    }
    // PM6 gives S, P, Cl and Br nine orbitals; a wrong d rotation shows up as
    // a broken rotation invariance.
    cases.push_back({"PM6 SO2", {{16, 8, 8}, {{{0, 0, 0}}, {{1.232, 0.726, 0}}, {{-1.232, 0.726, 0}}}}, &kPm6});
    cases.push_back({"PM6 PCl3",
                     {{15, 17, 17, 17},
                      {{{0, 0, 0.4}}, {{1.918, 0, -0.3}}, {{-0.959, 1.661, -0.3}}, {{-0.959, -1.661, -0.3}}}},
                     &kPm6});
    cases.push_back({"PM6 CH3Br",
                     {{6, 35, 1, 1, 1},
                      {{{0, 0, 0}}, {{0, 0, 1.94}}, {{1.03, 0, -0.36}}, {{-0.515, 0.892, -0.36}}, {{-0.515, -0.892, -0.36}}}},
                     &kPm6});
    cases.push_back({"PM6 H2SO4",
                     {{16, 8, 8, 8, 8, 1, 1},
                      {{{0, 0, 0}}, {{0, 1.2, 0.8}}, {{0, -1.2, 0.8}}, {{1.25, 0, -0.8}}, {{-1.25, 0, -0.8}},
                       {{2.1, 0, -0.4}}, {{-2.1, 0, -0.4}}}},
                     &kPm6});
    // A 9-orbital atom with d-shell one-centre integrals.
    cases.push_back({"PM7 FeH2", {{26, 1, 1}, {{{0, 0, 0}}, {{1.55, 0, 0}}, {{-0.3, 1.5, 0.1}}}}, &kPm7});
    return cases;
}

TEST(RhfScf, ConvergedDensityIsIdempotentHoldsAllElectronsAndIsStationary) {
    for (const Case& c : molecules()) {
        for (bool nddo : {true, false}) {
            SCOPED_TRACE(c.name + (nddo ? " NDDO" : " gamma"));
            ScfRun run = run_scf(c.geometry, *c.model, tight(nddo));
            ASSERT_TRUE(run.result.converged);
            const Matrix& p = run.workspace.density;
            const std::size_t n = p.rows();
            // Orthogonal basis: (P/2)^2 = P/2 and tr P = valence electrons.
            double trace = 0.0, electrons = 0.0, worst = 0.0;
            for (std::uint8_t z : run.molecule.atomic_numbers) electrons += c.model->get_element(z)->core_charge;
            for (std::size_t i = 0; i < n; ++i) {
                trace += p(i, i);
                for (std::size_t j = 0; j < n; ++j) {
                    double sq = 0.0;
                    for (std::size_t k = 0; k < n; ++k) sq += 0.25 * p(i, k) * p(k, j);
                    worst = std::max(worst, std::fabs(sq - 0.5 * p(i, j)));
                }
            }
            EXPECT_NEAR(trace, electrons, 1e-10);
            EXPECT_LT(worst, 1e-8);
            EXPECT_LT(run.result.homo, run.result.lumo);
            EXPECT_DOUBLE_EQ(run.result.total_energy, run.result.electronic_energy + run.result.core_energy);
            // Self-consistency: F rebuilt from the final P gives the same energy.
            Matrix f = Matrix::zeros(n, n);
            if (nddo) {
                build_fock_nddo(run.molecule, *c.model, run.workspace.pairs, run.workspace.hcore, p, f);
            } else {
                build_fock(run.molecule, *c.model, run.workspace.hcore, p, f);
            }
            EXPECT_NEAR(compute_electronic_energy(p, run.workspace.hcore, f), run.result.electronic_energy, 1e-7);
            // Reproducible in the reused workspace.
            EXPECT_EQ(run_rhf_scf_with_options(run.molecule, *c.model, run.workspace, tight(nddo)).total_energy,
                      run.result.total_energy);
        }
    }
}

TEST(RhfScf, EnergyIsInvariantUnderRigidMotionAndAtomOrder) {
    const fixtures::Rotation r = fixtures::rotation_matrix({0.3, -0.5, 0.8}, 1.1);
    for (const Case& c : molecules()) {
        for (bool nddo : {true, false}) {
            SCOPED_TRACE(c.name + (nddo ? " NDDO" : " gamma"));
            const double reference = run_scf(c.geometry, *c.model, tight(nddo)).result.total_energy;
            const fixtures::Geometry g = fixtures::moved(c.geometry, r, {1.5, -2.0, 7.25});
            EXPECT_NEAR(run_scf(g, *c.model, tight(nddo)).result.total_energy, reference, 1e-8);
            EXPECT_NEAR(run_scf(fixtures::reversed(c.geometry), *c.model, tight(nddo)).result.total_energy, reference, 1e-8);
        }
    }
}

TEST(RhfScf, BothHamiltonianFormsAgreeForHydrogenOnly) {
    // For s orbitals the NDDO (ss|ss) and electron-core integrals reduce to
    // the gamma form's e2 / sqrt(R^2 + (rho_A + rho_B)^2).
    const fixtures::Geometry h4 = {{1, 1, 1, 1}, {{{0, 0, 0}}, {{0.75, 0, 0}}, {{0.75, 1.3, 0.2}}, {{-0.1, 1.2, 0.9}}}};
    for (const fixtures::Geometry& g : {fixtures::hydrogen_molecule(0.74), fixtures::hydrogen_molecule(1.6), h4}) {
        EXPECT_NEAR(run_scf(g, kPm6, tight(true)).result.total_energy, run_scf(g, kPm6, tight(false)).result.total_energy, 1e-9);
    }
}

TEST(RhfScf, ShiftAndDampingChangeTheRouteNotTheResult) {
    ScfOptions plain = tight();
    plain.level_shift = -1.0;  // negative: never applied
    const ScfResult reference = run_scf(fixtures::formaldehyde(), kAm1, plain).result;
    for (const auto& [shift, damping] : {std::pair{4.0, 0.5}, std::pair{8.0, 0.7}, std::pair{0.0, 0.0}}) {
        ScfOptions o = tight();
        o.level_shift = shift;
        o.damping = damping;
        const ScfResult r = run_scf(fixtures::formaldehyde(), kAm1, o).result;
        ASSERT_TRUE(r.converged) << shift;
        EXPECT_NEAR(r.total_energy, reference.total_energy, 1e-7);
        EXPECT_NEAR(r.lumo, reference.lumo, 1e-4);  // reported without the shift
    }
}

// A run that starts from the solution of a nearby geometry (as the displaced
// SCFs of a vibrational analysis do) ends where a run from the neutral-atom
// guess ends. O + H2 2.8 angstrom apart (PM6) has a soft orbital mode (about
// 0.02 eV): from the base density, Pulay steps crawl along it with
// coefficients too large to trust, and the run must still converge.
TEST(RhfScf, WarmStartsEndWhereColdStartsEnd) {
    const fixtures::Geometry o_h2 = {{8, 1, 1}, {{{0, 0, 2.8}}, {{0, 0.38, 0}}, {{0, -0.38, 0}}}};
    ScfOptions o;
    o.max_iterations = 100;
    o.energy_tolerance = 1e-8;
    o.density_tolerance = 1e-7;
    ScfRun base = run_scf(o_h2, kPm6, o);
    ASSERT_TRUE(base.result.converged);
    const Matrix base_density = base.workspace.density;
    for (const double dy : {0.005, -0.005}) {
        fixtures::Geometry displaced = o_h2;
        displaced.xyz[0][1] += dy;
        const ScfResult cold = run_scf(displaced, kPm6, o).result;
        ASSERT_TRUE(cold.converged);
        set_coordinates(base.molecule, displaced.xyz);
        ScfOptions warm = o;
        warm.initial_density = &base_density;
        const ScfResult r = run_rhf_scf_with_options(base.molecule, kPm6, base.workspace, warm);
        EXPECT_TRUE(r.converged) << dy;
        EXPECT_NEAR(r.total_energy, cold.total_energy, 1e-6) << dy;
    }
}

// A converged run reports the energy of its final density with that
// density's own Fock matrix. That energy is variational, so at the default
// tolerances it lies within 1e-6 eV of the same SCF converged to 1e-11 eV
// (the reference) whatever the route: default, shifted or damped.
TEST(RhfScf, ConvergedEnergyIsThatOfTheFinalDensity) {
    struct Case {
        std::string name;
        fixtures::Geometry geometry;
        const ParameterModel* model;
    };
    ScfOptions reference_options;
    reference_options.energy_tolerance = 1e-11;
    reference_options.density_tolerance = 1e-10;
    reference_options.max_iterations = 300;
    for (const Case& c : {Case{"AM1 formaldehyde", fixtures::formaldehyde(), &kAm1},
                          Case{"PM6 decane", fixtures::ladder_molecule("decane"), &kPm6},
                          Case{"PM6 aspirin", fixtures::ladder_molecule("aspirin"), &kPm6}}) {
        SCOPED_TRACE(c.name);
        const double reference = run_scf(c.geometry, *c.model, reference_options).result.total_energy;
        for (const auto& [shift, damping] : {std::pair{0.0, 0.5}, std::pair{4.0, 0.5}, std::pair{8.0, 0.7}}) {
            ScfOptions o;
            o.level_shift = shift;
            o.damping = damping;
            ScfRun run = run_scf(c.geometry, *c.model, o);
            ASSERT_TRUE(run.result.converged) << shift;
            EXPECT_NEAR(run.result.total_energy, reference, 1e-6) << shift;
            const std::size_t n = run.molecule.n_basis;
            Matrix f = Matrix::zeros(n, n);
            build_fock_nddo(run.molecule, *c.model, run.workspace.pairs, run.workspace.hcore, run.workspace.density, f);
            EXPECT_NEAR(compute_electronic_energy(run.workspace.density, run.workspace.hcore, f),
                        run.result.electronic_energy, 1e-9);
        }
    }
}

TEST(RhfScf, IterationLimitsAndElectronCounts) {
    ScfOptions none;
    none.max_iterations = 0;
    ScfRun guess = run_scf(fixtures::water(), kMndo, none);
    EXPECT_EQ(guess.result.iterations, 0u);
    EXPECT_FALSE(guess.result.converged);
    // Guess only: the workspace holds the Fock matrix of the neutral-atom
    // density and its four lowest orbitals; HOMO and LUMO are its 4th and 5th
    // eigenvalues and E_el = 0.5 tr(P (H + F)) with P of those orbitals.
    Matrix atoms = Matrix::zeros(6, 6), f_atoms = Matrix::zeros(6, 6);
    build_atomic_guess_density(guess.molecule, kMndo, atoms);
    build_fock_nddo(guess.molecule, kMndo, guess.workspace.pairs, guess.workspace.hcore, atoms, f_atoms);
    for (std::size_t i = 0; i < 36; ++i) EXPECT_NEAR(guess.workspace.fock.data()[i], f_atoms.data()[i], 1e-12);
    EXPECT_EQ(guess.result.homo, guess.workspace.orbital_energies[3]);
    EXPECT_EQ(guess.result.lumo, guess.workspace.orbital_energies[4]);
    EXPECT_NEAR(guess.result.electronic_energy,
                compute_electronic_energy(guess.workspace.density, guess.workspace.hcore, f_atoms), 1e-9);

    ScfOptions loose;
    loose.energy_tolerance = loose.density_tolerance = 1e30;
    EXPECT_EQ(run_scf(fixtures::water(), kMndo, loose).result.iterations, 2u);  // iteration 1 never converges

    // Methyl radical: seven electrons, one dropped. Hydrogen counted twice
    // fills the whole H2 basis: LUMO reported as 0.
    const fixtures::Geometry methyl = {{6, 1, 1, 1}, {{{0, 0, 0}}, {{1.08, 0, 0}}, {{-0.54, 0.935, 0}}, {{-0.54, -0.935, 0}}}};
    const ScfRun radical = run_scf(methyl, kMndo);
    double trace = 0.0;
    for (std::size_t i = 0; i < radical.molecule.n_basis; ++i) trace += radical.workspace.density(i, i);
    EXPECT_NEAR(trace, 6.0, 1e-10);
    const fixtures::EditedModel doubled(kMndo, {}, [](ElementParams& e) { e.core_charge = 2.0; });
    EXPECT_EQ(run_scf(fixtures::hydrogen_molecule(), doubled).result.lumo, 0.0);

    const fixtures::Geometry lone_h = {{1}, {{{0, 0, 0}}}};
    try {
        run_scf(lone_h, kMndo);
        ADD_FAILURE() << "one electron accepted";
    } catch (const EngineStop& e) {
        EXPECT_STREQ(e.what(), "System must have at least one electron pair for closed-shell RHF");
    }
}

TEST(RhfScf, ContinuumSolventStabilisesAPolarMolecule) {
    const ScfResult gas = run_scf(fixtures::formaldehyde(), kMndo).result;
    EXPECT_FALSE(gas.cosmo_energy.has_value());
    double previous = gas.total_energy;
    for (double eps : {1.0, 4.0, 78.4}) {
        ScfOptions solvent;
        solvent.cosmo = std::pair{eps, 1.30005};
        const ScfResult r = run_scf(fixtures::formaldehyde(), kMndo, solvent).result;
        ASSERT_TRUE(r.cosmo_energy.has_value());
        if (eps == 1.0) {  // no screening at all
            EXPECT_EQ(*r.cosmo_energy, 0.0);
            EXPECT_NEAR(r.total_energy, gas.total_energy, 1e-10);
        } else {
            EXPECT_LT(*r.cosmo_energy, 0.0);
            EXPECT_LT(r.total_energy, previous);
        }
        previous = r.total_energy;
    }
}

TEST(RhfScf, NonFiniteInputsStopBeforeTheScf) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    fixtures::Geometry bad = fixtures::water();
    bad.xyz[1][2] = nan;
    std::vector<std::pair<ScfOptions, std::string>> cases(5);
    cases[0].second = "Atomic coordinates must be finite numbers";
    cases[1].first.electric_field = std::array<double, 3>{0.0, inf, 0.0};
    cases[1].second = "Electric field components must be finite numbers";
    cases[2].first.external_charges = std::vector<PointCharge>{{0, 0, 5, 1}, {0, 0, -5, nan}};
    cases[2].second = "External point charges must have finite positions and charges";
    cases[3].first.external_charges = std::vector<PointCharge>{{inf, 0, 5, 1}};
    cases[3].second = cases[2].second;
    cases[4].first.damping = nan;
    cases[4].second = "SCF damping must be a finite number";
    for (std::size_t k = 0; k < cases.size(); ++k) {
        try {
            run_scf(k == 0 ? bad : fixtures::water(), kMndo, cases[k].first);
            ADD_FAILURE() << cases[k].second;
        } catch (const EngineStop& e) {
            EXPECT_EQ(e.what(), cases[k].second);
        }
    }
}

// PM6 gives Si, P, S, Cl, Br and I a d shell. Without one-centre repulsion in
// that shell it would swallow electrons (H2S turned into S(2-) with HOMO =
// LUMO); with the d-element one-centre terms the d shell stays a minor,
// polarising component.
TEST(RhfScf, DShellDoesNotSoakUpCharge) {
    const Pm6Model pm6;
    const std::vector<std::pair<std::string, fixtures::Geometry>> cases = {
        {"H2S", {{16, 1, 1}, {{{0, 0, 0}}, {{0.96, 0.93, 0}}, {{-0.96, 0.93, 0}}}}},
        {"HCl", {{17, 1}, {{{0, 0, 0}}, {{0, 0, 1.27}}}}},
        {"PH3", {{15, 1, 1, 1}, {{{0, 0, 0.5}}, {{1.2, 0, -0.2}}, {{-0.6, 1.04, -0.2}}, {{-0.6, -1.04, -0.2}}}}},
    };
    for (const auto& [name, geometry] : cases) {
        SCOPED_TRACE(name);
        ScfRun run = run_scf(geometry, pm6, tight(true));
        ASSERT_TRUE(run.result.converged);
        EXPECT_LT(run.result.homo + 1.0, run.result.lumo);
        // Population of the heavy atom's five d orbitals (atom 0, orbitals 4..8).
        double d_population = 0.0;
        for (std::size_t k = 4; k < 9; ++k) d_population += run.workspace.density(k, k);
        EXPECT_LT(d_population, 1.0);
    }
}

// Two C2 molecules (2.14 angstrom) 40 angstrom apart swap all their
// electrons between them under Pulay extrapolation: states with the
// fragments charged +8/-8 are exactly stationary (the fragments do not
// overlap) but have their occupied orbitals tens of eV above virtual ones.
// A converged run's density must be the aufbau density of its own Fock
// matrix (reference: the n_occ lowest eigenvectors of F(P), by definition),
// here and on ordinary molecules; the orbitals left in the workspace span
// it, and the reported frontier levels are F(P)'s to 1e-4 eV.
TEST(RhfScf, ReportedDensityIsTheAufbauDensityOfItsFockMatrix) {
    const fixtures::Geometry c2_pair = {{6, 6, 6, 6}, {{{-1.07, 0, 0}}, {{1.07, 0, 0}}, {{38.93, 0, 0}}, {{41.07, 0, 0}}}};
    for (const Case& c : {Case{"PM3 C2 + C2", c2_pair, &kPm3}, Case{"PM6 C2 + C2", c2_pair, &kPm6},
                          Case{"AM1 formaldehyde", fixtures::formaldehyde(), &kAm1},
                          Case{"PM6 decane", fixtures::ladder_molecule("decane"), &kPm6},
                          Case{"MNDO C2", {{6, 6}, {{{0, 0, 0}}, {{2.14, 0, 0}}}}, &kMndo}}) {
        SCOPED_TRACE(c.name);
        ScfRun run = run_scf(c.geometry, *c.model);
        ASSERT_TRUE(run.result.converged);
        const std::size_t n = run.molecule.n_basis, n_occ = count_valence_electrons(run.molecule, *c.model) / 2;
        Matrix f = Matrix::zeros(n, n), orbitals = Matrix::zeros(n, n), aufbau = Matrix::zeros(n, n);
        Matrix spanned = Matrix::zeros(n, n);
        Vec64 eps = Vec64::zeros(n);
        build_fock_nddo(run.molecule, *c.model, run.workspace.pairs, run.workspace.hcore, run.workspace.density, f);
        diagonalize_symmetric(f, eps, orbitals);
        compute_density_matrix(orbitals, n_occ, aufbau);
        compute_density_matrix(run.workspace.coefficients, n_occ, spanned);
        double largest = 0.0, span_error = 0.0;
        for (std::size_t i = 0; i < n * n; ++i) {
            largest = std::max(largest, std::fabs(aufbau.data()[i] - run.workspace.density.data()[i]));
            span_error = std::max(span_error, std::fabs(spanned.data()[i] - run.workspace.density.data()[i]));
        }
        EXPECT_LT(largest, 1e-4);
        EXPECT_LT(span_error, 1e-10);
        EXPECT_NEAR(run.result.homo, eps[n_occ - 1], 1e-4);
        EXPECT_NEAR(run.result.lumo, eps[n_occ], 1e-4);
    }
}

// max_iter caps every count a run reports: the iterations of every stage,
// the line search down from a saddle point and the Newton steps (MNDO C2
// at 2.14 and O2 at 1.694 angstrom descend from saddle points).
// The cap bounds every count, and a run it stops reports the density it
// kept with that density's own energy and levels: 0.5 tr P (H + F(P)) and
// the eigenvalues of F(P) (rebuilt here), never a Fock matrix extrapolated
// from other densities. CO at 4 angstrom (PM6) swings by 100 eV in its
// first iterations.
TEST(RhfScf, IterationCapBoundsTheReportedCountAndAStoppedRunReportsItsOwnDensity) {
    struct Capped {
        fixtures::Geometry geometry;
        const ParameterModel* model;
    };
    for (const Capped& c : {Capped{{{6, 6}, {{{0, 0, 0}}, {{2.14, 0, 0}}}}, &kMndo},
                            Capped{{{8, 8}, {{{0, 0, 0}}, {{1.694, 0, 0}}}}, &kMndo},
                            Capped{{{6, 8}, {{{0, 0, 0}}, {{0, 0, 4.0}}}}, &kPm6}}) {
        for (std::size_t cap = 1; cap <= 30; ++cap) {
            SCOPED_TRACE(std::to_string(c.geometry.z[1]) + " cap " + std::to_string(cap));
            ScfOptions o;
            o.max_iterations = cap;
            const ScfRun run = run_scf(c.geometry, *c.model, o);
            EXPECT_LE(run.result.iterations, cap);
            if (run.result.converged) continue;
            const std::size_t n = run.molecule.n_basis;
            const std::size_t n_occ = count_valence_electrons(run.molecule, *c.model) / 2;
            Matrix f = Matrix::zeros(n, n), orbitals = Matrix::zeros(n, n);
            Vec64 levels = Vec64::zeros(n);
            build_fock_nddo(run.molecule, *c.model, run.workspace.pairs, run.workspace.hcore, run.workspace.density, f);
            diagonalize_symmetric(f, levels, orbitals);
            EXPECT_NEAR(run.result.electronic_energy,
                        compute_electronic_energy(run.workspace.density, run.workspace.hcore, f), 1e-8);
            EXPECT_NEAR(run.result.homo, levels[n_occ - 1], 1e-8);
            EXPECT_NEAR(run.result.lumo, levels[n_occ], 1e-8);
        }
    }
}

// Si2 (PM6) scanned from 2.40 to 2.70 angstrom in 0.005 angstrom steps,
// each SCF warm-started from the last as the geometry drivers do
// (run_surface_scf): near 2.57 angstrom the state it follows turns soft and
// then unstable (lowest orbital-Hessian eigenvalue -0.0068 eV at 2.58) while
// another one lies lower. Every warm result must be converged and no higher
// than the cold start's (reference: run_surface_scf with nothing carried).
TEST(RhfScf, WarmStartedSurfaceScfsEndNoHigherThanColdOnes) {
    fixtures::Geometry si2 = {{14, 14}, {{{0, 0, 0}}, {{2.40, 0, 0}}}};
    MolecularBatch warm = fixtures::make_molecule(si2, kPm6);
    ScfWorkspace warm_ws = ScfWorkspace::allocate(warm.n_basis);
    for (int k = 0; k <= 60; ++k) {
        si2.xyz[1][0] = 2.40 + 0.005 * k;
        SCOPED_TRACE(si2.xyz[1][0]);
        set_coordinates(warm, si2.xyz);
        const ScfResult w = run_surface_scf(warm, kPm6, warm_ws, {});
        const MolecularBatch cold = fixtures::make_molecule(si2, kPm6);
        ScfWorkspace cold_ws = ScfWorkspace::allocate(cold.n_basis);
        const ScfResult c = run_surface_scf(cold, kPm6, cold_ws, {});
        EXPECT_TRUE(w.converged);
        EXPECT_LE(w.total_energy, c.total_energy + 1e-6);
    }
}

}  // namespace
}  // namespace quorin
