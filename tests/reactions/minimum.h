#pragma once
// Tightly minimised geometries (NDDO surface) for the reaction-path tests:
// the L-BFGS minimiser with tolerances far below the paths' own.
#include <gtest/gtest.h>

#include "common/geometry.h"
#include "core/gradients/heat_of_formation.h"
#include "core/opt/lbfgs.h"

namespace quorin::fixtures {

struct Minimum {
    Geometry geometry;
    double heat_kcal;
};

inline Minimum minimised(Geometry g, const ParameterModel& model) {
    MolecularBatch m = make_molecule(g, model);
    ScfWorkspace scf = ScfWorkspace::allocate(m.n_basis);
    GradientWorkspace gradient = GradientWorkspace::allocate(m.n_basis);
    OptimizationOptions options;
    options.grad_rms_tol = 0.01;
    options.grad_max_tol = 0.02;
    options.energy_tol = 1e-10;
    options.max_cycles = 300;
    options.use_nddo = true;
    const OptimizationResult r = optimize_geometry_lbfgs(m, model, scf, gradient, options);
    EXPECT_TRUE(r.converged);
    g.xyz = coordinate_triples(m);
    return {g, compute_heat_of_formation_kcal_mol(m, model, r.final_energy)};
}

}  // namespace quorin::fixtures
