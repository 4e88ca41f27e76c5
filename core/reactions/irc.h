#pragma once
// Intrinsic reaction coordinate: the steepest-descent path in mass-weighted
// Cartesian coordinates from a transition state down to the neighbouring
// minima. Each branch takes fixed arc-length steps: a predictor along the
// current descent direction and a corrector that puts the new point on a
// hypersphere around the half-step pivot.
//
// Mass-weighted coordinates q = sqrt(m) r (amu^1/2 angstrom); mass-weighted
// gradient g_mw = g kcal/eV / sqrt(m) (kcal/(mol angstrom amu^1/2)).
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/gradients/nuclear_gradients.h"
#include "core/parameters/parameter_model.h"
#include "core/scf/workspace.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

inline constexpr std::uint8_t kIrcForward = 0;
inline constexpr std::uint8_t kIrcReverse = 1;
inline constexpr std::uint8_t kIrcBoth = 2;

struct IrcOptions {
    // A direction in mass-weighted coordinates, 3N values (normalised before
    // use). None: the lowest normal mode of the Hessian at the start.
    std::optional<std::vector<double>> transition_vector;
    double step_size = 0.1;  // amu^1/2 angstrom, arc length of one step
    std::size_t max_points = 50;  // per branch
    std::size_t max_corrector_iterations = 25;
    double corrector_tol = 1e-4;   // amu^1/2 angstrom
    // kcal/(mol angstrom amu^1/2): a branch ends at a minimum once the RMS
    // falls below this.
    double min_gradient = 0.05;
    // Confirm each end by its lowest vibration: see IrcBranch::converged.
    bool confirm_minimum = true;
    bool use_nddo = true;
    std::uint8_t direction = kIrcBoth;  // kIrcForward, kIrcReverse, anything else both
};

// The tracer's vectors, allocated once per trace and shared by both branches.
struct IrcWorkspace {
    std::vector<double> coords_mw;  // 3N, current path point q
    std::vector<double> pivot;      // 3N, corrector pivot p
    std::vector<double> trial;      // 3N, point being corrected
    std::vector<double> midpoint;   // 3N, corrector scratch
    std::vector<double> best_point;     // 3N, lowest corrector point so far
    std::vector<double> best_residual;  // 3N, its image minus itself
    std::vector<double> best_gradient;  // 3N, its mass-weighted gradient
    std::vector<std::array<double, 3>> cart_gradient;  // eV/angstrom, last evaluated geometry
    std::vector<double> gradient_mw;                   // 3N, last evaluated geometry
    std::vector<double> direction;                     // 3N, current descent direction d
    std::vector<double> transition_vector;             // 3N
    std::vector<double> sqrt_masses;                   // N
    std::vector<double> inv_sqrt_masses;               // N
    std::vector<std::array<double, 3>> ts_coords;      // angstrom, transition-state geometry
    // The converged SCF solution at the transition state that every branch
    // starts from (no rows: none, a branch's first SCF starts as it can).
    Matrix ts_density;

    // Sized for the molecule, masses from the table, ts_coords = its geometry.
    static IrcWorkspace allocate(const MolecularBatch& molecule);
    void restore_ts_coords(MolecularBatch& molecule) const;
};

struct IrcPoint {
    double path_coordinate = 0.0;  // s, amu^1/2 angstrom; 0 at the TS, > 0 forward
    double energy_ev = 0.0;        // SCF total energy
    double heat_of_formation_kcal = 0.0;
    std::vector<std::array<double, 3>> coordinates;  // angstrom
    double cartesian_gradient_rms = 0.0;       // kcal/(mol angstrom)
    double mass_weighted_gradient_rms = 0.0;   // kcal/(mol angstrom amu^1/2)
};

struct IrcResult {
    std::vector<IrcPoint> points;  // reverse branch from its far end, the TS, the forward branch
    std::size_t ts_point_index = 0;  // number of reverse points
    bool forward_converged = false;  // false for a branch not traced
    bool reverse_converged = false;
};

struct IrcBranch {
    // In path order, away from the TS, each point's energy at or below that
    // of the point before (the TS for the first).
    std::vector<IrcPoint> points;
    // The path reached a minimum more than 0.1 kcal/mol below the transition
    // state: a point whose mass-weighted gradient RMS lies below min_gradient,
    // with a converged SCF and the energy curving up along the path, or the
    // end of the tight minimisation that takes over from the steepest
    // descent; where an SCF from the atomic guess finds no lower solution
    // and, with confirm_minimum, no vibration lies below -10 cm^-1 by the
    // lowest-mode search of core/vibrations/lowest_mode.h (at any size, some
    // tens of gradients where the central-difference Hessian takes 6N).
    bool converged = false;
};

// The first option the tracer cannot work with, as a message: a step size
// that is not positive and finite; no corrector evaluation allowed; a
// supplied transition vector that is not finite or zero. None when usable.
std::optional<std::string> find_irc_option_error(const IrcOptions& options);

// One branch from the TS along sign x the workspace's transition vector
// (sign +1 forward, -1 reverse), on the workspace's solution at the TS
// where it holds one. A step whose corrected point turns back to the
// previous one or lies above it in energy has met the minimum along the
// path: it is not kept, and the path goes on from the previous point with
// half the step. Below 1/1024 of step_size the steepest descent has done
// its part: a tight minimisation (at most 1000 cycles) goes on from the last
// point, and its minimum is the next point. So no point lies above the one
// before, and the path coordinate grows by the length of each step taken
// (the straight line to a minimisation's minimum). Every point costs at most
// max_corrector_iterations SCF+gradient evaluations, the end two more, one
// SCF from the atomic guess and the lowest-mode search (some tens).
//
// A path that keeps a symmetry of the transition state can end on a
// stationary point of that symmetry that is no minimum. Where the lowest
// vibration at an end lies below -10 cm^-1, the path steps off along
// the lowest mode by step_size and a tight minimisation goes on down from
// there; its minimum is the next point, checked in turn. Where an SCF from
// the atomic guess finds a lower solution at an end, the end point takes
// that solution's values and the path goes on down on it. After ten such
// restarts, or a minimisation that does not converge (as where the ends
// drift apart) or a lowest-mode search that ends undecided, the branch ends
// not converged.
IrcBranch trace_single_branch(double sign, MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                              GradientWorkspace& gradient_workspace, IrcWorkspace& workspace,
                              const IrcOptions& options);

// Traces the branches the options ask for from the molecule's geometry and
// puts the molecule back there. The geometry must be a transition state: a
// gradient within what the engine's searches accept (RMS below 0.5, largest
// atom gradient below 1.0 kcal/(mol angstrom)) and, without a supplied
// transition vector, exactly one imaginary vibration in the vibrational
// analysis run there, along which the path starts; otherwise the request is
// refused (RequestError naming what was found).
//
// Stops before any SCF: the option errors above; "Supplied transition vector
// length mismatch"; a workspace not sized for the molecule; an atom without a
// tabulated mass. The vibrational analysis' stops pass through ("Base SCF
// must converge before computing Hessian").
IrcResult trace_intrinsic_reaction_coordinate(MolecularBatch& molecule, const ParameterModel& model,
                                              ScfWorkspace& scf, GradientWorkspace& gradient_workspace,
                                              IrcWorkspace& workspace, const IrcOptions& options);

}  // namespace quorin
