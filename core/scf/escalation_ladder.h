#pragma once
// Adaptive SCF for unattended drivers: up to four runs with progressively
// stronger level shift and damping, each from a fresh neutral-atom guess.
#include <array>
#include <cstddef>
#include <optional>
#include <utility>

#include "core/scf/scf_loop.h"

namespace quorin {

// Tries (max_iterations, level_shift eV, damping): (n, 0, 0.5), (2n, 8, 0.5),
// (2n, 4.44, 0.7), (2n, 8, 0.7). Returns the first converged result, else the
// last try's. The first try may start from `initial_density` (a solution
// nearby); every check may start from `initial_rotation` (ScfOptions).
ScfResult run_rhf_scf_adaptive_with_nddo_and_cosmo(const MolecularBatch& molecule,
                                                   const ParameterModel& model, ScfWorkspace& workspace,
                                                   std::size_t max_iterations, bool use_nddo,
                                                   std::optional<std::pair<double, double>> cosmo,
                                                   double energy_tolerance, double density_tolerance,
                                                   const Matrix* initial_density = nullptr,
                                                   const Matrix* initial_rotation = nullptr);

// The same ladder with a uniform electric field (V/angstrom) and no solvent.
ScfResult run_rhf_scf_adaptive_with_field(const MolecularBatch& molecule, const ParameterModel& model,
                                          ScfWorkspace& workspace, std::size_t max_iterations,
                                          bool use_nddo, const std::array<double, 3>& electric_field,
                                          double energy_tolerance, double density_tolerance);

}  // namespace quorin
