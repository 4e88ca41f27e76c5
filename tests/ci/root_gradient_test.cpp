#include "core/ci/root_gradient.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
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

// Total energy the CI reports for each root (SCF total energy + root energy),
// SCF with the default options; `scf` and `result` keep the road.
std::vector<double> reported_energies(const MolecularBatch& molecule, const ParameterModel& model, std::size_t n,
                                      ScfWorkspace& scf, MeciResult& result) {
    scf = ScfWorkspace::allocate(molecule.n_basis);
    const ScfResult converged = run_rhf_scf_with_options(molecule, model, scf, ScfOptions{});
    EXPECT_TRUE(converged.converged);
    MeciWorkspace ws = MeciWorkspace::allocate(n, 1);
    result = run_meci(molecule, model, scf.coefficients, scf.orbital_energies, converged.electronic_energy,
                      converged.total_energy, MeciOptions{n, n, 1, true}, ws);
    std::vector<double> energies;
    for (const CiState& state : result.states) energies.push_back(converged.total_energy + state.energy_ev);
    return energies;
}

// Reference: the determinant Hamiltonian of the second-quantised fixture
// with random h and (pq|rs): E = sum h g + 1/2 sum (pq|rs) G is <w|H|w>.
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
        for (double& x : w) x = dist(rng);
        const double norm = std::sqrt(std::inner_product(w.begin(), w.end(), w.begin(), 0.0));
        for (double& x : w) x /= norm;
        const Matrix reference = fixtures::hamiltonian_matrix(states, h, v);
        double expected = 0.0;
        for (std::size_t i = 0; i < w.size(); ++i)
            for (std::size_t j = 0; j < w.size(); ++j) expected += w[i] * reference(i, j) * w[j];
        EXPECT_NEAR(active_space_energy(h, v, compute_active_densities(states, n, w)), expected, 1e-10);
    }
}

// Reference: central differences (1e-3 angstrom) of the total energy the CI
// reports for the root, SCF and CI re-run at each displaced geometry.
TEST(CiRootGradient, EqualsCentralDifferencesOfTheReportedRootEnergy) {
    const double tolerance = 0.1 / kEvToKcalMol;  // 0.1 kcal/(mol angstrom)
    const double step = 1e-3;
    for (const ParameterModel* model : std::vector<const ParameterModel*>{&kAm1, &kPm6}) {
        for (const std::size_t n : {2, 4}) {
            SCOPED_TRACE(testing::Message() << model->name() << ", " << n << " orbitals");
            MolecularBatch molecule = fixtures::make_molecule(distorted_formaldehyde(), *model);
            ScfWorkspace scf;
            MeciResult meci;
            reported_energies(molecule, *model, n, scf, meci);
            const auto lowest = [&](const std::string& label) {
                for (const CiState& s : meci.states) {
                    if (s.root > 1 && s.spin_label == label) return s.root;
                }
                return std::size_t{0};
            };
            const std::vector<std::size_t> roots{1, lowest("TRIPLET"), lowest("SINGLET")};  // S0, T1, S1
            std::vector<std::vector<std::array<double, 3>>> gradients;
            for (const std::size_t root : roots) {
                ASSERT_GT(root, 0u);
                gradients.push_back(compute_ci_root_gradient(molecule, *model, ScfOptions{}, scf.density,
                                                             scf.coefficients, scf.orbital_energies,
                                                             MeciOptions{n, n, 1, true},
                                                             meci.states[root - 1].coefficients));
            }
            for (std::size_t atom = 0; atom < molecule.n_atoms; ++atom) {
                for (std::size_t axis = 0; axis < 3; ++axis) {
                    std::vector<double> energies[2];
                    for (int side = 0; side < 2; ++side) {
                        MolecularBatch displaced = molecule;
                        displaced.axis(axis)[atom] += side == 0 ? step : -step;
                        ScfWorkspace displaced_scf;
                        MeciResult displaced_meci;
                        energies[side] = reported_energies(displaced, *model, n, displaced_scf, displaced_meci);
                    }
                    for (std::size_t i = 0; i < roots.size(); ++i) {
                        const std::size_t r = roots[i] - 1;
                        EXPECT_NEAR(gradients[i][atom][axis], (energies[0][r] - energies[1][r]) / (2.0 * step),
                                    tolerance)
                            << "root " << r + 1 << ", atom " << atom << ", axis " << axis;
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace quorin
