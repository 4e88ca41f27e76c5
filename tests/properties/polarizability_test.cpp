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
#include "common/molecules.h"

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

// The driver's tensors against the energy expansion E(F) = E0 - mu.F -
// alpha FF/2 - beta FFF/6 - gamma FFFF/24 (atomic units), from independent
// field SCFs: mu = -dE/dF, alpha = -d2E/dF2 (off-diagonals from two-axis
// fields), dmu_i/dF_j = dmu_j/dF_i, and gamma_iijj from the dipoles of the
// two-axis fields, [sum_s s_i mu_i(s_i F, s_j F) - 2(mu_i(+F_i) - mu_i(-F_i))] / (2F^3).
TEST(Polarizability, FiniteDifferencesFollowTheEnergyExpansion) {
    const Geometry g = fixtures::moved(fixtures::formaldehyde(), kTilt, {0.2, -0.1, 0.3});
    const MolecularBatch molecule = fixtures::make_molecule(g, kAm1);
    const PolarizabilityOptions o = options(false, false, true);
    const PolarizabilityResult r = compute_polarizability(molecule, kAm1, o);
    const PolarizabilityResult no_cross = compute_polarizability(molecule, kAm1, options(false, false, false));
    const double f = o.field_step_au;

    ScfWorkspace ws = ScfWorkspace::allocate(molecule.n_basis);
    // Energy (hartree) and dipole (e bohr) at the field (a F_i + b F_j).
    const auto at = [&](int i, double a, int j = 0, double b = 0.0) {
        std::array<double, 3> field{};
        field[i] += a * f;
        field[j] += b * f;
        const FieldScfResult p = run_field_scf(molecule, kAm1, ws, field, o);
        EXPECT_TRUE(p.converged);
        std::array<double, 4> out{p.energy_ev / kHartreeToEv};
        for (int k = 0; k < 3; ++k) out[k + 1] = p.dipole.total_dipole[k] * kDipoleAuPerDebye;
        return out;
    };
    const auto e0 = at(0, 0.0);
    EXPECT_NEAR(e0[0] * kHartreeToEv, r.unperturbed_energy_ev, 1e-9);
    const double scale = largest_element(r.alpha_raw_tensor);
    double cross = 0.0;
    for (int i = 0; i < 3; ++i) {
        const auto p1 = at(i, 1), m1 = at(i, -1), p2 = at(i, 2), m2 = at(i, -2);
        EXPECT_NEAR(-(8.0 * (p1[0] - m1[0]) - (p2[0] - m2[0])) / (12.0 * f), e0[i + 1], 1e-4) << i;
        const double alpha_ii = -(16.0 * (p1[0] + m1[0]) - (p2[0] + m2[0]) - 30.0 * e0[0]) / (12.0 * f * f);
        EXPECT_NEAR(alpha_ii, r.alpha_raw_tensor[i][i], 1e-3 * scale) << i;
        EXPECT_GT(r.alpha_eigenvalues[i], 0.0);
        for (int j = 0; j < 3; ++j) {
            if (j == i) continue;
            const auto pp = at(i, 1, j, 1), pm = at(i, 1, j, -1), mp = at(i, -1, j, 1), mm = at(i, -1, j, -1);
            const double alpha_ij = -(pp[0] - pm[0] - mp[0] + mm[0]) / (4.0 * f * f);
            EXPECT_NEAR(alpha_ij, r.alpha_raw_tensor[i][j], 1e-3 * scale) << i << j;
            const auto pj = at(j, 1), mj = at(j, -1);
            EXPECT_NEAR((pj[i + 1] - mj[i + 1]) / (2.0 * f), (p1[j + 1] - m1[j + 1]) / (2.0 * f), 1e-3 * scale);
            const double s = pp[i + 1] + pm[i + 1] - mp[i + 1] - mm[i + 1] - 2.0 * (p1[i + 1] - m1[i + 1]);
            cross += s / (2.0 * f * f * f);  // gamma_iijj, each unordered pair met twice
        }
    }
    const double diag = r.gamma_diag[0] + r.gamma_diag[1] + r.gamma_diag[2];
    EXPECT_NEAR(r.gamma_average_au, (diag + cross) / 5.0, 0.05 * std::fabs((diag + cross) / 5.0));
    // Without the two-axis fields only the diagonal enters; nothing else changes.
    EXPECT_NEAR(no_cross.gamma_average_au, diag / 5.0, 1e-9 * std::fabs(diag));
    EXPECT_EQ(no_cross.beta_vector, r.beta_vector);
    EXPECT_EQ(no_cross.alpha_tensor, r.alpha_tensor);
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

// Under a rigid motion alpha transforms as a rank-2 tensor, beta_i as a
// vector and the gamma average as a scalar; in the principal-axes frame the
// rotation drops out of the principal values.
TEST(Polarizability, TensorsTransformUnderRotation) {
    const Geometry molecule = fixtures::formaldehyde();
    const Geometry turned = fixtures::moved(molecule, kTilt, {1.5, -0.4, 2.0});
    const PolarizabilityResult a = polarizability_of(molecule, kAm1, options(false, false, true));
    const PolarizabilityResult b = polarizability_of(turned, kAm1, options(false, false, true));
    const Tensor3 expected = rotated_tensor(kTilt, a.alpha_tensor);
    const std::array<double, 3> beta = fixtures::rotate(kTilt, a.beta_vector);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            EXPECT_NEAR(b.alpha_tensor[i][j], expected[i][j], 1e-3 * largest_element(a.alpha_tensor)) << i << j;
        }
        EXPECT_NEAR(b.beta_vector[i], beta[i], 1e-2 * a.beta_total_au) << i;
    }
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

// Steps of 0.004, 0.002 and 0.001 a.u. agree (truncation errors lie far below
// the SCF noise here); alpha of two waters 50 angstrom apart is twice one
// water's; a centre of inversion forbids beta.
TEST(Polarizability, StepIndependenceAdditivityAndInversionSymmetry) {
    const Geometry g = fixtures::moved(fixtures::formaldehyde(), kTilt, {0.0, 0.0, 0.0});
    std::array<PolarizabilityResult, 3> r;
    const std::array<double, 3> steps = {0.004, 0.002, 0.001};
    for (int s = 0; s < 3; ++s) r[s] = polarizability_of(g, kAm1, options(false, false, s < 2, steps[s]));
    for (int s = 0; s < 2; ++s) {
        for (int i = 0; i < 9; ++i) {
            EXPECT_NEAR(r[s].alpha_raw_tensor[i / 3][i % 3], r[2].alpha_raw_tensor[i / 3][i % 3],
                        1e-3 * largest_element(r[2].alpha_raw_tensor));
        }
    }
    EXPECT_NEAR(r[0].beta_total_au, r[1].beta_total_au, 0.05 * r[1].beta_total_au);
    EXPECT_NEAR(r[0].gamma_average_au, r[1].gamma_average_au, 0.05 * std::fabs(r[1].gamma_average_au));

    const Geometry water = fixtures::water();
    Geometry pair = fixtures::moved(water, fixtures::rotation_matrix({0, 0, 1}, 0.0), {30.0, 40.0, 0.0});
    pair.z.insert(pair.z.end(), water.z.begin(), water.z.end());
    pair.xyz.insert(pair.xyz.end(), water.xyz.begin(), water.xyz.end());
    const PolarizabilityResult one = polarizability_of(water, kMndo, options(false, false, false));
    const PolarizabilityResult two = polarizability_of(pair, kMndo, options(false, false, false));
    for (int i = 0; i < 9; ++i) {
        EXPECT_NEAR(two.alpha_raw_tensor[i / 3][i % 3], 2.0 * one.alpha_raw_tensor[i / 3][i % 3],
                    2e-3 * largest_element(one.alpha_raw_tensor));
    }

    ASSERT_GT(r[1].beta_total_au, 1.0);
    const Geometry co2{{6, 8, 8}, {{{0, 0, 0}}, {{0.7, 0.6, 0.6}}, {{-0.7, -0.6, -0.6}}}};
    for (const Geometry& centric : {fixtures::ladder_molecule("benzene"), co2}) {
        EXPECT_LT(polarizability_of(centric, kAm1, options(false, false, false)).beta_total_au,
                  0.01 * r[1].beta_total_au);
    }
}

double determinant(const Matrix& m) {
    return m(0, 0) * (m(1, 1) * m(2, 2) - m(1, 2) * m(2, 1)) - m(0, 1) * (m(1, 0) * m(2, 2) - m(1, 2) * m(2, 0)) +
           m(0, 2) * (m(1, 0) * m(2, 1) - m(1, 1) * m(2, 0));
}

// The returned geometry is the input rigidly rotated by a proper rotation,
// with a diagonal inertia tensor and the centroid at the origin; a linear
// molecule lies along the axis of the smallest moment.
TEST(PrincipalAxes, ProperRotationIntoDiagonalInertia) {
    // Ammonia with four different bond lengths: no symmetry fixes any axis.
    const Geometry tilted = fixtures::moved(fixtures::ammonia(), kTilt, {3.0, -2.0, 1.0});
    const Geometry linear{{6, 8, 8}, {{{1, 1, 1}}, {{1.7, 1.6, 1.6}}, {{0.3, 0.4, 0.4}}}};
    for (const Geometry* g : {&tilted, &linear}) {
        const MolecularBatch in = fixtures::make_molecule(*g, kAm1);
        const PrincipalAxesFrame frame = align_principal_axes(in);
        const MolecularBatch& out = frame.molecule;
        EXPECT_NEAR(determinant(frame.axes), 1.0, 1e-12);
        EXPECT_EQ(out.orbitals_per_atom, in.orbitals_per_atom);
        const std::array<double, 3> com = table_centre_of_mass(out);
        std::array<double, 3> centroid{}, products{};  // products: I_xy, I_xz, I_yz
        for (std::size_t a = 0; a < out.n_atoms; ++a) {
            const double m = atomic_mass(out.atomic_numbers[a]);
            const double x = out.x[a] - com[0], y = out.y[a] - com[1], z = out.z[a] - com[2];
            centroid = {centroid[0] + out.x[a], centroid[1] + out.y[a], centroid[2] + out.z[a]};
            products = {products[0] + m * x * y, products[1] + m * x * z, products[2] + m * y * z};
            for (std::size_t b = 0; b < a; ++b) {
                const auto d = [&](const MolecularBatch& mol) {
                    return std::hypot(mol.x[a] - mol.x[b], mol.y[a] - mol.y[b], mol.z[a] - mol.z[b]);
                };
                EXPECT_NEAR(d(out), d(in), 1e-12);
            }
            if (g == &linear) {
                EXPECT_NEAR(std::hypot(out.y[a], out.z[a]), 0.0, 1e-9);
            }
        }
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(centroid[k], 0.0, 1e-12);
            EXPECT_NEAR(products[k], 0.0, 1e-8);
        }
    }
}

// The empirical relation is linear and adds the same constant to every
// principal value, so the isotropic value obeys it in either frame, and off
// the principal frame it keeps the eigenvectors (alpha commutes with the raw
// tensor). Methods without a relation leave alpha as computed.
TEST(PolarizabilityScaling, LinearRelationOnPrincipalValues) {
    const Geometry water = fixtures::moved(fixtures::water(), kTilt, {0.0, 0.0, 0.0});
    // PM6 intercept plus the increments of two H and one O (angstrom^3), from the relation table.
    const double constant = 0.373638 + 2.0 * 0.262114 + 0.154301;
    for (bool reorient : {false, true}) {
        const PolarizabilityResult r = polarizability_of(water, Pm6Model{}, options(reorient, true, false));
        EXPECT_NEAR(r.alpha_isotropic_angstrom3, 0.791396 * r.alpha_raw_isotropic_angstrom3 + constant, 1e-9);
        const Tensor3 &a = r.alpha_tensor, &b = r.alpha_raw_tensor;
        for (int i = 0; i < 9 && !reorient; ++i) {
            double commutator = 0.0;
            for (int k = 0; k < 3; ++k) commutator += a[i / 3][k] * b[k][i % 3] - b[i / 3][k] * a[k][i % 3];
            EXPECT_NEAR(commutator, 0.0, 1e-9 * largest_element(a) * largest_element(b));
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
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    std::array<PolarizabilityOptions, 5> refused;
    refused.fill(options(false, false, false));
    refused[0].field_step_au = 0.0;
    refused[1].field_step_au = nan;
    refused[2].field_step_au = inf;
    refused[3].energy_tolerance = nan;
    refused[4].density_tolerance = nan;
    for (const PolarizabilityOptions& o : refused) EXPECT_THROW(compute_polarizability(empty, kMndo, o), RequestError);
    EXPECT_THROW(compute_polarizability(empty, kMndo, options(false, false, false)), EngineStop);

    PolarizabilityOptions o = options(false, false, false);
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
