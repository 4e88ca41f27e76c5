#include "core/gradients/energy_and_gradient.h"

#include <cmath>
#include <optional>

#include "core/scf/escalation_ladder.h"

namespace quorin {

namespace {

// A solution carried from a geometry whose atoms lie within this distance
// (angstrom, along every axis) starts the next SCF.
constexpr double kCarryDistance = 0.5;
// A warm-started solution whose lowest orbital-Hessian eigenvalue lies below
// this (eV) is compared with a cold start; energies closer than
// kSameSolutionEv are the same solution.
constexpr double kSoftModeEv = 5e-2;
constexpr double kSameSolutionEv = 1e-6;

bool carried_solution_nearby(const MolecularBatch& molecule, const ScfWorkspace& scf) {
    if (scf.carried_coordinates.size() != 3 * molecule.n_atoms) return false;
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const double* r = &scf.carried_coordinates[3 * a];
        if (std::fabs(molecule.x[a] - r[0]) > kCarryDistance || std::fabs(molecule.y[a] - r[1]) > kCarryDistance ||
            std::fabs(molecule.z[a] - r[2]) > kCarryDistance) {
            return false;
        }
    }
    return true;
}

}  // namespace

ScfResult run_surface_scf(const MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                          const SurfaceScfSettings& settings, ColdStartReport* report) {
    const auto ladder = [&](const Matrix* density, const Matrix* rotation) {
        scf.clear_matrices();
        scf.diis.reset();
        return run_rhf_scf_adaptive_with_nddo_and_cosmo(molecule, model, scf, settings.max_iterations,
                                                        settings.use_nddo, std::nullopt, settings.energy_tolerance,
                                                        settings.density_tolerance, density, rotation);
    };
    if (report) *report = {};
    const bool warm = carried_solution_nearby(molecule, scf);
    ScfResult result = ladder(warm ? &scf.carried_density : nullptr, warm ? &scf.carried_rotation : nullptr);
    // A warm start follows its solution as far as it stays a minimum; a
    // soft lowest orbital mode says a crossing with another solution may
    // be near, which can already lie lower. The cold start decides: the
    // lower of the two is kept (the warm one again from its own density).
    if (warm && settings.compare_soft_with_cold && result.converged &&
        scf.lowest_hessian_eigenvalue < kSoftModeEv) {
        scf.carried_density.copy_from(scf.density);
        const ScfResult cold = ladder(nullptr, nullptr);
        const bool lower = cold.converged && cold.total_energy < result.total_energy - kSameSolutionEv;
        result = lower ? cold : ladder(&scf.carried_density, nullptr);
        if (report) *report = {true, lower};
    }
    scf.carried_coordinates.clear();
    if (result.converged) {
        scf.carried_density.copy_from(scf.density);
        lowest_rotation(scf.coefficients, count_valence_electrons(molecule, model) / 2, scf.stability,
                        scf.carried_rotation);
        for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
            scf.carried_coordinates.insert(scf.carried_coordinates.end(), {molecule.x[a], molecule.y[a], molecule.z[a]});
        }
    }
    return result;
}

ScfResult evaluate_energy_and_gradient(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                                       GradientWorkspace& gradient_workspace, const SurfaceScfSettings& settings,
                                       std::span<std::array<double, 3>> gradient, ColdStartReport* report,
                                       const ScfResult* solved) {
    if (solved && report) *report = {true, true};
    const ScfResult result = solved ? *solved : run_surface_scf(molecule, model, scf, settings, report);
    compute_cartesian_gradients_with_options(molecule, model, scf.density, gradient_workspace, gradient,
                                             settings.use_nddo);
    return result;
}

}  // namespace quorin
