#include "core/properties/esp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <string>
#include <variant>
#include <vector>

#include "common/geometry.h"
#include "common/scf.h"
#include "core/integrals/multipole_params.h"
#include "core/ri/cholesky.h"
#include "core/scf/scf_loop.h"
#include "core/scf/workspace.h"

namespace quorin {
namespace {

using fixtures::Geometry;
using fixtures::make_molecule;

const Am1Model kAm1;
const EspOptions kShells{{1.4, 1.6, 1.8, 2.0}, 64, 0.0};

EspResult fitted(const MolecularBatch& mol, const Matrix& density, const EspOptions& options) {
    auto outcome = compute_esp_charges(mol, kAm1, density, options);
    if (auto* message = std::get_if<std::string>(&outcome)) ADD_FAILURE() << *message;
    return std::get<EspResult>(outcome);
}

std::string failure(const MolecularBatch& mol, const Matrix& density, const EspOptions& options) {
    auto outcome = compute_esp_charges(mol, kAm1, density, options);
    return std::holds_alternative<std::string>(outcome) ? std::get<std::string>(outcome) : "";
}

Matrix converged_density(const MolecularBatch& mol) {
    fixtures::ScfRun run = fixtures::run_scf(mol, kAm1, 200, 1e-10, 1e-9);
    EXPECT_TRUE(run.result.converged);
    return std::move(run.workspace.density);
}

const Geometry kWater{{8, 1, 1}, {{{0.01, 0.40, 0.01}, {-0.77, -0.19, 0.02}, {0.76, -0.21, -0.03}}}};

TEST(EspCharges, OneAtomCarriesTheWholeChargeAndItsDipoleIsQR) {
    // One point charge at R: the fit can only put the constrained total on it,
    // and its dipole about the origin is 4.80320425 q R Debye (definition).
    const Geometry atom{{8}, {{{0.3, -1.2, 2.5}}}};
    const MolecularBatch mol = make_molecule(atom, kAm1);
    Matrix density = Matrix::zeros(4, 4);
    density(0, 0) = 2.0;
    for (int k = 1; k < 4; ++k) density(k, k) = 4.0 / 3.0;
    for (const double q : {0.0, 1.0, -2.5}) {
        const EspResult r = fitted(mol, density, {{1.4, 1.6, 1.8, 2.0}, 64, q});
        EXPECT_EQ(r.num_grid_points, 256u);  // nothing else to reject points
        EXPECT_NEAR(r.charges[0], q, 1e-12);
        EXPECT_NEAR(r.dipole[0], 4.80320425 * q * 0.3, 1e-10);
        EXPECT_NEAR(r.dipole[2], 4.80320425 * q * 2.5, 1e-10);
        EXPECT_NEAR(r.dipole_magnitude, 4.80320425 * std::abs(q) * std::sqrt(0.09 + 1.44 + 6.25), 1e-10);
    }
}

TEST(EspCharges, PointChargePotentialIsReproducedExactly) {
    // Hydrogen-only molecules have no sp dipoles: the reference potential is
    // that of the net atomic charges, which the fit must give back exactly.
    const Geometry h4{{1, 1, 1, 1}, {{{0, 0, 0}, {0.75, 0.05, 0}, {1.6, -0.1, 0.2}, {2.4, 0.1, 0.1}}}};
    const MolecularBatch mol = make_molecule(h4, kAm1);
    Matrix density = Matrix::zeros(4, 4);
    const double populations[4] = {0.9, 1.15, 1.05, 0.7};
    for (int a = 0; a < 4; ++a) density(a, a) = populations[a];
    const double total = 4.0 - (0.9 + 1.15 + 1.05 + 0.7);
    const EspResult r = fitted(mol, density, {{1.4, 1.6, 1.8, 2.0}, 64, total});
    for (int a = 0; a < 4; ++a) EXPECT_NEAR(r.charges[a], 1.0 - populations[a], 1e-8);
    EXPECT_LT(r.rms_error, 1e-6);
}

TEST(EspCharges, ChargesSumToTheConstraintAndIgnoreTranslation) {
    const MolecularBatch mol = make_molecule(kWater, kAm1);
    const Matrix density = converged_density(mol);
    const MolecularBatch shifted = make_molecule(fixtures::moved(kWater, fixtures::rotation_matrix({0, 0, 1}, 0.0),
                                                                 {3.0, -7.0, 11.0}),
                                                 kAm1);
    for (const double q : {0.0, 1.0, -2.5}) {
        const EspOptions options{{1.4, 1.6, 1.8, 2.0}, 64, q};
        const EspResult r = fitted(mol, density, options);
        EXPECT_NEAR(std::accumulate(r.charges.begin(), r.charges.end(), 0.0), q, 1e-10);
        const EspResult s = fitted(shifted, density, options);
        for (int a = 0; a < 3; ++a) EXPECT_NEAR(s.charges[a], r.charges[a], 1e-10);
    }
    // Oxygen negative, hydrogens positive and equal by near-symmetry.
    const EspResult r = fitted(mol, density, kShells);
    EXPECT_LT(r.charges[0], -0.3);
    EXPECT_GT(r.charges[1], 0.15);
}

TEST(EspCharges, SolveMatchesAnIndependentConstrainedLeastSquares) {
    // Reference: eliminate the constraint q_last = Q - sum(others) and solve
    // the unconstrained normal equations by Cholesky, on the design matrix and
    // point-dipole potential built here from the retained points.
    const Geometry formaldehyde{{6, 8, 1, 1}, {{{0, 0, 0}, {0.02, 0, 1.22}, {0.94, 0.03, -0.56}, {-0.93, -0.02, -0.55}}}};
    const MolecularBatch mol = make_molecule(formaldehyde, kAm1);
    const Matrix density = converged_density(mol);
    const EspOptions options{{1.4, 1.6, 1.8, 2.0}, 40, 0.3};
    const EspResult r = fitted(mol, density, options);
    const auto points = esp_grid_points(mol, options);
    ASSERT_EQ(points.size(), r.num_grid_points);

    const std::size_t n = mol.n_atoms;
    const double bohr = 1.0 / 0.529177210903;
    std::vector<double> q(n), v(points.size());
    std::vector<std::array<double, 3>> mu(n, {0, 0, 0});
    for (std::size_t a = 0; a < n; ++a) {
        const auto e = kAm1.get_element(mol.atomic_numbers[a]);
        const std::size_t s = mol.first_orbital[a];
        double pop = 0;
        for (std::size_t k = 0; k < mol.orbitals_per_atom[a]; ++k) pop += density(s + k, s + k);
        q[a] = e->core_charge - pop;
        if (mol.orbitals_per_atom[a] == 4) {
            const double d1 = DerivedMultipoleParams::from_element(*e).d1;
            for (int k = 0; k < 3; ++k) mu[a][k] = 2 * d1 * density(s, s + 1 + k);
        }
    }
    std::vector<std::vector<double>> design(points.size(), std::vector<double>(n));
    for (std::size_t k = 0; k < points.size(); ++k) {
        for (std::size_t a = 0; a < n; ++a) {
            const double d[3] = {(points[k][0] - mol.x[a]) * bohr, (points[k][1] - mol.y[a]) * bohr,
                                 (points[k][2] - mol.z[a]) * bohr};
            const double dist = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            design[k][a] = 1 / dist;
            v[k] += q[a] / dist - (mu[a][0] * d[0] + mu[a][1] * d[1] + mu[a][2] * d[2]) / std::pow(dist, 3);
        }
    }
    // Columns c_a - c_last for the free charges, target v - Q c_last.
    const std::size_t f = n - 1;
    Matrix normal = Matrix::zeros(f, f);
    std::vector<double> rhs(f, 0.0), x(f), work(f);
    for (std::size_t k = 0; k < points.size(); ++k) {
        const double target = v[k] - options.total_charge * design[k][f];
        for (std::size_t i = 0; i < f; ++i) {
            const double gi = design[k][i] - design[k][f];
            rhs[i] += gi * target;
            for (std::size_t j = 0; j < f; ++j) normal(i, j) += gi * (design[k][j] - design[k][f]);
        }
    }
    ASSERT_FALSE(cholesky_decompose(normal).has_value());
    solve_cholesky_system(normal, rhs, x, work);
    double last = options.total_charge;
    for (std::size_t a = 0; a < f; ++a) {
        EXPECT_NEAR(r.charges[a], x[a], 1e-8);
        last -= x[a];
    }
    EXPECT_NEAR(r.charges[f], last, 1e-8);
    double squared = 0;
    for (std::size_t k = 0; k < points.size(); ++k) {
        double fit = 0;
        for (std::size_t a = 0; a < n; ++a) fit += r.charges[a] * design[k][a];
        squared += std::pow((v[k] - fit) * 27.211386245988, 2);
    }
    EXPECT_NEAR(r.rms_error, std::sqrt(squared / points.size()), 1e-9);
}

TEST(EspCharges, GridAndRefusals) {
    const MolecularBatch water = make_molecule(kWater, kAm1);
    const Matrix density = Matrix::zeros(water.n_basis, water.n_basis);
    // One point per shell is the north pole (0, 1, 0); two add the south pole.
    const Geometry lone{{1}, {{{1, 2, 3}}}};
    const MolecularBatch h = make_molecule(lone, kAm1);
    auto poles = esp_grid_points(h, {{2.0}, 2, 0.0});
    ASSERT_EQ(poles.size(), 2u);
    EXPECT_NEAR(poles[0][1], 2 + 2.4, 1e-12);
    EXPECT_NEAR(poles[1][1], 2 - 2.4, 1e-12);
    EXPECT_NEAR(poles[1][0], 1.0, 1e-12);
    // No retained point lies strictly inside another atom's sphere.
    for (const auto& p : esp_grid_points(water, kShells)) {
        for (std::size_t a = 0; a < 3; ++a) {
            const double d = std::hypot(p[0] - water.x[a], p[1] - water.y[a], p[2] - water.z[a]);
            EXPECT_GE(d, esp_vdw_radius(water.atomic_numbers[a]) - 1e-12);
        }
    }
    EXPECT_EQ(failure(water, density, {{1.4}, 0, 0.0}), "Insufficient grid points (0) for 3 atoms in ESP fitting");
    EXPECT_EQ(failure(water, density, {{}, 64, 0.0}), "Insufficient grid points (0) for 3 atoms in ESP fitting");
    const MolecularBatch empty = MolecularBatch::new_with_basis({}, std::vector<std::array<double, 3>>{}, {});
    EXPECT_EQ(failure(empty, Matrix(), kShells), "Cannot compute ESP charges for empty molecular batch");
    const Geometry with_iron{{26, 1}, {{{0, 0, 0}, {0, 0, 1.6}}}};
    const MolecularBatch fe = MolecularBatch::new_with_basis(with_iron.z, with_iron.xyz, {9, 1});
    EXPECT_EQ(failure(fe, Matrix::zeros(10, 10), kShells), "Unsupported element Z=26 in ESP parameter model");
    // Two coincident atoms make the normal matrix singular.
    const Geometry twin{{1, 1}, {{{0, 0, 0}, {0, 0, 0}}}};
    const MolecularBatch doubled = make_molecule(twin, kAm1);
    EXPECT_EQ(failure(doubled, Matrix::zeros(2, 2), kShells), "Singular or ill-conditioned matrix in ESP charge regression");
}

}  // namespace
}  // namespace quorin
