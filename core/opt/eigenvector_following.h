#pragma once
// Transition-state search by partitioned rational-function eigenvector
// following in Cartesian coordinates: uphill along one Hessian eigenvector,
// downhill along all others, inside an adaptive trust radius. The Hessian
// starts from central differences of gradients (or the caller's matrix) and
// is corrected by a quasi-Newton update after every step.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/gradients/nuclear_gradients.h"
#include "core/opt/geometry_evaluation.h"
#include "core/opt/hessian_update.h"
#include "core/parameters/parameter_model.h"
#include "core/scf/eigensolver.h"
#include "core/scf/scf_loop.h"
#include "core/scf/workspace.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// The loosest gradient tolerances (kcal/(mol angstrom), RMS and largest
// per-atom length) at which a search of this engine reports a transition
// state, those of the two-ended search's refinement: a geometry with a larger
// gradient is no stationary point to start a path from.
inline constexpr double kTransitionStateGradRmsLimit = 0.5;
inline constexpr double kTransitionStateGradMaxLimit = 1.0;
// A geometry that meets the gradient tests is a saddle point only when the
// Newton step to the maximum along its transition mode (slope over
// curvature) is shorter than this (angstrom), the search's default first
// step. Where a search converges on a real barrier that step is a few
// thousandths of an angstrom, since the search steps along that mode by
// Newton steps; on a flat stretch of the surface, with fragments far apart,
// the gradient tests hold although the maximum lies angstroms away.
inline constexpr double kTransitionModeStepLimit = 0.1;

struct TransitionStateOptions {
    // Hessian eigenvector (ascending eigenvalues, from 0) followed uphill in
    // the first cycle; absent: 0, the lowest. Must be below 3N.
    std::optional<std::size_t> target_mode;
    // One flag per Cartesian coordinate (atom-major); nonzero = may move.
    std::optional<std::vector<std::uint8_t>> active_mask;
    // 3N x 3N, kcal/(mol angstrom^2); absent: central differences of gradients.
    std::optional<Matrix> initial_hessian;
    std::size_t max_cycles = 100;
    double grad_rms_tol = 0.1;    // kcal/(mol angstrom)
    double grad_max_tol = 0.2;    // kcal/(mol angstrom)
    double trust_radius = 0.1;    // angstrom, at the start
    double min_trust = 0.005;     // angstrom
    double max_trust = 0.3;       // angstrom
    double hessian_step = 0.005;  // angstrom, displacement of the first Hessian
    // From the second cycle on, follow the eigenvector of largest overlap with
    // the one followed before (else keep the eigenvalue index).
    bool follow_by_overlap = true;
    bool use_nddo = true;
    QuasiNewtonUpdate update = QuasiNewtonUpdate::Bofill;
};

struct TransitionStateResult {
    ScfResult scf_result;  // of the last geometry evaluated
    std::size_t cycles = 0;
    double final_energy = 0.0;             // eV
    double final_heat_of_formation = 0.0;  // kcal/mol, from final_energy
    double initial_grad_rms = 0.0;         // kcal/(mol angstrom)
    double final_grad_rms = 0.0;
    double final_grad_max = 0.0;
    // Curvature of the followed mode, kcal/(mol angstrom^2): measured with
    // the true gradient where the gradient tests were met, else its
    // eigenvalue at the last diagonalisation.
    double ts_mode_eigenvalue = 0.0;
    std::size_t ts_mode_index = 0;
    Matrix hessian;  // 3N x 3N at exit, kcal/(mol angstrom^2)
    // Gradient tests met at a geometry whose SCF converged and which is a
    // first-order saddle point: the measured curvature of the followed mode
    // is negative and no other eigenvalue of the step Hessian is (below
    // -0.05 kcal/(mol angstrom^2)), or, where the exact Hessian was
    // computed, it has exactly one imaginary frequency; and the Newton step
    // to the maximum along that mode is shorter than kTransitionModeStepLimit;
    // and an SCF from the atomic guess found no lower solution there.
    bool converged = false;
};

// Scratch of the search for one molecule size, allocated once and reused.
struct EigenvectorFollowingWorkspace {
    Vec64 eigenvalues;     // 3N, ascending
    Matrix eigenvectors;   // 3N x 3N, in columns
    EigensolverWorkspace eigensolver;  // LAPACK scratch of the 3N x 3N solve
    std::vector<double> gradient_modes;     // gradient in the eigenvector basis
    std::vector<double> step_modes;         // step in the eigenvector basis
    std::vector<double> step;               // Cartesian step, angstrom
    std::vector<double> gradient;           // kcal/(mol angstrom), atom-major
    std::vector<double> previous_gradient;  // then the gradient change
    std::vector<double> followed_mode;      // eigenvector followed last
    std::vector<std::array<double, 3>> gradient_ev;     // eV/angstrom, per atom
    std::vector<std::array<double, 3>> gradient_plus;   // at +h of the first Hessian
    std::vector<std::array<double, 3>> gradient_minus;  // at -h
    HessianUpdateWorkspace update;
    // Rigid-body motions of the current geometry (6 x 3N rows), the Hessian
    // with them moved out of the way of the step (3N x 3N), the scratch rows
    // of that projection (6 x 3N) and unit atom weights.
    Matrix external;
    Matrix step_hessian;
    Matrix external_hessian;
    std::vector<double> unit_masses;

    static EigenvectorFollowingWorkspace allocate(std::size_t n_atoms);
};

// Stops before any SCF: a target mode of 3N or more, or, without frozen
// coordinates, one that is an overall translation or rotation; a trust radius,
// gradient tolerance or Hessian step that is not a positive finite number; a
// minimum trust radius that is not positive or exceeds the finite maximum; a
// mask without one flag per coordinate; an initial Hessian not 3N x 3N.
void check_transition_state_options(const TransitionStateOptions& options, const MolecularBatch& molecule);

// Central differences of gradients (ladder SCF from the saved density at each
// displaced geometry), kcal/(mol angstrom^2), symmetrised. A frozen
// coordinate gets 500 on the diagonal and is never displaced. The molecule's
// coordinates and the workspace density are as before on return.
Matrix compute_initial_cartesian_hessian(double h, MolecularBatch& molecule, const ParameterModel& model,
                                         ScfWorkspace& scf, GradientWorkspace& gradient_workspace,
                                         EigenvectorFollowingWorkspace& workspace, bool use_nddo, ActiveMask mask);

// Without frozen coordinates the overall translations and rotations are kept
// out of every step: the step is taken on the Hessian and gradient with those
// directions projected out (and sorted above every internal curvature), so
// that target_mode and the followed mode count internal modes from the
// lowest. A geometry that meets the gradient tests with a converged SCF is
// judged there (two more gradients measure the curvature of the followed
// mode). Without frozen coordinates the exact Hessian (6N gradients) decides
// on molecules of up to 60 atoms when the step Hessian does not show exactly
// one downward curvature with the maximum along it within
// kTransitionModeStepLimit, and confirms it on up to eight atoms: one
// imaginary frequency with the maximum along its mode that near ends the
// search converged, none ends it not converged; one farther off, or more
// than one, continues the search on the exact Hessian (at most three exact
// Hessians per search). Elsewhere the step Hessian's verdict ends the search,
// except that a maximum farther off continues it. Before any of that, an SCF
// from the atomic guess looks for a lower solution than the one the search
// follows; the search goes on from one it finds (at most three times, then it
// ends not converged). The exact Hessian's SCF starts from the solution
// followed.
// Moves the molecule's coordinates in place and leaves the last geometry
// stepped to in it. The SCF and gradient workspaces must be sized for the
// molecule's basis, the eigenvector-following workspace for its atom count.
TransitionStateResult optimize_transition_state(MolecularBatch& molecule, const ParameterModel& model,
                                                ScfWorkspace& scf, GradientWorkspace& gradient_workspace,
                                                EigenvectorFollowingWorkspace& workspace,
                                                const TransitionStateOptions& options);

}  // namespace quorin
