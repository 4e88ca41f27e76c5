#include "core/scf/escalation_ladder.h"

namespace quorin {

namespace {

struct LadderStep {
    std::size_t iteration_factor;
    double level_shift;
    double damping;
};

constexpr std::array<LadderStep, 4> kLadder = {{
    {1, 0.0, 0.5},
    {2, 8.0, 0.5},
    {2, 4.44, 0.7},
    {2, 8.0, 0.7},
}};

ScfResult run_ladder(const MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& ws,
                     std::size_t max_iterations, ScfOptions& options) {
    ScfResult result;
    for (std::size_t t = 0; t < kLadder.size(); ++t) {
        if (t > 0) {
            ws.clear_matrices();
            ws.diis.reset();
            options.initial_density = nullptr;  // later tries start afresh
        }
        options.max_iterations = kLadder[t].iteration_factor * max_iterations;
        options.level_shift = kLadder[t].level_shift;
        options.damping = kLadder[t].damping;
        result = run_rhf_scf_with_options(molecule, model, ws, options);
        if (result.converged) return result;
    }
    return result;
}

}  // namespace

ScfResult run_rhf_scf_adaptive_with_nddo_and_cosmo(const MolecularBatch& molecule,
                                                   const ParameterModel& model, ScfWorkspace& workspace,
                                                   std::size_t max_iterations, bool use_nddo,
                                                   std::optional<std::pair<double, double>> cosmo,
                                                   double energy_tolerance, double density_tolerance,
                                                   const Matrix* initial_density, const Matrix* initial_rotation) {
    ScfOptions options;
    options.initial_density = initial_density;
    options.initial_rotation = initial_rotation;
    options.cosmo = cosmo;
    options.energy_tolerance = energy_tolerance;
    options.density_tolerance = density_tolerance;
    options.use_nddo = use_nddo;
    return run_ladder(molecule, model, workspace, max_iterations, options);
}

ScfResult run_rhf_scf_adaptive_with_field(const MolecularBatch& molecule, const ParameterModel& model,
                                          ScfWorkspace& workspace, std::size_t max_iterations,
                                          bool use_nddo, const std::array<double, 3>& electric_field,
                                          double energy_tolerance, double density_tolerance) {
    ScfOptions options;
    options.electric_field = electric_field;
    options.energy_tolerance = energy_tolerance;
    options.density_tolerance = density_tolerance;
    options.use_nddo = use_nddo;
    return run_ladder(molecule, model, workspace, max_iterations, options);
}

}  // namespace quorin
