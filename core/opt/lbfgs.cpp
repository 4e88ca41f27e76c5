#include "core/opt/lbfgs.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <tuple>

#include "core/types/errors.h"

namespace quorin {

namespace {

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}

struct Evaluation {
    ScfResult scf;
    double rms = 0.0;
    double max = 0.0;
    bool cold_compared = false;  // the SCF compared its warm start with one from the atomic guess
};

// One geometry: fresh SCF ladder from a cleared workspace (none when
// `solved`, the result of the solution the workspace holds, is given), then
// the gradient, flattened atom-major into `g` with the frozen components
// zeroed.
Evaluation evaluate(MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                    GradientWorkspace& gradient_ws, const OptimizationOptions& options,
                    std::vector<std::array<double, 3>>& gradient, std::vector<double>& g,
                    const ScfResult* solved = nullptr) {
    Evaluation e;
    ColdStartReport report;
    e.scf = evaluate_energy_and_gradient(molecule, model, scf, gradient_ws, {.use_nddo = options.use_nddo}, gradient,
                                         &report, solved);
    e.cold_compared = report.compared;
    ActiveMask mask;
    if (options.active_mask) mask = std::span<const std::uint8_t>(*options.active_mask);
    apply_active_mask(gradient, mask);
    for (std::size_t i = 0; i < g.size(); ++i) g[i] = gradient[i / 3][i % 3];
    std::tie(e.rms, e.max) = compute_effective_gradient_norms(gradient, mask);
    return e;
}

}  // namespace

void check_optimization_options(const OptimizationOptions& options, std::size_t n_atoms) {
    if (options.memory == 0) throw EngineStop("L-BFGS memory must be at least 1");
    require_positive_finite(options.max_step, "max_step");
    require_positive_finite(options.grad_rms_tol, "grad_rms_tol");
    require_positive_finite(options.grad_max_tol, "grad_max_tol");
    require_positive_finite(options.energy_tol, "energy_tol");
    if (options.active_mask) require_mask_length(*options.active_mask, n_atoms);
}

OptimizationResult optimize_geometry_lbfgs(MolecularBatch& molecule, const ParameterModel& model,
                                           ScfWorkspace& scf, GradientWorkspace& gradient_workspace,
                                           const OptimizationOptions& options,
                                           std::optional<ScfWorkspace>* spare) {
    const std::size_t n_atoms = molecule.n_atoms;
    check_optimization_options(options, n_atoms);
    if (gradient_workspace.hcore.rows() != molecule.n_basis) {
        stop_assert_eq("Gradient workspace size mismatch", gradient_workspace.hcore.rows(), molecule.n_basis);
    }

    const std::size_t dim = 3 * n_atoms;
    std::vector<std::array<double, 3>> gradient(n_atoms);
    std::vector<double> x(dim), x_new(dim), g(dim), g_new(dim), q(dim), step(dim);
    read_flat_coordinates(molecule, x);
    auto gradient_tests_met = [&](const Evaluation& e) {
        return e.rms < options.grad_rms_tol && e.max < options.grad_max_tol;
    };

    Evaluation current = evaluate(molecule, model, scf, gradient_workspace, options, gradient, g);
    OptimizationResult result;
    result.initial_energy = current.scf.total_energy;
    result.initial_grad_rms = current.rms;
    auto finish = [&](const Evaluation& e, std::size_t cycles, bool converged) {
        result.scf_result = e.scf;
        result.cycles = cycles;
        result.final_energy = e.scf.total_energy;
        result.final_grad_rms = e.rms;
        result.final_grad_max = e.max;
        result.converged = converged;
        return result;
    };
    // A geometry counts as converged only when its SCF did and no SCF from
    // the atomic guess finds a lower solution there (the warm start's own
    // comparison, where it ran one, or else one in a spare workspace); where
    // one does, the search goes on from that solution with a fresh history (a
    // bounded number of times).
    const SurfaceScfSettings settings{.use_nddo = options.use_nddo};
    std::optional<ScfWorkspace> own_spare;
    std::optional<ScfWorkspace>& check_workspace = spare ? *spare : own_spare;
    std::size_t state_changes = 0;
    auto on_lower_solution = [&](Evaluation& e, std::vector<double>& gradient_flat) {
        if (e.cold_compared) return false;
        const std::optional<ScfResult> lower =
            adopt_lower_solution(molecule, model, scf, check_workspace, settings, e.scf.total_energy);
        if (!lower) return false;
        e = evaluate(molecule, model, scf, gradient_workspace, options, gradient, gradient_flat, &*lower);
        ++state_changes;
        return true;
    };
    if (gradient_tests_met(current) && current.scf.converged && !on_lower_solution(current, g)) {
        return finish(current, 0, true);
    }

    // Correction pairs, oldest first, in the first k of the slots allocated
    // here; a search never keeps more pairs than it has cycles.
    const std::size_t slots = std::min(options.memory, options.max_cycles);
    std::vector<std::vector<double>> s_hist(slots, std::vector<double>(dim));
    std::vector<std::vector<double>> y_hist(slots, std::vector<double>(dim));
    std::vector<double> rho_hist(slots), alpha(slots);
    std::size_t k = 0;
    double e_prev = current.scf.total_energy;
    for (std::size_t cycle = 1; cycle <= options.max_cycles; ++cycle) {
        // Two-loop recursion: q = H_k g with the initial scaling gamma I.
        q = g;
        for (std::size_t i = k; i-- > 0;) {
            alpha[i] = rho_hist[i] * dot(s_hist[i], q);
            for (std::size_t c = 0; c < dim; ++c) q[c] -= alpha[i] * y_hist[i][c];
        }
        double gamma = 1.0;
        if (k > 0) {
            const double yy = dot(y_hist[k - 1], y_hist[k - 1]);
            if (std::fabs(yy) > 1e-12) gamma = dot(s_hist[k - 1], y_hist[k - 1]) / yy;
        }
        for (double& v : q) v *= gamma;
        for (std::size_t i = 0; i < k; ++i) {
            const double beta = rho_hist[i] * dot(y_hist[i], q);
            for (std::size_t c = 0; c < dim; ++c) q[c] += (alpha[i] - beta) * s_hist[i][c];
        }

        double longest = 0.0;
        for (std::size_t a = 0; a < n_atoms; ++a) {
            const double* d = &q[3 * a];
            longest = std::max(longest, std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]));
        }
        const double scale = longest > options.max_step ? options.max_step / longest : 1.0;
        for (std::size_t c = 0; c < dim; ++c) step[c] = -q[c] * scale;
        if (options.active_mask) {
            for (std::size_t c = 0; c < dim; ++c) {
                if (!(*options.active_mask)[c]) step[c] = 0.0;
            }
        }
        for (std::size_t c = 0; c < dim; ++c) x_new[c] = x[c] + step[c];
        write_flat_coordinates(x_new, molecule);

        current = evaluate(molecule, model, scf, gradient_workspace, options, gradient, g_new);
        const double e_new = current.scf.total_energy;
        const bool geometry_converged =
            gradient_tests_met(current) ||
            (std::fabs(e_new - e_prev) < options.energy_tol && current.rms < 2.0 * options.grad_rms_tol);
        bool new_surface = false;
        if (geometry_converged && current.scf.converged) {
            if (!on_lower_solution(current, g_new)) return finish(current, cycle, true);
            if (state_changes > kMaxLowerSolutionMoves) return finish(current, cycle, false);
            new_surface = true;
            k = 0;
        }

        // y = g_new - g, kept in q's storage until it joins the history.
        for (std::size_t c = 0; c < dim; ++c) q[c] = g_new[c] - g[c];
        const double sy = dot(step, q);
        if (sy > 1e-12 && !new_surface) {
            if (k == slots) {
                // Drop the oldest pair; its storage takes the newest.
                std::rotate(s_hist.begin(), s_hist.begin() + 1, s_hist.end());
                std::rotate(y_hist.begin(), y_hist.begin() + 1, y_hist.end());
                std::rotate(rho_hist.begin(), rho_hist.begin() + 1, rho_hist.end());
            } else {
                ++k;
            }
            s_hist[k - 1] = step;
            y_hist[k - 1] = q;
            rho_hist[k - 1] = 1.0 / sy;
        }
        x.swap(x_new);
        g.swap(g_new);
        e_prev = current.scf.total_energy;
    }
    return finish(current, options.max_cycles, false);
}

}  // namespace quorin
