#include "core/ci/transition_dipoles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "ci/determinants.h"
#include "core/ci/meci.h"
#include "core/scf/scf_loop.h"
#include "core/types/constants.h"
#include "common/molecules.h"

namespace quorin {
namespace {

const MndoModel kMndo;

struct CiRun {
    MolecularBatch molecule;
    ScfWorkspace scf;
    MeciResult meci;
    ActiveWindow window;
};

CiRun run_ci(const fixtures::Geometry& g, std::size_t n) {
    CiRun r{fixtures::make_molecule(g, kMndo), {}, {}, {}};
    r.scf = ScfWorkspace::allocate(r.molecule.n_basis);
    ScfOptions options;
    options.energy_tolerance = 1e-10;
    options.density_tolerance = 1e-9;
    const ScfResult scf = run_rhf_scf_with_options(r.molecule, kMndo, r.scf, options);
    EXPECT_TRUE(scf.converged);
    const MeciOptions ci{n, n, 1, true};
    MeciWorkspace ws = MeciWorkspace::allocate(n, 1);
    r.meci = run_meci(r.molecule, kMndo, r.scf.coefficients, r.scf.orbital_energies, scf.electronic_energy,
                      scf.total_energy, ci, ws);
    r.window = choose_active_window(r.molecule, kMndo, ci);
    compute_transition_dipoles_and_oscillator_strengths(r.molecule, kMndo, r.scf.coefficients, r.window.indices, r.meci);
    return r;
}

// Reference: <I| sum_pq,spin o_pq a+_p a_q |J> by determinant algebra.
TEST(TransitionDipoles, OneElectronOperatorEqualsDeterminantAlgebra) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    for (std::size_t n = 2; n <= 4; ++n) {
        for (std::size_t electrons = 1; electrons < 2 * n; ++electrons) {
            const auto states = generate_microstates(n, static_cast<std::int32_t>(electrons),
                                                     static_cast<std::int32_t>(electrons % 2));
            Matrix o = Matrix::zeros(n, n);
            for (std::size_t p = 0; p < n; ++p)
                for (std::size_t q = 0; q <= p; ++q) o(p, q) = o(q, p) = dist(rng);
            std::vector<double> w(states.size()), out(states.size());
            for (double& x : w) x = dist(rng);
            apply_one_electron_operator(states, o, w, out);
            const Matrix ref = fixtures::one_body_matrix(states, o);
            for (std::size_t i = 0; i < states.size(); ++i) {
                double expected = 0.0;
                for (std::size_t j = 0; j < states.size(); ++j) expected += ref(i, j) * w[j];
                ASSERT_NEAR(out[i], expected, 1e-12) << n << " " << electrons << " " << i;
            }
        }
    }
}

// Each transition dipole is <Psi_0| mu |Psi_r> of the determinant algebra with
// the same MO dipole matrices; f = (2/3) dE |t|^2 in atomic units; spin-
// forbidden roots and root 1 carry nothing.
TEST(TransitionDipoles, MatchDeterminantAlgebraAndGiveSpinAllowedStrengths) {
    const CiRun r = run_ci(fixtures::water(), 4);
    const std::array<Matrix, 3> mu = build_mo_dipole_matrices(r.molecule, kMndo, r.scf.coefficients, r.window.indices);
    const std::size_t m = r.meci.microstates.size();
    const auto& w0 = r.meci.states[0].coefficients;
    int bright = 0;
    for (std::size_t s = 0; s < r.meci.states.size(); ++s) {
        const CiState& state = r.meci.states[s];
        double t2 = 0.0;
        for (std::size_t axis = 0; axis < 3; ++axis) {
            const Matrix ref = fixtures::one_body_matrix(r.meci.microstates, mu[axis]);
            double t = 0.0;
            for (std::size_t i = 0; i < m; ++i)
                for (std::size_t j = 0; j < m; ++j) t += w0[i] * ref(i, j) * state.coefficients[j];
            if (s == 0) t = 0.0;
            EXPECT_NEAR(state.transition_dipole_debye[axis], std::fabs(t) * kDebyePerElectronAngstrom, 1e-10);
            EXPECT_NEAR(state.polarization_angstrom2[axis], t * t, 1e-10);
            t2 += t * t;
        }
        const double de_hartree = state.excitation_energy_ev / kHartreeToEv;
        const double t2_au = t2 / (kBohrToAngstrom * kBohrToAngstrom);
        // The Debye and oscillator constants agree with the atomic units to 2e-7.
        const double f = s == 0 ? 0.0 : 2.0 / 3.0 * de_hartree * t2_au;
        EXPECT_NEAR(state.oscillator_strength, f, 1e-6 * f + 1e-15);
        EXPECT_GE(state.oscillator_strength, 0.0);
        if (s == 0 || state.multiplicity != 1) {
            EXPECT_LT(state.oscillator_strength, 1e-10) << s;
        }
        bright += state.oscillator_strength > 1e-3;
    }
    EXPECT_GT(bright, 0);
}

// H2 in 2 in 2: ground root c0 |s s~> + c3 |s* s*~>, the u singlet (|1> - |2>)/sqrt2
// in the microstate basis. By hand, <0|mu|1> = <3|mu|1> = mu_01 and
// <0|mu|2> = <3|mu|2> = -mu_01, so |t| = sqrt2 |mu_01| |c0 + c3|.
TEST(TransitionDipoles, DoubleExcitationAdmixtureAddsToTheHydrogenTransition) {
    const CiRun r = run_ci(fixtures::hydrogen_molecule(1.4), 2);
    const std::array<Matrix, 3> mu = build_mo_dipole_matrices(r.molecule, kMndo, r.scf.coefficients, r.window.indices);
    const auto& w0 = r.meci.states[0].coefficients;
    ASSERT_GT(std::fabs(w0[3]), 0.05);  // a real double-excitation admixture at 1.4 angstrom
    const CiState* bright = nullptr;
    for (const CiState& s : r.meci.states) {
        if (s.oscillator_strength > 1e-3) bright = &s;
    }
    ASSERT_NE(bright, nullptr);
    const double expected = std::sqrt(2.0) * std::fabs(mu[2](0, 1)) * std::fabs(w0[0] + w0[3]);
    EXPECT_NEAR(bright->transition_dipole_debye[2] / kDebyePerElectronAngstrom, expected, 1e-10);
    EXPECT_NEAR(bright->transition_dipole_debye[0], 0.0, 1e-10);
}

}  // namespace
}  // namespace quorin
