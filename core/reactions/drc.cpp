#include "core/reactions/drc.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <span>
#include <string>

#include "core/gradients/energy_and_gradient.h"
#include "core/opt/geometry_evaluation.h"
#include "core/parameters/atomic_mass.h"
#include "core/scf/density.h"
#include "core/types/constants.h"
#include "core/types/errors.h"
#include "core/types/memory_budget.h"
#include "core/vibrations/normal_modes.h"

namespace quorin {

namespace {

constexpr std::size_t kStartIterations = 60;
constexpr std::size_t kStepIterations = 50;
constexpr std::size_t kReservedFrames = 1 << 16;
// A total energy this far (eV per atom) from its start is beyond anything a
// sound time step produces: the integration has broken down.
constexpr double kBrokenDriftEvPerAtom = 1.0;
// Steps between checks of the SCF solution the run follows against one from
// the atomic guess.
constexpr std::size_t kStateCheckInterval = 10;
// A change of the conserved energy in one step beyond this (eV), and beyond
// ten times its mean over the run so far, is no integration error of a sound
// time step: the SCF changed solution.
constexpr double kEnergyJumpEv = 5e-3;
constexpr double kJumpOverTypicalChange = 10.0;
// A solution from the atomic guess whose density lies within this distance
// (Frobenius norm) of the warm start's is the followed solution itself: the
// extrapolated start misses the converged density by about 1e-3, while two
// distinct solutions differ by an electron pair in other orbitals (about
// 2.8).
constexpr double kSameSolutionDensity = 0.05;

// The warm start of the next step. With the converged densities of the three
// steps before on one solution (P0, the newest, in scf.carried_density; P1
// and P2 in the workspace's history, `history_length` of them valid) it is
// the quadratic extrapolation 3 P0 - 3 P1 + P2, which lies closer to the next
// solution than P0 does and saves the SCF a few iterations. The history
// moves on by one step.
void extrapolate_warm_start(ScfWorkspace& scf, DrcWorkspace& ws, std::size_t& history_length) {
    if (scf.carried_coordinates.empty()) {
        history_length = 0;
        return;
    }
    Matrix& p0 = scf.carried_density;
    Matrix& p1 = ws.density_history[0];
    Matrix& p2 = ws.density_history[1];
    if (history_length == 2) {
        for (std::size_t i = 0; i < p0.data().size(); ++i) p2.data()[i] += 3.0 * (p0.data()[i] - p1.data()[i]);
        std::swap(p0, p2);  // p0: the extrapolation; p2: the newest density
        std::swap(p1, p2);  // p1: the newest; p2: the one before
    } else {
        std::swap(p1, p2);
        p1.copy_from(p0);
        ++history_length;
    }
}

using Triples = std::vector<std::array<double, 3>>;

bool positive_finite(double value) { return value > 0.0 && std::isfinite(value); }
bool non_negative_finite(double value) { return value >= 0.0 && std::isfinite(value); }

bool all_finite(const Triples& rows) {
    return std::all_of(rows.begin(), rows.end(), [](const std::array<double, 3>& r) {
        return std::isfinite(r[0]) && std::isfinite(r[1]) && std::isfinite(r[2]);
    });
}

// Kinetic energy (eV) of `velocities` (angstrom/fs) with `masses` (amu).
double kinetic_energy_ev(const Triples& velocities, std::span<const double> masses) {
    double twice = 0.0;
    for (std::size_t a = 0; a < velocities.size(); ++a) {
        const auto& v = velocities[a];
        twice += masses[a] * (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    }
    return 0.5 * twice * kKineticEnergyFactor;
}

double temperature_of(double kinetic_ev, double degrees_of_freedom) {
    return 2.0 * kinetic_ev / (degrees_of_freedom * kBoltzmannEvPerK);
}

void scale_velocities(Triples& velocities, double factor) {
    for (auto& v : velocities) {
        for (double& c : v) c *= factor;
    }
}

// 64-bit linear congruential generator; each draw is a double in (0, 1) from
// the top 53 bits of the state.
class VelocityDraw {
public:
    explicit VelocityDraw(std::uint64_t seed) : state_(seed) {}
    double next() {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return (static_cast<double>(state_ >> 11) + 0.5) * 1.1102230246251565e-16;
    }

private:
    std::uint64_t state_;
};

// Box-Muller (cosine branch only) per Cartesian component.
void draw_maxwell_boltzmann(const InitialVelocities::MaxwellBoltzmann& draw, std::span<const double> masses,
                            Triples& velocities) {
    VelocityDraw random(draw.seed.value_or(kDefaultVelocitySeed));
    const double kt = kBoltzmannEvPerK * draw.temperature_k;
    for (std::size_t a = 0; a < velocities.size(); ++a) {
        const double sigma = std::sqrt(kt / (masses[a] * kKineticEnergyFactor));
        for (std::size_t c = 0; c < 3; ++c) {
            const double u1 = std::max(random.next(), 1e-15);
            const double u2 = random.next();
            velocities[a][c] = sigma * std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
        }
    }
}

// Removes the rigid-body part of per-atom vectors v: w v is projected on the
// complement of the mass-weighted translations and rotations at the
// molecule's geometry, with w = sqrt(m) for velocities (zeroing the momentum
// and the angular momentum) and w = 1/sqrt(m) for forces (zeroing the net
// force and torque, which only rounding and finite differences leave).
enum class Vectors { Velocities, Forces };
void remove_rigid_motion(const MolecularBatch& molecule, DrcWorkspace& ws, Triples& v, Vectors kind) {
    const std::size_t count = external_motion_basis(molecule, ws.masses, ws.rigid_motions);
    for (std::size_t k = 0; k < count; ++k) {
        const double* e = ws.rigid_motions.row(k);
        double along = 0.0;
        for (std::size_t i = 0; i < 3 * v.size(); ++i) {
            const double root = std::sqrt(ws.masses[i / 3]);
            along += e[i] * (kind == Vectors::Velocities ? root : 1.0 / root) * v[i / 3][i % 3];
        }
        for (std::size_t i = 0; i < 3 * v.size(); ++i) {
            const double root = std::sqrt(ws.masses[i / 3]);
            v[i / 3][i % 3] -= along * e[i] * (kind == Vectors::Velocities ? 1.0 / root : root);
        }
    }
}

void check_velocity_count(const Triples& supplied, std::size_t n_atoms, const char* message) {
    if (supplied.size() != n_atoms) stop_assert_eq(message, supplied.size(), n_atoms);
}

// The starting velocities without net translation or rotation; a
// Maxwell-Boltzmann draw then rescaled to exactly its temperature, supplied
// ones for ScaledCustom to the requested kinetic energy.
void set_initial_velocities(const InitialVelocities& start, const MolecularBatch& molecule, double degrees_of_freedom,
                            DrcWorkspace& ws) {
    Triples& velocities = ws.velocities;
    std::fill(velocities.begin(), velocities.end(), std::array<double, 3>{});
    double target_ev = -1.0;
    if (const auto* draw = std::get_if<InitialVelocities::MaxwellBoltzmann>(&start.value)) {
        draw_maxwell_boltzmann(*draw, ws.masses, velocities);
        target_ev = 0.5 * degrees_of_freedom * kBoltzmannEvPerK * draw->temperature_k;
    } else if (const auto* scaled = std::get_if<InitialVelocities::ScaledCustom>(&start.value)) {
        velocities = scaled->velocities;
        target_ev = scaled->kinetic_energy / kEvToKcalMol;
    } else if (const auto* custom = std::get_if<InitialVelocities::Custom>(&start.value)) {
        velocities = custom->velocities;
    }
    remove_rigid_motion(molecule, ws, velocities, Vectors::Velocities);
    if (target_ev < 0.0) return;
    const double kinetic = kinetic_energy_ev(velocities, ws.masses);
    scale_velocities(velocities, kinetic > 1e-15 ? std::sqrt(target_ev / kinetic) : 0.0);
}

// forces = -gradient without net force and torque, so that the dynamics
// keeps the momentum and angular momentum of the start; accelerations =
// forces / m in angstrom/fs^2.
void forces_and_accelerations(const MolecularBatch& molecule, DrcWorkspace& ws, Triples& accelerations) {
    for (std::size_t a = 0; a < ws.gradient.size(); ++a) {
        for (std::size_t c = 0; c < 3; ++c) ws.forces[a][c] = -ws.gradient[a][c];
    }
    remove_rigid_motion(molecule, ws, ws.forces, Vectors::Forces);
    for (std::size_t a = 0; a < ws.gradient.size(); ++a) {
        for (std::size_t c = 0; c < 3; ++c) {
            accelerations[a][c] = ws.forces[a][c] * ws.inverse_masses[a] * kAccelerationFactor;
        }
    }
}

// Running sums of a run: conserved energy (total less the thermostat's
// heat) at the last step, kinetic energy, the thermostat's heat, the sum of
// the temperatures, the largest |conserved - initial|, the last total and
// the typical change of the conserved energy in one step.
struct Progress {
    double conserved = 0.0;
    double kinetic = 0.0;
    double thermostat_heat = 0.0;
    double temperature_sum = 0.0;
    double max_drift = 0.0;
    double final_energy = 0.0;
    // Mean |change of the conserved energy| over the steps without a jump.
    double typical_change = 0.0;
    std::size_t smooth_steps = 0;
};

// The molecule's coordinates into `rows` (one triple per atom), reusing its storage.
void read_rows(const MolecularBatch& molecule, Triples& rows) {
    rows.resize(molecule.n_atoms);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) rows[a] = {molecule.x[a], molecule.y[a], molecule.z[a]};
}

// The state of a run at a step that passed the check of its SCF solution,
// to go back to.
struct Checkpoint {
    std::size_t step = 0;
    Triples coordinates, velocities, accelerations, forces;
    Progress progress;
    std::size_t frames = 0;         // recorded by then
    std::size_t state_changes = 0;  // recorded by then

    void save(std::size_t at, const MolecularBatch& molecule, const DrcWorkspace& ws, const Progress& now,
              std::size_t frame_count, std::size_t change_count) {
        step = at;
        read_rows(molecule, coordinates);
        velocities = ws.velocities;
        accelerations = ws.accelerations;
        forces = ws.forces;
        progress = now;
        frames = frame_count;
        state_changes = change_count;
    }

    void restore(MolecularBatch& molecule, DrcWorkspace& ws, Progress& now, std::vector<DrcFrame>& recorded,
                 std::vector<std::size_t>& changes) const {
        set_coordinates(molecule, coordinates);
        ws.velocities = velocities;
        ws.accelerations = accelerations;
        ws.forces = forces;
        now = progress;
        recorded.resize(frames);
        changes.resize(state_changes);
    }
};

}  // namespace

DrcWorkspace DrcWorkspace::allocate(const MolecularBatch& molecule) {
    const std::size_t n = molecule.n_atoms;
    DrcWorkspace ws;
    ws.velocities.assign(n, {});
    ws.accelerations.assign(n, {});
    ws.new_accelerations.assign(n, {});
    ws.forces.assign(n, {});
    ws.gradient.assign(n, {});
    ws.masses.resize(n);
    ws.inverse_masses.resize(n);
    ws.rigid_motions = Matrix::zeros(6, 3 * n);
    for (Matrix& p : ws.density_history) p = Matrix::zeros(molecule.n_basis, molecule.n_basis);
    for (std::size_t a = 0; a < n; ++a) {
        ws.masses[a] = atomic_mass(molecule.atomic_numbers[a]);
        ws.inverse_masses[a] = 1.0 / ws.masses[a];
    }
    return ws;
}

double drc_degrees_of_freedom(const MolecularBatch& molecule, std::span<const double> masses) {
    const double n = static_cast<double>(molecule.n_atoms);
    if (molecule.n_atoms >= 3) return is_linear_molecule(molecule, masses) ? 3.0 * n - 5.0 : 3.0 * n - 6.0;
    return molecule.n_atoms == 2 ? 1.0 : 3.0;
}

std::size_t drc_frame_count(std::size_t total_steps, std::size_t recording_interval) {
    const std::size_t interval = std::max<std::size_t>(recording_interval, 1);
    return total_steps / interval + 1 + (total_steps % interval != 0 ? 1 : 0);
}

void check_drc_frames_fit(const DrcOptions& options, std::size_t n_atoms, std::uint64_t available_bytes) {
    const std::size_t frames = drc_frame_count(options.total_steps, options.recording_interval);
    // The record and its three per-atom copies (coordinates, velocities, forces).
    const std::uint64_t frame_bytes = sizeof(DrcFrame) + 3 * n_atoms * sizeof(std::array<double, 3>);
    if (frames <= available_bytes / frame_bytes) return;
    char needed[48];
    std::snprintf(needed, sizeof needed, "%.0f", static_cast<double>(frames) * static_cast<double>(frame_bytes));
    throw RequestError("The trajectory would not fit in memory: " + std::to_string(frames) + " frames of " +
                       std::to_string(frame_bytes) + " bytes need " + needed + " bytes, and " +
                       std::to_string(available_bytes) +
                       " bytes are available; record fewer frames (a larger recording_interval or fewer total_steps)");
}

std::optional<std::string> find_drc_option_error(const DrcOptions& options) {
    if (!positive_finite(options.time_step_fs)) return "time_step_fs must be a positive finite number";
    if (options.nvt) {
        if (!non_negative_finite(options.temperature_k)) {
            return "temperature_k must be a finite number of kelvin at or above zero";
        }
        if (!positive_finite(options.berendsen_tau_fs)) return "berendsen_tau_fs must be a positive finite number";
        if (options.berendsen_tau_fs < options.time_step_fs) return "berendsen_tau_fs must be at least time_step_fs";
    }
    const auto& start = options.initial_velocities.value;
    if (const auto* draw = std::get_if<InitialVelocities::MaxwellBoltzmann>(&start)) {
        if (!non_negative_finite(draw->temperature_k)) {
            return "Maxwell-Boltzmann temperature must be a finite number of kelvin at or above zero";
        }
    } else if (const auto* scaled = std::get_if<InitialVelocities::ScaledCustom>(&start)) {
        if (!non_negative_finite(scaled->kinetic_energy)) {
            return "ScaledCustom kinetic energy must be a finite number of kcal/mol at or above zero";
        }
        if (!all_finite(scaled->velocities)) return "Supplied velocities must be finite numbers";
    } else if (const auto* custom = std::get_if<InitialVelocities::Custom>(&start)) {
        if (!all_finite(custom->velocities)) return "Supplied velocities must be finite numbers";
    }
    return std::nullopt;
}

DrcFrame record_frame(std::size_t step, double time_fs, double potential_energy_ev, double kinetic_energy_ev,
                      double temperature_k, const MolecularBatch& molecule, const DrcWorkspace& workspace) {
    DrcFrame frame;
    frame.step = step;
    frame.time_fs = time_fs;
    frame.potential_energy_ev = potential_energy_ev;
    frame.kinetic_energy_ev = kinetic_energy_ev;
    frame.total_energy_ev = potential_energy_ev + kinetic_energy_ev;
    frame.temperature_k = temperature_k;
    frame.coordinates = coordinate_triples(molecule);
    frame.velocities = workspace.velocities;
    frame.forces = workspace.forces;
    return frame;
}

DrcResult run_dynamic_reaction_coordinate(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                                          GradientWorkspace& gradient_workspace, DrcWorkspace& workspace,
                                          const DrcOptions& options) {
    if (const auto error = find_drc_option_error(options)) throw EngineStop(*error);
    const std::size_t n_atoms = molecule.n_atoms;
    if (workspace.masses.size() != n_atoms) {
        stop_assert_eq("DRC workspace size mismatch", workspace.masses.size(), n_atoms);
    }
    if (const auto* custom = std::get_if<InitialVelocities::Custom>(&options.initial_velocities.value)) {
        check_velocity_count(custom->velocities, n_atoms, "Custom velocities count mismatch");
    } else if (const auto* scaled = std::get_if<InitialVelocities::ScaledCustom>(&options.initial_velocities.value)) {
        check_velocity_count(scaled->velocities, n_atoms, "ScaledCustom velocities count mismatch");
    }
    // A zero table mass would give infinite accelerations and a NaN draw.
    require_tabulated_masses(molecule);
    check_drc_frames_fit(options, n_atoms, available_memory_bytes());

    const std::span<const double> masses(workspace.masses);
    const double dof = drc_degrees_of_freedom(molecule, masses);
    const double dt = options.time_step_fs;
    const std::size_t interval = std::max<std::size_t>(options.recording_interval, 1);
    SurfaceScfSettings surface{kStartIterations, options.scf_energy_tolerance, options.scf_density_tolerance,
                               options.use_nddo};

    set_initial_velocities(options.initial_velocities, molecule, dof, workspace);
    // The start has nothing to warm-start from: its SCF is one from the atomic guess.
    const double start_potential =
        evaluate_energy_and_gradient(molecule, model, scf, gradient_workspace, surface, workspace.gradient)
            .total_energy;
    forces_and_accelerations(molecule, workspace, workspace.accelerations);

    DrcResult result;
    // The frame list grows as needed past a modest reservation; a very long
    // run must not claim its whole trajectory up front.
    result.frames.reserve(std::min<std::size_t>(options.total_steps / interval + 2, kReservedFrames));
    Progress now;
    now.kinetic = kinetic_energy_ev(workspace.velocities, masses);
    const double start_temperature = temperature_of(now.kinetic, dof);
    now.temperature_sum = start_temperature;
    result.frames.push_back(record_frame(0, 0.0, start_potential, now.kinetic, start_temperature, molecule,
                                         workspace));
    result.initial_energy_ev = start_potential + now.kinetic;
    now.conserved = result.initial_energy_ev;
    now.final_energy = result.initial_energy_ev;
    const double broken_drift = kBrokenDriftEvPerAtom * static_cast<double>(n_atoms);

    // The solution the SCF follows by warm starts is checked against one
    // from the atomic guess every kStateCheckInterval steps, at the last step,
    // wherever the conserved energy jumps, and at every step where the warm
    // start's own comparison at a soft orbital mode ran one. Where that finds
    // a lower solution, or a jump, the run goes back to the last step that
    // passed a check and integrates again with the check at every step up to
    // where it was, taking the lower solution at the step where it appears:
    // the frames then follow the lowest solution found, moving to another one
    // where the two cross rather than jumping down onto it later.
    Checkpoint passed;
    passed.save(0, molecule, workspace, now, result.frames.size(), 0);
    std::optional<ScfWorkspace> spare;
    std::size_t check_every_step_until = 0;
    std::size_t history_length = 0;
    SurfaceScfSettings warm_only = surface;
    warm_only.max_iterations = kStepIterations;
    warm_only.compare_soft_with_cold = false;
    surface.max_iterations = kStepIterations;

    // The SCF of one step at the molecule's geometry, leaving its solution in
    // `scf`. At a scheduled check the SCF from the atomic guess runs first:
    // where it ends on the warm start's solution (the same density) it is the
    // step's solution and no warm run is needed; otherwise the warm run
    // follows, and the cold solution is taken where it lies lower.
    struct StepSolution {
        double potential = 0.0;
        bool checked = false;  // an SCF from the atomic guess ran at this geometry
        bool lower = false;    // and the step moved onto its lower solution
    };
    const auto solve_step = [&](bool scheduled) {
        StepSolution out;
        if (!scheduled) {
            ColdStartReport report;
            out.potential = run_surface_scf(molecule, model, scf, surface, &report).total_energy;
            out.checked = report.compared;
            out.lower = report.lower;
            return out;
        }
        if (!spare) spare = ScfWorkspace::allocate(molecule.n_basis);
        spare->carried_coordinates.clear();
        const ScfResult cold = run_surface_scf(molecule, model, *spare, surface);
        out.checked = true;
        // With nothing carried (the last SCF did not converge) a warm run
        // would start from the atomic guess too.
        if (scf.carried_coordinates.empty() ||
            (cold.converged && frobenius_distance(spare->density, scf.carried_density) < kSameSolutionDensity)) {
            std::swap(scf, *spare);
            out.potential = cold.total_energy;
            return out;
        }
        out.potential = run_surface_scf(molecule, model, scf, warm_only).total_energy;
        if (cold.converged && cold.total_energy < out.potential - kLowerSolutionEv) {
            std::swap(scf, *spare);
            out.potential = cold.total_energy;
            out.lower = true;
        }
        return out;
    };

    for (std::size_t step = 1; step <= options.total_steps; ++step) {
        const bool check_this_step = step <= check_every_step_until;
        for (std::size_t a = 0; a < n_atoms; ++a) {
            const auto& v = workspace.velocities[a];
            const auto& acc = workspace.accelerations[a];
            molecule.x[a] += v[0] * dt + 0.5 * acc[0] * dt * dt;
            molecule.y[a] += v[1] * dt + 0.5 * acc[1] * dt * dt;
            molecule.z[a] += v[2] * dt + 0.5 * acc[2] * dt * dt;
        }
        extrapolate_warm_start(scf, workspace, history_length);
        const StepSolution solved =
            solve_step(check_this_step || step % kStateCheckInterval == 0 || step == options.total_steps);
        if (solved.lower || scf.carried_coordinates.empty()) history_length = 0;
        const double potential = solved.potential;
        compute_cartesian_gradients_with_options(molecule, model, scf.density, gradient_workspace,
                                                 workspace.gradient, options.use_nddo);
        forces_and_accelerations(molecule, workspace, workspace.new_accelerations);
        for (std::size_t a = 0; a < n_atoms; ++a) {
            for (std::size_t c = 0; c < 3; ++c) {
                workspace.velocities[a][c] +=
                    0.5 * dt * (workspace.accelerations[a][c] + workspace.new_accelerations[a][c]);
            }
        }
        workspace.accelerations.swap(workspace.new_accelerations);

        double kinetic = kinetic_energy_ev(workspace.velocities, masses);
        if (options.nvt) {
            // Berendsen weak coupling: lambda^2 = 1 + (dt / tau) (T0 / T - 1).
            // With dt <= tau (find_drc_option_error) lambda^2 T lies between T
            // and T0: the scaling never overshoots the bath.
            const double current = temperature_of(kinetic, dof);
            if (current > 1e-6) {
                const double lambda2 =
                    std::max(1.0 + (dt / options.berendsen_tau_fs) * (options.temperature_k / current - 1.0), 0.0);
                scale_velocities(workspace.velocities, std::sqrt(lambda2));
                now.thermostat_heat += (lambda2 - 1.0) * kinetic;
                kinetic = kinetic_energy_ev(workspace.velocities, masses);
            }
        }
        const double temperature = temperature_of(kinetic, dof);
        const double total = potential + kinetic;
        // Sound dynamics conserves the total energy less the thermostat's heat.
        const double conserved = total - now.thermostat_heat;
        const double change = std::fabs(conserved - now.conserved);
        const bool jumped = !(change <= std::max(kEnergyJumpEv, kJumpOverTypicalChange * now.typical_change));
        // A jump at a step that ran no SCF from the atomic guess gets one now;
        // the step's forces came from the solution followed, so a lower one
        // found here means integrating the step again.
        const bool checked = solved.checked || jumped;
        const bool lower_after_step =
            jumped && !solved.checked && adopt_lower_solution(molecule, model, scf, spare, surface, potential);
        // The run followed a higher solution somewhere since the last check
        // (the lower one appeared there, or the energy jumped): back there,
        // and on with a check at every step.
        if (lower_after_step || ((solved.lower || jumped) && passed.step + 1 < step)) {
            passed.restore(molecule, workspace, now, result.frames, result.state_changes);
            history_length = 0;
            check_every_step_until = step;
            step = passed.step;
            continue;
        }
        const double drift = conserved - result.initial_energy_ev;
        if (!(std::fabs(drift) <= broken_drift)) {
            char text[512];
            if (std::isfinite(drift)) {
                std::snprintf(text, sizeof text,
                              "The dynamics broke down at step %zu (%.2f fs): the total energy drifted %.3g eV from "
                              "its start, more than %.3g eV (1 eV per atom); use a smaller time_step_fs",
                              step, static_cast<double>(step) * dt, drift, broken_drift);
            } else {
                std::snprintf(text, sizeof text,
                              "The dynamics broke down at step %zu (%.2f fs): the total energy is no longer a finite "
                              "number; use a smaller time_step_fs",
                              step, static_cast<double>(step) * dt);
            }
            throw RequestError(text);
        }
        if (!jumped) {
            now.typical_change += (change - now.typical_change) / static_cast<double>(++now.smooth_steps);
        }
        now.conserved = conserved;
        now.kinetic = kinetic;
        now.temperature_sum += temperature;
        now.max_drift = std::max(now.max_drift, std::fabs(drift));
        now.final_energy = total;
        if (step % interval == 0 || step == options.total_steps) {
            result.frames.push_back(record_frame(step, static_cast<double>(step) * dt, potential, kinetic,
                                                 temperature, molecule, workspace));
        }
        // Past the checks, a jump is where two solutions cross (the force
        // changes abruptly there) or where the SCF moved to a solution that
        // the checks do not find.
        if (solved.lower || jumped) result.state_changes.push_back(step);
        if (checked) passed.save(step, molecule, workspace, now, result.frames.size(), result.state_changes.size());
    }

    result.final_energy_ev = now.final_energy;
    result.thermostat_heat_ev = now.thermostat_heat;
    result.max_energy_drift_ev = now.max_drift;
    const double elapsed_ps = dt * static_cast<double>(options.total_steps) / 1000.0;
    if (elapsed_ps > 1e-12) {
        result.energy_drift_ev_per_ps = std::fabs(now.conserved - result.initial_energy_ev) / elapsed_ps;
    }
    result.average_temperature_k = now.temperature_sum / (static_cast<double>(options.total_steps) + 1.0);
    return result;
}

}  // namespace quorin
