#include "core/properties/dipole.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "core/parameters/parameter_model.h"
#include "core/types/errors.h"
#include "core/types/molecule.h"

namespace quorin {
namespace {

constexpr double kBohrAngstrom = 0.529177210903;
constexpr double kDebye = 4.80320425;  // Debye per e*angstrom

double factorial(int n) { return n <= 1 ? 1.0 : n * factorial(n - 1); }

// <s|x|p_x> in bohr between normalised Slater functions of principal quantum
// number n, by Simpson quadrature of the radial integral; the angular factor
// of <Y00|x/r|p_x> is 1/sqrt(3).
double sp_transition_dipole_bohr(int n, double zeta_s, double zeta_p) {
    const double ns = std::pow(2.0 * zeta_s, n + 0.5) / std::sqrt(factorial(2 * n));
    const double np = std::pow(2.0 * zeta_p, n + 0.5) / std::sqrt(factorial(2 * n));
    const double r_max = 120.0 / (zeta_s + zeta_p);
    const int steps = 200000;
    const double h = r_max / steps;
    auto f = [&](double r) { return ns * np * std::pow(r, 2 * n + 1) * std::exp(-(zeta_s + zeta_p) * r); };
    double sum = f(0.0) + f(r_max);
    for (int i = 1; i < steps; ++i) sum += f(i * h) * (i % 2 == 1 ? 4.0 : 2.0);
    return sum * h / 3.0 / std::sqrt(3.0);
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
