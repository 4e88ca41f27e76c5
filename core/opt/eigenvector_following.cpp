#include "core/opt/eigenvector_following.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>

#include "core/gradients/heat_of_formation.h"
#include "core/parameters/atomic_mass.h"
#include "core/scf/eigensolver.h"
#include "core/types/constants.h"
#include "core/types/errors.h"
#include "core/vibrations/hessian.h"
#include "core/vibrations/normal_modes.h"

namespace quorin {

namespace {

// Diagonal force constant of a frozen coordinate, kcal/(mol angstrom^2).
constexpr double kFrozenCurvature = 500.0;
// An internal curvature below minus this (kcal/(mol angstrom^2)) counts as
// negative; smaller magnitudes are finite-difference and update noise.
constexpr double kNegativeCurvatureTolerance = 0.05;
// Curvature given to the rigid-body motions in the step Hessian, far above
// any internal force constant so that they sort last.
constexpr double kExternalCurvature = 1e5;
// Up to this many atoms a search that meets the gradient tests is confirmed
// on the exact (central-difference) Hessian even when its updated Hessian
// shows one downward curvature: 6N gradients, a few times the search's own
// cost on such molecules, while the updated Hessian there can miss a second
// one (dissociating linear water shows two).
constexpr std::size_t kExactCheckMaxAtoms = 8;
// Up to this many atoms the exact Hessian decides wherever the updated one
// shows more than one downward curvature (or none along the followed mode):
// the Bofill update keeps spurious negative eigenvalues long after the search
// has reached the saddle point.
constexpr std::size_t kExactDecisionMaxAtoms = 60;
// Exact Hessians one search may compute: a stationary point of higher order
// restarts the search on its exact Hessian at most this many times.
constexpr std::size_t kMaxExactHessians = 3;

ActiveMask mask_of(const TransitionStateOptions& options) {
    if (!options.active_mask) return std::nullopt;
    return std::span<const std::uint8_t>(*options.active_mask);
}

// Lowest root below b_min of f(l) = -l + sum_{j != t} F_j^2 / (l - b_j): the
// shift of the minimisation space of the rational-function step.
double minimisation_shift(std::span<const double> b, std::span<const double> f_modes, std::size_t t) {
    double b_min = 0.0;
    bool any = false;
    for (std::size_t j = 0; j < b.size(); ++j) {
        if (j == t) continue;
        if (!any || b[j] < b_min) b_min = b[j];
        any = true;
    }
    if (!any) return 0.0;
    auto f = [&](double lambda) {
        double sum = -lambda;
        for (std::size_t j = 0; j < b.size(); ++j) {
            if (j == t) continue;
            const double gap = lambda - b[j];
            if (std::fabs(gap) <= 1e-15) continue;
            sum += f_modes[j] * f_modes[j] / gap;
        }
        return sum;
    };
    double hi = f(b_min - 1e-5) < 0.0 ? b_min - 1e-5 : b_min - 0.001;
    double lo = hi - 1.0;
    double widening = 1.0;
    for (int k = 0; k < 60 && f(lo) <= 0.0; ++k) {
        widening *= 2.0;
        lo -= widening;
    }
    if (f(lo) <= 0.0) return b_min - 1.0;
    for (int round = 0; round < 100 && std::fabs(hi - lo) > 1e-9; ++round) {
        const double mid = 0.5 * (lo + hi);
        const double value = f(mid);
        if (std::fabs(value) < 1e-12) return mid;
        if (value > 0.0) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return 0.5 * (lo + hi);
}

// The Hessian the step is taken on: without frozen coordinates, the
// rigid-body motions E (orthonormal rows, unit weights) of the current
// geometry are projected out and given the curvature kExternalCurvature:
// (1 - E^T E) H (1 - E^T E) + c E^T E. Their gradient components are then
// zero, so the step never turns or shifts the molecule as a whole. Returns
// the number of motions in the leading rows of ws.external.
std::size_t build_step_hessian(const MolecularBatch& molecule, const Matrix& hessian, bool frozen,
                        EigenvectorFollowingWorkspace& ws) {
    Matrix& hp = ws.step_hessian;
    hp.copy_from(hessian);
    if (frozen) return 0;
    const std::size_t count = external_motion_basis(molecule, ws.unit_masses, ws.external);
    project_external_motions(ws.external, count, kExternalCurvature, ws.external_hessian, hp);
    symmetrize_by_averaging(hp);
    return count;
}

// The energy along eigenvector t of `v` (its frozen components left out) at
// the molecule's geometry: its slope from the gradient in ws.gradient and its
// curvature from central differences of the gradient projected on it, at
// +-hessian_step. The geometry and the workspace density are put back
// afterwards.
struct ModeProfile {
    double slope = 0.0;      // kcal/(mol angstrom)
    double curvature = 0.0;  // kcal/(mol angstrom^2)
};

ModeProfile profile_along_mode(const Matrix& v, std::size_t t, ActiveMask mask, const TransitionStateOptions& options,
                               MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                               GradientWorkspace& gradient_workspace, EigenvectorFollowingWorkspace& ws) {
    const std::size_t dim = ws.step.size();
    std::vector<double> direction(dim), start(dim);
    double length2 = 0.0;
    for (std::size_t i = 0; i < dim; ++i) {
        direction[i] = (!mask || (*mask)[i]) ? v(i, t) : 0.0;
        length2 += direction[i] * direction[i];
    }
    if (!(length2 > 0.0)) return {};
    ModeProfile profile;
    for (std::size_t i = 0; i < dim; ++i) {
        direction[i] /= std::sqrt(length2);
        profile.slope += direction[i] * ws.gradient[i];
    }
    read_flat_coordinates(molecule, start);
    const Matrix start_density = scf.density;
    const double h = options.hessian_step;
    double displaced_slope[2] = {0.0, 0.0};
    for (int side = 0; side < 2; ++side) {
        const double offset = side == 0 ? h : -h;
        for (std::size_t i = 0; i < dim; ++i) molecule.axis(i % 3)[i / 3] = start[i] + offset * direction[i];
        evaluate_energy_and_gradient(molecule, model, scf, gradient_workspace, {.use_nddo = options.use_nddo},
                                     ws.gradient_plus);
        for (std::size_t i = 0; i < dim; ++i) displaced_slope[side] += direction[i] * ws.gradient_plus[i / 3][i % 3];
    }
    write_flat_coordinates(start, molecule);
    scf.density.copy_from(start_density);
    profile.curvature = (displaced_slope[0] - displaced_slope[1]) / (2.0 * h) * kEvToKcalMol;
    return profile;
}

// Whether the Newton step to the maximum along a mode of negative curvature,
// |slope| / |curvature|, is shorter than kTransitionModeStepLimit.
bool at_maximum_along_mode(const ModeProfile& mode) {
    return std::fabs(mode.slope) < kTransitionModeStepLimit * std::fabs(mode.curvature);
}

// What the vibrational analysis finds at the molecule's geometry: its
// Cartesian Hessian and the number of imaginary frequencies.
struct ExactHessian {
    Matrix hessian;
    std::size_t imaginary = 0;
};

// Runs the vibrational analysis (with the settings of a frequency request)
// at the molecule's geometry, its SCF started from the workspace density (the
// solution the search follows there): none where it cannot run (an SCF that
// does not converge), so a point it cannot analyse is never confirmed. The
// molecule keeps its geometry; the SCF workspace holds the analysis' last SCF.
std::optional<ExactHessian> exact_hessian(const TransitionStateOptions& options, MolecularBatch& molecule,
                                          const ParameterModel& model, ScfWorkspace& scf) {
    const Matrix followed = scf.density;
    ScfOptions scf_options;
    scf_options.initial_density = &followed;
    scf_options.max_iterations = 100;
    scf_options.energy_tolerance = 1e-8;
    scf_options.density_tolerance = 1e-7;
    scf_options.use_nddo = options.use_nddo;
    HessianOptions hessian_options;
    hessian_options.step_size_angstrom = options.hessian_step;
    hessian_options.use_nddo = options.use_nddo;
    try {
        HessianResult analysis = compute_hessian_and_frequencies(molecule, model, scf, scf_options, hessian_options);
        return ExactHessian{std::move(analysis.cartesian_hessian),
                            count_imaginary_frequencies(analysis.vibrational_frequencies_cm1)};
    } catch (const EngineStop&) {
        return std::nullopt;
    }
}

}  // namespace

EigenvectorFollowingWorkspace EigenvectorFollowingWorkspace::allocate(std::size_t n_atoms) {
    const std::size_t dim = 3 * n_atoms;
    EigenvectorFollowingWorkspace ws;
    ws.eigenvalues = Vec64::zeros(dim);
    ws.eigenvectors = Matrix::zeros(dim, dim);
    ws.eigensolver = EigensolverWorkspace::allocate(dim);
    for (std::vector<double>* v : {&ws.gradient_modes, &ws.step_modes, &ws.step, &ws.gradient,
                                   &ws.previous_gradient, &ws.followed_mode}) {
        v->assign(dim, 0.0);
    }
    ws.gradient_ev.assign(n_atoms, {0.0, 0.0, 0.0});
    ws.gradient_plus.assign(n_atoms, {0.0, 0.0, 0.0});
    ws.gradient_minus.assign(n_atoms, {0.0, 0.0, 0.0});
    ws.update.ensure_capacity(dim);
    ws.external = Matrix::zeros(6, dim);
    ws.step_hessian = Matrix::zeros(dim, dim);
    ws.external_hessian = Matrix::zeros(6, dim);
    ws.unit_masses.assign(n_atoms, 1.0);
    return ws;
}

void check_transition_state_options(const TransitionStateOptions& options, const MolecularBatch& molecule) {
    const std::size_t dim = 3 * molecule.n_atoms;
    if (options.target_mode && *options.target_mode >= dim) {
        throw EngineStop("target_mode " + std::to_string(*options.target_mode) + " does not exist: the Hessian has " +
                         std::to_string(dim) + " modes (0 to " + std::to_string(dim == 0 ? 0 : dim - 1) + ")");
    }
    // Without frozen coordinates the step Hessian sorts the rigid-body
    // motions last; following one of them cannot lead to a saddle point.
    if (options.target_mode && !options.active_mask) {
        Matrix basis = Matrix::zeros(6, dim);
        const std::vector<double> unit_masses(molecule.n_atoms, 1.0);
        const std::size_t internal = dim - external_motion_basis(molecule, unit_masses, basis);
        if (*options.target_mode >= internal) {
            throw EngineStop("target_mode " + std::to_string(*options.target_mode) +
                             " is an overall translation or rotation, not a vibration: the molecule has " +
                             (internal == 0 ? std::string("no internal modes")
                                            : std::to_string(internal) + " internal modes (0 to " +
                                                  std::to_string(internal - 1) + ")"));
        }
    }
    require_positive_finite(options.grad_rms_tol, "grad_rms_tol");
    require_positive_finite(options.grad_max_tol, "grad_max_tol");
    require_positive_finite(options.trust_radius, "trust_radius");
    require_positive_finite(options.min_trust, "min_trust");
    require_positive_finite(options.max_trust, "max_trust");
    if (options.min_trust > options.max_trust) throw EngineStop("min_trust must not exceed max_trust");
    require_positive_finite(options.hessian_step, "hessian_step");
    if (options.active_mask) require_mask_length(*options.active_mask, molecule.n_atoms);
    if (options.initial_hessian) {
        if (options.initial_hessian->rows() != dim) {
            stop_assert_eq("initial_hessian must have 3N rows", options.initial_hessian->rows(), dim);
        }
        if (options.initial_hessian->cols() != dim) {
            stop_assert_eq("initial_hessian must have 3N columns", options.initial_hessian->cols(), dim);
        }
    }
}

Matrix compute_initial_cartesian_hessian(double h, MolecularBatch& molecule, const ParameterModel& model,
                                         ScfWorkspace& scf, GradientWorkspace& gradient_workspace,
                                         EigenvectorFollowingWorkspace& workspace, bool use_nddo, ActiveMask mask) {
    const Matrix start_density = scf.density;
    // Every displaced geometry starts its SCF from the undisplaced density.
    auto gradient_at = [&](std::size_t, std::size_t, std::span<std::array<double, 3>> g) {
        scf.density.copy_from(start_density);
        evaluate_energy_and_gradient(molecule, model, scf, gradient_workspace, {.use_nddo = use_nddo}, g);
    };
    return central_difference_hessian(molecule, h, mask, kFrozenCurvature, gradient_at, scf, start_density,
                                      workspace.gradient_plus, workspace.gradient_minus);
}

TransitionStateResult optimize_transition_state(MolecularBatch& molecule, const ParameterModel& model,
                                                ScfWorkspace& scf, GradientWorkspace& gradient_workspace,
                                                EigenvectorFollowingWorkspace& ws,
                                                const TransitionStateOptions& options) {
    const std::size_t n_atoms = molecule.n_atoms;
    const std::size_t dim = 3 * n_atoms;
    check_transition_state_options(options, molecule);
    if (gradient_workspace.hcore.rows() != molecule.n_basis) {
        stop_assert_eq("Gradient workspace size mismatch", gradient_workspace.hcore.rows(), molecule.n_basis);
    }
    if (ws.step.size() != dim) stop_assert_eq("Eigenvector-following workspace size mismatch", ws.step.size(), dim);
    const ActiveMask mask = mask_of(options);

    // Energy, masked gradient (eV/angstrom per atom, then kcal/(mol angstrom)
    // atom-major in ws.gradient) and its norms at the current geometry; with
    // `solved`, the result of the solution the workspace holds there, no SCF
    // runs. Whether an SCF from the atomic guess ran at this geometry is kept.
    bool cold_compared = false;
    auto evaluate = [&](const ScfResult* solved = nullptr) {
        ColdStartReport report;
        ScfResult e = evaluate_energy_and_gradient(molecule, model, scf, gradient_workspace,
                                                   {.use_nddo = options.use_nddo}, ws.gradient_ev, &report, solved);
        cold_compared = report.compared;
        apply_active_mask(ws.gradient_ev, mask);
        for (std::size_t i = 0; i < dim; ++i) ws.gradient[i] = ws.gradient_ev[i / 3][i % 3] * kEvToKcalMol;
        const auto norms = compute_effective_gradient_norms(ws.gradient_ev, mask);
        return std::tuple(std::move(e), norms.first, norms.second);
    };

    TransitionStateResult result;
    double rms = 0.0, max = 0.0;
    std::tie(result.scf_result, rms, max) = evaluate();
    result.initial_grad_rms = rms;
    double e_prev = result.scf_result.total_energy;

    Matrix hessian = options.initial_hessian
                         ? *options.initial_hessian
                         : compute_initial_cartesian_hessian(options.hessian_step, molecule, model, scf,
                                                             gradient_workspace, ws, options.use_nddo, mask);
    double trust = options.trust_radius;
    std::size_t t = options.target_mode.value_or(0);
    std::size_t cycles = 0;
    bool converged = false;
    std::optional<double> followed_curvature;
    const double* b = ws.eigenvalues.data();
    std::size_t exact_hessians = 0;
    // The vibrational analysis needs a tabulated mass for every atom; without
    // one the step Hessian's verdict stands.
    const bool has_masses = std::all_of(molecule.atomic_numbers.begin(), molecule.atomic_numbers.end(),
                                        [](std::uint8_t z) { return atomic_mass(z) > 0.0; });
    // Set at a stationary point of higher order: the next step goes down
    // along its downward curvatures other than the followed one, where the
    // rational-function step (proportional to the vanishing gradient) would
    // stay put.
    bool leave_stationary_point = false;
    // Where the gradient tests are met, an SCF from the atomic guess in a
    // spare workspace looks for a lower solution than the one followed.
    std::optional<ScfWorkspace> spare;
    std::size_t state_changes = 0;

    // Diagonalises the step Hessian at the current geometry and picks the
    // followed mode t: the given index in the first cycle, then (with overlap
    // following) the internal eigenvector closest to the one followed
    // before. Returns the number of internal modes; the rigid-body motions
    // sort last and are never followed.
    auto analyse_step_hessian = [&](bool first) {
        const std::size_t n_internal = dim - build_step_hessian(molecule, hessian, mask.has_value(), ws);
        diagonalize_symmetric(ws.step_hessian, ws.eigensolver, ws.eigenvalues, ws.eigenvectors);
        const Matrix& v = ws.eigenvectors;
        if (!first && options.follow_by_overlap) {
            double best = -1.0;
            for (std::size_t j = 0; j < n_internal; ++j) {
                double overlap = 0.0;
                for (std::size_t i = 0; i < dim; ++i) overlap += v(i, j) * ws.followed_mode[i];
                if (std::fabs(overlap) > best) {
                    best = std::fabs(overlap);
                    t = j;
                }
            }
        }
        if (first || options.follow_by_overlap) {
            for (std::size_t i = 0; i < dim; ++i) ws.followed_mode[i] = v(i, t);
        }
        return n_internal;
    };

    for (std::size_t k = 1; k <= options.max_cycles; ++k) {
        cycles = k;
        const std::size_t n_external = dim - analyse_step_hessian(k == 1);
        const Matrix& v = ws.eigenvectors;

        // The gradient without its rigid-body components (in ws.step until
        // the step is formed), then in the eigenvector basis.
        std::vector<double>& f_modes = ws.gradient_modes;
        std::vector<double>& h_modes = ws.step_modes;
        ws.step = ws.gradient;
        for (std::size_t e = 0; e < n_external; ++e) {
            const double* u = ws.external.row(e);
            double along = 0.0;
            for (std::size_t i = 0; i < dim; ++i) along += u[i] * ws.gradient[i];
            for (std::size_t i = 0; i < dim; ++i) ws.step[i] -= along * u[i];
        }
        for (std::size_t j = 0; j < dim; ++j) {
            double sum = 0.0;
            for (std::size_t i = 0; i < dim; ++i) sum += v(i, j) * ws.step[i];
            f_modes[j] = sum;
        }
        // Uphill along the followed mode: the step has the sign of F_t.
        const double d = 0.5 * (b[t] + std::sqrt(b[t] * b[t] + 4.0 * f_modes[t] * f_modes[t])) - b[t];
        h_modes[t] = std::fabs(d) > 1e-12 ? f_modes[t] / d : 0.0;
        const double lambda_n = minimisation_shift(std::span<const double>(b, dim), f_modes, t);
        for (std::size_t j = 0; j < dim; ++j) {
            if (j == t) continue;
            const double gap = lambda_n - b[j];
            h_modes[j] = std::fabs(gap) > 1e-12 ? f_modes[j] / gap : 0.0;
            if (leave_stationary_point && j < dim - n_external && b[j] < -kNegativeCurvatureTolerance) {
                h_modes[j] = f_modes[j] > 0.0 ? -trust : trust;
            }
        }
        leave_stationary_point = false;

        double length2 = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            double sum = 0.0;
            if (!mask || (*mask)[i]) {
                for (std::size_t j = 0; j < dim; ++j) sum += v(i, j) * h_modes[j];
            }
            ws.step[i] = sum;
            length2 += sum * sum;
        }
        const double length = std::sqrt(length2);
        const double scale = (length > trust && length > 1e-14) ? trust / length : 1.0;
        for (double& s : ws.step) s *= scale;
        double predicted = 0.0;
        for (std::size_t j = 0; j < dim; ++j) {
            const double h_j = scale * h_modes[j];
            predicted += f_modes[j] * h_j + 0.5 * b[j] * h_j * h_j;
        }

        ws.previous_gradient = ws.gradient;
        for (std::size_t i = 0; i < dim; ++i) molecule.axis(i % 3)[i / 3] += ws.step[i];
        std::tie(result.scf_result, rms, max) = evaluate();
        const double e_new = result.scf_result.total_energy;
        const double actual = (e_new - e_prev) * kEvToKcalMol;

        if (std::fabs(predicted) > 1e-5) {
            const double ratio = actual / predicted;
            if (ratio <= 0.1 || ratio >= 3.0) {
                trust = std::max(0.5 * std::min(trust, length), options.min_trust);
            } else if (ratio >= 0.75 && ratio <= 1.33 && length >= 0.85 * trust) {
                trust = std::min(1.4142135623730951 * trust, options.max_trust);
            }
        }

        for (std::size_t i = 0; i < dim; ++i) ws.previous_gradient[i] = ws.gradient[i] - ws.previous_gradient[i];
        update_cartesian_hessian(hessian, ws.step, ws.previous_gradient, options.update, ws.update);

        // A point that meets the gradient tests (with a converged SCF) is the
        // saddle point sought when the energy curves down along the followed
        // mode, measured with the true gradient, and along no other, and the
        // point lies at the maximum along that mode. The updated Hessian can
        // show downward curvatures that are not there, or miss one: on
        // molecules of moderate size the exact Hessian decides. A point short
        // of the maximum, or a stationary point of higher order, does not end
        // the search: it goes on from there, on the exact Hessian where that
        // was computed.
        std::optional<ScfResult> lower;
        if (rms < options.grad_rms_tol && max < options.grad_max_tol && result.scf_result.converged &&
            !cold_compared) {
            lower = adopt_lower_solution(molecule, model, scf, spare, {.use_nddo = options.use_nddo},
                                         result.scf_result.total_energy);
            cold_compared = true;
        }
        if (lower) {
            // An SCF from the atomic guess found a lower solution here: the
            // search goes on from it (a bounded number of times).
            std::tie(result.scf_result, rms, max) = evaluate(&*lower);
            e_prev = result.scf_result.total_energy;
            if (++state_changes > kMaxLowerSolutionMoves) break;
            continue;
        }
        if (rms < options.grad_rms_tol && max < options.grad_max_tol && result.scf_result.converged) {
            const std::size_t n_internal = analyse_step_hessian(false);
            const ModeProfile mode = profile_along_mode(v, t, mask, options, molecule, model, scf, gradient_workspace, ws);
            followed_curvature = mode.curvature;
            bool other_negative = false;
            for (std::size_t j = 0; j < dim; ++j) other_negative |= j != t && b[j] < -kNegativeCurvatureTolerance;
            const bool saddle_shape = t < n_internal && mode.curvature < -kNegativeCurvatureTolerance && !other_negative;
            converged = saddle_shape && at_maximum_along_mode(mode);
            const std::size_t exact_limit = converged ? kExactCheckMaxAtoms : kExactDecisionMaxAtoms;
            if (mask || n_atoms > exact_limit || !has_masses) {
                if (converged || !saddle_shape) break;  // the step Hessian's verdict stands
            } else {
                std::optional<ExactHessian> exact;
                if (exact_hessians < kMaxExactHessians) exact = exact_hessian(options, molecule, model, scf);
                if (!exact) {
                    converged = false;
                    break;
                }
                ++exact_hessians;
                hessian = std::move(exact->hessian);
                converged = false;
                if (exact->imaginary <= 1) {
                    // Follow (and report) the exact Hessian's lowest internal mode.
                    t = 0;
                    analyse_step_hessian(true);
                    ModeProfile lowest{0.0, b[0]};
                    for (std::size_t i = 0; i < dim; ++i) lowest.slope += v(i, 0) * ws.gradient[i];
                    followed_curvature = b[0];
                    converged = exact->imaginary == 1 && at_maximum_along_mode(lowest);
                    if (converged || exact->imaginary == 0) break;
                } else {
                    leave_stationary_point = true;
                }
            }
        }
        e_prev = e_new;
    }

    if (cycles == 0) t = 0;
    result.cycles = cycles;
    result.final_energy = result.scf_result.total_energy;
    result.final_heat_of_formation = compute_heat_of_formation_kcal_mol(molecule, model, result.final_energy);
    result.final_grad_rms = rms;
    result.final_grad_max = max;
    result.ts_mode_eigenvalue = followed_curvature.value_or(dim > 0 ? ws.eigenvalues[t] : 0.0);
    result.ts_mode_index = t;
    result.hessian = std::move(hessian);
    result.converged = converged;
    return result;
}

}  // namespace quorin
