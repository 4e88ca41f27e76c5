#pragma once
// One closed-shell SCF in a workspace of its own, for tests that compare with
// a converged SCF or read its density and orbitals.
#include "core/scf/scf_loop.h"

namespace quorin::fixtures {

struct ScfRun {
    ScfWorkspace workspace;
    ScfResult result;
};

inline ScfRun run_scf(const MolecularBatch& molecule, const ParameterModel& model, const ScfOptions& options) {
    ScfRun run{ScfWorkspace::allocate(molecule.n_basis), {}};
    run.result = run_rhf_scf_with_options(molecule, model, run.workspace, options);
    return run;
}

// With an iteration cap and tolerances of the test's own, NDDO on.
inline ScfRun run_scf(const MolecularBatch& molecule, const ParameterModel& model, std::size_t max_iterations,
                      double energy_tolerance, double density_tolerance) {
    ScfOptions options;
    options.max_iterations = max_iterations;
    options.energy_tolerance = energy_tolerance;
    options.density_tolerance = density_tolerance;
    return run_scf(molecule, model, options);
}

}  // namespace quorin::fixtures
