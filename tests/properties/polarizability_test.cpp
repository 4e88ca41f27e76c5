#include "core/properties/polarizability.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "common/geometry.h"
#include "core/properties/polarizability_scaling.h"
#include "core/types/constants.h"
#include "core/types/errors.h"
#include "scf/test_molecules.h"

namespace quorin {
namespace {

using fixtures::Geometry;

const Am1Model kAm1;
const MndoModel kMndo;

const fixtures::Rotation kTilt = fixtures::rotation_matrix({0.3, -0.7, 0.5}, 0.9);

PolarizabilityOptions options(bool reorient, bool scaling, bool hyper, double step = 0.002) {
    PolarizabilityOptions o;
    o.field_step_au = step;
    o.reorient = reorient;
    o.apply_empirical_scaling = scaling;
    o.compute_hyperpolarizabilities = hyper;
    return o;
}

PolarizabilityResult polarizability_of(const Geometry& g, const ParameterModel& model, const PolarizabilityOptions& o) {
    return compute_polarizability(fixtures::make_molecule(g, model), model, o);
}

double largest_element(const Tensor3& t) {
    double m = 0.0;
    for (const auto& row : t) {
        for (double v : row) m = std::max(m, std::fabs(v));
    }
    return m;
}



// Every derivative the driver forms from the dipole is checked here against
// the same derivative of the energy E(F) = E0 - mu.F - alpha FF/2 - ..., taken
// from independent field SCFs (atomic units throughout).
TEST(Polarizability, DipoleDerivativesAgreeWithEnergyDerivatives) {
    const Geometry g = fixtures::moved(fixtures::formaldehyde(), kTilt, {0.2, -0.1, 0.3});
    const MolecularBatch molecule = fixtures::make_molecule(g, kAm1);
    const PolarizabilityOptions o = options(false, false, true);
    const PolarizabilityResult r = compute_polarizability(molecule, kAm1, o);
    const double f = o.field_step_au;

    ScfWorkspace ws = ScfWorkspace::allocate(molecule.n_basis);
    const auto at = [&](double fx, double fy, double fz) {
        const FieldScfResult p = run_field_scf(molecule, kAm1, ws, {fx * f, fy * f, fz * f}, o);
        EXPECT_TRUE(p.converged);
        std::array<double, 4> out{p.energy_ev / kHartreeToEv};
        for (int i = 0; i < 3; ++i) out[i + 1] = p.dipole.total_dipole[i] * kDipoleAuPerDebye;
        return out;  // energy, mu_x, mu_y, mu_z
    };
    const auto axis_field = [](int k, double s) {
        std::array<double, 3> v{};
        v[k] = s;
        return v;
    };
    const auto at_axis = [&](int k, double s) {
        const auto v = axis_field(k, s);
        return at(v[0], v[1], v[2]);
    };
    const auto e0 = at(0, 0, 0);
    EXPECT_NEAR(e0[0] * kHartreeToEv, r.unperturbed_energy_ev, 1e-9);

    const double scale = largest_element(r.alpha_raw_tensor);
    for (int i = 0; i < 3; ++i) {
        const auto p1 = at_axis(i, 1), m1 = at_axis(i, -1), p2 = at_axis(i, 2), m2 = at_axis(i, -2);
        // mu_i = -dE/dF_i, five-point difference.
        const double minus_de = -(8.0 * (p1[0] - m1[0]) - (p2[0] - m2[0])) / (12.0 * f);
        EXPECT_NEAR(minus_de, e0[i + 1], 1e-4) << "axis " << i;
        // alpha_ii = -d2E/dF_i2.
        const double alpha_ii = -(16.0 * (p1[0] + m1[0]) - (p2[0] + m2[0]) - 30.0 * e0[0]) / (12.0 * f * f);
        EXPECT_NEAR(alpha_ii, r.alpha_raw_tensor[i][i], 1e-3 * scale) << "axis " << i;
        for (int j = i + 1; j < 3; ++j) {
            std::array<std::array<double, 4>, 4> corner{};  // (+,+), (+,-), (-,+), (-,-)
            int c = 0;
            for (double si : {1.0, -1.0}) {
                for (double sj : {1.0, -1.0}) {
                    std::array<double, 3> v = axis_field(i, si);
                    v[j] = sj;
                    corner[c++] = at(v[0], v[1], v[2]);
                }
            }
            // alpha_ij = -d2E/dF_i dF_j from the two-axis corners.
            const double alpha_ij = -(corner[0][0] - corner[1][0] - corner[2][0] + corner[3][0]) / (4.0 * f * f);
            EXPECT_NEAR(alpha_ij, r.alpha_raw_tensor[i][j], 1e-3 * scale) << i << j;
            // The unsymmetrised derivatives dmu_i/dF_j and dmu_j/dF_i agree.
            const auto pj = at_axis(j, 1), mj = at_axis(j, -1);
            const double d_ij = (pj[i + 1] - mj[i + 1]) / (2.0 * f), d_ji = (p1[j + 1] - m1[j + 1]) / (2.0 * f);
            EXPECT_NEAR(d_ij, d_ji, 1e-3 * scale) << i << j;
        }
    }

    const Tensor3& a = r.alpha_raw_tensor;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) EXPECT_DOUBLE_EQ(a[i][j], a[j][i]);
        EXPECT_GT(r.alpha_eigenvalues[i], 0.0);
    }
    EXPECT_GT(r.alpha_eigenvalues[0], 0.05 * r.alpha_eigenvalues[2]);
}

// gamma_iijj from the two-axis energies (the driver) against the dipole
// estimate [sum_s s_i mu_i(s_i F, s_j F) - 2(mu_i(+F_i) - mu_i(-F_i))] / (2F^3)
// from the same fields; both expansions follow from E(F) to fourth order.
TEST(Polarizability, GammaCrossTermAgreesWithDipoleEstimate) {
    const Geometry g = fixtures::moved(fixtures::formaldehyde(), kTilt, {0.0, 0.0, 0.0});
    const MolecularBatch molecule = fixtures::make_molecule(g, kMndo);
    const PolarizabilityOptions o = options(false, false, true);
    const PolarizabilityResult with_cross = compute_polarizability(molecule, kMndo, o);
    const PolarizabilityResult without = compute_polarizability(molecule, kMndo, options(false, false, false));
    const double f = o.field_step_au;

    ScfWorkspace ws = ScfWorkspace::allocate(molecule.n_basis);
    const auto mu = [&](std::array<double, 3> field, int i) {
        for (double& c : field) c *= f;
        return run_field_scf(molecule, kMndo, ws, field, o).dipole.total_dipole[i] * kDipoleAuPerDebye;
    };
    double cross = 0.0;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            if (j == i) continue;
            std::array<double, 3> plus{}, minus{};
            plus[i] = 1.0;
            minus[i] = -1.0;
            double sum = -2.0 * (mu(plus, i) - mu(minus, i));
            for (double si : {1.0, -1.0}) {
                for (double sj : {1.0, -1.0}) {
                    std::array<double, 3> v{};
                    v[i] = si;
                    v[j] = sj;
                    sum += si * mu(v, i);
                }
            }
            cross += sum / (2.0 * f * f * f);  // gamma_iijj; each pair counted twice
        }
    }
    const double diag = with_cross.gamma_diag[0] + with_cross.gamma_diag[1] + with_cross.gamma_diag[2];
    EXPECT_NEAR(with_cross.gamma_average_au, (diag + cross) / 5.0, 0.05 * std::fabs((diag + cross) / 5.0));
    // Without the two-axis fields only the diagonal enters; nothing else changes.
    EXPECT_NEAR(without.gamma_average_au, diag / 5.0, 1e-9 * std::fabs(diag));
    EXPECT_EQ(without.beta_vector, with_cross.beta_vector);
    EXPECT_EQ(without.alpha_tensor, with_cross.alpha_tensor);
}

}  // namespace
}  // namespace quorin
