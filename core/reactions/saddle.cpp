#include "core/reactions/saddle.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "core/gradients/heat_of_formation.h"
#include "core/gradients/nuclear_gradients.h"
#include "core/opt/geometry_evaluation.h"
#include "core/opt/lbfgs.h"
#include "core/parameters/atomic_mass.h"
#include "core/reactions/docking.h"
#include "core/reactions/irc.h"
#include "core/scf/escalation_ladder.h"
#include "core/scf/workspace.h"
#include "core/types/constants.h"
#include "core/types/errors.h"
#include "core/types/molecule.h"

namespace quorin {

namespace {

// Tight SCF of the end structures at set-up and of the interpolated guess.
constexpr double kTightEnergyToleranceEv = 1e-9;
constexpr double kTightDensityTolerance = 1e-8;
constexpr std::size_t kSetUpIterations = 80;
constexpr std::size_t kGuessIterations = 100;
// The ends count as met within this much (angstrom) beyond the convergence
// distance: placing a structure at a distance reproduces it only to rounding.
constexpr double kMeetingToleranceAngstrom = 1e-9;
// A cycle that brings the ends no closer than this (angstrom) makes no
// progress.
constexpr double kProgressAngstrom = 1e-12;
// No two atoms may come closer than this (angstrom) on the straight path
// between the docked ends.
constexpr double kClosestApproachAngstrom = 0.5;
// Ends closer than this RMSD (angstrom) after docking are one structure.
constexpr double kSameStructureRmsd = 0.05;
// Two minimised structures closer than this RMSD (angstrom) after docking
// are the minimum of one basin: soft modes leave a tight minimisation this
// much freedom.
constexpr double kSameMinimumRmsd = 0.1;
// The paths down from the transition state: arc-length steps (amu^1/2
// angstrom) and points per side, enough to leave its region before a
// minimisation finds the basin.
constexpr double kDescentStep = 0.3;
constexpr std::size_t kDescentPoints = 50;

// Coordinates of a flat atom-major vector as rows.
std::vector<std::array<double, 3>> rows_of(const std::vector<double>& x) {
    std::vector<std::array<double, 3>> rows(x.size() / 3);
    for (std::size_t a = 0; a < rows.size(); ++a) rows[a] = {x[3 * a], x[3 * a + 1], x[3 * a + 2]};
    return rows;
}

std::vector<double> flat_of(std::span<const std::array<double, 3>> rows) {
    std::vector<double> x(3 * rows.size());
    for (std::size_t a = 0; a < rows.size(); ++a) {
        for (std::size_t c = 0; c < 3; ++c) x[3 * a + c] = rows[a][c];
    }
    return x;
}

double distance_between(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(sum);
}

double length_of(std::span<const std::array<double, 3>> rows) {
    double sum = 0.0;
    for (const auto& r : rows) sum += r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
    return std::sqrt(sum);
}

// Puts `moving` at `target` from `fixed` on the line through both, on its
// own side; coincident structures stay as they are.
void place_at_distance(std::vector<double>& moving, const std::vector<double>& fixed, double target) {
    const double length = distance_between(moving, fixed);
    if (!(length > 1e-8)) return;
    const double scale = target / length;
    for (std::size_t i = 0; i < moving.size(); ++i) moving[i] = fixed[i] + (moving[i] - fixed[i]) * scale;
}

// Refuses ends whose straight path drives two atoms (nearly) through each
// other, as a symmetric pair docked by a flip does: on the path
// r(s) = (1 - s) reactant + s product the separation of atoms a and b is
// |u + s w| with u their separation in the reactant and w its change, least
// at s = -u.w / w.w clamped to [0, 1].
void check_straight_path(const std::vector<std::uint8_t>& atomic_numbers, std::span<const std::array<double, 3>> reactant,
                         std::span<const std::array<double, 3>> product) {
    for (std::size_t a = 0; a < reactant.size(); ++a) {
        for (std::size_t b = a + 1; b < reactant.size(); ++b) {
            double u[3], w[3], uw = 0.0, ww = 0.0;
            for (std::size_t c = 0; c < 3; ++c) {
                u[c] = reactant[b][c] - reactant[a][c];
                w[c] = product[b][c] - product[a][c] - u[c];
                uw += u[c] * w[c];
                ww += w[c] * w[c];
            }
            const double s = ww > 0.0 ? std::clamp(-uw / ww, 0.0, 1.0) : 0.0;
            double d2 = 0.0;
            for (std::size_t c = 0; c < 3; ++c) d2 += (u[c] + s * w[c]) * (u[c] + s * w[c]);
            if (std::sqrt(d2) >= kClosestApproachAngstrom) continue;
            char distance[32];
            std::snprintf(distance, sizeof distance, "%.3f", std::sqrt(d2));
            throw RequestError("The straight path between the docked reactant and product brings atom " +
                               std::to_string(a) + " (Z=" + std::to_string(atomic_numbers[a]) + ") and atom " +
                               std::to_string(b) + " (Z=" + std::to_string(atomic_numbers[b]) + ") within " +
                               distance + " angstrom of each other: the ends need a bent or less symmetric start");
        }
    }
}

// One end of the path: its molecule, SCF workspace, coordinates, last
// gradient (eV/angstrom) and last SCF total energy.
struct Side {
    MolecularBatch molecule;
    ScfWorkspace scf;
    std::vector<double> x;
    std::vector<std::array<double, 3>> gradient;
    double energy = 0.0;
};

Side make_side(const std::vector<std::uint8_t>& atomic_numbers, const std::vector<double>& x,
               const ParameterModel& model) {
    Side side{MolecularBatch::new_for_model(atomic_numbers, rows_of(x), model), {}, x, {}, 0.0};
    side.scf = ScfWorkspace::allocate(side.molecule.n_basis);
    side.gradient.assign(atomic_numbers.size(), {0.0, 0.0, 0.0});
    return side;
}

double docked_rmsd(std::span<const std::array<double, 3>> a, std::span<const std::array<double, 3>> b) {
    return a.empty() ? 0.0 : dock(a, b).second / std::sqrt(static_cast<double>(a.size()));
}

// Minimises the molecule from its coordinates (tight L-BFGS) and returns the
// minimum's coordinates.
std::vector<std::array<double, 3>> minimised(MolecularBatch& molecule, const ParameterModel& model,
                                             ScfWorkspace& scf, GradientWorkspace& gradient_workspace,
                                             bool use_nddo) {
    OptimizationOptions options;
    options.grad_rms_tol = 0.01;
    options.grad_max_tol = 0.02;
    options.energy_tol = 1e-9;
    options.max_cycles = 300;
    options.use_nddo = use_nddo;
    optimize_geometry_lbfgs(molecule, model, scf, gradient_workspace, options);
    return coordinate_triples(molecule);
}

// Whether the paths down from the transition state in `molecule` (one
// intrinsic-reaction-coordinate branch each way, started along the line from
// the reactant to the product, then a minimisation from its end) reach the
// basins of both ends: their minima are those of the two ends, one each, and
// the ends do not share one basin. `reactant` and `product` are the ends as
// given (the product docked); both branches start on `ts_density`, the
// solution at the transition state (no rows: none). Leaves the molecule at
// its last minimum.
bool joins_the_ends(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                    GradientWorkspace& gradient_workspace, std::span<const std::array<double, 3>> reactant,
                    std::span<const std::array<double, 3>> product, bool use_nddo, const Matrix& ts_density) {
    const std::size_t n_atoms = molecule.n_atoms;
    for (std::size_t a = 0; a < n_atoms; ++a) {
        if (!(atomic_mass(molecule.atomic_numbers[a]) > 0.0)) return false;  // no mass-weighted path
    }
    IrcWorkspace ws = IrcWorkspace::allocate(molecule);
    ws.ts_density = ts_density;
    double length2 = 0.0;
    for (std::size_t a = 0; a < n_atoms; ++a) {
        for (std::size_t c = 0; c < 3; ++c) {
            ws.transition_vector[3 * a + c] = ws.sqrt_masses[a] * (product[a][c] - reactant[a][c]);
            length2 += ws.transition_vector[3 * a + c] * ws.transition_vector[3 * a + c];
        }
    }
    if (!(length2 > 0.0)) return false;
    for (double& c : ws.transition_vector) c /= std::sqrt(length2);
    IrcOptions path;
    path.step_size = kDescentStep;
    path.max_points = kDescentPoints;
    path.use_nddo = use_nddo;
    path.confirm_minimum = false;  // the minimisation from the end finds the basin
    std::vector<std::array<double, 3>> ends[2];
    for (int side = 0; side < 2; ++side) {
        const IrcBranch branch =
            trace_single_branch(side == 0 ? -1.0 : 1.0, molecule, model, scf, gradient_workspace, ws, path);
        set_coordinates(molecule, branch.points.empty() ? ws.ts_coords : branch.points.back().coordinates);
        ends[side] = minimised(molecule, model, scf, gradient_workspace, use_nddo);
    }
    std::vector<std::array<double, 3>> basins[2];
    for (int side = 0; side < 2; ++side) {
        set_coordinates(molecule, side == 0 ? reactant : product);
        basins[side] = minimised(molecule, model, scf, gradient_workspace, use_nddo);
    }
    auto same = [](const auto& a, const auto& b) { return docked_rmsd(a, b) < kSameMinimumRmsd; };
    if (same(basins[0], basins[1])) return false;
    return (same(ends[0], basins[0]) && same(ends[1], basins[1])) ||
           (same(ends[0], basins[1]) && same(ends[1], basins[0]));
}

}  // namespace

void check_saddle_options(const SaddleOptions& options) {
    require_positive_finite(options.step_size, "step_size");
    require_positive_finite(options.convergence_distance, "convergence_distance");
}

SaddleResult run_saddle(std::vector<std::uint8_t> atomic_numbers, std::span<const std::array<double, 3>> reactant,
                        std::span<const std::array<double, 3>> product, const ParameterModel& model,
                        const SaddleOptions& options) {
    const std::size_t n_atoms = atomic_numbers.size();
    if (reactant.size() != n_atoms) {
        stop_assert_eq("Reactant coordinates must hold one row per atom", reactant.size(), n_atoms);
    }
    if (product.size() != n_atoms) {
        stop_assert_eq("Product coordinates must hold one row per atom", product.size(), n_atoms);
    }
    check_saddle_options(options);
    const std::size_t dim = 3 * n_atoms;

    // The product is brought into the reactant's frame once; the reactant never moves.
    auto [docked, d] = dock(reactant, product);
    if (n_atoms > 0 && d / std::sqrt(static_cast<double>(n_atoms)) < kSameStructureRmsd) {
        char rmsd[32];
        std::snprintf(rmsd, sizeof rmsd, "%.3g", d / std::sqrt(static_cast<double>(n_atoms)));
        throw RequestError(std::string("The reactant and product are the same structure: after docking they lie ") +
                           rmsd + " angstrom RMSD apart; a reaction path needs ends at least 0.05 angstrom apart");
    }
    check_straight_path(atomic_numbers, reactant, docked);
    Side sides[2] = {make_side(atomic_numbers, flat_of(reactant), model),
                     make_side(atomic_numbers, flat_of(docked), model)};
    GradientWorkspace gradient_workspace = GradientWorkspace::allocate(sides[0].molecule.n_basis);
    auto heat_of = [&](const Side& side) {
        return compute_heat_of_formation_kcal_mol(side.molecule, model, side.energy);
    };

    for (Side& side : sides) {
        side.energy = run_rhf_scf_adaptive_with_nddo_and_cosmo(side.molecule, model, side.scf, kSetUpIterations,
                                                               options.use_nddo, std::nullopt,
                                                               kTightEnergyToleranceEv, kTightDensityTolerance)
                          .total_energy;
    }
    const double heat_reactant = heat_of(sides[0]);
    const double heat_product = heat_of(sides[1]);
    // The lower end moves first; ties go to the reactant.
    std::size_t s = heat_product < heat_reactant ? 1 : 0;
    double e_ref = sides[s].energy;
    std::size_t run_length = 0;
    for (Side& side : sides) {
        compute_cartesian_gradients_with_options(side.molecule, model, side.scf.density, gradient_workspace,
                                                 side.gradient, options.use_nddo);
    }

    std::vector<SaddlePoint> trajectory;
    bool met = false;
    std::vector<double> transverse(dim);
    for (std::size_t k = 1; k <= options.max_cycles; ++k) {
        if (d <= options.convergence_distance + kMeetingToleranceAngstrom) {
            met = true;
            break;
        }
        const double target = std::max(d - options.step_size, options.convergence_distance);
        Side& moving = sides[s];
        const Side& fixed = sides[1 - s];
        place_at_distance(moving.x, fixed.x, target);

        double rms = 0.0;
        for (std::size_t j = 0; j < options.inner_max_steps; ++j) {
            write_flat_coordinates(moving.x, moving.molecule);
            moving.energy = evaluate_energy_and_gradient(moving.molecule, model, moving.scf, gradient_workspace,
                                                         {.use_nddo = options.use_nddo}, moving.gradient)
                                .total_energy;
            // Gradient without its component along the line to the fixed end.
            double along = 0.0;
            for (std::size_t i = 0; i < dim; ++i) {
                along += moving.gradient[i / 3][i % 3] * (moving.x[i] - fixed.x[i]) / target;
            }
            double sum2 = 0.0;
            for (std::size_t i = 0; i < dim; ++i) {
                const double u = (moving.x[i] - fixed.x[i]) / target;
                transverse[i] = (moving.gradient[i / 3][i % 3] - along * u) * kEvToKcalMol;
                sum2 += transverse[i] * transverse[i];
            }
            rms = std::sqrt(sum2 / static_cast<double>(dim));
            if (rms < options.inner_grad_tol) break;
            const double alpha = std::min(0.02 / (rms + 1.0), 0.01);
            for (std::size_t i = 0; i < dim; ++i) moving.x[i] -= alpha * transverse[i];
            place_at_distance(moving.x, fixed.x, target);
        }

        // A cycle that brought the ends no closer ends the search unrecorded.
        const double before = d;
        d = distance_between(sides[0].x, sides[1].x);
        if (!(d < before - kProgressAngstrom)) break;
        trajectory.push_back({k, s + 1, d, heat_of(moving), moving.energy, rms, rows_of(moving.x)});
        if (k == options.max_cycles) break;
        if (moving.energy > e_ref || run_length >= 2) {
            s = 1 - s;
            run_length = 0;
        } else {
            ++run_length;
        }
        e_ref = moving.energy;
    }

    // Interpolate nearer the end whose gradient is smaller.
    const double g_reactant = length_of(sides[0].gradient), g_product = length_of(sides[1].gradient);
    const double w = g_reactant + g_product > 1e-6 ? g_product / (g_reactant + g_product) : 0.5;
    std::vector<double> x_ts(dim);
    for (std::size_t i = 0; i < dim; ++i) x_ts[i] = w * sides[0].x[i] + (1.0 - w) * sides[1].x[i];

    MolecularBatch guess = MolecularBatch::new_for_model(std::move(atomic_numbers), rows_of(x_ts), model);
    ScfWorkspace guess_scf = ScfWorkspace::allocate(guess.n_basis);
    const ScfResult guess_energy =
        run_rhf_scf_adaptive_with_nddo_and_cosmo(guess, model, guess_scf, kGuessIterations, options.use_nddo,
                                                 std::nullopt, kTightEnergyToleranceEv, kTightDensityTolerance);
    double e_ts = guess_energy.total_energy;
    SaddleResult result;
    if (guess_energy.converged) result.transition_state_density = guess_scf.density;
    double h_ts = compute_heat_of_formation_kcal_mol(guess, model, e_ts);
    if (options.refine_with_ts) {
        // Lowest mode, finite-difference first Hessian, Bofill updates and the
        // default trust bounds; looser than a stand-alone search.
        TransitionStateOptions refine;
        refine.max_cycles = 60;
        refine.grad_rms_tol = kTransitionStateGradRmsLimit;
        refine.grad_max_tol = kTransitionStateGradMaxLimit;
        refine.trust_radius = 0.08;
        refine.use_nddo = options.use_nddo;
        EigenvectorFollowingWorkspace workspace = EigenvectorFollowingWorkspace::allocate(n_atoms);
        TransitionStateResult refined =
            optimize_transition_state(guess, model, guess_scf, gradient_workspace, workspace, refine);
        if (refined.converged) {
            read_flat_coordinates(guess, x_ts);
            e_ts = refined.final_energy;
            h_ts = refined.final_heat_of_formation;
            // The solution the refinement followed, converged at its last
            // geometry or a Hessian step from it.
            if (!guess_scf.carried_coordinates.empty()) result.transition_state_density = guess_scf.carried_density;
        }
        result.ts_refinement = std::move(refined);
    }
    // A transition state between the ends lies above both and leads down
    // into both of their basins.
    const bool refined = !result.ts_refinement || result.ts_refinement->converged;
    result.converged = met && refined && h_ts > heat_reactant && h_ts > heat_product;
    if (result.converged) {
        set_coordinates(guess, rows_of(x_ts));
        result.converged = joins_the_ends(guess, model, guess_scf, gradient_workspace, reactant, docked,
                                          options.use_nddo, result.transition_state_density);
    }

    result.trajectory = std::move(trajectory);
    result.num_cycles = result.trajectory.size();
    result.final_distance = d;
    result.transition_state_coordinates = rows_of(x_ts);
    result.transition_state_energy_ev = e_ts;
    result.transition_state_heat_of_formation_kcal = h_ts;
    result.barrier_forward_kcal = h_ts - heat_reactant;
    result.barrier_reverse_kcal = h_ts - heat_product;
    return result;
}

}  // namespace quorin
