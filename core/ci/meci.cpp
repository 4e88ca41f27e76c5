#include "core/ci/meci.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "core/ci/active_integrals.h"
#include "core/gradients/heat_of_formation.h"
#include "core/integrals/pair_integrals.h"
#include "core/scf/blas.h"
#include "core/scf/density.h"
#include "core/scf/eigensolver.h"
#include "core/scf/scf_loop.h"
#include "core/types/constants.h"
#include "core/types/errors.h"
#include "core/types/interruption.h"

namespace quorin {

namespace {

const char* spin_label_of(std::size_t multiplicity) {
    switch (multiplicity) {
        case 1: return "SINGLET";
        case 2: return "DOUBLET";
        case 3: return "TRIPLET";
        case 4: return "QUARTET";
        case 5: return "QUINTET";
        case 6: return "SEXTET";
        default: return "MULTIPLET";
    }
}

// Off-diagonal non-zero elements of S^2 below the diagonal, so that each
// root's <S^2> costs the few exchange couplings instead of m^2 products.
struct Coupling {
    std::size_t i, j;
    double value;
};

std::vector<Coupling> lower_couplings(const Matrix& s2) {
    std::vector<Coupling> out;
    for (std::size_t i = 0; i < s2.rows(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (s2(i, j) != 0.0) out.push_back({i, j, s2(i, j)});
        }
    }
    return out;
}

double expectation(const Matrix& s2, const std::vector<Coupling>& couplings, const Matrix& vectors,
                   std::size_t root) {
    double value = 0.0;
    for (std::size_t i = 0; i < s2.rows(); ++i) value += vectors(i, root) * vectors(i, root) * s2(i, i);
    for (const Coupling& c : couplings) value += 2.0 * vectors(c.i, root) * c.value * vectors(c.j, root);
    return value;
}

// (S^2 w)[i] for the eigenvector column `root`.
void apply_s2(const Matrix& s2, const std::vector<Coupling>& couplings, const Matrix& vectors, std::size_t root,
              std::vector<double>& out) {
    for (std::size_t i = 0; i < s2.rows(); ++i) out[i] = s2(i, i) * vectors(i, root);
    for (const Coupling& c : couplings) {
        out[c.i] += c.value * vectors(c.j, root);
        out[c.j] += c.value * vectors(c.i, root);
    }
}

// The eigensolver returns any orthonormal basis of a set of degenerate
// roots, which mixes spins wherever roots of different spin coincide (the
// diagonal tie-break lifts the coincidence only by ~1e-10 eV per microstate).
// Within each set of roots no more than kDegenerateRootsEv apart, the
// vectors are rotated onto eigenfunctions of S^2; each then takes its own
// energy expectation value, and the set is ordered by it again. A rotation
// within a set leaves the set's summed transition strengths unchanged.
void make_degenerate_roots_spin_pure(MeciWorkspace& ws, const std::vector<Coupling>& couplings) {
    const std::size_t m = ws.eigenvalues.size();
    std::vector<double> product(m);
    for (std::size_t first = 0; first < m;) {
        check_interruption();
        std::size_t end = first + 1;
        while (end < m && ws.eigenvalues[end] - ws.eigenvalues[end - 1] <= kDegenerateRootsEv) ++end;
        const std::size_t k = end - first;
        if (k > 1) {
            Matrix set = Matrix::zeros(m, k);
            for (std::size_t i = 0; i < m; ++i) {
                for (std::size_t b = 0; b < k; ++b) set(i, b) = ws.eigenvectors(i, first + b);
            }
            Matrix block = Matrix::zeros(k, k);  // S^2 over the set
            for (std::size_t b = 0; b < k; ++b) {
                apply_s2(ws.s2_matrix, couplings, set, b, product);
                for (std::size_t a = 0; a < k; ++a) {
                    double sum = 0.0;
                    for (std::size_t i = 0; i < m; ++i) sum += set(i, a) * product[i];
                    block(a, b) = sum;
                }
            }
            Vec64 spins = Vec64::zeros(k);
            Matrix rotation = Matrix::zeros(k, k);
            diagonalize_symmetric(block, spins, rotation);
            Matrix rotated = Matrix::zeros(m, k), h_rotated = Matrix::zeros(m, k);
            multiply(set, rotation, rotated);
            multiply(ws.ci_matrix, rotated, h_rotated);
            std::vector<std::pair<double, std::size_t>> energies(k);
            for (std::size_t b = 0; b < k; ++b) {
                double energy = 0.0;
                for (std::size_t i = 0; i < m; ++i) energy += rotated(i, b) * h_rotated(i, b);
                energies[b] = {energy, b};
            }
            std::stable_sort(energies.begin(), energies.end(),
                             [](const auto& x, const auto& y) { return x.first < y.first; });
            for (std::size_t r = 0; r < k; ++r) {
                ws.eigenvalues[first + r] = energies[r].first;
                for (std::size_t i = 0; i < m; ++i) ws.eigenvectors(i, first + r) = rotated(i, energies[r].second);
            }
        }
        first = end;
    }
}

CiState make_state(const MeciWorkspace& ws, const std::vector<Coupling>& couplings, std::size_t r) {
    const std::size_t m = ws.eigenvalues.size();
    CiState state;
    state.root = r + 1;
    state.energy_ev = ws.eigenvalues[r];
    state.excitation_energy_ev = ws.eigenvalues[r] - ws.eigenvalues[0];
    state.excitation_energy_cm1 = state.excitation_energy_ev * kWavenumberPerEv;
    state.wavelength_nm =
        state.excitation_energy_ev > kMinExcitationEv ? kEvNanometre / state.excitation_energy_ev : 0.0;
    const double s2 = expectation(ws.s2_matrix, couplings, ws.eigenvectors, r);
    state.s_squared = s2 > 0.0 ? s2 : 0.0;
    state.spin = (std::sqrt(4.0 * state.s_squared + 1.0) - 1.0) * 0.5;
    state.multiplicity = static_cast<std::size_t>(std::round(2.0 * state.spin + 1.0));
    state.spin_label = spin_label_of(state.multiplicity);
    state.coefficients.resize(m);
    for (std::size_t i = 0; i < m; ++i) state.coefficients[i] = ws.eigenvectors(i, r);
    return state;
}

// "HOMO", "HOMO-2", "LUMO+1", ... for MO `k` (0-based) of a closed shell of
// n_occupied doubly occupied MOs.
std::string frontier_name(std::size_t k, std::size_t n_occupied) {
    if (k < n_occupied) return k + 1 == n_occupied ? "HOMO" : "HOMO-" + std::to_string(n_occupied - 1 - k);
    return k == n_occupied ? "LUMO" : "LUMO+" + std::to_string(k - n_occupied);
}

// The MO pair (inside, outside) at an edge of the window [first, first + n)
// whose gap is below kWindowEdgeGapEv, lower edge first; none when both edges
// are clear.
std::optional<std::pair<std::size_t, std::size_t>> close_window_edge(std::span<const double> energies,
                                                                      std::size_t first, std::size_t n) {
    if (first > 0 && energies[first] - energies[first - 1] < kWindowEdgeGapEv) {
        return std::pair{first, first - 1};
    }
    const std::size_t end = first + n;
    if (end < energies.size() && energies[end] - energies[end - 1] < kWindowEdgeGapEv) {
        return std::pair{end - 1, end};
    }
    return std::nullopt;
}

// Refuses a window whose edge splits MOs closer than kWindowEdgeGapEv. The
// alternatives move both edges outward or inward by the same number of MOs,
// as active_orbitals does with as many active electrons as orbitals.
void check_window_edges(const ActiveWindow& window, const MeciOptions& options, std::size_t n_basis,
                        std::span<const double> energies) {
    const auto close = close_window_edge(energies, window.first, options.active_orbitals);
    if (!close) return;
    const auto n = static_cast<long long>(options.active_orbitals);
    const auto electrons = static_cast<long long>(options.active_electrons);
    const long long need = electrons / 2 + electrons % 2;
    const auto n_occupied = static_cast<long long>(window.n_occupied);
    std::vector<long long> clear;  // the nearest smaller and larger window with clear edges
    for (const long long step : {-1LL, 1LL}) {
        for (long long k = step;; k += step) {
            const long long n_k = n + 2 * k, electrons_k = electrons + 2 * k, need_k = need + k;
            const long long first_k = n_occupied - need_k;
            if (n_k < 1 || electrons_k < 0 || electrons_k > 2 * n_k || need_k < 0 || need_k > n_k || first_k < 0 ||
                first_k + n_k > static_cast<long long>(n_basis) ||
                count_microstates(static_cast<std::size_t>(n_k), static_cast<std::size_t>(electrons_k)) >
                    kMaxMicrostates) {
                break;
            }
            if (!close_window_edge(energies, static_cast<std::size_t>(first_k), static_cast<std::size_t>(n_k))) {
                clear.push_back(n_k);
                break;
            }
        }
    }
    char gap[64];
    std::snprintf(gap, sizeof gap, "%.2g eV apart, closer than %g eV",
                  std::fabs(energies[close->first] - energies[close->second]), kWindowEdgeGapEv);
    std::string advice = "no other active_orbitals keeps both edges of the window clear for this molecule";
    if (!clear.empty()) {
        advice = "choose another active_orbitals (" + std::to_string(clear[0]) +
                 (clear.size() > 1 ? " or " + std::to_string(clear[1]) + " keep" : " keeps") +
                 " both edges of the window clear)";
    }
    throw RequestError("The active window's edge falls between " + frontier_name(close->first, window.n_occupied) +
                       " (inside) and " + frontier_name(close->second, window.n_occupied) + " (outside), " + gap +
                       ": the CI states would depend on which of the two the window takes; " + advice);
}

}  // namespace

ActiveWindow choose_active_window(const MolecularBatch& molecule, const ParameterModel& model,
                                  const MeciOptions& options, std::span<const double> orbital_energies) {
    const std::size_t n = options.active_orbitals;
    const std::size_t n_electrons = options.active_electrons;
    ActiveWindow window;
    window.n_occupied = count_valence_electrons(molecule, model) / 2;
    const std::size_t need = n_electrons / 2 + n_electrons % 2;
    if (window.n_occupied < need) {
        throw EngineStop("Not enough occupied MOs (" + std::to_string(window.n_occupied) + ") for active electrons (" +
                         std::to_string(n_electrons) + ")");
    }
    window.first = window.n_occupied - need;
    if (n > molecule.n_basis || window.first > molecule.n_basis - n) {
        throw EngineStop("Active space exceeds total molecular orbitals");
    }
    window.indices.resize(n);
    for (std::size_t a = 0; a < n; ++a) window.indices[a] = window.first + a;
    if (!orbital_energies.empty()) check_window_edges(window, options, molecule.n_basis, orbital_energies);
    return window;
}

void check_target_root(std::size_t target_root, std::size_t n_states) {
    if (target_root < 1 || target_root > n_states) {
        throw RequestError("target_root must be between 1 and " + std::to_string(n_states) + " (got " +
                           std::to_string(target_root) + ")");
    }
}

ScfResult converge_scf_for_ci(const MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& scf,
                              const ScfOptions& options, const ScfResult& converged) {
    ScfOptions tight = options;
    tight.energy_tolerance = std::min(options.energy_tolerance, kCiScfEnergyTolerance);
    tight.density_tolerance = std::min(options.density_tolerance, kCiScfDensityTolerance);
    // What the CI reads of the workspace, kept to restore.
    const Matrix density = scf.density, coefficients = scf.coefficients;
    const Vec64 orbital_energies = scf.orbital_energies;
    tight.initial_density = &density;
    const ScfResult continued = run_rhf_scf_with_options(molecule, model, scf, tight);
    if (continued.converged) return continued;
    scf.density.copy_from(density);
    scf.coefficients.copy_from(coefficients);
    scf.orbital_energies = orbital_energies;
    return converged;
}

MeciResult run_meci(const MolecularBatch& molecule, const ParameterModel& model, const Matrix& coefficients,
                    std::span<const double> orbital_energies, double electronic_energy_ev, double total_energy_ev,
                    const MeciOptions& options, MeciWorkspace& ws) {
    const std::size_t n = options.active_orbitals;
    const std::size_t n_electrons = options.active_electrons;
    if (n_electrons / 2 > n || (n_electrons / 2 == n && n_electrons % 2 != 0)) {
        throw EngineStop("Active electrons (" + std::to_string(n_electrons) + ") exceed the capacity of " +
                         std::to_string(n) + " active orbitals");
    }
    if (orbital_energies.size() != molecule.n_basis) {
        stop_assert_eq("MO energies do not match the basis size", orbital_energies.size(), molecule.n_basis);
    }
    const ActiveWindow window = choose_active_window(molecule, model, options, orbital_energies);
    if (coefficients.rows() != molecule.n_basis || coefficients.cols() != molecule.n_basis) {
        stop_assert_eq("MO coefficients do not match the basis size", coefficients.rows() * coefficients.cols(),
                       molecule.n_basis * molecule.n_basis);
    }
    const std::size_t m = count_microstates(n, n_electrons);
    if (m > kMaxMicrostates) {
        throw EngineStop("Active space of " + std::to_string(n) + " orbitals and " + std::to_string(n_electrons) +
                         " electrons exceeds the limit of " + std::to_string(kMaxMicrostates) + " microstates");
    }
    check_target_root(options.target_root, m);
    const auto parity = static_cast<std::int32_t>(n_electrons % 2);
    std::vector<Microstate> microstates =
        generate_microstates(n, static_cast<std::int32_t>(n_electrons), parity);

    if (ws.ci_matrix.rows() != m || ws.integrals.n != n) ws = MeciWorkspace::allocate(n, m);
    ws.diagonal_energies.assign(m, 0.0);
    ws.orbital_energies.assign(n, 0.0);
    ws.reference_occupations.assign(n, 0.0);
    for (std::size_t k = 0; k < n_electrons / 2 + n_electrons % 2; ++k) ws.reference_occupations[k] = 1.0;

    std::optional<std::vector<DiatomicPairIntegrals>> pairs;
    if (options.use_nddo) pairs = precompute_diatomic_pairs(molecule, model);
    std::optional<std::span<const DiatomicPairIntegrals>> pair_view;
    if (pairs) pair_view = std::span<const DiatomicPairIntegrals>(*pairs);
    compute_active_mo_two_electron_integrals(molecule, model, coefficients, window.indices, pair_view, ws.integrals);

    std::vector<double> window_energies(n);
    for (std::size_t a = 0; a < n; ++a) window_energies[a] = orbital_energies[window.indices[a]];
    compute_active_orbital_energies(window_energies, ws.reference_occupations, ws.integrals, ws.orbital_energies);
    for (Microstate& s : microstates) {
        s.diagonal_energy = diagi(s.alpha, s.beta, ws.orbital_energies, ws.integrals, n);
    }
    for (std::size_t i = 0; i < m; ++i) {
        ws.diagonal_energies[i] = microstates[i].diagonal_energy - microstates[0].diagonal_energy;
    }

    build_ci_hamiltonian(microstates, ws.diagonal_energies, n, ws.reference_occupations, ws.integrals, ws.ci_matrix);
    add_diagonal_tie_break(ws.ci_matrix);
    diagonalize_symmetric(ws.ci_matrix, ws.eigenvalues, ws.eigenvectors);
    build_s2_matrix(microstates, n, ws.s2_matrix, 0.5 * static_cast<double>(n_electrons % 2));

    MeciResult result;
    const std::vector<Coupling> couplings = lower_couplings(ws.s2_matrix);
    make_degenerate_roots_spin_pure(ws, couplings);
    result.states.reserve(m);
    for (std::size_t r = 0; r < m; ++r) {
        if (r % 64 == 0) check_interruption();
        result.states.push_back(make_state(ws, couplings, r));
    }

    result.target_root = options.target_root;
    const CiState& target = result.states[result.target_root - 1];
    result.ci_energy_correction_ev = target.energy_ev;
    result.electronic_energy_ev = electronic_energy_ev + result.ci_energy_correction_ev;
    result.total_energy_ev = total_energy_ev + result.ci_energy_correction_ev;
    result.heat_of_formation_kcal_mol = compute_heat_of_formation_kcal_mol(molecule, model, result.total_energy_ev);

    Matrix scf_density = Matrix::zeros(molecule.n_basis, molecule.n_basis);
    compute_density_matrix(coefficients, window.n_occupied, scf_density);
    result.state_density = compute_ci_state_density(molecule.n_basis, coefficients, window.indices, microstates,
                                                    target.coefficients, ws.reference_occupations, scf_density);
    result.microstates = std::move(microstates);
    return result;
}

Matrix compute_ci_state_density(std::size_t n_basis, const Matrix& coefficients, std::span<const std::size_t> active,
                                std::span<const Microstate> microstates, std::span<const double> w,
                                std::span<const double> occ, const Matrix& scf_density) {
    const std::size_t n = active.size();
    Matrix d = Matrix::zeros(n, n);
    for (std::size_t k = 0; k < n; ++k) d(k, k) = -2.0 * occ[k];
    for (std::size_t i = 0; i < microstates.size(); ++i) {
        check_interruption();
        const Microstate& si = microstates[i];
        for (std::size_t j = 0; j <= i; ++j) {
            const Microstate& sj = microstates[j];
            const std::size_t na = count_differences(si.alpha, sj.alpha);
            const std::size_t nb = count_differences(si.beta, sj.beta);
            if (na + nb > 2) continue;
            if (na + nb == 0) {
                for (std::size_t k = 0; k < n; ++k) d(k, k) += (si.alpha[k] + si.beta[k]) * w[i] * w[i];
            } else if (na == 2) {
                const OrbitalPair pq = first_two_differences(si.alpha, sj.alpha);
                d(pq.q, pq.p) += alpha_move_sign(si.alpha, si.beta, pq.p, pq.q) * w[i] * w[j];
            } else if (nb == 2) {
                const OrbitalPair pq = first_two_differences(si.beta, sj.beta);
                d(pq.q, pq.p) += beta_move_sign(si.alpha, si.beta, pq.p, pq.q) * w[i] * w[j];
            }
        }
    }
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = a + 1; b < n; ++b) d(a, b) = d(b, a);
    }

    Matrix density = Matrix::zeros(n_basis, n_basis);
    density.copy_from(scf_density);
    std::vector<double> t(n);
    for (std::size_t mu = 0; mu < n_basis; ++mu) {
        for (std::size_t l = 0; l < n; ++l) {
            double sum = 0.0;
            for (std::size_t k = 0; k < n; ++k) sum += coefficients(mu, active[k]) * d(k, l);
            t[l] = sum;
        }
        // Upper triangle, then mirrored, so the density is exactly symmetric
        // (the gradient's pair-local path relies on that).
        for (std::size_t nu = mu; nu < n_basis; ++nu) {
            double sum = 0.0;
            for (std::size_t l = 0; l < n; ++l) sum += t[l] * coefficients(nu, active[l]);
            density(mu, nu) += sum;
            if (nu != mu) density(nu, mu) = density(mu, nu);
        }
    }
    return density;
}

}  // namespace quorin
