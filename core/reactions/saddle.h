#pragma once
// Two-ended transition-state search: the product is docked onto the
// reactant, then one end at a time is stepped towards the other along the
// line joining them and relaxed transverse to it, until the two are close;
// the transition state is interpolated between them by their gradient
// lengths and, on request, refined by eigenvector following. Gas phase only.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/opt/eigenvector_following.h"
#include "core/parameters/parameter_model.h"

namespace quorin {

struct SaddleOptions {
    std::size_t max_cycles = 60;
    double step_size = 0.10;             // angstrom closer per cycle
    double convergence_distance = 0.12;  // angstrom; also the closest placement
    std::size_t inner_max_steps = 12;    // relaxation steps per cycle
    double inner_grad_tol = 3.0;         // kcal/(mol angstrom), transverse RMS
    bool use_nddo = true;
    bool refine_with_ts = true;
};

struct SaddlePoint {
    std::size_t cycle = 0;             // from 1
    std::size_t moving_structure = 0;  // 1 reactant side, 2 product side
    double distance = 0.0;             // angstrom, between the ends after the cycle
    double heat_of_formation_kcal = 0.0;
    double total_energy_ev = 0.0;
    double grad_rms = 0.0;  // kcal/(mol angstrom), transverse, last relaxation step
    std::vector<std::array<double, 3>> coordinates;  // moving structure, angstrom
};

struct SaddleResult {
    // The ends came within convergence_distance (to 1e-9 angstrom); when
    // asked for, the refinement converged; the transition state lies above
    // both ends; and the paths down from it (an intrinsic reaction coordinate
    // each way, then a minimisation) reach the minima of the two ends, which
    // are not one.
    bool converged = false;
    std::size_t num_cycles = 0;
    double final_distance = 0.0;  // angstrom
    std::vector<std::array<double, 3>> transition_state_coordinates;
    double transition_state_energy_ev = 0.0;
    double transition_state_heat_of_formation_kcal = 0.0;
    double barrier_forward_kcal = 0.0;  // from the reactant's starting heat
    double barrier_reverse_kcal = 0.0;  // from the product's starting heat
    std::vector<SaddlePoint> trajectory;
    std::optional<TransitionStateResult> ts_refinement;  // exactly when refine_with_ts
    // The converged SCF density at the transition state, on the solution the
    // search followed there (what a single point there starts from); 0 x 0
    // when no SCF there converged.
    Matrix transition_state_density;
};

// Stops before any SCF when step_size or convergence_distance is not a
// positive finite number.
void check_saddle_options(const SaddleOptions& options);

// Builds its own molecules and workspaces; the inputs are only read. Stops
// when either coordinate set does not hold one row per atomic number, and on
// unsound options, before any SCF; refuses (RequestError), also before any
// SCF, ends that are the same structure (less than 0.05 angstrom RMSD apart
// after docking) and ends whose straight path brings two atoms within 0.5
// angstrom. A cycle that brings the ends no closer ends the search, not
// converged and not recorded.
SaddleResult run_saddle(std::vector<std::uint8_t> atomic_numbers, std::span<const std::array<double, 3>> reactant,
                        std::span<const std::array<double, 3>> product, const ParameterModel& model,
                        const SaddleOptions& options);

}  // namespace quorin
