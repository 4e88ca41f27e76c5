#pragma once
// Dynamic reaction coordinate: classical (Born-Oppenheimer) dynamics of the
// nuclei on the closed-shell SCF surface. Velocity-Verlet integration with a
// fresh SCF and finite-difference gradient at every step, an optional
// Berendsen thermostat, frames recorded at a fixed interval, and
// energy-conservation statistics.
//
// Units: positions angstrom, velocities angstrom/fs, accelerations
// angstrom/fs^2, forces eV/angstrom, masses amu, time fs, energies eV,
// temperature K.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/gradients/nuclear_gradients.h"
#include "core/parameters/parameter_model.h"
#include "core/scf/workspace.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// eV/(angstrom amu) to angstrom/fs^2.
inline constexpr double kAccelerationFactor = 0.009648533212331003;
// amu angstrom^2/fs^2 to eV.
inline constexpr double kKineticEnergyFactor = 103.64269656261541;
inline constexpr double kBoltzmannEvPerK = 8.617333262145e-05;
inline constexpr std::uint64_t kDefaultVelocitySeed = 0x123456789abcdef0ULL;

struct InitialVelocities {
    // Every atom at rest.
    struct Zero {};
    // A seeded Maxwell-Boltzmann draw at `temperature_k`, rescaled to exactly
    // that temperature. (Every start has its net translation and rotation
    // removed.)
    struct MaxwellBoltzmann {
        std::optional<std::uint64_t> seed;  // none: kDefaultVelocitySeed
        double temperature_k = 0.0;
    };
    // Supplied velocities (angstrom/fs, one triple per atom) rescaled to a
    // total kinetic energy in kcal/mol.
    struct ScaledCustom {
        std::vector<std::array<double, 3>> velocities;
        double kinetic_energy = 0.0;
    };
    // Supplied velocities (angstrom/fs, one triple per atom) used as given,
    // less their net translation and rotation.
    struct Custom {
        std::vector<std::array<double, 3>> velocities;
    };

    std::variant<Zero, MaxwellBoltzmann, ScaledCustom, Custom> value;
};

struct DrcOptions {
    InitialVelocities initial_velocities;
    double time_step_fs = 0.5;
    std::size_t total_steps = 500;
    double temperature_k = 298.15;     // thermostat target
    double berendsen_tau_fs = 100.0;   // thermostat coupling time, at least time_step_fs
    std::size_t recording_interval = 1;  // 0 acts as 1
    double scf_energy_tolerance = 1e-8;  // eV
    double scf_density_tolerance = 1e-7;
    bool nvt = false;  // Berendsen thermostat on
    bool use_nddo = true;
};

// The integrator state and per-atom masses of one run.
struct DrcWorkspace {
    std::vector<std::array<double, 3>> velocities;        // angstrom/fs
    std::vector<std::array<double, 3>> accelerations;     // angstrom/fs^2
    std::vector<std::array<double, 3>> new_accelerations;  // angstrom/fs^2
    std::vector<std::array<double, 3>> forces;            // eV/angstrom
    std::vector<std::array<double, 3>> gradient;          // eV/angstrom
    std::vector<double> masses;                            // amu, from the mass table
    std::vector<double> inverse_masses;                    // 1/amu
    Matrix rigid_motions;  // 6 x 3N, mass-weighted translations and rotations of the current geometry
    // The converged densities of the two steps before the last, on the
    // solution followed (the warm start's extrapolation).
    std::array<Matrix, 2> density_history;

    static DrcWorkspace allocate(const MolecularBatch& molecule);
};

struct DrcFrame {
    std::size_t step = 0;
    double time_fs = 0.0;
    double potential_energy_ev = 0.0;
    double kinetic_energy_ev = 0.0;
    double total_energy_ev = 0.0;  // potential + kinetic
    double temperature_k = 0.0;    // instantaneous kinetic temperature
    std::vector<std::array<double, 3>> coordinates;  // angstrom
    std::vector<std::array<double, 3>> velocities;   // angstrom/fs
    std::vector<std::array<double, 3>> forces;       // eV/angstrom
};

struct DrcResult {
    std::vector<DrcFrame> frames;  // step 0, every multiple of the interval, the last step
    double initial_energy_ev = 0.0;
    double final_energy_ev = 0.0;
    // The drifts are those of the conserved energy, E_total less the
    // thermostat's heat (E_total itself in NVE).
    double energy_drift_ev_per_ps = 0.0;  // |final - initial| over the elapsed time
    double max_energy_drift_ev = 0.0;     // largest |conserved - initial| over all steps
    double average_temperature_k = 0.0;   // over steps 0 .. total_steps
    // Kinetic energy the thermostat put in (negative: took out), eV; 0 in NVE.
    double thermostat_heat_ev = 0.0;
    // Steps at which the run changed SCF solution: it moved onto a lower one
    // that an SCF from the atomic guess found, or the conserved energy
    // jumped (as above) in the step although the steps around it were
    // checked (two solutions cross there, and the force changes
    // abruptly, or the SCF moved to a solution the checks do not find).
    std::vector<std::size_t> state_changes;
};

// Degrees of freedom of the kinetic temperature: 3N - 6 for N >= 3 (3N - 5
// when is_linear_molecule calls it linear with these masses, the rule of the
// rigid-body projection), 1 for a diatomic, 3 for a single atom. The starting
// velocities carry no net translation or rotation, so these are all the
// motions that hold kinetic energy.
double drc_degrees_of_freedom(const MolecularBatch& molecule, std::span<const double> masses);

// Frames a run records: step 0, every multiple of the interval (0 acts as
// 1) and the last step.
std::size_t drc_frame_count(std::size_t total_steps, std::size_t recording_interval);

// Refuses (RequestError, with the frame count and the bytes) a run whose
// recorded frames for `n_atoms` atoms would not fit in `available_bytes`.
void check_drc_frames_fit(const DrcOptions& options, std::size_t n_atoms, std::uint64_t available_bytes);

// The first option that would make the dynamics meaningless, as a message:
// a time step that is not positive and finite; a Maxwell-Boltzmann
// temperature, or under `nvt` a target temperature, that is negative or not
// finite; under `nvt` a coupling time that is not positive and finite or
// shorter than the time step (the scaling would then overshoot the target
// temperature, and a hot system's lambda^2 turn negative); a
// ScaledCustom kinetic energy that is negative or not finite; supplied
// velocities that are not finite. None when the options are usable.
std::optional<std::string> find_drc_option_error(const DrcOptions& options);

// A copy of the current state: total = potential + kinetic, the molecule's
// coordinates and the workspace's velocities and forces.
DrcFrame record_frame(std::size_t step, double time_fs, double potential_energy_ev, double kinetic_energy_ev,
                      double temperature_k, const MolecularBatch& molecule, const DrcWorkspace& workspace);

// Runs `total_steps` velocity-Verlet steps; the molecule ends at the last
// geometry. Every geometry gets the SCF ladder (first try 60 iterations at the
// start, 50 afterwards), warm-started from the solution of the step before
// (extrapolated from the three before once there are three on one solution),
// and the gradient; the SCF's convergence is not tested. The frames follow
// the lowest SCF solution found: every ten steps, at the last step, wherever
// the conserved energy jumps in one step (by more than 5 meV and ten times
// its typical change) and wherever the warm start's solution has a soft
// orbital mode (run_surface_scf), an SCF from the atomic guess checks the
// solution followed, once per step; where it ends on the warm start's own
// solution it stands in for the warm run. Where it finds a lower one, or at a
// jump, the run goes back to the step of the last check and integrates again
// with that check at every step, moving onto the lower solution at the step
// where it appears. Only the recorded frames grow with the number of steps.
//
// Stops before any SCF: the option errors above; a workspace or supplied
// velocity list not sized for the molecule ("Custom velocities count
// mismatch" for Custom); an atom without a tabulated mass. Refuses
// (RequestError) before any SCF a run whose frames would not fit in the
// memory available, and during the run one whose total energy (less what the
// thermostat put in) leaves its start by more than 1 eV per atom, naming the
// step and the drift: such a run has broken down and its result would be
// meaningless.
DrcResult run_dynamic_reaction_coordinate(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                                          GradientWorkspace& gradient_workspace, DrcWorkspace& workspace,
                                          const DrcOptions& options);

}  // namespace quorin
