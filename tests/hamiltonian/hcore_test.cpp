#include "core/hamiltonian/hcore.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core/hamiltonian/external_charges.h"
#include "core/integrals/overlap.h"
#include "core/types/constants.h"
#include "common/molecules.h"

namespace quorin {
namespace {

const MndoModel kMndo;
const Pm3Model kPm3;
const Pm7Model kPm7;

Matrix hcore_of(const MolecularBatch& m, const ParameterModel& model, bool nddo) {
    Matrix h = Matrix::zeros(m.n_basis, m.n_basis);
    if (nddo) {
        build_hcore_nddo(m, model, precompute_diatomic_pairs(m, model), h);
    } else {
        build_hcore(m, model, h);
    }
    return h;
}

TEST(CoreHamiltonian, HydrogenMoleculeFromClosedForms) {
    // Overlap of two hydrogen 1s functions, each the normalised sum of
    // c_i (2a_i/pi)^(3/4) exp(-a_i r^2), a_i = zeta^2 times the tabulated
    // exponent: S = sum c_i c_j (2 sqrt(a_i a_j) / (a_i + a_j))^(3/2)
    // exp(-a_i a_j R^2 / (a_i + a_j)), R in bohr; resonance S beta;
    // attraction gamma, rho = e2 / (2 gss).
    const double r = 0.74;
    const ElementParams e = *kMndo.get_element(1);
    const SlaterGaussianExpansion& g = slater_gaussian_expansion(1, 0);
    const double rb = r / kBohrToAngstrom;
    double overlap = 0.0;
    for (std::size_t i = 0; i < 6; ++i)
        for (std::size_t j = 0; j < 6; ++j) {
            const double a = g.exponent[i] * e.zeta_s * e.zeta_s, b = g.exponent[j] * e.zeta_s * e.zeta_s;
            overlap += g.coefficient[i] * g.coefficient[j] * std::pow(2.0 * std::sqrt(a * b) / (a + b), 1.5) *
                       std::exp(-a * b / (a + b) * rb * rb);
        }
    const double rho = kCoulombEvAngstrom / (2.0 * e.g_ss);
    const MolecularBatch h2 = fixtures::make_molecule(fixtures::hydrogen_molecule(r), kMndo);
    for (bool nddo : {false, true}) {
        const Matrix h = hcore_of(h2, kMndo, nddo);
        EXPECT_NEAR(h(0, 1), overlap * e.beta_s, 1e-9);
        EXPECT_NEAR(h(0, 0), e.u_ss - kCoulombEvAngstrom / std::sqrt(r * r + 4.0 * rho * rho), 1e-9);
    }
    // Coincident atoms: no resonance block, attraction e2 / (2 rho) = gss.
    const Matrix h = hcore_of(fixtures::make_molecule(fixtures::hydrogen_molecule(0.0), kMndo), kMndo, false);
    EXPECT_EQ(h(0, 1), 0.0);
    EXPECT_NEAR(h(0, 0), e.u_ss - e.g_ss, 1e-12);
}

TEST(CoreHamiltonian, FormsShareResonanceAndMonopoleTermsAndStaySymmetric) {
    // Both forms have the same U, resonance blocks and the monopole (ss|core)
    // attraction on the s diagonal.
    struct Case {
        fixtures::Geometry geometry;
        const ParameterModel* model;
    };
    const fixtures::Geometry feh2 = {{26, 1, 1}, {{{0, 0, 0}}, {{1.55, 0, 0}}, {{-0.3, 1.5, 0.1}}}};
    for (const Case& c : {Case{fixtures::methane(), &kMndo}, Case{fixtures::formaldehyde(), &kPm3}, Case{feh2, &kPm7}}) {
        const MolecularBatch m = fixtures::make_molecule(c.geometry, *c.model);
        const Matrix gamma = hcore_of(m, *c.model, false);
        const Matrix nddo = hcore_of(m, *c.model, true);
        for (std::size_t a = 0; a < m.n_atoms; ++a) {
            const std::size_t fa = m.first_orbital[a];
            if (!c.model->use_feathering()) {  // feathering blends the pair terms differently
                EXPECT_NEAR(gamma(fa, fa), nddo(fa, fa), 1e-9);
            }
            for (std::size_t b = 0; b < m.n_atoms; ++b) {
                for (std::size_t i = fa; i < fa + m.orbitals_per_atom[a]; ++i) {
                    for (std::size_t j = m.first_orbital[b]; j < m.first_orbital[b] + m.orbitals_per_atom[b]; ++j) {
                        EXPECT_EQ(gamma(i, j), gamma(j, i));
                        EXPECT_EQ(nddo(i, j), nddo(j, i));
                        if (a != b) {
                            EXPECT_EQ(gamma(i, j), nddo(i, j));
                        }
                    }
                }
            }
        }
    }
}

TEST(ElectricField, TermsRotateWithTheMoleculeAndFollowTheCentreOfMass) {
    const std::array<double, 3> field = {0.03, -0.05, 0.08};
    const fixtures::Geometry g = fixtures::formaldehyde();
    const MolecularBatch m = fixtures::make_molecule(g, kMndo);
    const std::size_t n = m.n_basis;
    Matrix delta = Matrix::zeros(n, n);
    const double energy = apply_electric_field_to_hcore(m, kMndo, delta, field);

    // Molecule and field rotated together: delta' = T delta T^T, T rotating
    // each atom's p functions; same nuclear energy. A shift changes nothing.
    const fixtures::Rotation r = fixtures::rotation_matrix({0.4, 0.1, -0.9}, 0.8);
    Matrix turned = Matrix::zeros(n, n), shifted = Matrix::zeros(n, n);
    EXPECT_NEAR(apply_electric_field_to_hcore(fixtures::make_molecule(fixtures::moved(g, r, {3, -4, 9}), kMndo), kMndo,
                                              turned, fixtures::rotate(r, field)),
                energy, 1e-12);
    const fixtures::Rotation identity = fixtures::rotation_matrix({0, 0, 1}, 0.0);
    EXPECT_NEAR(apply_electric_field_to_hcore(fixtures::make_molecule(fixtures::moved(g, identity, {3, -4, 9}), kMndo),
                                              kMndo, shifted, field),
                energy, 1e-12);
    Matrix t = Matrix::zeros(n, n);
    for (std::size_t a = 0; a < m.n_atoms; ++a) {
        const std::size_t f = m.first_orbital[a];
        t(f, f) = 1.0;
        for (std::size_t j = 0; j + 1 < m.orbitals_per_atom[a]; ++j)
            for (std::size_t k = 0; k + 1 < m.orbitals_per_atom[a]; ++k) t(f + 1 + j, f + 1 + k) = r[j][k];
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            double expected = 0.0;
            for (std::size_t k = 0; k < n; ++k)
                for (std::size_t l = 0; l < n; ++l) expected += t(i, k) * delta(k, l) * t(j, l);
            EXPECT_NEAR(turned(i, j), expected, 1e-12);
            EXPECT_NEAR(shifted(i, j), delta(i, j), 1e-12);
        }
    }

    // H2 about its centre: no nuclear energy, opposite diagonal shifts.
    Matrix dh = Matrix::zeros(2, 2);
    EXPECT_NEAR(apply_electric_field_to_hcore(fixtures::make_molecule(fixtures::hydrogen_molecule(0.8), kMndo), kMndo,
                                              dh, {0, 0, 0.1}),
                0.0, 1e-15);
    EXPECT_NEAR(dh(0, 0), -0.04, 1e-15);
    EXPECT_NEAR(dh(1, 1), 0.04, 1e-15);
}

TEST(ExternalCharges, DampedElectronicTermAndBareCoreTerm) {
    const MolecularBatch h2 = fixtures::make_molecule(fixtures::hydrogen_molecule(0.74), kMndo);
    const ElementParams e = *kMndo.get_element(1);
    const double rho = kCoulombEvAngstrom / (2.0 * e.g_ss);
    const std::vector<PointCharge> charges = {{0.0, 0.0, 3.0, 0.5}, {1.0, 0.0, 0.0, -0.25}};
    Matrix h = Matrix::zeros(2, 2), h_clamped = Matrix::zeros(2, 2);
    apply_external_charges_to_hcore(h2, kMndo, charges, charges.size(), h);
    apply_external_charges_to_hcore(h2, kMndo, charges, 99, h_clamped);  // reads only the list
    double core = 0.0;
    for (int a = 0; a < 2; ++a) {
        double expected = 0.0;
        for (const PointCharge& c : charges) {
            const double r2 = c[0] * c[0] + c[1] * c[1] + std::pow(a * 0.74 - c[2], 2);
            expected -= kCoulombEvAngstrom * c[3] / std::sqrt(r2 + rho * rho);
            core += kCoulombEvAngstrom * c[3] / std::sqrt(r2);
        }
        EXPECT_NEAR(h(a, a), expected, 1e-12);
        EXPECT_EQ(h_clamped(a, a), h(a, a));
    }
    EXPECT_EQ(h(0, 1), 0.0);
    EXPECT_NEAR(compute_external_charges_core_energy(h2, kMndo, charges, charges.size()), core, 1e-12);

    // A charge on a nucleus: no core term for that atom; with gss = 0 the
    // electronic term is damped by rho = 0.5 angstrom.
    const std::vector<PointCharge> on_atom = {{0.0, 0.0, 0.0, 1.0}};
    EXPECT_NEAR(compute_external_charges_core_energy(h2, kMndo, on_atom, 1), kCoulombEvAngstrom / 0.74, 1e-12);
    const fixtures::EditedModel bare(kMndo, {}, [](ElementParams& p) { p.g_ss = 0.0; });
    Matrix h_bare = Matrix::zeros(2, 2);
    apply_external_charges_to_hcore(h2, bare, on_atom, 1, h_bare);
    EXPECT_NEAR(h_bare(0, 0), -kCoulombEvAngstrom / 0.5, 1e-12);
}

}  // namespace
}  // namespace quorin
