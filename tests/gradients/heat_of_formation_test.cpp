#include "core/gradients/heat_of_formation.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "core/fock/one_center.h"
#include "core/scf/scf_loop.h"
#include "core/types/constants.h"
#include "gradients/test_molecules.h"

namespace quorin {
namespace {

struct SpinOrbital {
    std::size_t orbital;  // 0 s, 1..3 p, 4..8 d
    int spin;
};

// Energy of one determinant by the Slater-Condon rules: one-electron U terms,
// Coulomb J for every electron pair, exchange K for every same-spin pair.
template <class OneElectron, class Coulomb, class Exchange>
double determinant_energy(const std::vector<SpinOrbital>& occupied, OneElectron u, Coulomb j, Exchange k) {
    double energy = 0.0;
    for (std::size_t a = 0; a < occupied.size(); ++a) {
        energy += u(occupied[a].orbital);
        for (std::size_t b = 0; b < a; ++b) {
            const std::size_t i = occupied[a].orbital, o = occupied[b].orbital;
            energy += j(i, o) - (occupied[a].spin == occupied[b].spin ? k(i, o) : 0.0);
        }
    }
    return energy;
}

// The high-spin single determinant s^ns p^np (Hund filling). One-centre
// integrals: J(s,s) = g_ss, J(s,p) = g_sp, J(p,p) = g_pp, J(p,p') = g_p2,
// K(s,p) = h_sp, K(p,p') = (g_pp - g_p2) / 2.
double high_spin_determinant_energy(const ElementParams& e, int ns, int np) {
    std::vector<SpinOrbital> occupied;
    for (int k = 0; k < ns; ++k) occupied.push_back({0, k});
    for (int k = 0; k < np; ++k) occupied.push_back({static_cast<std::size_t>(1 + k % 3), k < 3 ? 0 : 1});
    auto u = [&e](std::size_t i) { return i == 0 ? e.u_ss : e.u_pp; };
    auto coulomb = [&e](std::size_t i, std::size_t o) {
        if (i == 0 && o == 0) return e.g_ss;
        if (i == 0 || o == 0) return e.g_sp;
        return i == o ? e.g_pp : e.g_p2;
    };
    auto exchange = [&e, &coulomb](std::size_t i, std::size_t o) {
        if (i == o) return coulomb(i, o);
        return i == 0 || o == 0 ? e.h_sp : (e.g_pp - e.g_p2) / 2.0;
    };
    return determinant_energy(occupied, u, coulomb, exchange);
}

struct Atom {
    std::uint8_t z;
    int ns, np;
    double heat_kcal_mol;  // experimental heat of formation of the gaseous atom
};

// Ground-state valence configurations of the main-group elements the
// published parameter sets cover.
const std::vector<Atom> kMainGroupAtoms{
    {1, 1, 0, 52.102}, {5, 2, 1, 135.7},   {6, 2, 2, 170.89}, {7, 2, 3, 113.0},
    {8, 2, 4, 59.559}, {9, 2, 5, 18.89},   {14, 2, 2, 108.39}, {15, 2, 3, 75.57},
    {16, 2, 4, 66.4},  {17, 2, 5, 28.99},  {35, 2, 5, 26.74},  {53, 2, 5, 25.517}};

using namespace testing;

TEST(IsolatedAtoms, EnergyIsHighSpinDeterminantEnergy) {
    std::size_t checked = 0;
    for (const ParameterModel* model : kAllModels) {
        for (const Atom& atom : kMainGroupAtoms) {
            const auto rec = model->get_element(atom.z);
            SCOPED_TRACE(std::string(model->name()) + " Z=" + std::to_string(atom.z));
            const auto [energy_ev, heat_kcal_mol] = get_isolated_atom_energy_and_heat(atom.z, *model);
            if (!rec) {
                EXPECT_EQ(energy_ev, 0.0);
                EXPECT_EQ(heat_kcal_mol, 0.0);
                continue;
            }
            const double expected = high_spin_determinant_energy(*rec, atom.ns, atom.np);
            EXPECT_NEAR(energy_ev, expected, 1e-9 * std::abs(expected));
            EXPECT_EQ(heat_kcal_mol, atom.heat_kcal_mol);
            ++checked;
        }
    }
    EXPECT_GE(checked, 50u);  // the published sets cover most of the table
}

// An atom with d electrons: its reference holds every one-centre repulsion
// the SCF applies, so the bare atom's heat comes out near its atomic heat.
TEST(IsolatedAtoms, IronIsItsHighSpinGroundTerm) {
    const auto fe = kPm7.get_element(26);
    const auto fe_d = kPm7.get_d_element_params(26);
    ASSERT_TRUE(fe.has_value() && fe_d.has_value());
    std::vector<double> table(kSpdPairs * kSpdPairs);
    fill_spd_one_center_table(*fe, &*fe_d, table.data());
    auto at = [&table](std::size_t i, std::size_t j, std::size_t k, std::size_t l) {
        return table[packed_pair_index(i, j) * kSpdPairs + packed_pair_index(k, l)];
    };
    // The 5D term of s2 d6: the mean of its five high-spin determinants (s
    // alpha and beta, five alpha d electrons, the beta d electron in each d
    // orbital in turn), with J = (ii|jj) and K = (ij|ij) from the table.
    auto u = [&fe](std::size_t i) { return i == 0 ? fe->u_ss : fe->u_dd; };
    auto coulomb = [&at](std::size_t i, std::size_t j) { return at(i, i, j, j); };
    auto exchange = [&at](std::size_t i, std::size_t j) { return at(i, j, i, j); };
    double term = 0.0;
    for (std::size_t beta_d = 4; beta_d < 9; ++beta_d) {
        std::vector<SpinOrbital> occupied{{0, 0}, {0, 1}, {beta_d, 1}};
        for (std::size_t d = 4; d < 9; ++d) occupied.push_back({d, 0});
        term += determinant_energy(occupied, u, coulomb, exchange) / 5.0;
    }
    const auto [fe_energy, fe_heat] = get_isolated_atom_energy_and_heat(26, kPm7);
    EXPECT_NEAR(fe_energy, term, 1e-10 * std::abs(term));
    EXPECT_EQ(fe_heat, 99.3);

    // The bare atom's closed-shell SCF lies above the high-spin ground term,
    // as for main-group atoms (PM6 C, O and S atoms come out 45-125 kcal/mol
    // above their atomic heats); PM7 iron gives about 191.5 kcal/mol against
    // 99.3 (it was near 6800 while the d-d and s-d repulsions were missing).
    const std::array<std::array<double, 3>, 1> origin{};
    const MolecularBatch atom = MolecularBatch::new_for_model({26}, origin, kPm7);
    ScfWorkspace ws = ScfWorkspace::allocate(atom.n_basis);
    const ScfResult scf = run_rhf_scf_with_options(atom, kPm7, ws, ScfOptions{});
    ASSERT_TRUE(scf.converged);
    const double heat = compute_heat_of_formation_kcal_mol(atom, kPm7, scf.total_energy);
    EXPECT_GT(heat, 99.3);
    EXPECT_LT(heat, 99.3 + 150.0);

    // Atoms without d electrons keep the closed sp form: hand expansions for
    // carbon (s2 p2) and oxygen and sulfur (s2 p4), coefficients of u_pp,
    // g_sp, g_pp, g_p2 and h_sp after 2 u_ss + g_ss.
    struct SpForm {
        std::uint8_t z;
        double u_pp, g_sp, g_pp, g_p2, h_sp;
    };
    for (const SpForm f : {SpForm{6, 2, 4, -0.5, 1.5, -2}, SpForm{8, 4, 8, -0.5, 6.5, -4},
                           SpForm{16, 4, 8, -0.5, 6.5, -4}}) {
        const ElementParams e = *kPm6.get_element(f.z);
        const double expected = 2 * e.u_ss + e.g_ss + f.u_pp * e.u_pp + f.g_sp * e.g_sp + f.g_pp * e.g_pp +
                                f.g_p2 * e.g_p2 + f.h_sp * e.h_sp;
        EXPECT_NEAR(get_isolated_atom_energy_and_heat(f.z, kPm6).first, expected, 1e-12 * std::abs(expected));
    }
}

TEST(IsolatedAtoms, ElementsOutsideTheMainGroupTable) {
    // PM7 thorium has parameters but no listed configuration: one s electron, no heat.
    const auto th = kPm7.get_element(90);
    ASSERT_TRUE(th.has_value());
    EXPECT_EQ(get_isolated_atom_energy_and_heat(90, kPm7), std::make_pair(th->u_ss, 0.0));
    // Elements a model lacks.
    EXPECT_EQ(get_isolated_atom_energy_and_heat(5, kRm1), std::make_pair(0.0, 0.0));
    EXPECT_EQ(get_isolated_atom_energy_and_heat(8, kPm7), std::make_pair(0.0, 0.0));
}

// The rule: sum of atomic heats plus the atomisation energy in kcal/mol,
// checked against the determinant energies, and against the experimental
// gas-phase heat of formation of water (-57.8 kcal/mol), which every NDDO
// set reproduces to within a few kcal/mol.
TEST(HeatOfFormation, WaterFromScfEnergy) {
    const Geometry water = ladder_molecule("water");
    for (const ParameterModel* model : kSpModels) {
        SCOPED_TRACE(std::string(model->name()));
        const MolecularBatch molecule = make_molecule(water, *model);
        ScfWorkspace ws = ScfWorkspace::allocate(molecule.n_basis);
        const ScfResult scf = run_rhf_scf_with_options(molecule, *model, ws, ScfOptions{});
        ASSERT_TRUE(scf.converged);
        const double atoms_ev = high_spin_determinant_energy(*model->get_element(8), 2, 4) +
                                2 * high_spin_determinant_energy(*model->get_element(1), 1, 0);
        const double expected = 59.559 + 2 * 52.102 + (scf.total_energy - atoms_ev) * 23.06054783061903;
        const double heat = compute_heat_of_formation_kcal_mol(molecule, *model, scf.total_energy);
        EXPECT_NEAR(heat, expected, 1e-8);
        EXPECT_NEAR(heat, -57.8, 12.0);
    }
    // An atom without parameters adds neither energy nor heat.
    const std::array<std::array<double, 3>, 2> at{{{0, 0, 0}, {0, 0, 3}}};
    const MolecularBatch h_and_b = MolecularBatch::new_for_model({1, 5}, at, kRm1);
    EXPECT_NEAR(compute_heat_of_formation_kcal_mol(h_and_b, kRm1, -20.0),
                52.102 + (-20.0 - kRm1.get_element(1)->u_ss) * kEvToKcalMol, 1e-10);
}

}  // namespace
}  // namespace quorin
