#include "core/properties/dipole.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "core/parameters/parameter_model.h"
#include "core/properties/polarizability.h"
#include "core/types/constants.h"
#include "core/types/errors.h"
#include "core/types/molecule.h"

namespace quorin {
namespace {

constexpr double kBohrAngstrom = 0.529177210903;
constexpr double kDebye = 4.80320425;  // Debye per e*angstrom

double factorial(int n) { return n <= 1 ? 1.0 : n * factorial(n - 1); }

// Radial moment <r> (bohr) between normalised Slater functions (n1, z1) and
// (n2, z2), by Simpson quadrature.
double radial_moment_bohr(int n1, double z1, int n2, double z2) {
    const double norm = std::pow(2.0 * z1, n1 + 0.5) * std::pow(2.0 * z2, n2 + 0.5) /
                        std::sqrt(factorial(2 * n1) * factorial(2 * n2));
    const double r_max = 120.0 / (z1 + z2);
    const int steps = 200000;
    const double h = r_max / steps;
    auto f = [&](double r) { return norm * std::pow(r, n1 + n2 + 1) * std::exp(-(z1 + z2) * r); };
    double sum = f(0.0) + f(r_max);
    for (int i = 1; i < steps; ++i) sum += f(i * h) * (i % 2 == 1 ? 4.0 : 2.0);
    return sum * h / 3.0;
}

// <s|x|p_x> in bohr between normalised Slater functions of principal quantum
// number n; the angular factor of <Y00|x/r|p_x> is 1/sqrt(3).
double sp_transition_dipole_bohr(int n, double zeta_s, double zeta_p) {
    return radial_moment_bohr(n, zeta_s, n, zeta_p) / std::sqrt(3.0);
}

MolecularBatch molecule_of(const ParameterModel& model, std::vector<std::uint8_t> z,
                           std::vector<std::array<double, 3>> xyz) {
    return MolecularBatch::new_for_model(std::move(z), xyz, model);
}

// A density whose diagonal holds the given per-atom s and p populations and
// whose s-p blocks hold the given couplings, one (x, y, z) triple per heavy atom.
Matrix density_of(const MolecularBatch& mol, const std::vector<std::array<double, 2>>& sp_populations,
                  const std::vector<std::array<double, 3>>& sp_couplings) {
    Matrix p = Matrix::zeros(mol.n_basis, mol.n_basis);
    for (std::size_t a = 0; a < mol.n_atoms; ++a) {
        const std::size_t s = mol.first_orbital[a];
        p(s, s) = sp_populations[a][0];
        if (mol.orbitals_per_atom[a] < 4) continue;
        for (int k = 1; k <= 3; ++k) {
            p(s + k, s + k) = sp_populations[a][1] / 3.0;
            p(s, s + k) = p(s + k, s) = sp_couplings[a][k - 1];
        }
    }
    return p;
}

TEST(Dipole, HybridTermIsTheTransitionDipoleOfAnOccupiedSpHybrid) {
    // One doubly occupied (s + p_k)/sqrt(2) hybrid: P(s,s) = P(p_k,p_k) =
    // P(s,p_k) = 1. Its electron pair sits at <x_k> = <s|x_k|p_k>, so the
    // dipole is -2 <s|x_k|p_k> along k. The lone atom is charged, so the
    // point-charge term is taken about the atom itself and vanishes.
    struct Case {
        std::shared_ptr<ParameterModel> model;
        std::uint8_t z;
        int n;
        int axis;
    };
    const std::vector<Case> cases = {
        {std::make_shared<Pm6Model>(), 8, 2, 0},   // O, sp basis
        {std::make_shared<Am1Model>(), 6, 2, 1},   // C
        {std::make_shared<Pm6Model>(), 35, 4, 2},  // Br, nine orbitals
        {std::make_shared<MndoModel>(), 7, 2, 2},  // N
    };
    for (const Case& c : cases) {
        const auto element = c.model->get_element(c.z);
        ASSERT_TRUE(element.has_value());
        MolecularBatch mol = molecule_of(*c.model, {c.z}, {{0.3, -1.2, 2.5}});
        Matrix p = Matrix::zeros(mol.n_basis, mol.n_basis);
        p(0, 0) = 1.0;
        p(1 + c.axis, 1 + c.axis) = 1.0;
        p(0, 1 + c.axis) = p(1 + c.axis, 0) = 1.0;
        const DipoleResult d = compute_dipole(mol, *c.model, p);

        const double expected = -2.0 * sp_transition_dipole_bohr(c.n, element->zeta_s, element->zeta_p) *
                                kBohrAngstrom * kDebye;
        SCOPED_TRACE("Z=" + std::to_string(c.z));
        EXPECT_NEAR(d.charges[0], element->core_charge - 2.0, 1e-14);
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(d.point_charge_dipole[k], 0.0, 1e-12);
            EXPECT_NEAR(d.hybrid_dipole[k], k == c.axis ? expected : 0.0, 1e-7 * std::abs(expected));
            EXPECT_DOUBLE_EQ(d.total_dipole[k], d.point_charge_dipole[k] + d.hybrid_dipole[k]);
        }
        EXPECT_NEAR(d.total_dipole_magnitude, std::abs(expected), 1e-7 * std::abs(expected));
    }
}

// Real p (x, y, z) and d (x2-y2, xz, z2, yz, xy) harmonics at a unit vector.
double p_harmonic(int i, const double* u) { return std::sqrt(3.0 / (4.0 * std::numbers::pi)) * u[i]; }
double d_harmonic(int j, const double* u) {
    const double pi = std::numbers::pi;
    switch (j) {
        case 0: return std::sqrt(15.0 / (16.0 * pi)) * (u[0] * u[0] - u[1] * u[1]);
        case 1: return std::sqrt(15.0 / (4.0 * pi)) * u[0] * u[2];
        case 2: return std::sqrt(5.0 / (16.0 * pi)) * (3.0 * u[2] * u[2] - 1.0);
        case 3: return std::sqrt(15.0 / (4.0 * pi)) * u[1] * u[2];
        default: return std::sqrt(15.0 / (4.0 * pi)) * u[0] * u[1];
    }
}

// <p_i| u_k |d_j> over the unit sphere: Gauss-Legendre in cos(theta) (exact
// for these polynomials) and an even grid in phi.
double angular_pd(int i, int j, int k) {
    const double nodes[4] = {-0.8611363115940526, -0.3399810435848563, 0.3399810435848563, 0.8611363115940526};
    const double weights[4] = {0.3478548451374538, 0.6521451548625461, 0.6521451548625461, 0.3478548451374538};
    const int n_phi = 16;
    double sum = 0.0;
    for (int a = 0; a < 4; ++a) {
        const double c = nodes[a], s = std::sqrt(1.0 - c * c);
        for (int b = 0; b < n_phi; ++b) {
            const double phi = 2.0 * std::numbers::pi * b / n_phi;
            const double u[3] = {s * std::cos(phi), s * std::sin(phi), c};
            sum += weights[a] * (2.0 * std::numbers::pi / n_phi) * p_harmonic(i, u) * u[k] * d_harmonic(j, u);
        }
    }
    return sum;
}

// A doubly occupied (p_i + d_j)/sqrt(2) hybrid of a lone PM6 sulfur atom
// sits at <p_i|r|d_j>: radial <r>_pd of its 3p and 3d Slater functions times
// the angular integral of the two real harmonics, both by quadrature.
TEST(Dipole, PdHybridTermIsTheTransitionDipoleOfAnOccupiedPdHybrid) {
    Pm6Model model;
    const auto sulfur = model.get_element(16);
    ASSERT_TRUE(sulfur.has_value());
    const double r_pd = radial_moment_bohr(3, sulfur->zeta_p, 3, sulfur->zeta_d);
    MolecularBatch mol = molecule_of(model, {16}, {{0.4, -0.2, 1.1}});
    ASSERT_EQ(mol.n_basis, 9u);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 5; ++j) {
            Matrix p = Matrix::zeros(9, 9);
            p(1 + i, 1 + i) = p(4 + j, 4 + j) = 1.0;
            p(1 + i, 4 + j) = p(4 + j, 1 + i) = 1.0;
            const DipoleResult d = compute_dipole(mol, model, p);
            for (int k = 0; k < 3; ++k) {
                const double expected = -2.0 * r_pd * angular_pd(i, j, k) * kBohrAngstrom * kDebye;
                EXPECT_NEAR(d.hybrid_dipole[k], expected, 1e-7) << "p" << i << " d" << j << " axis " << k;
            }
        }
    }
}

// SCF dipoles: molecules with d-orbital S and P atoms against the published
// PM6 values (cysteine 4.199 D, the P4S4 cage 0.961 D; geometries of the
// reference set), molecules of sp atoms against the values of the s-p term
// alone (this implementation before the p-d term was added), and the field
// derivative of the energy of H2S (-dE/dF = mu, the field Hamiltonian
// carrying the same on-atom dipole integrals as the dipole).
TEST(Dipole, ScfDipolesOfPm6Molecules) {
    Pm6Model pm6;
    struct Case {
        const char* name;
        std::vector<std::uint8_t> z;
        std::vector<std::array<double, 3>> xyz;
        double debye;
        double tolerance;
    };
    const Case cases[] = {
        {"cysteine",
         {6, 6, 6, 7, 16, 1, 1, 1, 1, 1, 1, 8, 8, 1},
         {{-0.20397, 1.22962, -1.76013}, {-0.07394, 2.37103, -2.76757}, {-0.93674, 2.04639, -4.00721},
          {-0.489, 3.70592, -2.26919}, {0.92458, 1.62844, -0.39263}, {0.26838, 4.15403, -1.75472},
          {0.57989, 0.64903, 0.47121}, {-1.24369, 1.11166, -1.40104}, {0.99128, 2.435, -3.13811},
          {0.06711, 0.26052, -2.23274}, {-1.27818, 3.6325, -1.62824}, {-1.16773, 0.93577, -4.41475},
          {-1.42956, 3.1054, -4.70939}, {-1.23736, 4.00019, -4.29014}},
         4.199, 0.005},
        {"P4S4",
         {16, 16, 16, 16, 15, 15, 15, 15},
         {{-0.18797, -0.37016, 1.8629}, {-1.09827, 0.41574, -1.21891}, {-2.84046, -1.43132, 2.37146},
          {-3.85076, -0.84543, -0.51035}, {-3.46451, 0.303, 1.26528}, {-1.42563, 1.2372, 0.74042},
          {-1.86785, -1.56868, -0.91764}, {-1.31947, -2.30268, 1.51703}},
         0.961, 0.005},
        {"water", {8, 1, 1}, {{0, 0, 0}, {0.759, 0.588, 0}, {-0.759, 0.588, 0}}, 2.1208173, 1e-6},
        {"formaldehyde", {6, 8, 1, 1}, {{0, 0, 0}, {0, 0, 1.21}, {0.94, 0, -0.59}, {-0.94, 0, -0.59}},
         2.8194923, 1e-6},
    };
    PolarizabilityOptions o;
    o.energy_tolerance = 1e-11;
    o.density_tolerance = 1e-10;
    for (const Case& c : cases) {
        const MolecularBatch mol = molecule_of(pm6, c.z, c.xyz);
        ScfWorkspace ws = ScfWorkspace::allocate(mol.n_basis);
        const FieldScfResult r = run_field_scf(mol, pm6, ws, {0.0, 0.0, 0.0}, o);
        ASSERT_TRUE(r.converged) << c.name;
        EXPECT_NEAR(r.dipole.total_dipole_magnitude, c.debye, c.tolerance) << c.name;
    }

    const MolecularBatch h2s = molecule_of(pm6, {16, 1, 1}, {{0.05, -0.02, 0.1}, {1.2, 0.9, 0.0}, {-1.25, 0.85, 0.2}});
    ScfWorkspace ws = ScfWorkspace::allocate(h2s.n_basis);
    const double f = 0.002;  // atomic units
    const FieldScfResult zero = run_field_scf(h2s, pm6, ws, {0.0, 0.0, 0.0}, o);
    for (int k = 0; k < 3; ++k) {
        std::array<double, 4> e{};
        for (int s = 0; s < 4; ++s) {
            std::array<double, 3> field{};
            field[k] = (s < 2 ? 1.0 : 2.0) * (s % 2 == 0 ? f : -f);
            e[s] = run_field_scf(h2s, pm6, ws, field, o).energy_ev / kHartreeToEv;
        }
        const double mu_au = -(8.0 * (e[0] - e[1]) - (e[2] - e[3])) / (12.0 * f);
        EXPECT_NEAR(mu_au / kDipoleAuPerDebye, zero.dipole.total_dipole[k], 2e-4) << "axis " << k;
    }
}

TEST(Dipole, RigidMotionsMoveTheDipoleAsAVector) {
    // Translation leaves the dipole unchanged (neutral: sum q = 0; charged:
    // origin follows the centre of mass). A rotation R of the nuclei together
    // with R applied to each s-p block rotates the total dipole by R.
    Pm6Model model;
    const std::vector<std::array<double, 3>> xyz = {{0.1, 0.2, -0.1}, {0.9, 0.5, 0.3}, {-0.6, 0.7, 0.2}};
    const std::vector<std::array<double, 3>> couplings = {{0.21, -0.13, 0.07}, {0, 0, 0}, {0, 0, 0}};
    const double angle = 0.7;
    const std::array<std::array<double, 3>, 3> rot = {{{std::cos(angle), -std::sin(angle), 0.0},
                                                       {std::sin(angle), std::cos(angle), 0.0},
                                                       {0.0, 0.0, 1.0}}};
    auto apply = [&](const std::array<double, 3>& v) {
        std::array<double, 3> out{};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) out[i] += rot[i][j] * v[j];
        return out;
    };
    // Neutral (populations sum to 8) and charged by +1 (populations sum to 7).
    for (const double h_population : {1.0, 0.5}) {
        const std::vector<std::array<double, 2>> pops = {{1.9, 4.1}, {h_population, 0}, {h_population, 0}};
        MolecularBatch mol = molecule_of(model, {8, 1, 1}, xyz);
        const DipoleResult ref = compute_dipole(mol, model, density_of(mol, pops, couplings));

        std::vector<std::array<double, 3>> shifted = xyz;
        for (auto& r : shifted) r = {r[0] + 3.0, r[1] - 7.5, r[2] + 11.0};
        MolecularBatch mol_shifted = molecule_of(model, {8, 1, 1}, shifted);
        const DipoleResult moved = compute_dipole(mol_shifted, model, density_of(mol_shifted, pops, couplings));

        std::vector<std::array<double, 3>> rotated;
        for (const auto& r : xyz) rotated.push_back(apply(r));
        std::vector<std::array<double, 3>> rotated_couplings;
        for (const auto& c : couplings) rotated_couplings.push_back(apply(c));
        MolecularBatch mol_rotated = molecule_of(model, {8, 1, 1}, rotated);
        const DipoleResult turned =
            compute_dipole(mol_rotated, model, density_of(mol_rotated, pops, rotated_couplings));

        const auto expected_turned = apply(ref.total_dipole);
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(moved.total_dipole[k], ref.total_dipole[k], 1e-11);
            EXPECT_NEAR(turned.total_dipole[k], expected_turned[k], 1e-11);
        }
        EXPECT_GT(std::abs(ref.hybrid_dipole_magnitude), 0.1);
        EXPECT_NEAR(turned.total_dipole_magnitude, ref.total_dipole_magnitude, 1e-11);
    }
}

TEST(Dipole, OriginMovesToTheCentreOfMassOnlyAboveHalfACharge) {
    // H2 with populations 1 and 1 - t: total charge t. Masses 1.0079 each, so
    // the centre of mass is the midpoint.
    Pm6Model model;
    struct Case {
        double total_charge;
        bool centre_of_mass;
    };
    for (const Case c : {Case{0.5, false}, Case{0.5000001, true}, Case{-0.75, true}, Case{0.25, false}}) {
        MolecularBatch mol = molecule_of(model, {1, 1}, {{1.0, 2.0, 3.0}, {2.0, 4.0, 5.0}});
        Matrix p = Matrix::zeros(2, 2);
        p(0, 0) = 1.0;
        p(1, 1) = 1.0 - c.total_charge;
        const DipoleResult d = compute_dipole(mol, model, p);
        EXPECT_NEAR(d.total_charge, c.total_charge, 1e-15);
        const std::array<double, 3> expected_origin =
            c.centre_of_mass ? std::array<double, 3>{1.5, 3.0, 4.0} : std::array<double, 3>{0.0, 0.0, 0.0};
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(d.origin[k], expected_origin[k], 1e-14);
        // Only atom 2 is charged: its charge times its position about the origin.
        EXPECT_NEAR(d.point_charge_dipole[1], c.total_charge * (4.0 - expected_origin[1]) * kDebye, 1e-9);
        EXPECT_EQ(d.hybrid_dipole_magnitude, 0.0);
    }
}

TEST(Dipole, CentreOfMassUsesTheAtomicMassTable) {
    // OH with one extra electron missing: charge +1 (O 6 - 6, H 1 - 0).
    // Centre of mass from the table masses 15.9994 and 1.0079.
    Pm6Model model;
    MolecularBatch mol = molecule_of(model, {8, 1}, {{0.0, 0.0, 0.0}, {0.0, 0.0, 1.0}});
    const Matrix p = density_of(mol, {{2.0, 4.0}, {0.0, 0.0}}, {{0, 0, 0}, {0, 0, 0}});
    const DipoleResult d = compute_dipole(mol, model, p);
    const double z_com = 1.0079 / (15.9994 + 1.0079);
    EXPECT_NEAR(d.origin[2], z_com, 1e-14);
    EXPECT_NEAR(d.point_charge_dipole[2], 1.0 * (1.0 - z_com) * kDebye, 1e-12);
}

TEST(Dipole, EmptyMoleculeAndMissingParameters) {
    Pm6Model pm6;
    MolecularBatch empty = molecule_of(pm6, {}, {});
    const DipoleResult d = compute_dipole(empty, pm6, Matrix::zeros(0, 0));
    EXPECT_TRUE(d.charges.empty());
    EXPECT_EQ(d.total_dipole_magnitude, 0.0);
    EXPECT_EQ(d.total_charge, 0.0);

    // Helium has no PM6 record: the charge step counts a core charge of 0,
    // the hybrid step stops. Oxygen has no PM7 record.
    struct Case {
        std::shared_ptr<ParameterModel> model;
        std::uint8_t z;
    };
    for (const Case& c : {Case{std::make_shared<Pm6Model>(), 2}, Case{std::make_shared<Pm7Model>(), 8}}) {
        MolecularBatch mol = MolecularBatch::new_by_atomic_number({1, c.z}, std::vector<std::array<double, 3>>{
                                                                               {0, 0, 0}, {0, 0, 1}});
        const Matrix p = Matrix::zeros(mol.n_basis, mol.n_basis);
        try {
            compute_dipole(mol, *c.model, p);
            ADD_FAILURE() << "expected an engine stop";
        } catch (const EngineStop& e) {
            EXPECT_EQ(std::string(e.what()), "Parameters missing for element Z=" + std::to_string(c.z));
        }
    }

    // A density of the wrong size is refused instead of read out of bounds.
    MolecularBatch water = molecule_of(pm6, {8, 1, 1}, {{0, 0, 0}, {0, 0, 1}, {0, 1, 0}});
    EXPECT_THROW(compute_dipole(water, pm6, Matrix::zeros(4, 4)), EngineStop);
}

}  // namespace
}  // namespace quorin
