#include "core/gradients/energy_and_gradient.h"

#include <optional>

#include "core/scf/escalation_ladder.h"

namespace quorin {

ScfResult evaluate_energy_and_gradient(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                                       GradientWorkspace& gradient_workspace, const SurfaceScfSettings& settings,
                                       std::span<std::array<double, 3>> gradient) {
    scf.clear_matrices();
    scf.diis.reset();
    const ScfResult result = run_rhf_scf_adaptive_with_nddo_and_cosmo(
        molecule, model, scf, settings.max_iterations, settings.use_nddo, std::nullopt, settings.energy_tolerance,
        settings.density_tolerance);
    compute_cartesian_gradients_with_options(molecule, model, scf.density, gradient_workspace, gradient,
                                             settings.use_nddo);
    return result;
}

}  // namespace quorin
