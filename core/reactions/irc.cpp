#include "core/reactions/irc.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>

#include "core/gradients/energy_and_gradient.h"
#include "core/gradients/heat_of_formation.h"
#include "core/opt/eigenvector_following.h"
#include "core/opt/geometry_evaluation.h"
#include "core/opt/lbfgs.h"
#include "core/parameters/atomic_mass.h"
#include "core/types/constants.h"
#include "core/types/errors.h"
#include "core/vibrations/hessian.h"
#include "core/vibrations/lowest_mode.h"

namespace quorin {

namespace {

// A corrector trial counts as higher than the best point beyond this (eV),
// the SCF's own energy tolerance.
constexpr double kCorrectorEnergyNoiseEv = 1e-7;
// A corrected point closer than this fraction of a step to the previous one
// shows that the minimum lies within the step.
constexpr double kTurnedBackFraction = 0.25;
// On arrival the step is halved, down to this fraction of the caller's step.
constexpr double kSmallestStepFraction = 1.0 / 1024.0;
// A branch end counts as a minimum only this far (kcal/mol) below the
// transition state: next to a soft saddle point the gradient is small too.
constexpr double kMinimumDepthKcal = 0.1;
// Mass-weighted displacement (amu^1/2 angstrom) of the central difference
// that measures the curvature along the path at its end.
constexpr double kCurvatureStep = 0.02;
// Ends a branch may go on from (onto a lower SCF solution, or off a
// stationary point with an imaginary frequency) before it ends not converged.
// On a flat surface the minimisations stop on several such points in turn,
// each lower (C2H4 + H2 from the elimination transition state: five, each
// 0.03 to 0.8 meV below the one before).
constexpr std::size_t kMaxEndRestarts = 10;
// Cycles of the minimisation that goes on down from such a stationary point.
constexpr std::size_t kMinimisationCycles = 1000;
// Points reserved up front; a branch that goes on grows its list.
constexpr std::size_t kReservedPoints = 256;
constexpr SurfaceScfSettings kTsScf{60, 1e-7, 1e-6, true};
constexpr SurfaceScfSettings kPathScf{50, 1e-7, 1e-6, true};

SurfaceScfSettings with_nddo(SurfaceScfSettings settings, bool use_nddo) {
    settings.use_nddo = use_nddo;
    return settings;
}

double norm(const std::vector<double>& v) {
    double s = 0.0;
    for (double c : v) s += c * c;
    return std::sqrt(s);
}

// One evaluated geometry of the path.
struct Evaluation {
    ScfResult scf;
    double heat_kcal = 0.0;
    double cartesian_rms = 0.0;      // kcal/(mol angstrom)
    double mass_weighted_rms = 0.0;  // kcal/(mol angstrom amu^1/2)
    bool cold_compared = false;      // an SCF from the atomic guess ran at this geometry
};

// SCF ladder and gradient at the molecule's geometry (the gradient alone
// when `solved`, the result of the solution the workspace holds there, is
// given); fills the workspace's Cartesian and mass-weighted gradients.
Evaluation evaluate(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                    GradientWorkspace& gradient_workspace, IrcWorkspace& ws, const SurfaceScfSettings& settings,
                    const ScfResult* solved = nullptr) {
    Evaluation e;
    ColdStartReport report;
    e.scf = evaluate_energy_and_gradient(molecule, model, scf, gradient_workspace, settings, ws.cart_gradient,
                                         &report, solved);
    e.cold_compared = report.compared;
    e.heat_kcal = compute_heat_of_formation_kcal_mol(molecule, model, e.scf.total_energy);
    double cartesian2 = 0.0, weighted2 = 0.0;
    for (std::size_t a = 0; a < ws.cart_gradient.size(); ++a) {
        for (std::size_t c = 0; c < 3; ++c) {
            const double g = ws.cart_gradient[a][c] * kEvToKcalMol;
            ws.gradient_mw[3 * a + c] = g * ws.inv_sqrt_masses[a];
            cartesian2 += g * g;
            weighted2 += ws.gradient_mw[3 * a + c] * ws.gradient_mw[3 * a + c];
        }
    }
    const double components = static_cast<double>(ws.gradient_mw.size());
    if (components > 0.0) {
        e.cartesian_rms = std::sqrt(cartesian2 / components);
        e.mass_weighted_rms = std::sqrt(weighted2 / components);
    }
    return e;
}

// Molecule coordinates r = q / sqrt(m).
void set_mass_weighted(MolecularBatch& molecule, const IrcWorkspace& ws, const std::vector<double>& q) {
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        molecule.x[a] = q[3 * a] * ws.inv_sqrt_masses[a];
        molecule.y[a] = q[3 * a + 1] * ws.inv_sqrt_masses[a];
        molecule.z[a] = q[3 * a + 2] * ws.inv_sqrt_masses[a];
    }
}

// Barzilai-Borwein weight from the step between the best point and the new
// trial (still in `trial`) and the change of their residuals (the new one in
// `midpoint`): for residuals linear in the point it undoes the stiffest
// curvature met so far. Kept when the pair shows no descent.
double secant_weight(const IrcWorkspace& ws, double weight) {
    double step_dot_change = 0.0, change2 = 0.0;
    for (std::size_t i = 0; i < ws.trial.size(); ++i) {
        const double change = ws.midpoint[i] - ws.best_residual[i];
        step_dot_change += (ws.trial[i] - ws.best_point[i]) * change;
        change2 += change * change;
    }
    if (!(change2 > 0.0) || !(step_dot_change < 0.0)) return weight;
    return std::clamp(-step_dot_change / change2, 1e-3, 1.0);
}

IrcPoint make_point(double s, const Evaluation& e, const MolecularBatch& molecule) {
    return {s, e.scf.total_energy, e.heat_kcal, coordinate_triples(molecule), e.cartesian_rms, e.mass_weighted_rms};
}

// The SCF of a vibrational analysis on the path, started from `followed`,
// the solution the path follows at that geometry.
ScfOptions analysis_scf_options(const Matrix& followed, bool use_nddo) {
    return {.cosmo = std::nullopt,
            .electric_field = std::nullopt,
            .external_charges = std::nullopt,
            .max_iterations = 60,
            .energy_tolerance = 1e-8,
            .density_tolerance = 1e-7,
            .level_shift = 0.0,
            .damping = 0.5,
            .use_nddo = use_nddo,
            .initial_density = &followed};
}

// The vibrational analysis at the molecule's geometry, its SCF started from
// the workspace density, the solution the path follows there.
HessianResult vibrational_analysis(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                                   bool use_nddo) {
    const Matrix followed = scf.density;
    const ScfOptions scf_options = analysis_scf_options(followed, use_nddo);
    const HessianOptions hessian_options{.custom_masses = std::nullopt,
                                         .step_size_angstrom = 0.005,
                                         .temperature_k = 298.15,
                                         .pressure_atm = 1.0,
                                         .rotational_symmetry_number = 1.0,
                                         .reconverge_scf = true,
                                         .use_nddo = use_nddo,
                                         .project_external = true};
    return compute_hessian_and_frequencies(molecule, model, scf, scf_options, hessian_options);
}

// Mass-weighted coordinates q = sqrt(m) r of the molecule.
void read_mass_weighted(const MolecularBatch& molecule, const IrcWorkspace& ws, std::vector<double>& q) {
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        q[3 * a] = ws.sqrt_masses[a] * molecule.x[a];
        q[3 * a + 1] = ws.sqrt_masses[a] * molecule.y[a];
        q[3 * a + 2] = ws.sqrt_masses[a] * molecule.z[a];
    }
}

// Tight minimisation from the molecule's geometry, on the solution the
// workspace carries, its check for a lower solution in `spare`; leaves the
// molecule at the last geometry evaluated.
bool minimise(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
              GradientWorkspace& gradient_workspace, bool use_nddo, std::optional<ScfWorkspace>& spare) {
    OptimizationOptions options;
    options.max_cycles = kMinimisationCycles;
    options.grad_rms_tol = 0.01;
    options.grad_max_tol = 0.02;
    options.energy_tol = 1e-9;
    options.use_nddo = use_nddo;
    return optimize_geometry_lbfgs(molecule, model, scf, gradient_workspace, options, &spare).converged;
}

// The lowest normal mode of `hessian` as a unit mass-weighted vector in `t`.
void lowest_mode_mass_weighted(const HessianResult& hessian, const IrcWorkspace& ws, std::vector<double>& t) {
    const auto& displacements = hessian.normal_modes.front().displacements;
    for (std::size_t a = 0; a < displacements.size(); ++a) {
        for (std::size_t c = 0; c < 3; ++c) t[3 * a + c] = displacements[a][c] * ws.sqrt_masses[a];
    }
    const double length = std::max(norm(t), 1e-15);
    for (double& c : t) c /= length;
}

// The imaginary normal mode at the molecule's geometry as a unit
// mass-weighted vector; refuses a geometry that has not exactly one.
void transition_vector_from_hessian(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                                    const IrcOptions& options, IrcWorkspace& ws) {
    const HessianResult hessian = vibrational_analysis(molecule, model, scf, options.use_nddo);

    // A first-order saddle point has exactly one imaginary vibration, then
    // the lowest of all modes.
    const std::vector<double>& vibrations = hessian.vibrational_frequencies_cm1;
    const std::size_t imaginary = count_imaginary_frequencies(vibrations);
    if (imaginary != 1) {
        std::string found;
        if (imaginary == 0) {
            char lowest[32] = "none";
            if (!vibrations.empty()) std::snprintf(lowest, sizeof lowest, "%.1f cm^-1", vibrations.front());
            found = std::string("it has no imaginary vibrational frequency (the lowest is ") + lowest +
                    "), so there is no path down from it";
        } else {
            found = "it has " + std::to_string(imaginary) + " imaginary vibrational frequencies (";
            for (std::size_t k = 0; k < imaginary; ++k) {
                char nu[32];
                std::snprintf(nu, sizeof nu, "%s%.1f", k == 0 ? "" : ", ", vibrations[k]);
                found += nu;
            }
            found += " cm^-1); a transition state has exactly one";
        }
        throw RequestError("The starting geometry is not a transition state: " + found);
    }
    lowest_mode_mass_weighted(hessian, ws, ws.transition_vector);
}

// Predictor and corrector of one step of length h from ws.coords_mw along
// ws.direction: the point x on the sphere of radius h/2 about the pivot
// p = q + (h/2) d whose steepest-descent image y = p - (h/2) g/|g| is x
// itself, i.e. the lowest point of the sphere, where the gradient is normal to
// it. Each evaluation moves the best point so far along its residual f = y - x
// by a weight and puts it back on the sphere. The weight starts at 1/2 (the
// midpoint rule) and then takes the secant estimate of the last two accepted
// points; a trial above the best point's energy overshot along a stiff mode,
// and the step restarts from the best point with a quarter of the weight.
// Leaves the lowest point evaluated in ws.trial and its mass-weighted
// gradient in ws.gradient_mw, and returns its evaluation: coordinates,
// energy and gradient of the accepted point belong together.
Evaluation corrected_step(double h, MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                          GradientWorkspace& gradient_workspace, IrcWorkspace& ws, const IrcOptions& options,
                          const SurfaceScfSettings& settings) {
    const std::size_t dim = ws.coords_mw.size();
    for (std::size_t i = 0; i < dim; ++i) {
        ws.pivot[i] = ws.coords_mw[i] + 0.5 * h * ws.direction[i];
        ws.trial[i] = ws.coords_mw[i] + h * ws.direction[i];
    }
    Evaluation best;
    double weight = 0.5;
    for (std::size_t evaluation = 1;; ++evaluation) {
        set_mass_weighted(molecule, ws, ws.trial);
        const Evaluation e = evaluate(molecule, model, scf, gradient_workspace, ws, settings);
        const double g_norm = norm(ws.gradient_mw);
        double delta2 = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            ws.midpoint[i] = ws.pivot[i] - 0.5 * h * ws.gradient_mw[i] / std::max(g_norm, 1e-300) - ws.trial[i];  // f
            delta2 += ws.midpoint[i] * ws.midpoint[i];
        }
        if (evaluation > 1 && e.scf.total_energy > best.scf.total_energy + kCorrectorEnergyNoiseEv) {
            weight *= 0.25;
        } else {
            if (evaluation > 1) weight = secant_weight(ws, weight);
            best = e;
            ws.best_point.swap(ws.trial);
            ws.best_residual.swap(ws.midpoint);
            ws.best_gradient.swap(ws.gradient_mw);
        }
        if (g_norm < 1e-12 || std::sqrt(delta2) < options.corrector_tol ||
            evaluation >= options.max_corrector_iterations) {
            break;
        }
        double offset2 = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            ws.midpoint[i] = ws.best_point[i] + weight * ws.best_residual[i] - ws.pivot[i];
            offset2 += ws.midpoint[i] * ws.midpoint[i];
        }
        const double scale = 0.5 * h / std::max(std::sqrt(offset2), 1e-15);
        for (std::size_t i = 0; i < dim; ++i) ws.trial[i] = ws.pivot[i] + scale * ws.midpoint[i];
    }
    ws.trial.swap(ws.best_point);
    ws.gradient_mw.swap(ws.best_gradient);
    return best;
}

// Curvature (kcal/(mol angstrom^2 amu)) of the energy at the mass-weighted
// point ws.coords_mw along the unit vector u: central differences of the
// gradient along it. Uses ws.trial and ws.gradient_mw as scratch.
double curvature_along_path(const std::vector<double>& u, MolecularBatch& molecule, const ParameterModel& model,
                            ScfWorkspace& scf, GradientWorkspace& gradient_workspace, IrcWorkspace& ws,
                            const SurfaceScfSettings& settings) {
    const std::size_t dim = ws.coords_mw.size();
    double slope[2] = {0.0, 0.0};
    for (int side = 0; side < 2; ++side) {
        const double offset = side == 0 ? kCurvatureStep : -kCurvatureStep;
        for (std::size_t i = 0; i < dim; ++i) ws.trial[i] = ws.coords_mw[i] + offset * u[i];
        set_mass_weighted(molecule, ws, ws.trial);
        evaluate(molecule, model, scf, gradient_workspace, ws, settings);
        for (std::size_t i = 0; i < dim; ++i) slope[side] += ws.gradient_mw[i] * u[i];
    }
    return (slope[0] - slope[1]) / (2.0 * kCurvatureStep);
}

// What the vibrations say of a stationary end of the path.
enum class EndVerdict { minimum, saddle, unknown };

// Whether the molecule's geometry, where the workspace holds the solution
// the path follows, is a minimum: the lowest-mode search finds no vibration
// below kImaginaryFrequencyCm1. At a saddle point ws.direction holds the
// lowest mode (unit, mass-weighted). Unknown when the SCF there does not
// converge, a displaced one stops the search or it runs out of products.
EndVerdict classify_end(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                        GradientWorkspace& gradient_workspace, IrcWorkspace& ws, bool use_nddo) {
    const Matrix followed = scf.density;
    const ScfOptions scf_options = analysis_scf_options(followed, use_nddo);
    if (!run_rhf_scf_with_options(molecule, model, scf, scf_options).converged) return EndVerdict::unknown;
    std::vector<double> masses(molecule.n_atoms);
    for (std::size_t a = 0; a < masses.size(); ++a) masses[a] = ws.sqrt_masses[a] * ws.sqrt_masses[a];
    LowestMode lowest;
    try {
        lowest = find_lowest_vibration(molecule, model, scf, gradient_workspace, scf_options, masses,
                                       {.use_nddo = use_nddo});
    } catch (const EngineStop&) {
        return EndVerdict::unknown;
    }
    if (lowest.verdict == EigenvalueVerdict::above) return EndVerdict::minimum;
    if (lowest.verdict == EigenvalueVerdict::undecided) return EndVerdict::unknown;
    ws.direction = lowest.mode;
    return EndVerdict::saddle;
}

}  // namespace

IrcWorkspace IrcWorkspace::allocate(const MolecularBatch& molecule) {
    const std::size_t n = molecule.n_atoms, dim = 3 * n;
    IrcWorkspace ws;
    for (std::vector<double>* v : {&ws.coords_mw, &ws.pivot, &ws.trial, &ws.midpoint, &ws.gradient_mw,
                                   &ws.direction, &ws.transition_vector, &ws.best_point, &ws.best_residual,
                                   &ws.best_gradient}) {
        v->assign(dim, 0.0);
    }
    ws.cart_gradient.assign(n, {});
    ws.sqrt_masses.resize(n);
    ws.inv_sqrt_masses.resize(n);
    for (std::size_t a = 0; a < n; ++a) {
        ws.sqrt_masses[a] = std::sqrt(atomic_mass(molecule.atomic_numbers[a]));
        ws.inv_sqrt_masses[a] = 1.0 / ws.sqrt_masses[a];
    }
    ws.ts_coords = coordinate_triples(molecule);
    return ws;
}

void IrcWorkspace::restore_ts_coords(MolecularBatch& molecule) const { set_coordinates(molecule, ts_coords); }

std::optional<std::string> find_irc_option_error(const IrcOptions& options) {
    if (!(options.step_size > 0.0) || !std::isfinite(options.step_size)) {
        return "step_size must be a positive finite number";
    }
    if (options.max_corrector_iterations == 0) return "max_corrector_iterations must be at least 1";
    if (options.transition_vector) {
        const std::vector<double>& t = *options.transition_vector;
        if (!std::all_of(t.begin(), t.end(), [](double c) { return std::isfinite(c); })) {
            return "Supplied transition vector must hold finite numbers";
        }
        if (std::all_of(t.begin(), t.end(), [](double c) { return c == 0.0; })) {
            return "Supplied transition vector must not be zero";
        }
    }
    return std::nullopt;
}

IrcBranch trace_single_branch(double sign, MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                              GradientWorkspace& gradient_workspace, IrcWorkspace& ws, const IrcOptions& options) {
    const std::size_t dim = ws.coords_mw.size();
    ws.restore_ts_coords(molecule);
    if (ws.ts_density.rows() > 0) {
        // Every branch starts on the transition state's own solution (one
        // from the atomic guess there could be another).
        scf.carried_density.copy_from(ws.ts_density);
        scf.carried_coordinates.resize(dim);
        read_flat_coordinates(molecule, scf.carried_coordinates);
    }
    read_mass_weighted(molecule, ws, ws.coords_mw);
    for (std::size_t i = 0; i < dim; ++i) ws.direction[i] = sign * ws.transition_vector[i];

    const SurfaceScfSettings settings = with_nddo(kPathScf, options.use_nddo);
    SurfaceScfSettings warm_only = settings;
    warm_only.compare_soft_with_cold = false;
    const double ts_energy = run_surface_scf(molecule, model, scf, settings).total_energy;
    const double ts_heat = compute_heat_of_formation_kcal_mol(molecule, model, ts_energy);
    double previous_energy = ts_energy;

    IrcBranch branch;
    if (options.max_points == 0) return branch;
    // Ends that were no minimum and the path went on from, and the spare
    // workspace of the SCF from the atomic guess at an end.
    std::size_t restarts = 0;
    std::optional<ScfWorkspace> spare;
    branch.points.reserve(std::min<std::size_t>(options.max_points, kReservedPoints));
    double s = 0.0, h = options.step_size;
    const double smallest_step = options.step_size * kSmallestStepFraction;

    // The tight minimisation from the molecule's geometry; its minimum, when
    // it moved there, is the next point (the path walked counted as the
    // straight line to it). False when it does not converge or would end
    // above the last point.
    const auto minimise_to_next_point = [&](Evaluation& end) {
        if (!minimise(molecule, model, scf, gradient_workspace, options.use_nddo, spare)) return false;
        end = evaluate(molecule, model, scf, gradient_workspace, ws, warm_only);
        end.cold_compared = true;  // the minimiser's convergence test compared with the atomic guess
        if (!end.scf.converged || end.scf.total_energy > previous_energy) return false;
        read_mass_weighted(molecule, ws, ws.trial);
        double moved2 = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            moved2 += (ws.trial[i] - ws.coords_mw[i]) * (ws.trial[i] - ws.coords_mw[i]);
        }
        if (moved2 > 0.0) {
            if (branch.points.size() >= options.max_points) return false;
            s += sign * std::sqrt(moved2);
            branch.points.push_back(make_point(s, end, molecule));
            ws.coords_mw.swap(ws.trial);
            previous_energy = end.scf.total_energy;
        }
        return true;
    };

    while (branch.points.size() < options.max_points) {
        Evaluation end;
        bool minimised = false;  // the workspace holds the end's solution and gradient
        const Evaluation e = corrected_step(h, molecule, model, scf, gradient_workspace, ws, options, settings);
        double moved2 = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            moved2 += (ws.trial[i] - ws.coords_mw[i]) * (ws.trial[i] - ws.coords_mw[i]);
        }
        if (std::sqrt(moved2) < kTurnedBackFraction * h || e.scf.total_energy > previous_energy) {
            // The lowest point of the sphere lies next to the previous point,
            // or above it: the minimum along the path is within this step. The
            // point is not kept (it would repeat the previous one or climb
            // back), and the path goes on from the previous point with half the
            // step; once the step is a sliver of the caller's, a tight
            // minimisation from the previous point takes over.
            h *= 0.5;
            if (h >= smallest_step) continue;
            set_mass_weighted(molecule, ws, ws.coords_mw);
            if (!minimise_to_next_point(end)) return branch;
            if (!(ts_heat - end.heat_kcal > kMinimumDepthKcal)) return branch;
            minimised = true;
        } else {
            set_mass_weighted(molecule, ws, ws.trial);
            s += sign * h;
            branch.points.push_back(make_point(s, e, molecule));
            // The unit step just taken (in ws.midpoint), then the new point and
            // its descent direction.
            for (std::size_t i = 0; i < dim; ++i) {
                ws.midpoint[i] = (ws.trial[i] - ws.coords_mw[i]) / std::sqrt(moved2);
            }
            ws.coords_mw.swap(ws.trial);
            previous_energy = e.scf.total_energy;
            const double g_length = std::max(norm(ws.gradient_mw), 1e-15);
            for (std::size_t i = 0; i < dim; ++i) ws.direction[i] = -ws.gradient_mw[i] / g_length;

            // The end of the path: the gradient has vanished well below the
            // transition state, where the energy curves up along the path (next
            // to a soft saddle point it curves down).
            if (!(e.mass_weighted_rms < options.min_gradient && ts_heat - e.heat_kcal > kMinimumDepthKcal &&
                  e.scf.converged &&
                  curvature_along_path(ws.midpoint, molecule, model, scf, gradient_workspace, ws, settings) > 0.0)) {
                continue;
            }
            set_mass_weighted(molecule, ws, ws.coords_mw);
            end = e;
        }
        // Where the end point's own SCF compared its warm start with one from
        // the atomic guess, that comparison stands; otherwise one runs here.
        const std::optional<ScfResult> lower =
            end.cold_compared ? std::nullopt
                              : adopt_lower_solution(molecule, model, scf, spare, settings, end.scf.total_energy);
        if (lower) {
            // The path followed a solution that is not the lowest here: the
            // end point takes the lower one's values, and the path goes on
            // down on it.
            const Evaluation lower_end = evaluate(molecule, model, scf, gradient_workspace, ws, settings, &*lower);
            branch.points.back() = make_point(s, lower_end, molecule);
            if (restarts++ == kMaxEndRestarts) return branch;
            previous_energy = lower_end.scf.total_energy;
            h = options.step_size;
            const double length = std::max(norm(ws.gradient_mw), 1e-15);
            for (std::size_t i = 0; i < dim; ++i) ws.direction[i] = -ws.gradient_mw[i] / length;
            continue;
        }
        if (!options.confirm_minimum) {
            branch.converged = true;
            return branch;
        }
        // A minimum has no imaginary frequency. From a stationary point that
        // has one, the path steps off downhill along the lowest mode by one
        // step and a minimisation goes on down from there; its minimum is the
        // next point, checked in turn. (The end point's own evaluation gives
        // the search its start and the slope along the mode; an SCF from the
        // atomic guess has run at each of these points, so none runs again.
        // After the curvature test the workspace holds another geometry's.)
        if (!minimised) evaluate(molecule, model, scf, gradient_workspace, ws, warm_only);
        for (;;) {
            const EndVerdict verdict = classify_end(molecule, model, scf, gradient_workspace, ws, options.use_nddo);
            if (verdict == EndVerdict::minimum) {
                branch.converged = true;
                return branch;
            }
            if (verdict == EndVerdict::unknown || restarts++ == kMaxEndRestarts ||
                branch.points.size() >= options.max_points) {
                return branch;
            }
            double slope = 0.0;
            for (std::size_t i = 0; i < dim; ++i) slope += ws.gradient_mw[i] * ws.direction[i];
            const double off = slope > 0.0 ? -options.step_size : options.step_size;
            for (std::size_t i = 0; i < dim; ++i) ws.trial[i] = ws.coords_mw[i] + off * ws.direction[i];
            set_mass_weighted(molecule, ws, ws.trial);
            if (!minimise_to_next_point(end)) return branch;
        }
    }
    return branch;
}

IrcResult trace_intrinsic_reaction_coordinate(MolecularBatch& molecule, const ParameterModel& model,
                                              ScfWorkspace& scf, GradientWorkspace& gradient_workspace,
                                              IrcWorkspace& ws, const IrcOptions& options) {
    if (const auto error = find_irc_option_error(options)) throw EngineStop(*error);
    const std::size_t n_atoms = molecule.n_atoms, dim = 3 * n_atoms;
    if (options.transition_vector && options.transition_vector->size() != dim) {
        stop_assert_eq("Supplied transition vector length mismatch", options.transition_vector->size(), dim);
    }
    if (ws.sqrt_masses.size() != n_atoms) {
        stop_assert_eq("IRC workspace size mismatch", ws.sqrt_masses.size(), n_atoms);
    }
    // Mass-weighted coordinates need a positive mass for every atom.
    require_tabulated_masses(molecule);

    // The start must be a stationary point: its gradient within what a
    // transition-state search of this engine accepts.
    ws.ts_coords = coordinate_triples(molecule);
    const Evaluation ts = evaluate(molecule, model, scf, gradient_workspace, ws, with_nddo(kTsScf, options.use_nddo));
    ws.ts_density = ts.scf.converged ? scf.density : Matrix();
    const auto [rms, largest] = compute_effective_gradient_norms(ws.cart_gradient, std::nullopt);
    if (!(rms < kTransitionStateGradRmsLimit && largest < kTransitionStateGradMaxLimit)) {
        char found[160];
        std::snprintf(found, sizeof found,
                      "its gradient RMS is %.3g kcal/(mol angstrom) and its largest atom gradient %.3g, above the "
                      "%.3g and %.3g of a transition state",
                      rms, largest, kTransitionStateGradRmsLimit, kTransitionStateGradMaxLimit);
        throw RequestError(std::string("The starting geometry is not a transition state: ") + found);
    }
    if (options.transition_vector) {
        ws.transition_vector = *options.transition_vector;
        const double length = norm(ws.transition_vector);
        for (double& c : ws.transition_vector) c /= length;
    } else {
        transition_vector_from_hessian(molecule, model, scf, options, ws);
    }
    ws.restore_ts_coords(molecule);

    // Forward is the direction in which the energy does not rise.
    double slope = 0.0;
    for (std::size_t i = 0; i < dim; ++i) slope += ws.gradient_mw[i] * ws.transition_vector[i];
    if (slope > 1e-4) {
        for (double& c : ws.transition_vector) c = -c;
    }
    IrcPoint ts_point = make_point(0.0, ts, molecule);

    IrcResult result;
    IrcBranch forward, reverse;
    if (options.direction != kIrcReverse) {
        forward = trace_single_branch(1.0, molecule, model, scf, gradient_workspace, ws, options);
    }
    if (options.direction != kIrcForward) {
        reverse = trace_single_branch(-1.0, molecule, model, scf, gradient_workspace, ws, options);
    }
    result.points.reserve(reverse.points.size() + 1 + forward.points.size());
    std::move(reverse.points.rbegin(), reverse.points.rend(), std::back_inserter(result.points));
    result.points.push_back(std::move(ts_point));
    std::move(forward.points.begin(), forward.points.end(), std::back_inserter(result.points));
    result.ts_point_index = reverse.points.size();
    result.forward_converged = forward.converged;
    result.reverse_converged = reverse.converged;
    ws.restore_ts_coords(molecule);
    return result;
}

}  // namespace quorin
