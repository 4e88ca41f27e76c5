#include "core/scf/scf_loop.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>

#include "core/fock/fock_builder.h"
#include "core/hamiltonian/hcore.h"
#include "core/integrals/core_repulsion.h"
#include "core/scf/density.h"
#include "core/scf/eigensolver.h"
#include "core/scf/energy_diis.h"
#include "core/scf/fock_of_density.h"
#include "core/scf/initial_guess.h"
#include "core/scf/stability.h"
#include "core/solvation/cosmo.h"
#include "core/types/errors.h"
#include "core/types/interruption.h"

namespace quorin {

namespace {

constexpr const char* kNoElectronPair = "System must have at least one electron pair for closed-shell RHF";

// Unstable solutions left for a lower one before a run gives up unconverged.
constexpr std::size_t kMaxDescents = 4;
// Largest commutator element (eV) below which a stage leaves energy-guided
// interpolation for Pulay extrapolation.
constexpr double kEnergyGuidedUntilErrorEv = 0.1;
// Newton steps after a descent: at most this many; each of two ways down
// from a small saddle point is first followed this many.
constexpr std::size_t kMaxNewtonSteps = 30;
constexpr std::size_t kProbeSteps = 6;
// A stage whose commutator error has not halved for kStallIterations
// iterations, from iteration kStallFrom on, is stuck.
constexpr std::size_t kStallFrom = 12;
constexpr std::size_t kStallIterations = 6;
// After a descent, a rise of the energy (eV) above the lowest of the stage
// that counts as Pulay extrapolation climbing back.
constexpr double kClimbEv = 1e-3;
// A stage whose iterates stay this far (eV) above its lowest energy for
// kSwapIterations iterations in a row swaps electrons between far-apart
// fragments at every diagonalisation: it is examined at once.
constexpr double kSwapRiseEv = 1.0;
constexpr std::size_t kSwapIterations = 2;
// The commutator error's tolerance per unit of the density tolerance (eV):
// a commutator element is an orbital-energy difference times the rotation
// that the density change measures. The differences that matter reach
// 15 eV and more (two Fe atoms 6.4 angstrom apart settle in density with a
// commutator of 1.3e-5 eV, as far as any step brings it).
constexpr double kCommutatorPerDensityEv = 20.0;
// A density counts as the aufbau density of its Fock matrix while its
// highest occupied orbital lies at most this (eV), or the energy tolerance,
// above its lowest virtual one.
constexpr double kAufbauOverlapEv = 1e-4;
// Lowers the occupied block below the virtual one to find a density's own
// orbitals (eV, far beyond any orbital energy).
constexpr double kOccupiedShiftEv = 1e4;
// The largest distance (eV, Frobenius norm) between F(P) and the Fock
// matrix whose orbitals made P at which the examination keeps those
// orbitals (at convergence it is some 1e-6 to 1e-5 eV).
constexpr double kReusedOrbitalDriftEv = 2.5e-5;
// A solution whose check finds a mode below kSoftModeEv (eV), or whose
// frontier orbitals lie less than kSmallGapEv apart, tries the quarter turns
// beyond the local test.
constexpr double kSoftModeEv = 0.5;
constexpr double kSmallGapEv = 5.0;
// A settled solution whose lowest orbital-Hessian eigenvalue lies between
// kZeroModeEv and kUnstableEigenvalueEv (eV) sits on a zero mode that its
// surroundings tilt (a far-apart S2 or O2 turning about its axis): it is
// followed down kZeroModeProbeSteps Newton steps, and where they gain less
// than kZeroModeFallEv (eV) the solution is accepted (S2 beside S2 would
// creep some 40 iterations for 0.4 meV; stretched CO falls 2 to 8 meV and
// goes on down).
constexpr double kZeroModeEv = -1e-3;
constexpr double kZeroModeFallEv = 1e-3;
constexpr std::size_t kZeroModeProbeSteps = 3;
// A fall of the energy (eV) along an unstable rotation smaller than this is
// rounding, not a way down.
constexpr double kEnergyNoiseEv = 1e-8;

void require_finite_inputs(const MolecularBatch& molecule, const ScfOptions& options) {
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        if (!std::isfinite(molecule.x[a]) || !std::isfinite(molecule.y[a]) || !std::isfinite(molecule.z[a])) {
            throw EngineStop("Atomic coordinates must be finite numbers");
        }
    }
    if (options.electric_field) {
        for (double component : *options.electric_field) {
            if (!std::isfinite(component)) throw EngineStop("Electric field components must be finite numbers");
        }
    }
    if (options.external_charges) {
        for (const PointCharge& charge : *options.external_charges) {
            for (double value : charge) {
                if (!std::isfinite(value)) {
                    throw EngineStop("External point charges must have finite positions and charges");
                }
            }
        }
    }
    if (!std::isfinite(options.damping)) throw EngineStop("SCF damping must be a finite number");
}

double max_abs_difference(const Matrix& a, const Matrix& b) {
    const double* pa = a.data().data();
    const double* pb = b.data().data();
    double largest = 0.0;
    for (std::size_t i = 0; i < a.data().size(); ++i) largest = std::max(largest, std::fabs(pa[i] - pb[i]));
    return largest;
}

// F_ij += sigma (delta_ij - P_ij / 2): raises the virtual levels by sigma and
// leaves the occupied ones in place when P is idempotent.
void apply_level_shift(double sigma, const Matrix& density, Matrix& fock) {
    const std::size_t n = fock.rows();
    for (std::size_t i = 0; i < n; ++i) {
        double* f = fock.row(i);
        const double* p = density.row(i);
        for (std::size_t j = 0; j < n; ++j) f[j] -= 0.5 * sigma * p[j];
        f[i] += sigma;
    }
}

double level_shift_for(const ScfOptions& options, std::size_t iteration) {
    if (options.level_shift > 0.0 && iteration >= 3) return options.level_shift;
    if (options.level_shift == 0.0 && iteration >= 26) return 2.0;
    return 0.0;
}

double damping_for(const ScfOptions& options, std::size_t iteration) {
    if (iteration >= 26 && std::fabs(options.damping - 0.5) < 1e-4) return 0.3;
    return options.damping;
}

// The orbitals of the idempotent density P with Fock matrix F: the
// eigenvectors of F - s P/2 for a shift s far beyond any orbital energy,
// which diagonalise F within P's occupied space (the n_occ first, energies
// ascending) and within its complement (the rest, ascending), up to
// |F_ov|^2 / s. `work` is n x n scratch.
void orbitals_of_density(const Matrix& density, const Matrix& fock, std::size_t n_occ, Matrix& work,
                         EigensolverWorkspace& eigensolver, Matrix& orbitals, Vec64& energies) {
    const double* p = density.data().data();
    const double* f = fock.data().data();
    double* w = work.data().data();
    for (std::size_t i = 0; i < density.data().size(); ++i) w[i] = f[i] - 0.5 * kOccupiedShiftEv * p[i];
    diagonalize_symmetric(work, eigensolver, energies, orbitals);
    for (std::size_t k = 0; k < n_occ; ++k) energies[k] += kOccupiedShiftEv;
}

void mix_densities(double old_weight, const Matrix& new_density, Matrix& density) {
    double* p = density.data().data();
    const double* p_new = new_density.data().data();
    const double new_weight = 1.0 - old_weight;
    for (std::size_t i = 0; i < density.data().size(); ++i) p[i] = old_weight * p[i] + new_weight * p_new[i];
}

}  // namespace

std::size_t count_valence_electrons(const MolecularBatch& molecule, const ParameterModel& model) {
    double electrons = 0.0;
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        if (const auto e = model.get_element(molecule.atomic_numbers[a])) electrons += e->core_charge;
    }
    const double rounded = std::round(electrons);
    if (!(rounded > 0.0)) return 0;
    if (rounded >= static_cast<double>(std::numeric_limits<std::size_t>::max())) {
        return std::numeric_limits<std::size_t>::max();
    }
    return static_cast<std::size_t>(rounded);
}

ScfResult run_rhf_scf_with_options(const MolecularBatch& molecule, const ParameterModel& model,
                                   ScfWorkspace& ws, const ScfOptions& options) {
    if (ws.n_basis != molecule.n_basis) stop_assert_eq("assertion `left == right` failed", ws.n_basis, molecule.n_basis);
    if (molecule.n_atoms == 0) throw EngineStop(kNoElectronPair);
    require_finite_inputs(molecule, options);

    const std::size_t n = molecule.n_basis;
    const std::size_t n_occ = count_valence_electrons(molecule, model) / 2;
    if (n_occ == 0) throw EngineStop(kNoElectronPair);
    if (n_occ > n) throw EngineStop("Number of occupied orbitals cannot exceed basis size");

    ScfResult result;
    double core_energy = compute_total_core_repulsion(molecule, model);

    // Kept in the workspace after the run: the gradient reads the screening.
    std::optional<CosmoState>& cosmo = ws.cosmo;
    cosmo.reset();
    if (options.cosmo) {
        cosmo.emplace(CosmoState::initialize(molecule, model, options.cosmo->first, options.cosmo->second));
        core_energy += cosmo->nuclear_energy;
    }

    const OneCenterTables one_center = OneCenterTables::build(molecule, model);
    if (!options.core_tables_ready) {
        if (options.use_nddo) {
            ws.pairs = std::vector<DiatomicPairIntegrals>();  // the last geometry's table goes first
            ws.pairs = precompute_diatomic_pairs(molecule, model);
        }
        build_hcore_with_options(molecule, model, ws.pairs, options.use_nddo, ws.hcore);
    }
    if (cosmo) cosmo->apply_nuclear_reaction_field_to_hcore(ws.hcore);
    if (options.electric_field) {
        core_energy += apply_electric_field_to_hcore(molecule, model, ws.hcore, *options.electric_field);
    }
    if (options.external_charges) {
        const std::span<const PointCharge> charges(*options.external_charges);
        apply_external_charges_to_hcore(molecule, model, charges, charges.size(), ws.hcore);
        core_energy += compute_external_charges_core_energy(molecule, model, charges, charges.size());
    }

    const FockOfDensity fock_of_density{molecule, model, one_center, ws.pairs, options.use_nddo, ws.hcore,
                                        cosmo ? &*cosmo : nullptr};

    // Guess: the caller's density, else the occupied orbitals of the Fock
    // matrix of neutral, unbonded atoms. (The bare core Hamiltonian overbinds
    // the electrons to the most attractive centres and can lead the iterations
    // into an excited state.)
    if (options.initial_density) {
        ws.density.copy_from(*options.initial_density);
    } else {
        build_atomic_guess_density(molecule, model, ws.density);
        fock_of_density.build(ws.density, ws.fock);
        diagonalize_symmetric(ws.fock, ws.eigensolver, ws.orbital_energies, ws.coefficients);
        build_guess_orbital_density(ws.coefficients, ws.orbital_energies, n_occ, ws.density);
    }
    ws.diis.reset();

    // Iterations run in stages: the first from the guess, each later one from
    // a density stepped down from a solution that failed its examination.
    // Every stage has its own shift and damping schedule (the cap counts the
    // iterations of all stages). The first is plain Pulay extrapolation, a
    // stage that swaps electrons between far-apart fragments examined at
    // once. A later stage starts with energy-guided interpolation, which
    // never raises the energy of the history's best point and so cannot be
    // drawn back up to the saddle point it came down from, until the
    // commutator error is small; then Pulay extrapolation converges,
    // watched: one that climbs back above the stage's lowest energy hands
    // over to the energy-guided steps again, until a ten times smaller
    // error.
    double previous_total = 0.0;
    double last_shift = 0.0;     // level shift carried by the virtual orbital energies in the workspace
    bool fock_of_final = false;  // ws.fock is F(ws.density), unshifted and not extrapolated
    std::size_t descents = 0;
    std::size_t stage_iteration = 0;
    bool energy_guided = false;
    double energy_guided_until = kEnergyGuidedUntilErrorEv;
    double lowest_stage_energy = std::numeric_limits<double>::infinity();
    bool checked = false;
    double halving_error = std::numeric_limits<double>::infinity();  // error at the last halving
    std::size_t halved_at = 0;
    std::size_t risen = 0;  // consecutive iterations far above the stage's lowest energy
    // The lowest total energy of an aufbau density of the run (from an
    // undamped diagonalisation, an examination or a step down), kept in
    // ws.lowest_density: what an unconverged run reports.
    double lowest_energy = std::numeric_limits<double>::infinity();
    bool aufbau_input = options.initial_density != nullptr;  // ws.density is such a density
    // The cap counts every iteration of the run: those of all stages, one
    // for each line search down from a saddle point and each Newton step.
    while (result.iterations < options.max_iterations) {
        ++stage_iteration;
        ++result.iterations;
        fock_of_final = false;
        if (const auto dielectric = fock_of_density.build(ws.density, ws.fock)) result.cosmo_energy = dielectric;
        const double electronic = compute_electronic_energy(ws.density, ws.hcore, ws.fock);
        const double total = electronic + core_energy;
        check_interruption();
        if (aufbau_input && total < lowest_energy) {
            lowest_energy = total;
            ws.lowest_density.copy_from(ws.density);
        }

        DiisStep diis = ws.diis.push(ws.fock, ws.density, ws.diis_product);
        // Only a stage after a descent interpolates by energy: only its
        // history needs the traces.
        const bool watched = descents > 0;
        if (watched) ws.energy_diis.record(ws.diis, ws.density, ws.hcore);
        // Iterates held far above the stage's lowest energy: electrons moved
        // between far-apart fragments, swapping at every diagonalisation.
        risen = total > lowest_stage_energy + kSwapRiseEv ? risen + 1 : 0;
        if (watched && !energy_guided && total > lowest_stage_energy + kClimbEv) {
            energy_guided = true;
            energy_guided_until *= 0.1;
        }
        lowest_stage_energy = std::min(lowest_stage_energy, total);
        if (energy_guided && diis.max_error < energy_guided_until) energy_guided = false;
        if (energy_guided) {
            ws.energy_diis.interpolate(ws.diis, ws.fock);
        } else {
            ws.diis.extrapolate(ws.fock, diis);
        }

        const double sigma = level_shift_for(options, stage_iteration);
        if (std::fabs(sigma) >= 1e-12) apply_level_shift(sigma, ws.density, ws.fock);
        last_shift = sigma;

        diagonalize_symmetric(ws.fock, ws.eigensolver, ws.orbital_energies, ws.coefficients);
        compute_density_matrix(ws.coefficients, n_occ, ws.new_density);

        const double density_change = max_abs_difference(ws.new_density, ws.density);
        if (diis.max_error < 0.5 * halving_error) {
            halving_error = diis.max_error;
            halved_at = stage_iteration;
        }
        // Settled: energy, density and commutator error all below their
        // tolerances.
        const bool settled = stage_iteration >= 2 && std::fabs(total - previous_total) < options.energy_tolerance &&
                             density_change < options.density_tolerance &&
                             diis.max_error < kCommutatorPerDensityEv * options.density_tolerance;
        // Iterations that no longer halve the commutator error are stuck,
        // typically circling a saddle point: the examination looks for a way
        // down there, and second-order steps take over.
        const bool stalled = !settled && descents < kMaxDescents &&
                             ((stage_iteration >= kStallFrom && stage_iteration - halved_at >= kStallIterations) ||
                              risen >= kSwapIterations);
        if (!settled && !stalled) {
            aufbau_input = diis.extrapolated || energy_guided;
            if (aufbau_input) {
                ws.density.copy_from(ws.new_density);
            } else {
                mix_densities(damping_for(options, stage_iteration), ws.new_density, ws.density);
            }
            previous_total = total;
            continue;
        }

        // The examination of the newest density P: its own Fock matrix F(P),
        // neither extrapolated nor shifted, and P's orbitals, which
        // diagonalise F(P) within P's occupied space and within its
        // complement. P must be the aufbau density of F(P), no occupied
        // orbital above a virtual one (a state with electrons moved between
        // far-apart fragments is stationary too, but not that), and the
        // orbital Hessian there must have no eigenvalue below
        // kUnstableEigenvalueEv.
        checked = true;
        ws.density.copy_from(ws.new_density);
        Matrix& own_fock = ws.diis_product;
        if (const auto dielectric = fock_of_density.build(ws.density, own_fock)) result.cosmo_energy = dielectric;
        // The orbitals just diagonalised made P: they span its occupied
        // space exactly. Unshifted and within a distance d of F(P) (Frobenius
        // norm), they diagonalise F(P) within both spaces but for d, so every
        // eigenvalue of those blocks lies within d of theirs and the orbital
        // Hessian they give within 2d of P's own. With a gap of at least 2d
        // P is then the aufbau density of F(P), and the check, its virtual
        // levels read 2d lower, errs on the unstable side; else P's own
        // orbitals come from F(P), one more diagonalisation.
        const double drift =
            std::fabs(sigma) < 1e-12 ? frobenius_distance(own_fock, ws.fock) : kReusedOrbitalDriftEv + 1.0;
        ws.fock.copy_from(own_fock);
        fock_of_final = true;
        const double candidate = compute_electronic_energy(ws.density, ws.hcore, ws.fock);
        if (candidate + core_energy < lowest_energy) {
            lowest_energy = candidate + core_energy;
            ws.lowest_density.copy_from(ws.density);
        }
        const bool reused = drift <= kReusedOrbitalDriftEv && n_occ < n &&
                            ws.orbital_energies[n_occ] - ws.orbital_energies[n_occ - 1] >= 2.0 * drift;
        if (!reused) {
            orbitals_of_density(ws.density, ws.fock, n_occ, ws.diis_product, ws.eigensolver, ws.coefficients,
                                ws.orbital_energies);
        }
        last_shift = 0.0;
        const bool aufbau = n_occ >= n || reused ||
                            ws.orbital_energies[n_occ - 1] - ws.orbital_energies[n_occ] <=
                                std::max(kAufbauOverlapEv, options.energy_tolerance);
        const StabilityCheck check =
            check_orbital_stability(ws.coefficients, ws.orbital_energies, n_occ, reused ? 2.0 * drift : 0.0,
                                    fock_of_density, ws.stability, options.initial_rotation, kStabilityProducts,
                                    settled && aufbau);
        ws.lowest_hessian_eigenvalue = check.lowest_eigenvalue;
        // Reported unconverged: no verdict on a settled solution.
        if (settled && !check.decided) break;
        const bool locally_stable = settled && aufbau && check.stable;
        if (descents == kMaxDescents || result.iterations >= options.max_iterations) {
            result.converged = locally_stable;
            break;
        }
        // Down from the saddle point: a line search along the unstable
        // rotations; and beyond the local test, from any solution with a soft
        // mode or a small gap, the quarter turns along the soft modes and the
        // frontier pair (one iteration for all of them). A warm start follows
        // the solution it starts on without them: the driver that carries it
        // compares it with a start from the atomic guess where another one
        // may lie lower, and reports such a change.
        std::array<const double*, kMaxRitzRoots + 1> turns{};
        std::size_t n_turns = 0;
        bool frontier = false;
        if (check.decided && !options.initial_density) {
            const DavidsonWorkspace& modes = ws.stability.davidson;
            for (std::size_t k = 0; k < check.modes && check.mode_values[k] < kSoftModeEv; ++k) {
                turns[n_turns++] = k == 0 ? modes.ritz_vector.data() : modes.basis.row(k);
            }
            frontier = n_occ < n && ws.orbital_energies[n_occ] - ws.orbital_energies[n_occ - 1] < kSmallGapEv;
        }
        const bool saddle = !check.stable && check.decided;
        const bool tilted_zero_mode = saddle && settled && aufbau && check.lowest_eigenvalue > kZeroModeEv;
        if (tilted_zero_mode) {  // kept to be reported if the way down is a creep
            ws.lowest_density.copy_from(ws.density);
            lowest_energy = candidate + core_energy;
        }
        // A small settled saddle point (its whole Hessian built) is left
        // both ways, along the unstable rotations and from the lowest quarter
        // turn, when both lower the energy: the two ways can end at different
        // minima (Si2, AM1, at 2.5 and 2.75 angstrom, one each), and the
        // lower one is kept.
        const bool both_ways =
            saddle && settled && aufbau && !tilted_zero_mode && n_occ * (n - n_occ) <= kDenseStabilityPairs;
        double lowered = candidate;
        double turned = std::numeric_limits<double>::infinity();  // the other way's start, in ws.lowest_density
        if (saddle || n_turns > 0 || frontier) {
            ++result.iterations;
            fock_of_final = false;
        }
        if (saddle) {
            lowered = descend_along_unstable_rotation(ws.coefficients, n_occ, fock_of_density, candidate,
                                                      ws.stability, ws.density, ws.new_density, ws.diis_product,
                                                      check.unstable_directions);
        }
        if (frontier) {  // the unit rotation of the highest occupied into the lowest virtual orbital
            double* pair = ws.stability.gradient.data();
            std::fill(pair, pair + n_occ * (n - n_occ), 0.0);
            pair[(n_occ - 1) * (n - n_occ)] = 1.0;
            turns[n_turns++] = pair;
        }
        if (n_turns > 0) {
            const std::span<const double* const> rotations(turns.data(), n_turns);
            if (both_ways && lowered < candidate - kEnergyNoiseEv) {
                turned = lowest_quarter_turn(ws.coefficients, n_occ, fock_of_density, candidate, rotations,
                                             ws.stability, ws.lowest_density, ws.new_density, ws.diis_product);
                if (!(turned < candidate - kEnergyNoiseEv)) turned = std::numeric_limits<double>::infinity();
            } else {
                lowered = lowest_quarter_turn(ws.coefficients, n_occ, fock_of_density, lowered, rotations,
                                              ws.stability, ws.density, ws.new_density, ws.diis_product);
            }
        }
        // Where the energy no longer falls along the unstable rotations nor
        // at the quarter turns, a settled aufbau solution is accepted.
        if (!(lowered < candidate - kEnergyNoiseEv)) {
            if (settled && aufbau) {
                result.converged = true;
                break;
            }
            lowered = candidate;
        }
        // Newton steps down to the minimum below (from a saddle point, a
        // non-aufbau state or a stuck stage), to the run's own tolerance or
        // until they creep along a soft or zero mode (a symmetry-broken
        // fragment turning about its axis), and Pulay iterations confirm
        // it: converging quadratically, the steps finish where Pulay
        // extrapolation crawls.
        const double gradient_tolerance = 0.5 * options.density_tolerance;
        const auto newton_down = [&](double energy, std::size_t steps) {
            const std::size_t left = options.max_iterations - std::min(options.max_iterations, result.iterations);
            const NewtonDescent descent = descend_by_newton_steps(
                n_occ, fock_of_density, energy, gradient_tolerance, std::min(steps, left), ws.density,
                {ws.fock, ws.diis_product, ws.new_density, ws.coefficients, ws.orbital_energies, ws.eigensolver},
                ws.stability, options.energy_tolerance);
            result.iterations += descent.steps;
            return descent;
        };
        std::size_t newton_steps = kMaxNewtonSteps;
        if (turned < std::numeric_limits<double>::infinity()) {
            // Both ways a few steps down; the lower one goes on.
            const NewtonDescent first = newton_down(lowered, kProbeSteps);
            std::swap(ws.density, ws.lowest_density);  // the first way kept
            const NewtonDescent second = newton_down(turned, kProbeSteps);
            if (first.energy < second.energy) std::swap(ws.density, ws.lowest_density);
            lowest_energy = std::max(first.energy, second.energy) + core_energy;  // what ws.lowest_density holds
            lowered = std::min(first.energy, second.energy);
            newton_steps -= std::min(newton_steps, first.steps + second.steps);
        }
        if (tilted_zero_mode && lowered < candidate - kEnergyNoiseEv) {
            const NewtonDescent probe = newton_down(lowered, kZeroModeProbeSteps);
            if (candidate - probe.energy < kZeroModeFallEv) {
                // A creep along the tilted zero mode: the settled solution
                // stands, with its own Fock matrix and orbitals.
                std::swap(ws.density, ws.lowest_density);
                if (const auto dielectric = fock_of_density.build(ws.density, ws.fock)) {
                    result.cosmo_energy = dielectric;
                }
                diagonalize_symmetric(ws.fock, ws.eigensolver, ws.orbital_energies, ws.coefficients);
                fock_of_final = true;
                result.converged = true;
                break;
            }
            lowered = probe.energy;
            newton_steps -= std::min(newton_steps, probe.steps);
        }
        if (newton_steps > 0) newton_down(lowered, newton_steps);
        fock_of_final = false;
        aufbau_input = true;
        ++descents;
        ws.diis.reset();
        energy_guided = true;
        energy_guided_until = kEnergyGuidedUntilErrorEv;
        lowest_stage_energy = std::numeric_limits<double>::infinity();
        stage_iteration = 0;
        halving_error = std::numeric_limits<double>::infinity();
        halved_at = 0;
        risen = 0;
    }
    // Once a solution has been examined, the run reports the energy of its
    // final density with that density's own Fock matrix and solvent state:
    // variational, so a converged energy does not depend on the route the
    // iterations took (an extrapolated Fock matrix is in error first order
    // in its distance from self-consistency), and the examination's trial
    // densities leave nothing behind in the solvent state.
    if (checked && !fock_of_final) {
        if (const auto dielectric = fock_of_density.build(ws.density, ws.fock)) result.cosmo_energy = dielectric;
        fock_of_final = true;
    }
    // An unconverged run reports the lower of its last density and its
    // lowest-energy aufbau density, with that density's own Fock matrix and
    // the levels of it: never a Fock matrix extrapolated from elsewhere, nor
    // levels ordered by a block shift.
    if (!result.converged && result.iterations > 0) {
        if (!fock_of_final) {
            if (const auto dielectric = fock_of_density.build(ws.density, ws.fock)) result.cosmo_energy = dielectric;
        }
        if (lowest_energy < compute_electronic_energy(ws.density, ws.hcore, ws.fock) + core_energy) {
            ws.density.copy_from(ws.lowest_density);
            if (const auto dielectric = fock_of_density.build(ws.density, ws.fock)) result.cosmo_energy = dielectric;
        }
        diagonalize_symmetric(ws.fock, ws.eigensolver, ws.orbital_energies, ws.coefficients);
        last_shift = 0.0;
    }

    // The virtual levels without the level shift of the last iteration.
    if (last_shift > 0.0) {
        for (std::size_t i = n_occ; i < n; ++i) ws.orbital_energies[i] -= last_shift;
    }
    result.homo = ws.orbital_energies[n_occ - 1];
    result.lumo = n_occ >= n ? 0.0 : ws.orbital_energies[n_occ];
    result.electronic_energy = compute_electronic_energy(ws.density, ws.hcore, ws.fock);
    result.total_energy = result.electronic_energy + core_energy;
    result.core_energy = core_energy;
    return result;
}

}  // namespace quorin
