// Solvation inside the self-consistent field.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "core/scf/scf_loop.h"
#include "core/scf/workspace.h"
#include "core/solvation/cosmo.h"

namespace quorin {
namespace {

struct WaterRun {
    double total_energy;
    double cosmo_energy;
    bool has_cosmo;
    bool converged;
};

WaterRun run_water(std::optional<double> epsilon) {
    Pm6Model model;
    const std::vector<std::array<double, 3>> xyz{
        {0.006844, 0.397756, 0.0}, {-0.766778, -0.185743, 0.0}, {0.759933, -0.212013, 0.0}};
    const MolecularBatch mol = MolecularBatch::new_for_model({8, 1, 1}, xyz, model);
    ScfWorkspace ws = ScfWorkspace::allocate(mol.n_basis);
    ScfOptions options;
    options.energy_tolerance = 1e-9;
    options.density_tolerance = 1e-8;
    options.max_iterations = 200;
    if (epsilon) options.cosmo = std::make_pair(*epsilon, 1.30005);
    const ScfResult r = run_rhf_scf_with_options(mol, model, ws, options);
    return {r.total_energy, r.cosmo_energy.value_or(0.0), r.cosmo_energy.has_value(), r.converged};
}

// The solvated SCF minimises E_gas(P) + f(eps) Q(P) with Q >= 0 and f(eps)
// falling from 0 (eps = 1) towards -1 (conductor). Hence: eps = 1 is the gas
// phase; the solvation energy dE = E_solv - E_gas is negative and bounded
// below by the dielectric energy at the solvated density (E_gas(P_solv) >=
// E_gas(P_gas)); and dE only deepens as eps grows, levelling off at the
// conductor limit.
TEST(CosmoScf, SolvationEnergyOfWaterIsBoundedAndGrowsWithPermittivity) {
    const WaterRun gas = run_water(std::nullopt);
    ASSERT_TRUE(gas.converged);
    EXPECT_FALSE(gas.has_cosmo);

    const WaterRun unit = run_water(1.0);
    ASSERT_TRUE(unit.converged);
    EXPECT_TRUE(unit.has_cosmo);
    EXPECT_EQ(unit.cosmo_energy, 0.0);
    EXPECT_NEAR(unit.total_energy, gas.total_energy, 1e-10);

    double previous = 0.0;
    double d_water = 0.0;
    for (double eps : {2.0, 4.0, 20.0, 78.4, 1e9}) {
        SCOPED_TRACE(eps);
        const WaterRun solv = run_water(eps);
        ASSERT_TRUE(solv.converged);
        const double d = solv.total_energy - gas.total_energy;
        EXPECT_LT(d, 0.0);
        EXPECT_LE(solv.cosmo_energy, d + 1e-7);
        EXPECT_LT(d, previous);
        previous = d;
        if (eps == 78.4) d_water = d;
    }
    // f(78.4) = -0.981: water is within a few per cent of the conductor.
    EXPECT_GT(d_water, 1.05 * previous);
}

}  // namespace
}  // namespace quorin
