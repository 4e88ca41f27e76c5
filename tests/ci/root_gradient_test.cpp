#include "core/ci/root_gradient.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bench/ci_gradient_cases.h"
#include "ci/determinants.h"
#include "core/ci/active_densities.h"
#include "core/ci/ci_matrix.h"
#include "core/ci/meci.h"
#include "core/types/errors.h"

namespace quorin {
namespace {

const Am1Model kAm1;
const MndoModel kMndo;
const Pm6Model kPm6;

// Reference: the determinant Hamiltonian of the second-quantised fixture
// with random h and (pq|rs): the CI energy of a vector relative to microstate
// 0 is <w|H|w> - H_00, and its Fock matrix is h plus the reference mean field.
TEST(ActiveDensities, CiEnergyIsLinearInTheFockMatrixAndIntegralsWithTheirWeights) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    for (const auto& [n, electrons] : {std::pair{4, 4}, std::pair{4, 3}, std::pair{3, 2}, std::pair{5, 6}}) {
        SCOPED_TRACE(testing::Message() << n << " orbitals, " << electrons << " electrons");
        const std::vector<Microstate> states = generate_microstates(n, electrons, electrons % 2);
        const ActiveIntegrals v = fixtures::random_integrals(n, rng);
        std::vector<double> occupations(n, 0.0);
        for (int k = 0; k < (electrons + 1) / 2; ++k) occupations[k] = 1.0;
        Matrix h = Matrix::zeros(n, n), fock = Matrix::zeros(n, n);
        for (int p = 0; p < n; ++p)
            for (int q = 0; q <= p; ++q) h(p, q) = h(q, p) = dist(rng);
        for (int p = 0; p < n; ++p)
            for (int q = 0; q < n; ++q) fock(p, q) = h(p, q) + reference_mean_field(v, occupations, p, q);
        std::vector<double> w(states.size()), first(states.size(), 0.0);
        for (double& x : w) x = dist(rng);
        const double norm = std::sqrt(std::inner_product(w.begin(), w.end(), w.begin(), 0.0));
        for (double& x : w) x /= norm;
        first[0] = 1.0;
        const Matrix reference = fixtures::hamiltonian_matrix(states, h, v);
        double expected = -reference(0, 0);
        for (std::size_t i = 0; i < w.size(); ++i)
            for (std::size_t j = 0; j < w.size(); ++j) expected += w[i] * reference(i, j) * w[j];
        const ActiveDensities d =
            difference(compute_active_densities(states, n, w), compute_active_densities(states, n, first));
        const std::vector<double> weights = integral_weights(d, occupations);
        double energy = std::inner_product(weights.begin(), weights.end(), v.values.begin(), 0.0);
        for (int p = 0; p < n; ++p)
            for (int q = 0; q < n; ++q) energy += fock(p, q) * d.one(p, q);
        EXPECT_NEAR(energy, expected, 1e-10);
    }
}

// Reference: central differences (2e-5 angstrom) of the total energy the CI
// reports for each root, SCF converged to 1e-11, at every coordinate where
// they agree with those at 1e-4 angstrom to 0.01 eV/angstrom. The group holds
// roots close in energy and MOs 0.013 eV apart at the window's edge, where
// differences at 1e-3 angstrom were off by up to 0.6 eV/angstrom:
// nitrosomethane (AM1, 4 orbitals, root 1, atom 5 y) and pyridine (MNDO, 2
// orbitals, root 4, atom 5 x). Then d orbitals (PM6, sulfur) and the
// point-charge integrals. Pyridine's AM1 window of 4 orbitals, whose edge
// splits MOs 3e-5 eV apart, is refused.
TEST(CiRootGradient, IsTheDerivativeOfTheReportedRootEnergyWhereverItIsSmooth) {
    constexpr double kTolerance = 0.01;  // eV/angstrom
    struct Case {
        bench::CiCase molecule;
        const ParameterModel* model;
        std::size_t n;
        bool use_nddo;
    };
    std::vector<Case> cases;
    for (const bench::CiCase& c : bench::ci_gradient_molecules()) {
        for (const ParameterModel* model : std::vector<const ParameterModel*>{&kAm1, &kMndo}) {
            for (const std::size_t n : {2, 4}) cases.push_back({c, model, n, true});
        }
    }
    const bench::CiCase thioformaldehyde{
        "thioformaldehyde", {6, 16, 1, 1}, {{{0.01, 0.02, 0}}, {{0.03, -0.01, 1.62}}, {{0.95, 0.05, -0.58}},
                                            {{-0.93, -0.04, -0.61}}}};
    cases.push_back({thioformaldehyde, &kPm6, 4, true});
    cases.push_back({bench::ci_gradient_molecules()[3], &kAm1, 4, false});
    std::vector<std::string> refused;
    for (const Case& c : cases) {
        const std::string name = c.molecule.name + ", " + std::string(c.model->name()) + ", " + std::to_string(c.n) +
                                 " orbitals" + (c.use_nddo ? "" : ", point charges");
        SCOPED_TRACE(name);
        std::vector<bench::RootGradientAudit> audits;
        try {
            audits = bench::audit_root_gradients(c.molecule, *c.model, c.n, c.use_nddo, 4, kTolerance);
        } catch (const RequestError&) {
            refused.push_back(name);
            continue;
        }
        ASSERT_EQ(audits.size(), 4u);
        for (const bench::RootGradientAudit& a : audits) {
            EXPECT_GT(a.compared, 0u) << "root " << a.root;
            EXPECT_EQ(a.above, 0u) << "root " << a.root << ", worst " << a.worst_at;
        }
    }
    EXPECT_EQ(refused, std::vector<std::string>{"pyridine, AM1, 4 orbitals"});
}

}  // namespace
}  // namespace quorin
