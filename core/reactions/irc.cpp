#include "core/reactions/irc.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>

#include "core/gradients/energy_and_gradient.h"
#include "core/gradients/heat_of_formation.h"
#include "core/parameters/atomic_mass.h"
#include "core/types/constants.h"
#include "core/types/errors.h"
#include "core/vibrations/hessian.h"

namespace quorin {

namespace {

// A corrector trial counts as higher than the best point beyond this (eV),
// the SCF's own energy tolerance.
constexpr double kCorrectorEnergyNoiseEv = 1e-7;
// A corrected point closer than this fraction of a step to the previous one
// ends the branch at the minimum.
constexpr double kTurnedBackFraction = 0.25;
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
};

// SCF ladder and gradient at the molecule's geometry; fills the workspace's
// Cartesian and mass-weighted gradients.
Evaluation evaluate(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                    GradientWorkspace& gradient_workspace, IrcWorkspace& ws, const SurfaceScfSettings& settings) {
    Evaluation e;
    e.scf = evaluate_energy_and_gradient(molecule, model, scf, gradient_workspace, settings, ws.cart_gradient);
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

// The lowest normal mode at the molecule's geometry as a unit mass-weighted
// vector when it is imaginary; x of atom 0 otherwise.
void transition_vector_from_hessian(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                                    const IrcOptions& options, IrcWorkspace& ws) {
    const ScfOptions scf_options{.cosmo = std::nullopt,
                                 .electric_field = std::nullopt,
                                 .external_charges = std::nullopt,
                                 .max_iterations = 60,
                                 .energy_tolerance = 1e-8,
                                 .density_tolerance = 1e-7,
                                 .level_shift = 0.0,
                                 .damping = 0.5,
                                 .use_nddo = options.use_nddo};
    const HessianOptions hessian_options{.custom_masses = std::nullopt,
                                         .step_size_angstrom = 0.005,
                                         .temperature_k = 298.15,
                                         .pressure_atm = 1.0,
                                         .rotational_symmetry_number = 1.0,
                                         .reconverge_scf = true,
                                         .use_nddo = options.use_nddo,
                                         .project_external = true};
    const HessianResult hessian = compute_hessian_and_frequencies(molecule, model, scf, scf_options, hessian_options);

    // With an imaginary vibration the lowest of all modes is the most imaginary one.
    const std::vector<double>& vibrations = hessian.vibrational_frequencies_cm1;
    if (count_imaginary_frequencies(vibrations) == 0) {
        char lowest[32] = "none";
        if (!vibrations.empty()) std::snprintf(lowest, sizeof lowest, "%.1f cm^-1", vibrations.front());
        throw RequestError(std::string("The starting geometry is not a transition state: it has no imaginary "
                                       "vibrational frequency (the lowest is ") +
                           lowest + "), so there is no path down from it");
    }
    std::vector<double>& t = ws.transition_vector;
    const auto& displacements = hessian.normal_modes.front().displacements;
    for (std::size_t a = 0; a < displacements.size(); ++a) {
        for (std::size_t c = 0; c < 3; ++c) t[3 * a + c] = displacements[a][c] * ws.sqrt_masses[a];
    }
    const double length = std::max(norm(t), 1e-15);
    for (double& c : t) c /= length;
}

}  // namespace

IrcWorkspace IrcWorkspace::allocate(const MolecularBatch& molecule) {
    const std::size_t n = molecule.n_atoms, dim = 3 * n;
    IrcWorkspace ws;
    for (std::vector<double>* v : {&ws.coords_mw, &ws.pivot, &ws.trial, &ws.midpoint, &ws.gradient_mw,
                                   &ws.direction, &ws.transition_vector, &ws.best_point, &ws.best_residual}) {
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
    const double h = options.step_size;
    ws.restore_ts_coords(molecule);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        ws.coords_mw[3 * a] = ws.sqrt_masses[a] * molecule.x[a];
        ws.coords_mw[3 * a + 1] = ws.sqrt_masses[a] * molecule.y[a];
        ws.coords_mw[3 * a + 2] = ws.sqrt_masses[a] * molecule.z[a];
    }
    for (std::size_t i = 0; i < dim; ++i) ws.direction[i] = sign * ws.transition_vector[i];

    const SurfaceScfSettings settings = with_nddo(kPathScf, options.use_nddo);
    double previous_heat = compute_heat_of_formation_kcal_mol(
        molecule, model, run_surface_scf(molecule, model, scf, settings).total_energy);

    IrcBranch branch;
    if (options.max_points == 0) return branch;
    branch.points.reserve(std::min<std::size_t>(options.max_points, kReservedPoints));
    double s = 0.0;
    for (std::size_t k = 1; k <= options.max_points; ++k) {
        // Predictor: pivot half a step ahead, trial point a full step ahead.
        for (std::size_t i = 0; i < dim; ++i) {
            ws.pivot[i] = ws.coords_mw[i] + 0.5 * h * ws.direction[i];
            ws.trial[i] = ws.coords_mw[i] + h * ws.direction[i];
        }
        // Corrector: the point x on the sphere of radius h/2 about the pivot
        // whose steepest-descent image y = p - (h/2) g/|g| is x itself, i.e. the
        // lowest point of the sphere, where the gradient is normal to it. Each
        // step moves the best point so far along its residual f = y - x by a
        // weight and puts it back on the sphere. The weight starts at 1/2 (the
        // midpoint rule) and then takes the secant estimate of the last two
        // accepted points; a trial above the best point's energy overshot
        // along a stiff mode, and the step restarts from the best point with a
        // quarter of the weight.
        Evaluation e;
        double weight = 0.5, best_energy = std::numeric_limits<double>::infinity();
        for (std::size_t evaluation = 1;; ++evaluation) {
            set_mass_weighted(molecule, ws, ws.trial);
            e = evaluate(molecule, model, scf, gradient_workspace, ws, settings);
            const double g_norm = norm(ws.gradient_mw);
            if (g_norm < 1e-12) break;
            double delta2 = 0.0;
            for (std::size_t i = 0; i < dim; ++i) {
                ws.midpoint[i] = ws.pivot[i] - 0.5 * h * ws.gradient_mw[i] / g_norm - ws.trial[i];  // f
                delta2 += ws.midpoint[i] * ws.midpoint[i];
            }
            if (e.scf.total_energy > best_energy + kCorrectorEnergyNoiseEv) {
                weight *= 0.25;
            } else {
                if (evaluation > 1) weight = secant_weight(ws, weight);
                best_energy = e.scf.total_energy;
                ws.best_point.swap(ws.trial);
                ws.best_residual.swap(ws.midpoint);
            }
            double offset2 = 0.0;
            for (std::size_t i = 0; i < dim; ++i) {
                ws.midpoint[i] = ws.best_point[i] + weight * ws.best_residual[i] - ws.pivot[i];
                offset2 += ws.midpoint[i] * ws.midpoint[i];
            }
            const double scale = 0.5 * h / std::max(std::sqrt(offset2), 1e-15);
            for (std::size_t i = 0; i < dim; ++i) ws.trial[i] = ws.pivot[i] + scale * ws.midpoint[i];
            if (std::sqrt(delta2) < options.corrector_tol || evaluation >= options.max_corrector_iterations) break;
        }
        // The accepted point's coordinates are the corrected ones; its energy
        // and gradient those of the last geometry evaluated.
        set_mass_weighted(molecule, ws, ws.trial);
        s += sign * h;
        branch.points.push_back(make_point(s, e, molecule));

        // The lowest point of the sphere is the previous point itself once the
        // minimum lies within half a step: the path has arrived.
        double moved2 = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            moved2 += (ws.trial[i] - ws.coords_mw[i]) * (ws.trial[i] - ws.coords_mw[i]);
        }
        const bool turned_back = std::sqrt(moved2) < kTurnedBackFraction * h;
        const bool rose = e.heat_kcal > previous_heat + options.max_energy_rise;
        if (e.mass_weighted_rms < options.min_gradient || rose || turned_back) {
            // A minimum only counts when the path fell all the way to it and
            // its SCF converged.
            branch.converged = !rose && e.scf.converged;
            return branch;
        }
        ws.coords_mw.swap(ws.trial);
        const double g_length = std::max(norm(ws.gradient_mw), 1e-15);
        for (std::size_t i = 0; i < dim; ++i) ws.direction[i] = -ws.gradient_mw[i] / g_length;
        previous_heat = e.heat_kcal;
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

    ws.ts_coords = coordinate_triples(molecule);
    if (options.transition_vector) {
        ws.transition_vector = *options.transition_vector;
        const double length = norm(ws.transition_vector);
        for (double& c : ws.transition_vector) c /= length;
    } else {
        transition_vector_from_hessian(molecule, model, scf, options, ws);
    }

    ws.restore_ts_coords(molecule);
    const Evaluation ts = evaluate(molecule, model, scf, gradient_workspace, ws, with_nddo(kTsScf, options.use_nddo));
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
