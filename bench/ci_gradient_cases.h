#pragma once
// Excited-state gradient checks shared by the CI tests and the gradient
// audit: four small molecules bent out of their symmetry, and central
// differences of the total energy the CI reports for each root, with the SCF
// converged far enough for steps of 1e-5 angstrom.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/ci/meci.h"
#include "core/ci/root_gradient.h"
#include "core/scf/scf_loop.h"
#include "core/types/molecule.h"

namespace quorin::bench {

struct CiCase {
    std::string name;
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> coordinates;  // angstrom
};

// Formaldehyde and s-trans-butadiene displaced by up to 0.06 angstrom from
// their symmetric forms; pyridine and nitrosomethane at geometries where the
// roots' surfaces curve sharply (close roots, MOs close at the window's edge).
inline std::vector<CiCase> ci_gradient_molecules() {
    return {
        {"formaldehyde", {6, 8, 1, 1}, {{{0.01, 0.02, 0}}, {{0.03, -0.01, 1.22}}, {{0.95, 0.05, -0.58}},
                                        {{-0.93, -0.04, -0.61}}}},
        {"butadiene",
         {6, 6, 1, 1, 1, 6, 6, 1, 1, 1},
         {{{1.44572, 1.09589, 0.01811}}, {{0.69579, 0.00287, -0.01612}}, {{1.21474, -0.95732, -0.0555}},
          {{2.54301, 1.03236, -0.04911}}, {{0.95893, 2.12116, -0.04514}}, {{-1.48196, -1.11362, 0.05373}},
          {{-0.72383, -0.00827, 0.05715}}, {{-1.28638, 0.98659, -0.02525}}, {{-2.57678, -1.09735, -0.02298}},
          {{-0.93968, -2.12056, 0.00979}}}},
        {"pyridine",
         {6, 6, 6, 7, 6, 6, 1, 1, 1, 1, 1},
         {{{0.07571, 1.18131, -0.01846}}, {{-1.16712, 0.5567, -0.0237}}, {{-1.20483, -0.82841, -0.00142}},
          {{-0.10317, -1.6098, 0.02515}}, {{1.08925, -0.97495, 0.0296}}, {{1.22866, 0.40367, 0.00869}},
          {{0.14517, 2.26509, -0.03539}}, {{-2.08422, 1.13422, -0.04462}}, {{-2.15055, -1.36255, -0.00444}},
          {{1.95909, -1.62506, 0.05112}}, {{2.21201, 0.85979, 0.01347}}}},
        {"nitrosomethane",
         {6, 7, 8, 1, 1, 1},
         {{{-0.43616, 0.01129, -0.02194}}, {{0.93958, 0.25756, -0.51258}}, {{1.79677, -0.14324, 0.28248}},
          {{-0.41746, -0.48001, 0.95381}}, {{-0.94182, -0.62216, -0.75336}}, {{-0.94092, 0.97656, 0.05159}}}},
    };
}

// The SCF options of the configuration-interaction road.
inline ScfOptions ci_road_scf_options(bool use_nddo = true) {
    ScfOptions options;
    options.use_nddo = use_nddo;
    options.max_iterations = 60;
    options.energy_tolerance = 1e-7;
    options.density_tolerance = 1e-6;
    options.damping = 0.5;
    return options;
}

// The SCF of the configuration-interaction road, in `scf`.
inline ScfResult ci_road_scf(const MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                             bool use_nddo = true) {
    scf = ScfWorkspace::allocate(molecule.n_basis);
    const ScfOptions options = ci_road_scf_options(use_nddo);
    const ScfResult first = run_rhf_scf_with_options(molecule, model, scf, options);
    if (!first.converged) return first;
    return converge_scf_for_ci(molecule, model, scf, options, first);
}

// Total energy (SCF total energy + root energy, eV) of every root of the
// n-orbital, n-electron window at any geometry near the one it was made at.
// Each SCF starts from the density there and converges to 1e-12 eV and 1e-11.
class RootEnergies {
public:
    RootEnergies(const MolecularBatch& molecule, const ParameterModel& model, std::size_t n, bool use_nddo = true)
        : model_(model), options_{n, n, 1, use_nddo}, scf_(ScfWorkspace::allocate(molecule.n_basis)),
          meci_(MeciWorkspace::allocate(n, 1)) {
        tight_.use_nddo = use_nddo;
        tight_.max_iterations = 500;
        tight_.energy_tolerance = 1e-12;
        tight_.density_tolerance = 1e-11;
        ScfOptions first = tight_;
        const ScfResult result = run_rhf_scf_with_options(molecule, model, scf_, first);
        ok_ = result.converged;
        start_ = scf_.density;
        tight_.initial_density = &start_;
    }
    bool converged() const { return ok_; }
    const ScfWorkspace& scf() const { return scf_; }

    // Empty when the SCF does not converge.
    std::vector<double> at(const MolecularBatch& molecule) {
        const ScfResult result = run_rhf_scf_with_options(molecule, model_, scf_, tight_);
        if (!result.converged) return {};
        const MeciResult meci = run_meci(molecule, model_, scf_.coefficients, scf_.orbital_energies,
                                         result.electronic_energy, result.total_energy, options_, meci_);
        std::vector<double> energies;
        for (const CiState& state : meci.states) energies.push_back(result.total_energy + state.energy_ev);
        return energies;
    }

    // Central differences (eV/angstrom) of every root's energy along one
    // coordinate, one per step; empty when an SCF does not converge.
    std::vector<std::vector<double>> differences(MolecularBatch& molecule, std::size_t atom, std::size_t axis,
                                                 const std::vector<double>& steps) {
        std::vector<std::vector<double>> out;
        Vec64& coords = molecule.axis(axis);
        const double saved = coords[atom];
        for (const double step : steps) {
            coords[atom] = saved + step;
            const std::vector<double> plus = at(molecule);
            coords[atom] = saved - step;
            const std::vector<double> minus = at(molecule);
            coords[atom] = saved;
            if (plus.empty() || minus.empty()) return {};
            std::vector<double> slope(plus.size());
            for (std::size_t r = 0; r < plus.size(); ++r) slope[r] = (plus[r] - minus[r]) / (2.0 * step);
            out.push_back(std::move(slope));
        }
        return out;
    }

private:
    const ParameterModel& model_;
    MeciOptions options_;
    ScfOptions tight_;
    ScfWorkspace scf_;
    MeciWorkspace meci_;
    Matrix start_;
    bool ok_ = false;
};

// One root's gradient against the reference differences.
struct RootGradientAudit {
    std::size_t root = 0;
    std::size_t compared = 0;  // coordinates where the differences at 2e-5 and 1e-4 angstrom agree
    std::size_t above = 0;     // of those, gradient components off by more than the tolerance
    double worst = 0.0;        // eV/angstrom
    std::string worst_at;
    double seconds = 0.0;      // of the gradient
};

// Roots 1 .. max_root of the n-orbital, n-electron CI of `c` after the SCF of
// the configuration-interaction road: each root's gradient compared with the
// central difference of its energy at 2e-5 angstrom, at every coordinate
// where that agrees with the one at 1e-4 to `tolerance` (eV/angstrom), so
// that the energy is smooth there. Empty when an SCF does not converge;
// refuses (RequestError) as run_meci does.
inline std::vector<RootGradientAudit> audit_root_gradients(const CiCase& c, const ParameterModel& model, std::size_t n,
                                                           bool use_nddo, std::size_t max_root, double tolerance) {
    MolecularBatch molecule = MolecularBatch::new_for_model(c.atomic_numbers, c.coordinates, model);
    ScfWorkspace scf;
    const ScfResult result = ci_road_scf(molecule, model, scf, use_nddo);
    RootEnergies reference(molecule, model, n, use_nddo);
    if (!result.converged || !reference.converged()) return {};
    MeciWorkspace ws = MeciWorkspace::allocate(n, 1);
    const MeciResult meci = run_meci(molecule, model, scf.coefficients, scf.orbital_energies, result.electronic_energy,
                                     result.total_energy, MeciOptions{n, n, 1, use_nddo}, ws);
    std::vector<std::vector<std::vector<double>>> slopes;  // [coordinate][step][root]
    for (std::size_t atom = 0; atom < molecule.n_atoms; ++atom) {
        for (std::size_t axis = 0; axis < 3; ++axis) {
            slopes.push_back(reference.differences(molecule, atom, axis, {2e-5, 1e-4}));
        }
    }
    std::vector<RootGradientAudit> audits;
    for (std::size_t root = 1; root <= max_root; ++root) {
        RootGradientAudit audit;
        audit.root = root;
        std::vector<std::array<double, 3>> gradient;
        audit.seconds = seconds_of([&] {
            gradient = compute_ci_root_gradient(molecule, model, ci_road_scf_options(use_nddo), scf.density,
                                                scf.coefficients, scf.orbital_energies,
                                                MeciOptions{n, n, root, use_nddo}, meci.states[root - 1].coefficients);
        });
        for (std::size_t k = 0; k < slopes.size(); ++k) {
            if (slopes[k].empty()) continue;
            const double fine = slopes[k][0][root - 1], coarse = slopes[k][1][root - 1];
            if (std::fabs(fine - coarse) > tolerance) continue;
            const double error = std::fabs(gradient[k / 3][k % 3] - fine);
            ++audit.compared;
            if (error > tolerance) ++audit.above;
            if (error < audit.worst) continue;
            audit.worst = error;
            char text[96];
            std::snprintf(text, sizeof text, "atom %zu %c: %.4f vs %.4f", k / 3 + 1, "xyz"[k % 3],
                          gradient[k / 3][k % 3], fine);
            audit.worst_at = text;
        }
        audits.push_back(audit);
    }
    return audits;
}

}  // namespace quorin::bench
