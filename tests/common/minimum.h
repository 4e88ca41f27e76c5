#pragma once
// A tightly converged L-BFGS minimum (NDDO on) with its heat of formation.
#include <gtest/gtest.h>

#include "common/geometry.h"
#include "core/gradients/heat_of_formation.h"
#include "core/opt/lbfgs.h"

namespace quorin::fixtures {

struct Minimum {
    Geometry geometry;
    double heat = 0.0;  // kcal/mol, from the minimiser's last energy
};

inline Minimum tight_minimum(Geometry g, const ParameterModel& model) {
    MolecularBatch m = make_molecule(g, model);
    ScfWorkspace scf = ScfWorkspace::allocate(m.n_basis);
    GradientWorkspace gws = GradientWorkspace::allocate(m.n_basis);
    OptimizationOptions options;
    options.grad_rms_tol = 0.01;
    options.grad_max_tol = 0.02;
    options.energy_tol = 1e-9;
    options.max_cycles = 300;
    options.use_nddo = true;
    const OptimizationResult r = optimize_geometry_lbfgs(m, model, scf, gws, options);
    EXPECT_TRUE(r.converged);
    for (std::size_t a = 0; a < g.xyz.size(); ++a) g.xyz[a] = {m.x[a], m.y[a], m.z[a]};
    return {g, compute_heat_of_formation_kcal_mol(m, model, r.final_energy)};
}

}  // namespace quorin::fixtures
