#pragma once
// One point of the potential-energy surface as the geometry drivers see it:
// the SCF escalation ladder from a cleared workspace and an empty DIIS
// history, then the finite-difference gradient of the density it leaves.
#include <array>
#include <cstddef>
#include <span>

#include "core/gradients/nuclear_gradients.h"
#include "core/parameters/parameter_model.h"
#include "core/scf/scf_loop.h"
#include "core/scf/workspace.h"
#include "core/types/molecule.h"

namespace quorin {

// SCF settings of one driver's geometry evaluations (no solvent).
struct SurfaceScfSettings {
    std::size_t max_iterations = 50;  // first try of the ladder
    double energy_tolerance = 1e-7;   // eV
    double density_tolerance = 1e-6;
    bool use_nddo = true;
    // Compare a warm start that has a soft lowest orbital mode with a cold
    // start (off for a caller that runs its own cold start at this geometry).
    bool compare_soft_with_cold = true;
};

// What one run_surface_scf did besides its warm start.
struct ColdStartReport {
    bool compared = false;  // an SCF from the atomic guess ran too
    bool lower = false;     // and its solution, lower, is the result
};

// The SCF part alone: cleared workspace, empty DIIS history, the ladder.
// When the workspace carries a converged solution of a geometry nearby (no
// atom moved by more than 0.5 angstrom along any axis), the ladder's first
// try starts from its density and every stability check from its lowest
// rotation. A warm solution with a soft lowest orbital mode (below 0.05 eV:
// a crossing with another solution may be near) is compared with a cold
// start from the neutral-atom guess, and the lower one is kept. A converged
// run leaves its own solution to carry. `report`, when given, says whether a
// cold start ran and was kept.
ScfResult run_surface_scf(const MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                          const SurfaceScfSettings& settings, ColdStartReport* report = nullptr);

// Evaluates the molecule's current geometry and writes the gradient
// (eV/angstrom, one triple per atom) into `gradient`. The SCF's convergence is
// reported in the result, not tested. With `solved`, the result of an SCF
// from the atomic guess whose solution the workspace already holds at this
// geometry (as a driver's check for a lower solution leaves it), no SCF runs:
// the gradient is that solution's, and `report` says the cold start ran and
// was kept.
ScfResult evaluate_energy_and_gradient(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                                       GradientWorkspace& gradient_workspace, const SurfaceScfSettings& settings,
                                       std::span<std::array<double, 3>> gradient, ColdStartReport* report = nullptr,
                                       const ScfResult* solved = nullptr);

}  // namespace quorin
