#include "core/reactions/drc.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <span>
#include <string>

#include "core/gradients/energy_and_gradient.h"
#include "core/parameters/atomic_mass.h"
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
    double potential = evaluate_energy_and_gradient(molecule, model, scf, gradient_workspace, surface,
                                                    workspace.gradient)
                           .total_energy;
    forces_and_accelerations(molecule, workspace, workspace.accelerations);

    double kinetic = kinetic_energy_ev(workspace.velocities, masses);
    double temperature = temperature_of(kinetic, dof);
    DrcResult result;
    // The frame list grows as needed past a modest reservation; a very long
    // run must not claim its whole trajectory up front.
    result.frames.reserve(std::min<std::size_t>(options.total_steps / interval + 2, kReservedFrames));
    result.frames.push_back(record_frame(0, 0.0, potential, kinetic, temperature, molecule, workspace));
    result.initial_energy_ev = potential + kinetic;
    result.final_energy_ev = result.initial_energy_ev;
    double temperature_sum = temperature;
    // Kinetic energy the thermostat has put in (eV): the total energy less
    // this is conserved by sound dynamics in either ensemble.
    double thermostat_work = 0.0;
    const double broken_drift = kBrokenDriftEvPerAtom * static_cast<double>(n_atoms);

    surface.max_iterations = kStepIterations;
    for (std::size_t step = 1; step <= options.total_steps; ++step) {
        for (std::size_t a = 0; a < n_atoms; ++a) {
            const auto& v = workspace.velocities[a];
            const auto& acc = workspace.accelerations[a];
            molecule.x[a] += v[0] * dt + 0.5 * acc[0] * dt * dt;
            molecule.y[a] += v[1] * dt + 0.5 * acc[1] * dt * dt;
            molecule.z[a] += v[2] * dt + 0.5 * acc[2] * dt * dt;
        }
        potential = evaluate_energy_and_gradient(molecule, model, scf, gradient_workspace, surface, workspace.gradient)
                        .total_energy;
        forces_and_accelerations(molecule, workspace, workspace.new_accelerations);
        for (std::size_t a = 0; a < n_atoms; ++a) {
            for (std::size_t c = 0; c < 3; ++c) {
                workspace.velocities[a][c] +=
                    0.5 * dt * (workspace.accelerations[a][c] + workspace.new_accelerations[a][c]);
            }
        }
        workspace.accelerations.swap(workspace.new_accelerations);

        kinetic = kinetic_energy_ev(workspace.velocities, masses);
        if (options.nvt) {
            // Berendsen weak coupling: lambda^2 = 1 + (dt / tau) (T0 / T - 1).
            const double current = temperature_of(kinetic, dof);
            if (current > 1e-6) {
                const double lambda2 = 1.0 + (dt / options.berendsen_tau_fs) * (options.temperature_k / current - 1.0);
                if (lambda2 > 0.0) {
                    scale_velocities(workspace.velocities, std::sqrt(lambda2));
                    thermostat_work += (lambda2 - 1.0) * kinetic;
                    kinetic = kinetic_energy_ev(workspace.velocities, masses);
                }
            }
        }
        temperature = temperature_of(kinetic, dof);
        const double total = potential + kinetic;
        const double drift = total - thermostat_work - result.initial_energy_ev;
        if (!(std::fabs(drift) <= broken_drift)) {
            char text[512];
            std::snprintf(text, sizeof text,
                          "The dynamics broke down at step %zu (%.2f fs): the total energy drifted %.3g eV from its "
                          "start, more than %.3g eV (1 eV per atom); use a smaller time_step_fs",
                          step, static_cast<double>(step) * dt, drift, broken_drift);
            throw RequestError(text);
        }
        if (step % interval == 0 || step == options.total_steps) {
            result.frames.push_back(record_frame(step, static_cast<double>(step) * dt, potential, kinetic,
                                                 temperature, molecule, workspace));
        }
        result.max_energy_drift_ev = std::max(result.max_energy_drift_ev, std::fabs(total - result.initial_energy_ev));
        result.final_energy_ev = total;
        temperature_sum += temperature;
    }

    const double elapsed_ps = dt * static_cast<double>(options.total_steps) / 1000.0;
    if (elapsed_ps > 1e-12) {
        result.energy_drift_ev_per_ps = std::fabs(result.final_energy_ev - result.initial_energy_ev) / elapsed_ps;
    }
    result.average_temperature_k = temperature_sum / (static_cast<double>(options.total_steps) + 1.0);
    return result;
}

}  // namespace quorin
