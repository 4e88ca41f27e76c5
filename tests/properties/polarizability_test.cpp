#include "core/properties/polarizability.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "common/geometry.h"
#include "core/parameters/atomic_mass.h"
#include "core/properties/polarizability_scaling.h"
#include "core/properties/principal_axes.h"
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

Tensor3 rotated_tensor(const fixtures::Rotation& r, const Tensor3& t) {
    Tensor3 out{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            for (int k = 0; k < 3; ++k) {
                for (int l = 0; l < 3; ++l) out[i][j] += r[i][k] * t[k][l] * r[j][l];
            }
        }
    }
    return out;
}

// alpha transforms as a rank-2 tensor and beta_i as a vector under a rigid
// rotation; the gamma average is a scalar. In the principal-axes frame the
// rotation drops out altogether.
TEST(Polarizability, TensorsTransformUnderRotation) {
    const Geometry molecule = fixtures::formaldehyde();
    const Geometry turned = fixtures::moved(molecule, kTilt, {1.5, -0.4, 2.0});
    const PolarizabilityResult a = polarizability_of(molecule, kAm1, options(false, false, true));
    const PolarizabilityResult b = polarizability_of(turned, kAm1, options(false, false, true));
    const Tensor3 expected = rotated_tensor(kTilt, a.alpha_tensor);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            EXPECT_NEAR(b.alpha_tensor[i][j], expected[i][j], 1e-3 * largest_element(a.alpha_tensor)) << i << j;
        }
    }
    const std::array<double, 3> beta = fixtures::rotate(kTilt, a.beta_vector);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(b.beta_vector[i], beta[i], 1e-2 * a.beta_total_au) << i;
    EXPECT_NEAR(b.gamma_average_au, a.gamma_average_au, 0.02 * std::fabs(a.gamma_average_au));

    const PolarizabilityResult pa = polarizability_of(molecule, kAm1, options(true, false, true));
    const PolarizabilityResult pb = polarizability_of(turned, kAm1, options(true, false, true));
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(pb.alpha_eigenvalues[k], pa.alpha_eigenvalues[k], 1e-3 * pa.alpha_eigenvalues[2]);
        EXPECT_NEAR(pa.alpha_eigenvalues[k], a.alpha_eigenvalues[k], 1e-3 * pa.alpha_eigenvalues[2]);
    }
    EXPECT_NEAR(pb.beta_total_au, pa.beta_total_au, 1e-2 * pa.beta_total_au);
    EXPECT_NEAR(pb.gamma_average_au, pa.gamma_average_au, 0.02 * std::fabs(pa.gamma_average_au));
}

// The finite differences agree across steps (their truncation errors are
// far below the SCF noise at these steps), and alpha of two
// molecules 50 angstrom apart is the sum of their own.
TEST(Polarizability, StepConvergenceAndAdditivity) {
    const Geometry g = fixtures::moved(fixtures::formaldehyde(), kTilt, {0.0, 0.0, 0.0});
    std::array<PolarizabilityResult, 3> r;
    const std::array<double, 3> steps = {0.004, 0.002, 0.001};
    for (int s = 0; s < 3; ++s) r[s] = polarizability_of(g, kAm1, options(false, false, s < 2, steps[s]));
    const double scale = largest_element(r[2].alpha_raw_tensor);
    for (int s = 0; s < 2; ++s) {
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                EXPECT_NEAR(r[s].alpha_raw_tensor[i][j], r[2].alpha_raw_tensor[i][j], 1e-3 * scale);
            }
        }
    }
    EXPECT_NEAR(r[0].beta_total_au, r[1].beta_total_au, 0.05 * r[1].beta_total_au);
    EXPECT_NEAR(r[0].gamma_average_au, r[1].gamma_average_au, 0.05 * std::fabs(r[1].gamma_average_au));

    const Geometry water = fixtures::water();
    Geometry pair = water;
    for (std::size_t a = 0; a < water.z.size(); ++a) {
        pair.z.push_back(water.z[a]);
        pair.xyz.push_back({water.xyz[a][0] + 30.0, water.xyz[a][1] + 40.0, water.xyz[a][2]});
    }
    const PolarizabilityResult one = polarizability_of(water, kMndo, options(false, false, false));
    const PolarizabilityResult two = polarizability_of(pair, kMndo, options(false, false, false));
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            EXPECT_NEAR(two.alpha_raw_tensor[i][j], 2.0 * one.alpha_raw_tensor[i][j],
                        2e-3 * largest_element(one.alpha_raw_tensor));
        }
    }
}

// A centre of inversion forbids every odd-order response.
TEST(Polarizability, CentrosymmetricMoleculesHaveNoFirstHyperpolarizability) {
    const PolarizabilityResult polar =
        polarizability_of(fixtures::formaldehyde(), kAm1, options(false, false, false));
    ASSERT_GT(polar.beta_total_au, 1.0);
    const Geometry co2{{6, 8, 8}, {{{0, 0, 0}}, {{0.7, 0.6, 0.6}}, {{-0.7, -0.6, -0.6}}}};
    for (const Geometry& g : {fixtures::ladder_molecule("benzene"), co2}) {
        const PolarizabilityResult r = polarizability_of(g, kAm1, options(false, false, false));
        EXPECT_LT(r.beta_total_au, 0.01 * polar.beta_total_au);
        EXPECT_GT(r.alpha_eigenvalues[0], 0.0);
    }
}

double determinant(const Matrix& m) {
    return m(0, 0) * (m(1, 1) * m(2, 2) - m(1, 2) * m(2, 1)) - m(0, 1) * (m(1, 0) * m(2, 2) - m(1, 2) * m(2, 0)) +
           m(0, 2) * (m(1, 0) * m(2, 1) - m(1, 1) * m(2, 0));
}

// The returned geometry is the input rigidly rotated: distances kept, a
// proper rotation, the inertia tensor diagonal, the centroid at the origin,
// and a linear molecule along the axis of the smallest moment.
TEST(PrincipalAxes, ProperRotationIntoDiagonalInertia) {
    // Ammonia with four different bond lengths: no symmetry fixes any axis.
    const Geometry tilted = fixtures::moved(fixtures::ammonia(), kTilt, {3.0, -2.0, 1.0});
    const Geometry linear{{6, 8, 8}, {{{1, 1, 1}}, {{1.7, 1.6, 1.6}}, {{0.3, 0.4, 0.4}}}};
    for (const Geometry& g : {tilted, linear}) {
        const MolecularBatch in = fixtures::make_molecule(g, kAm1);
        const PrincipalAxesFrame frame = align_principal_axes(in);
        const MolecularBatch& out = frame.molecule;
        EXPECT_NEAR(determinant(frame.axes), 1.0, 1e-12);
        ASSERT_EQ(out.n_atoms, in.n_atoms);
        EXPECT_EQ(out.orbitals_per_atom, in.orbitals_per_atom);
        const std::array<double, 3> com = table_centre_of_mass(out);
        std::array<double, 3> centroid{};
        double ixy = 0.0, ixz = 0.0, iyz = 0.0;
        for (std::size_t a = 0; a < out.n_atoms; ++a) {
            const double m = atomic_mass(out.atomic_numbers[a]);
            const double x = out.x[a] - com[0], y = out.y[a] - com[1], z = out.z[a] - com[2];
            centroid[0] += out.x[a];
            centroid[1] += out.y[a];
            centroid[2] += out.z[a];
            ixy += m * x * y;
            ixz += m * x * z;
            iyz += m * y * z;
            for (std::size_t b = 0; b < a; ++b) {
                const auto d = [](const MolecularBatch& mol, std::size_t i, std::size_t j) {
                    return std::hypot(mol.x[i] - mol.x[j], mol.y[i] - mol.y[j], mol.z[i] - mol.z[j]);
                };
                EXPECT_NEAR(d(out, a, b), d(in, a, b), 1e-12);
            }
        }
        for (double c : centroid) EXPECT_NEAR(c, 0.0, 1e-12);
        EXPECT_NEAR(ixy, 0.0, 1e-8);
        EXPECT_NEAR(ixz, 0.0, 1e-8);
        EXPECT_NEAR(iyz, 0.0, 1e-8);
    }
    const PrincipalAxesFrame line = align_principal_axes(fixtures::make_molecule(linear, kAm1));
    for (std::size_t a = 0; a < 3; ++a) {
        EXPECT_NEAR(line.molecule.y[a], 0.0, 1e-9);
        EXPECT_NEAR(line.molecule.z[a], 0.0, 1e-9);
    }
}

// The empirical relation is linear and adds the same constant to every
// principal value, so the isotropic value obeys it in either frame; methods
// without a relation leave alpha as computed.
TEST(PolarizabilityScaling, LinearRelationOnPrincipalValues) {
    const Pm6Model pm6;
    const Geometry water = fixtures::moved(fixtures::water(), kTilt, {0.0, 0.0, 0.0});
    // PM6 slope and intercept, plus the increments of two H and one O (angstrom^3).
    const double constant = 0.373638 + 2.0 * 0.262114 + 0.154301;
    for (bool reorient : {false, true}) {
        const PolarizabilityResult r = polarizability_of(water, pm6, options(reorient, true, false));
        EXPECT_NEAR(r.alpha_isotropic_angstrom3, 0.791396 * r.alpha_raw_isotropic_angstrom3 + constant, 1e-9);
        if (!reorient) {
            // Scaling only moves the principal values: alpha commutes with the raw tensor.
            const Tensor3& a = r.alpha_tensor;
            const Tensor3& b = r.alpha_raw_tensor;
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j) {
                    double ab = 0.0, ba = 0.0;
                    for (int k = 0; k < 3; ++k) {
                        ab += a[i][k] * b[k][j];
                        ba += b[i][k] * a[k][j];
                    }
                    EXPECT_NEAR(ab, ba, 1e-9 * largest_element(b) * largest_element(a));
                }
            }
        }
    }
    const PolarizabilityResult rm1 = polarizability_of(water, Rm1Model{}, options(false, true, false));
    EXPECT_EQ(rm1.alpha_tensor, rm1.alpha_raw_tensor);
    const std::uint8_t z[] = {8, 1, 1};
    EXPECT_DOUBLE_EQ(compute_pol_vol(10.0, "pm6", z), compute_pol_vol(10.0, "PM6", z));
}

// Options that would make the differences meaningless are refused before
// any SCF runs (an empty molecule would otherwise stop the SCF), and a field
// point whose SCF does not converge ends the calculation naming its field.
TEST(Polarizability, RefusesUnusableOptionsAndUnconvergedFields) {
    const MolecularBatch empty = MolecularBatch::new_for_model({}, {}, kMndo);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double step : {0.0, nan, std::numeric_limits<double>::infinity()}) {
        EXPECT_THROW(compute_polarizability(empty, kMndo, options(false, false, false, step)), RequestError);
    }
    PolarizabilityOptions o = options(false, false, false);
    o.energy_tolerance = nan;
    EXPECT_THROW(compute_polarizability(empty, kMndo, o), RequestError);
    o = options(false, false, false);
    o.density_tolerance = nan;
    EXPECT_THROW(compute_polarizability(empty, kMndo, o), RequestError);
    EXPECT_THROW(compute_polarizability(empty, kMndo, options(false, false, false)), EngineStop);

    o = options(false, false, false);
    o.max_iterations = 1;
    try {
        compute_polarizability(fixtures::make_molecule(fixtures::water(), kMndo), kMndo, o);
        ADD_FAILURE() << "an unconverged field SCF was accepted";
    } catch (const RequestError& e) {
        EXPECT_NE(std::string(e.what()).find("(0, 0, 0)"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace quorin
