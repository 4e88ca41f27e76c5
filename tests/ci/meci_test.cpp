#include "core/ci/meci.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

#include "bench/ci_gradient_cases.h"
#include "core/ci/active_integrals.h"
#include "core/ci/transition_dipoles.h"
#include "core/fock/fock_builder.h"
#include "core/hamiltonian/hcore.h"
#include "core/integrals/pair_integrals.h"
#include "core/scf/density.h"
#include "core/scf/eigensolver.h"
#include "core/scf/scf_loop.h"
#include "core/types/constants.h"
#include "common/engine_stop.h"
#include "common/molecules.h"

namespace quorin {
namespace {

const MndoModel kMndo;
const Am1Model kAm1;
const Pm6Model kPm6;

struct Scf {
    MolecularBatch molecule;
    ScfWorkspace workspace;
    ScfResult result;
};

Scf converged_scf(const fixtures::Geometry& g, const ParameterModel& model, bool nddo = true,
                  double energy_tolerance = 1e-10, double density_tolerance = 1e-9) {
    Scf s{fixtures::make_molecule(g, model), {}, {}};
    s.workspace = ScfWorkspace::allocate(s.molecule.n_basis);
    ScfOptions options;
    options.use_nddo = nddo;
    options.energy_tolerance = energy_tolerance;
    options.density_tolerance = density_tolerance;
    options.max_iterations = 200;
    s.result = run_rhf_scf_with_options(s.molecule, model, s.workspace, options);
    EXPECT_TRUE(s.result.converged);
    return s;
}

MeciResult meci(const Scf& s, const ParameterModel& model, std::size_t orbitals, std::size_t electrons,
                std::size_t target = 1, bool nddo = true) {
    MeciOptions options{orbitals, electrons, target, nddo};
    MeciWorkspace ws = MeciWorkspace::allocate(orbitals, 1);
    return run_meci(s.molecule, model, s.workspace.coefficients, s.workspace.orbital_energies,
                    s.result.electronic_energy, s.result.total_energy, options, ws);
}

TEST(ActiveIntegrals, EightFoldSymmetricAndPointChargeClosedFormForHydrogen) {
    const Scf s = converged_scf(fixtures::formaldehyde(), kMndo);
    const std::vector<std::size_t> active{3, 4, 5, 6, 7};
    const auto pairs = precompute_diatomic_pairs(s.molecule, kMndo);
    ActiveIntegrals v = ActiveIntegrals::zeros(active.size());
    compute_active_mo_two_electron_integrals(s.molecule, kMndo, s.workspace.coefficients, active,
                                             std::span<const DiatomicPairIntegrals>(pairs), v);
    for (std::size_t i = 0; i < v.n; ++i)
        for (std::size_t j = 0; j < v.n; ++j)
            for (std::size_t k = 0; k < v.n; ++k)
                for (std::size_t l = 0; l < v.n; ++l) {
                    const double x = v(i, j, k, l);
                    ASSERT_EQ(x, v(j, i, k, l));
                    ASSERT_EQ(x, v(i, j, l, k));
                    ASSERT_EQ(x, v(k, l, i, j));
                }
    EXPECT_GT(v(0, 0, 0, 0), 0.0);

    // H2 bonding orbital (1/sqrt2, 1/sqrt2), no pair blocks: (00|00) =
    // g_ss / 2 + e2 / (2 sqrt(R^2 + (e2 / g_ss)^2)) by hand.
    const double r = 0.74;
    const MolecularBatch h2 = fixtures::make_molecule(fixtures::hydrogen_molecule(r), kMndo);
    Matrix c = Matrix::zeros(2, 2);
    c(0, 0) = c(1, 0) = std::sqrt(0.5);
    ActiveIntegrals one = ActiveIntegrals::zeros(1);
    compute_active_mo_two_electron_integrals(h2, kMndo, c, std::vector<std::size_t>{0}, std::nullopt, one);
    const double g = kMndo.get_element(1)->g_ss;
    const double e2 = kCoulombEvAngstrom;
    EXPECT_NEAR(one(0, 0, 0, 0), 0.5 * g + 0.5 * e2 / std::sqrt(r * r + (e2 / g) * (e2 / g)), 1e-12);
}

// With every occupied MO in the window, removing the window's mean field from
// the orbital energies leaves C^T H C, and the closed-shell determinant's
// diagonal energy is the electronic energy 0.5 sum P (H + F): both computed
// here from the Fock builder, independently of the active integrals.
TEST(ActiveIntegrals, FullOccupiedWindowReproducesTheFockBuild) {
    for (const ParameterModel* model : std::vector<const ParameterModel*>{&kMndo, &kAm1}) {
        const Scf s = converged_scf(fixtures::formaldehyde(), *model);
        const MolecularBatch& mol = s.molecule;
        const std::size_t nb = mol.n_basis, n_occ = 6;
        const Matrix& c = s.workspace.coefficients;
        const auto pairs = precompute_diatomic_pairs(mol, *model);
        Matrix h = Matrix::zeros(nb, nb), f = Matrix::zeros(nb, nb), p = Matrix::zeros(nb, nb);
        build_hcore_nddo(mol, *model, pairs, h);
        compute_density_matrix(c, n_occ, p);
        build_fock_nddo(mol, *model, pairs, h, p, f);
        std::vector<double> eps(nb), h_mo(nb);
        for (std::size_t k = 0; k < nb; ++k) {
            double fe = 0.0, he = 0.0;
            for (std::size_t mu = 0; mu < nb; ++mu)
                for (std::size_t nu = 0; nu < nb; ++nu) {
                    fe += c(mu, k) * f(mu, nu) * c(nu, k);
                    he += c(mu, k) * h(mu, nu) * c(nu, k);
                }
            eps[k] = fe;
            h_mo[k] = he;
        }
        MeciOptions options{n_occ, 2 * n_occ, 1, true};
        MeciWorkspace ws = MeciWorkspace::allocate(n_occ, 1);
        const MeciResult result = run_meci(mol, *model, c, eps, 0.0, 0.0, options, ws);
        for (std::size_t k = 0; k < n_occ; ++k) EXPECT_NEAR(ws.orbital_energies[k], h_mo[k], 1e-8);
        double electronic = 0.0;
        for (std::size_t i = 0; i < nb * nb; ++i) electronic += 0.5 * p.data()[i] * (h.data()[i] + f.data()[i]);
        ASSERT_EQ(result.microstates.size(), 1u);
        EXPECT_NEAR(result.microstates[0].diagonal_energy, electronic, 1e-8);
    }
}

// Weyl dimension formula at Ms = 0 (even N) or 1/2 (odd N): 2 in 2 -> 3
// singlets + 1 triplet; 3 in 3 -> 8 doublets + 1 quartet; 4 in 4 -> 20
// singlets, 15 triplets, 1 quintet. Every root is a pure spin state.
TEST(RunMeci, RootsArePureSpinStatesInWeylNumbers) {
    const Scf s = converged_scf(fixtures::water(), kMndo);
    const std::map<std::size_t, std::map<std::string, int>> expected{
        {2, {{"SINGLET", 3}, {"TRIPLET", 1}}},
        {3, {{"DOUBLET", 8}, {"QUARTET", 1}}},
        {4, {{"SINGLET", 20}, {"TRIPLET", 15}, {"QUINTET", 1}}},
    };
    for (const auto& [n, counts] : expected) {
        const MeciResult result = meci(s, kMndo, n, n);
        std::map<std::string, int> labels;
        for (const CiState& state : result.states) {
            ++labels[state.spin_label];
            EXPECT_NEAR(state.s_squared, state.spin * (state.spin + 1.0), 1e-8);
            const double two_s = 2.0 * state.spin;
            EXPECT_NEAR(two_s, std::round(two_s), 1e-8);
            EXPECT_EQ(state.multiplicity, static_cast<std::size_t>(std::lround(two_s + 1.0)));
        }
        EXPECT_EQ(labels, counts) << n << " in " << n;
    }
}

TEST(RunMeci, GroundRootEnergiesDensityAndTargetRange) {
    const Scf s = converged_scf(fixtures::water(), kMndo);
    const double valence = 8.0;
    const MeciResult two = meci(s, kMndo, 2, 2);
    // Variational: the lowest root lies at or below the SCF determinant.
    EXPECT_LE(two.ci_energy_correction_ev, 1e-10);
    EXPECT_EQ(two.states[0].excitation_energy_ev, 0.0);
    EXPECT_EQ(two.states[0].wavelength_nm, 0.0);
    for (const CiState& state : two.states) {
        if (state.excitation_energy_ev > 1e-4) {
            EXPECT_NEAR(state.wavelength_nm * state.excitation_energy_ev, kEvNanometre, 1e-9);
            EXPECT_NEAR(state.excitation_energy_cm1, state.excitation_energy_ev * kWavenumberPerEv, 1e-9);
        }
    }
    EXPECT_NEAR(two.total_energy_ev - two.electronic_energy_ev, s.result.core_energy, 1e-9);
    double trace = 0.0;
    for (std::size_t k = 0; k < s.molecule.n_basis; ++k) trace += two.state_density(k, k);
    EXPECT_NEAR(trace, valence, 1e-10);
    for (std::size_t i = 0; i < s.molecule.n_basis; ++i)
        for (std::size_t j = 0; j < i; ++j) ASSERT_EQ(two.state_density(i, j), two.state_density(j, i));
    const MeciResult excited = meci(s, kMndo, 2, 2, 2);
    double excited_trace = 0.0;
    for (std::size_t k = 0; k < s.molecule.n_basis; ++k) excited_trace += excited.state_density(k, k);
    EXPECT_NEAR(excited_trace, valence, 1e-10);

    // One orbital, two electrons: one determinant, the tie-break 1e-10 and the SCF density.
    const MeciResult one = meci(s, kMndo, 1, 2);
    ASSERT_EQ(one.states.size(), 1u);
    EXPECT_NEAR(one.ci_energy_correction_ev, 1e-10, 1e-15);
    for (std::size_t i = 0; i < s.molecule.n_basis; ++i)
        for (std::size_t j = 0; j < s.molecule.n_basis; ++j)
            EXPECT_NEAR(one.state_density(i, j), s.workspace.density(i, j), 1e-6);

    EXPECT_EQ(meci(s, kMndo, 2, 2, 4).ci_energy_correction_ev, two.states[3].energy_ev);
    for (const std::size_t target : {0, 5}) {
        try {
            meci(s, kMndo, 2, 2, target);
            ADD_FAILURE() << "target root " << target << " accepted";
        } catch (const RequestError& e) {
            EXPECT_EQ(std::string(e.what()), "target_root must be between 1 and 4 (got " + std::to_string(target) + ")");
        }
    }
}

// Planar fused benzene rings along x (1 benzene, 2 naphthalene): regular
// hexagons of side 1.40 angstrom, C-H 1.09 angstrom along the ring radius.
fixtures::Geometry fused_rings(int rings) {
    const double side = 1.40, ch = 1.09, half_width = side * std::sqrt(3.0) / 2.0;
    fixtures::Geometry g;
    for (int ring = 0; ring < rings; ++ring) {
        for (int k = 0; k < 6; ++k) {
            const double angle = M_PI / 6.0 + k * M_PI / 3.0;
            const double x = (2 * ring - (rings - 1)) * half_width + side * std::cos(angle), y = side * std::sin(angle);
            const bool fused = rings == 2 && std::fabs(x) < 1e-9;
            if (fused && ring > 0) continue;
            g.z.push_back(6);
            g.xyz.push_back({x, y, 0.0});
            if (fused) continue;
            g.z.push_back(1);
            g.xyz.push_back({x + ch * std::cos(angle), y + ch * std::sin(angle), 0.0});
        }
    }
    return g;
}

// An even electron count allows only integer S: <S^2> = S(S + 1). The
// summed oscillator strength of a set of degenerate roots does not depend on
// the basis chosen within the set: the reference is the eigensolver's own
// vectors of the same CI matrix, through the same transition dipoles.
TEST(RunMeci, DegenerateRootsArePureSpinStatesWithTheirSummedStrength) {
    for (const ParameterModel* model : std::vector<const ParameterModel*>{&kAm1, &kPm6}) {
        for (const int rings : {1, 2}) {
            const Scf s = converged_scf(fused_rings(rings), *model);
            // Benzene's window of 6 orbitals splits a degenerate level and is refused.
            for (const std::size_t n : rings == 1 ? std::vector<std::size_t>{4} : std::vector<std::size_t>{4, 6}) {
                SCOPED_TRACE(testing::Message() << model->name() << ", " << rings << " rings, " << n << " orbitals");
                const MeciOptions options{n, n, 1, true};
                MeciWorkspace ws = MeciWorkspace::allocate(n, 1);
                MeciResult pure = run_meci(s.molecule, *model, s.workspace.coefficients, s.workspace.orbital_energies,
                                           0.0, 0.0, options, ws);
                const std::size_t m = pure.states.size();
                MeciResult raw = pure;
                Vec64 values = Vec64::zeros(m);
                Matrix vectors = Matrix::zeros(m, m);
                diagonalize_symmetric(ws.ci_matrix, values, vectors);
                for (std::size_t r = 0; r < m; ++r) {
                    for (std::size_t i = 0; i < m; ++i) raw.states[r].coefficients[i] = vectors(i, r);
                    raw.states[r].excitation_energy_ev = values[r] - values[0];
                }
                const ActiveWindow window = choose_active_window(s.molecule, *model, options);
                compute_transition_dipoles_and_oscillator_strengths(s.molecule, *model, s.workspace.coefficients,
                                                                    window.indices, pure);
                compute_transition_dipoles_and_oscillator_strengths(s.molecule, *model, s.workspace.coefficients,
                                                                    window.indices, raw);
                int mixed_sets = 0;
                for (std::size_t first = 0; first < m;) {
                    std::size_t end = first + 1;
                    while (end < m && values[end] - values[end - 1] <= 1e-6) ++end;
                    double f_pure = 0.0, f_raw = 0.0;
                    for (std::size_t r = first; r < end; ++r) {
                        f_pure += pure.states[r].oscillator_strength;
                        f_raw += raw.states[r].oscillator_strength;
                        // S = 0 .. 3: S(S + 1) = 0, 2, 6, 12.
                        const double s2 = pure.states[r].s_squared;
                        const double spin = std::round((std::sqrt(4.0 * s2 + 1.0) - 1.0) / 2.0);
                        EXPECT_NEAR(s2, spin * (spin + 1.0), 1e-6) << "root " << r + 1;
                        EXPECT_EQ(pure.states[r].multiplicity, static_cast<std::size_t>(2.0 * spin + 1.0));
                    }
                    EXPECT_NEAR(f_pure, f_raw, 1e-9 + 1e-6 * f_raw) << "roots " << first + 1 << " to " << end;
                    mixed_sets += end - first > 1;
                    first = end;
                }
                if (rings == 1 && n == 4) {
                    EXPECT_GT(mixed_sets, 0);  // the window holds both degenerate pairs
                }
            }
        }
    }
}

// Formaldehyde with a level shift of 4 eV (from iteration 3), which raises
// the virtual levels while it acts. Reference: the CI on the levels of the
// converged Fock matrix, C_k^T F(P) C_k, rebuilt from the density.
TEST(RunMeci, ExcitationEnergiesUseTheConvergedLevelsAfterALevelShift) {
    Scf s{fixtures::make_molecule(fixtures::formaldehyde(), kAm1), {}, {}};
    s.workspace = ScfWorkspace::allocate(s.molecule.n_basis);
    ScfOptions shifted;
    shifted.level_shift = 4.0;
    s.result = run_rhf_scf_with_options(s.molecule, kAm1, s.workspace, shifted);
    ASSERT_TRUE(s.result.converged);
    ASSERT_GE(s.result.iterations, 3u);
    const std::size_t nb = s.molecule.n_basis;
    Matrix f = Matrix::zeros(nb, nb);
    build_fock_with_options(s.molecule, kAm1, OneCenterTables::build(s.molecule, kAm1), s.workspace.pairs, true,
                            s.workspace.hcore, s.workspace.density, f);
    std::vector<double> levels(nb, 0.0);
    for (std::size_t k = 0; k < nb; ++k)
        for (std::size_t mu = 0; mu < nb; ++mu)
            for (std::size_t nu = 0; nu < nb; ++nu)
                levels[k] += s.workspace.coefficients(mu, k) * f(mu, nu) * s.workspace.coefficients(nu, k);
    MeciWorkspace ws = MeciWorkspace::allocate(2, 1);
    const MeciResult reported = meci(s, kAm1, 2, 2);
    const MeciResult expected = run_meci(s.molecule, kAm1, s.workspace.coefficients, levels, 0.0, 0.0,
                                         MeciOptions{2, 2, 1, true}, ws);
    for (std::size_t r = 0; r < 4; ++r) {
        EXPECT_NEAR(reported.states[r].excitation_energy_ev, expected.states[r].excitation_energy_ev, 1e-4);
    }
}

TEST(RunMeci, RefusesWindowsItCannotHold) {
    const Scf s = converged_scf(fixtures::formaldehyde(), kMndo);  // 6 occupied of 10 MOs
    EXPECT_EQ(fixtures::stop_message([&] { meci(s, kMndo, 2, 5); }),
              "Active electrons (5) exceed the capacity of 2 active orbitals");
    EXPECT_EQ(fixtures::stop_message([&] { meci(s, kMndo, 8, 14); }),
              "Not enough occupied MOs (6) for active electrons (14)");
    EXPECT_EQ(fixtures::stop_message([&] { meci(s, kMndo, 6, 2); }), "Active space exceeds total molecular orbitals");
    EXPECT_EQ(fixtures::stop_message([&] { meci(s, kMndo, 9, 9); }),
              "Active space of 9 orbitals and 9 electrons exceeds the limit of 5000 microstates");
    // Benzene's HOMO is a degenerate pair, of which a window of 2 orbitals would take one.
    const Scf benzene = converged_scf(fused_rings(1), kAm1);
    try {
        meci(benzene, kAm1, 2, 2);
        ADD_FAILURE() << "split degenerate level accepted";
    } catch (const RequestError& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.rfind("The active window's edge falls between HOMO (inside) and HOMO-1 (outside), ", 0), 0u);
        EXPECT_NE(message.find("(4 keeps both edges of the window clear)"), std::string::npos) << message;
    }
}

// Reference: the same SCF run from the atomic guess to 1e-12 eV and 1e-11.
// Pyridine's MOs 12 and 13 lie 3e-5 eV apart under AM1, so an SCF stopped
// at a density change of 1e-6 leaves them mixed.
TEST(ConvergeScfForCi, ContinuesToTheCiTolerancesOrLeavesTheScfAsItWas) {
    const bench::CiCase pyridine = bench::ci_gradient_molecules()[2];
    const fixtures::Geometry g{pyridine.atomic_numbers, pyridine.coordinates};
    const Scf tight = converged_scf(g, kAm1, true, 1e-12, 1e-11);
    Scf road = converged_scf(g, kAm1, true, 1e-7, 1e-6);
    const ScfResult continued =
        converge_scf_for_ci(road.molecule, kAm1, road.workspace, bench::ci_road_scf_options(), road.result);
    ASSERT_TRUE(continued.converged);
    EXPECT_NEAR(continued.total_energy, tight.result.total_energy, 1e-8);
    for (const std::size_t k : {11, 12}) {
        EXPECT_NEAR(road.workspace.orbital_energies[k], tight.workspace.orbital_energies[k], 1e-8);
        double overlap = 0.0;
        for (std::size_t mu = 0; mu < road.molecule.n_basis; ++mu) {
            overlap += road.workspace.coefficients(mu, k) * tight.workspace.coefficients(mu, k);
        }
        EXPECT_NEAR(std::fabs(overlap), 1.0, 1e-8) << "MO " << k;
    }

    Scf kept = converged_scf(g, kAm1, true, 1e-7, 1e-6);
    const Matrix coefficients = kept.workspace.coefficients;
    ScfOptions one_iteration = bench::ci_road_scf_options();
    one_iteration.max_iterations = 1;
    const ScfResult unchanged = converge_scf_for_ci(kept.molecule, kAm1, kept.workspace, one_iteration, kept.result);
    EXPECT_EQ(unchanged.total_energy, kept.result.total_energy);
    EXPECT_EQ(unchanged.iterations, kept.result.iterations);
    for (std::size_t k = 0; k < coefficients.data().size(); ++k) {
        ASSERT_EQ(kept.workspace.coefficients.data()[k], coefficients.data()[k]);
    }
}

}  // namespace
}  // namespace quorin
