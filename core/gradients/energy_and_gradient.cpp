#include "core/gradients/energy_and_gradient.h"

#include <optional>

#include "core/scf/escalation_ladder.h"

namespace quorin {

ScfResult run_surface_scf(const MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                          const SurfaceScfSettings& settings) {
    scf.clear_matrices();
    scf.diis.reset();
    return run_rhf_scf_adaptive_with_nddo_and_cosmo(molecule, model, scf, settings.max_iterations, settings.use_nddo,
                                                    std::nullopt, settings.energy_tolerance,
                                                    settings.density_tolerance);
}

ScfResult evaluate_energy_and_gradient(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                                       GradientWorkspace& gradient_workspace, const SurfaceScfSettings& settings,
                                       std::span<std::array<double, 3>> gradient) {
    const ScfResult result = run_surface_scf(molecule, model, scf, settings);
    compute_cartesian_gradients_with_options(molecule, model, scf.density, gradient_workspace, gradient,
                                             settings.use_nddo);
    return result;
}

}  // namespace quorin
