#include "core/ci/root_gradient.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "ci/determinants.h"
#include "common/molecules.h"
#include "core/ci/active_densities.h"
#include "core/ci/meci.h"
#include "core/types/constants.h"

namespace quorin {
namespace {

const Am1Model kAm1;
const Pm6Model kPm6;

// Formaldehyde bent and twisted out of its symmetry, so that no gradient
// component vanishes by symmetry.
fixtures::Geometry distorted_formaldehyde() {
    return {{6, 8, 1, 1}, {{{0.01, 0.02, 0}}, {{0.03, -0.01, 1.22}}, {{0.95, 0.05, -0.58}}, {{-0.93, -0.04, -0.61}}}};
}

struct Road {
    MolecularBatch molecule;
    ScfWorkspace scf;
    ScfResult scf_result;
    MeciResult meci;
};

// The reported road: SCF with the default options, then the CI.
Road run_road(MolecularBatch molecule, const ParameterModel& model, std::size_t n) {
    Road road{std::move(molecule), {}, {}, {}};
    road.scf = ScfWorkspace::allocate(road.molecule.n_basis);
    road.scf_result = run_rhf_scf_with_options(road.molecule, model, road.scf, ScfOptions{});
    EXPECT_TRUE(road.scf_result.converged);
    MeciWorkspace ws = MeciWorkspace::allocate(n, 1);
    road.meci = run_meci(road.molecule, model, road.scf.coefficients, road.scf.orbital_energies,
                         road.scf_result.electronic_energy, road.scf_result.total_energy, MeciOptions{n, n, 1, true},
                         ws);
    return road;
}

// Reference: the determinant Hamiltonian of the second-quantised fixture
// with random h and (pq|rs), and the CI's own roots: E = sum h g + 1/2 sum
// (pq|rs) G for any vector, and for each root of run_meci its energy
// relative to microstate 0 (up to the ~1e-9 eV diagonal tie-break).
TEST(ActiveDensities, EnergyOfAVectorEqualsItsHamiltonianExpectation) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    for (const auto& [n, electrons] : {std::pair{4, 4}, std::pair{4, 3}, std::pair{3, 2}, std::pair{5, 6}}) {
        SCOPED_TRACE(testing::Message() << n << " orbitals, " << electrons << " electrons");
        const std::vector<Microstate> states = generate_microstates(n, electrons, electrons % 2);
        const ActiveIntegrals v = fixtures::random_integrals(n, rng);
        Matrix h = Matrix::zeros(n, n);
        for (int p = 0; p < n; ++p)
            for (int q = 0; q <= p; ++q) h(p, q) = h(q, p) = dist(rng);
        std::vector<double> w(states.size());
        double norm = 0.0;
        for (double& x : w) {
            x = dist(rng);
            norm += x * x;
        }
        for (double& x : w) x /= std::sqrt(norm);
        const Matrix reference = fixtures::hamiltonian_matrix(states, h, v);
        double expected = 0.0;
        for (std::size_t i = 0; i < w.size(); ++i)
            for (std::size_t j = 0; j < w.size(); ++j) expected += w[i] * reference(i, j) * w[j];
        EXPECT_NEAR(active_space_energy(h, v, compute_active_densities(states, n, w)), expected, 1e-10);
    }

    const Road road = run_road(fixtures::make_molecule(distorted_formaldehyde(), kPm6), kPm6, 4);
    const ActiveWindow window = choose_active_window(road.molecule, kPm6, MeciOptions{4, 4, 1, true});
    MeciWorkspace ws = MeciWorkspace::allocate(4, 1);
    run_meci(road.molecule, kPm6, road.scf.coefficients, road.scf.orbital_energies, 0.0, 0.0,
             MeciOptions{4, 4, 1, true}, ws);
    Matrix fock = Matrix::zeros(4, 4);
    for (std::size_t a = 0; a < 4; ++a) fock(a, a) = road.scf.orbital_energies[window.indices[a]];
    const Matrix h = window_core_operator(fock, ws.reference_occupations, ws.integrals);
    const std::vector<Microstate> states = generate_microstates(4, 4, 0);
    std::vector<double> first(states.size(), 0.0);
    first[0] = 1.0;
    const ActiveDensities reference = compute_active_densities(states, 4, first);
    for (const CiState& root : road.meci.states) {
        const ActiveDensities d = difference(compute_active_densities(states, 4, root.coefficients), reference);
        EXPECT_NEAR(active_space_energy(h, ws.integrals, d), root.energy_ev, 1e-8) << "root " << root.root;
    }
}

// Reference: central differences (1e-3 angstrom) of the total energy the CI
// reports for the root (SCF total energy + root energy), SCF and CI re-run at
// each displaced geometry with the default SCF options.
TEST(CiRootGradient, EqualsCentralDifferencesOfTheReportedRootEnergy) {
    const double tolerance = 0.1 / kEvToKcalMol;  // 0.1 kcal/(mol angstrom)
    const double step = 1e-3;
    for (const ParameterModel* model : std::vector<const ParameterModel*>{&kAm1, &kPm6}) {
        for (const std::size_t n : {2, 4}) {
            const MolecularBatch start = fixtures::make_molecule(distorted_formaldehyde(), *model);
            Road road = run_road(start, *model, n);
            std::vector<std::size_t> roots{1};  // S0, T1, S1
            for (const std::string label : {"TRIPLET", "SINGLET"}) {
                for (const CiState& s : road.meci.states) {
                    if (s.root > 1 && s.spin_label == label) {
                        roots.push_back(s.root);
                        break;
                    }
                }
            }
            ASSERT_EQ(roots.size(), 3u);
            // Central differences of every root's reported total energy.
            std::vector<std::array<std::vector<double>, 3>> reference(start.n_atoms);
            for (std::size_t atom = 0; atom < start.n_atoms; ++atom) {
                for (std::size_t axis = 0; axis < 3; ++axis) {
                    std::vector<double> energy[2];
                    for (int side = 0; side < 2; ++side) {
                        MolecularBatch displaced = start;
                        displaced.axis(axis)[atom] += side == 0 ? step : -step;
                        const Road shifted = run_road(displaced, *model, n);
                        for (const CiState& s : shifted.meci.states) {
                            energy[side].push_back(shifted.scf_result.total_energy + s.energy_ev);
                        }
                    }
                    for (std::size_t r = 0; r < energy[0].size(); ++r) {
                        reference[atom][axis].push_back((energy[0][r] - energy[1][r]) / (2.0 * step));
                    }
                }
            }
            for (const std::size_t root : roots) {
                SCOPED_TRACE(testing::Message() << model->name() << ", " << n << " orbitals, root " << root);
                const auto gradient =
                    compute_ci_root_gradient(road.molecule, *model, ScfOptions{}, road.scf.density,
                                             road.scf.coefficients, road.scf.orbital_energies,
                                             MeciOptions{n, n, 1, true},
                                             road.meci.states[root - 1].coefficients);
                for (std::size_t atom = 0; atom < start.n_atoms; ++atom) {
                    for (std::size_t axis = 0; axis < 3; ++axis) {
                        EXPECT_NEAR(gradient[atom][axis], reference[atom][axis][root - 1], tolerance)
                            << "atom " << atom << " axis " << axis;
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace quorin
