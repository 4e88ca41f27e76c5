#pragma once
// A tightly converged L-BFGS minimum (NDDO on) with its heat of formation:
// gradient tolerances far below those of the searches and paths under test.
#include <gtest/gtest.h>

#include "common/geometry.h"
#include "core/gradients/heat_of_formation.h"
#include "core/opt/lbfgs.h"

namespace quorin::fixtures {

struct Minimum {
    Geometry geometry;
    double heat_kcal = 0.0;  // kcal/mol, from the minimiser's last energy
};

inline Minimum tight_minimum(Geometry g, const ParameterModel& model, double energy_tol = 1e-9) {
    MolecularBatch m = make_molecule(g, model);
    ScfWorkspace scf = ScfWorkspace::allocate(m.n_basis);
    GradientWorkspace gradient = GradientWorkspace::allocate(m.n_basis);
    OptimizationOptions options;
    options.grad_rms_tol = 0.01;
    options.grad_max_tol = 0.02;
    options.energy_tol = energy_tol;
    options.max_cycles = 300;
    options.use_nddo = true;
    const OptimizationResult r = optimize_geometry_lbfgs(m, model, scf, gradient, options);
    EXPECT_TRUE(r.converged);
    g.xyz = coordinate_triples(m);
    return {g, compute_heat_of_formation_kcal_mol(m, model, r.final_energy)};
}

}  // namespace quorin::fixtures
