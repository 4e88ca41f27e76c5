#include "core/gradients/heat_of_formation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "core/scf/scf_loop.h"
#include "core/types/constants.h"
#include "gradients/test_molecules.h"

namespace quorin {
namespace {

// Energy of the high-spin single determinant s^ns p^np (Hund filling) by the
// Slater-Condon rules: one-electron U terms, Coulomb J for every electron
// pair, exchange K for every same-spin pair. One-centre integrals:
// J(s,s) = g_ss, J(s,p) = g_sp, J(p,p) = g_pp, J(p,p') = g_p2,
// K(s,p) = h_sp, K(p,p') = (g_pp - g_p2) / 2.
double high_spin_determinant_energy(const ElementParams& e, int ns, int np) {
    struct SpinOrbital {
        int orbital;  // 0 s, 1..3 p
        int spin;
    };
    std::vector<SpinOrbital> occupied;
    for (int k = 0; k < ns; ++k) occupied.push_back({0, k});
    for (int k = 0; k < np; ++k) occupied.push_back({1 + k % 3, k < 3 ? 0 : 1});
    double energy = 0.0;
    for (std::size_t i = 0; i < occupied.size(); ++i) {
        const SpinOrbital a = occupied[i];
        energy += a.orbital == 0 ? e.u_ss : e.u_pp;
        for (std::size_t j = 0; j < i; ++j) {
            const SpinOrbital b = occupied[j];
            double coulomb = 0.0, exchange = 0.0;
            if (a.orbital == 0 && b.orbital == 0) {
                coulomb = e.g_ss;
            } else if (a.orbital == 0 || b.orbital == 0) {
                coulomb = e.g_sp;
                exchange = e.h_sp;
            } else if (a.orbital == b.orbital) {
                coulomb = e.g_pp;
            } else {
                coulomb = e.g_p2;
                exchange = (e.g_pp - e.g_p2) / 2.0;
            }
            energy += coulomb - (a.spin == b.spin ? exchange : 0.0);
        }
    }
    return energy;
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

TEST(IsolatedAtoms, ElementsOutsideTheMainGroupTable) {
    // PM7 iron: s^2 d^6, the d electrons entering through u_dd only.
    const auto fe = kPm7.get_element(26);
    ASSERT_TRUE(fe.has_value());
    const auto [fe_energy, fe_heat] = get_isolated_atom_energy_and_heat(26, kPm7);
    EXPECT_NEAR(fe_energy, 2 * fe->u_ss + 6 * fe->u_dd + fe->g_ss, 1e-9 * std::abs(fe_energy));
    EXPECT_EQ(fe_heat, 99.3);
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
