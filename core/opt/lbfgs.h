#pragma once
// Geometry minimisation of the closed-shell SCF energy over Cartesian
// coordinates by limited-memory BFGS: full quasi-Newton steps capped per atom,
// no line search. Every geometry is evaluated with the SCF escalation ladder
// and the finite-difference nuclear gradient.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/gradients/nuclear_gradients.h"
#include "core/opt/geometry_evaluation.h"
#include "core/parameters/parameter_model.h"
#include "core/scf/scf_loop.h"
#include "core/scf/workspace.h"
#include "core/types/molecule.h"

namespace quorin {

struct OptimizationOptions {
    // One flag per Cartesian coordinate (x, y, z of atom 0, then atom 1, ...);
    // nonzero = the coordinate may move. Absent: every coordinate moves.
    std::optional<std::vector<std::uint8_t>> active_mask;
    std::size_t max_cycles = 100;
    double grad_rms_tol = 1.0;  // kcal/(mol angstrom)
    double grad_max_tol = 2.0;  // kcal/(mol angstrom)
    double energy_tol = 1e-5;   // eV, energy change of one cycle
    double max_step = 0.2;      // angstrom, largest move of one atom per step
    std::size_t memory = 6;     // correction pairs kept
    bool use_nddo = false;
};

struct OptimizationResult {
    ScfResult scf_result;  // of the last geometry evaluated
    std::size_t cycles = 0;
    double initial_energy = 0.0;    // eV
    double final_energy = 0.0;      // eV
    double initial_grad_rms = 0.0;  // kcal/(mol angstrom)
    double final_grad_rms = 0.0;
    double final_grad_max = 0.0;
    // Gradient tests met and the SCF converged at the final geometry, where an
    // SCF from the atomic guess found no lower solution.
    bool converged = false;
};

// Stops when `memory` is 0, when `max_step` or a tolerance is not a positive
// finite number, or when the mask does not hold 3N flags for `n_atoms` atoms.
void check_optimization_options(const OptimizationOptions& options, std::size_t n_atoms);

// Moves the molecule's coordinates in place and leaves the last geometry
// evaluated in it. Both workspaces must be sized for the molecule's basis.
// Makes check_optimization_options' stops before any SCF. The SCF from the
// atomic guess that checks a converged geometry runs in `spare` when a
// caller lends its own (allocated there on first use), else in one of the
// search's own.
OptimizationResult optimize_geometry_lbfgs(MolecularBatch& molecule, const ParameterModel& model,
                                           ScfWorkspace& scf, GradientWorkspace& gradient_workspace,
                                           const OptimizationOptions& options,
                                           std::optional<ScfWorkspace>* spare = nullptr);

}  // namespace quorin
