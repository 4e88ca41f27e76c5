#include "core/types/interruption.h"
#include "core/varnex/solver.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>

#include "core/gradients/heat_of_formation.h"
#include "core/integrals/core_repulsion.h"
#include "core/scf/scf_loop.h"
#include "core/varnex/hybrid.h"
#include "core/varnex/lewis.h"
#include "core/varnex/locmin.h"
#include "core/varnex/mixing.h"
#include "core/varnex/orthogonalize.h"
#include "core/varnex/sparse_fock.h"
#include "core/varnex/stability.h"

namespace quorin {

namespace {

// Weight of the newest density in the mixed density of the next Fock build.
constexpr double kNewDensityWeight = 0.65;
// Every this many iterations the couplings of all pairs are read, so that
// pairs beyond the cutoff that couple join the sweeps.
constexpr std::size_t kAllPairsInterval = 4;
// The sweeps of an iteration stop once the largest coupling has fallen to
// this fraction of the one the iteration started with: the Fock matrix
// changes afterwards anyway.
constexpr double kSweepReduction = 0.1;
// Pairs coupled below this fraction of an iteration's largest coupling wait
// for a later iteration.
constexpr double kFocus = 0.03;
// Moves down from unstable solutions in one run.
constexpr std::size_t kMaxDescents = 4;

double core_charge_of(const ParameterModel& model, std::uint8_t z) {
    const auto element = model.get_element(z);
    return element ? element->core_charge : 0.0;
}

// Atom tails are dropped where an orbital's block norm falls below this: a
// dropped tail leaves a coupling of about 20 eV times its norm, so this keeps
// the couplings it leaves well under jacobi_tol.
double prune_threshold(const VarnexConfig& config) { return std::clamp(0.02 * config.jacobi_tol, 1e-10, 1e-4); }

// Drops the atom blocks of each orbital whose norm falls below `threshold`,
// keeping them in `removed`.
void trim(std::vector<SparseVector>& orbitals, double threshold, std::vector<SparseVector>& removed) {
    removed.resize(orbitals.size());
    for (std::size_t k = 0; k < orbitals.size(); ++k) prune(orbitals[k], threshold, &removed[k]);
}

// Full symmetric re-orthonormalisation: occupied among themselves, virtuals
// made orthogonal to them and among themselves.
void orthonormalize_all(std::vector<SparseVector>& occupied, std::vector<SparseVector>& virtuals, double drop,
                        OrthogonalizationWorkspace& workspace) {
    orthonormalize(occupied, drop, workspace);
    project_out(occupied, virtuals, drop, workspace);
    orthonormalize(virtuals, drop, workspace);
}

// Valence electrons of each atom: the core charge of its element.
std::vector<std::size_t> valence_electrons(const MolecularBatch& molecule, const ParameterModel& model) {
    std::vector<std::size_t> valence(molecule.n_atoms);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        valence[a] = static_cast<std::size_t>(std::lround(std::max(core_charge_of(model, molecule.atomic_numbers[a]), 0.0)));
    }
    return valence;
}

// The orbitals of a split bond spread from its two ends over the atoms
// within this of them (angstrom). Between two C20H41 radicals 12 A apart,
// density blocks of atoms more than 15 A apart that were left out put the
// energy 7.6 meV above the whole calculation; with the atoms within 4 A of
// the ends holding them, 1.7 meV; within 6 A, 0.4 meV.
constexpr double kSplitBondTail = 6.0;

// Pairs of atoms that share density through a split bond however far apart:
// those within kSplitBondTail of its one end and of its other.
std::vector<std::pair<std::uint32_t, std::uint32_t>> split_bond_reach(
    const MolecularBatch& molecule, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& bonds) {
    const auto near = [&](std::uint32_t end) {
        std::vector<std::uint32_t> atoms;
        for (std::uint32_t k = 0; k < molecule.n_atoms; ++k) {
            const double dx = molecule.x[k] - molecule.x[end], dy = molecule.y[k] - molecule.y[end],
                         dz = molecule.z[k] - molecule.z[end];
            if (dx * dx + dy * dy + dz * dz <= kSplitBondTail * kSplitBondTail) atoms.push_back(k);
        }
        return atoms;
    };
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
    for (const auto& [a, b] : bonds) {
        const std::vector<std::uint32_t> near_a = near(a), near_b = near(b);
        for (const std::uint32_t x : near_a) {
            for (const std::uint32_t y : near_b) {
                if (x != y) pairs.emplace_back(x, y);
            }
        }
    }
    return pairs;
}

// What no run can start from.
std::optional<std::string> refusal(const MolecularBatch& molecule, const VarnexConfig& config) {
    if (molecule.n_atoms == 0) return "Molecule has no atoms";
    if (!(config.cutoff_distance > 0.0)) return "cutoff_distance must be a positive distance in angstrom";
    return std::nullopt;
}

}  // namespace

std::variant<VarnexResult, std::string> run_varnex_scf(const MolecularBatch& molecule, const ParameterModel& model,
                                                       DispersionModel dispersion, const VarnexConfig& config) {
    if (auto message = refusal(molecule, config)) return std::move(*message);
    const std::vector<std::size_t> valence = valence_electrons(molecule, model);
    auto perceived = perceive_lewis_structure(molecule, valence);
    if (auto* message = std::get_if<std::string>(&perceived)) return std::move(*message);
    return run_varnex_scf(molecule, model, dispersion, config, std::get<LewisStructure>(perceived));
}

std::variant<VarnexResult, std::string> run_varnex_scf(const MolecularBatch& molecule, const ParameterModel& model,
                                                       DispersionModel dispersion, const VarnexConfig& config,
                                                       const LewisStructure& lewis) {
    if (auto message = refusal(molecule, config)) return std::move(*message);
    auto initial = construct_initial_lmos(molecule, lewis);
    if (auto* message = std::get_if<std::string>(&initial)) return std::move(*message);
    std::vector<Lmo> occupied_records = std::move(std::get<InitialLmos>(initial).occupied);
    std::vector<Lmo> virtual_records = std::move(std::get<InitialLmos>(initial).virtuals);
    const std::size_t electrons = count_valence_electrons(molecule, model);
    if (2 * occupied_records.size() != electrons) {
        return "Localized orbitals hold " + std::to_string(2 * occupied_records.size()) +
               " electrons but the molecule has " + std::to_string(electrons) + " valence electrons";
    }

    LmoStability stability(molecule, occupied_records, virtual_records, config.cutoff_distance,
                           formal_charges(lewis, valence_electrons(molecule, model)));
    const auto pattern = std::make_shared<const AtomNeighbours>(
        AtomNeighbours::within(molecule, kReachAngstrom, split_bond_reach(molecule, stability.split_bonds())));
    SparseNddoFock fock_builder(molecule, model, pattern);
    const double e_nuc = compute_total_core_repulsion(molecule, model);

    std::vector<SparseVector> occupied, virtuals;
    for (const Lmo& lmo : occupied_records) occupied.push_back(to_sparse(molecule, lmo));
    for (const Lmo& lmo : virtual_records) virtuals.push_back(to_sparse(molecule, lmo));

    const double threshold = prune_threshold(config);
    // Pairs rotate from half the convergence bound up, so that the couplings
    // the sweeps leave stay clear of it under the next Fock matrix.
    const double rotation_tol = 0.5 * config.jacobi_tol;
    SparseTolerances tolerances;
    tolerances.rotation = 0.1 * threshold;
    tolerances.fock_product = 1e-6 * config.jacobi_tol;
    JacobiSweeper sweeper(molecule,
                          find_jacobi_candidates(molecule, occupied_records, virtual_records, config.cutoff_distance),
                          tolerances);
    OrthogonalizationWorkspace orthogonalization(molecule);
    std::vector<SparseVector> removed_occupied, removed_virtual;

    BlockMatrix p = BlockMatrix::zeros(pattern);
    BlockMatrix p_new = BlockMatrix::zeros(pattern);
    BlockMatrix f = BlockMatrix::zeros(pattern);
    build_density(occupied, p);
    // Total energy of a set of occupied orbitals, through p_new and f.
    const auto energy_of = [&](const std::vector<SparseVector>& orbitals) {
        build_density(orbitals, p_new);
        return e_nuc + fock_builder.build(p_new, f);
    };

    VarnexResult result;
    DensityMixer mixer(kNewDensityWeight, kMixingDepth);
    double e_el = 0.0, e_tot = 0.0, e_prev = 0.0;
    bool checked = false;
    bool final_orbitals_density = false;  // p holds the density of the orbitals as they are
    bool near = false;  // the last iteration started with every coupling below jacobi_tol
    // The solution before an exchange of a split bond's orbitals, kept
    // until the run shows where the exchange leads.
    struct Solution {
        std::vector<SparseVector> occupied, virtuals;
        double energy;
    };
    std::optional<Solution> before_exchange;
    std::size_t iteration = 0;
    while (iteration < config.max_iter) {
        check_interruption();
        ++iteration;
        e_el = fock_builder.build(p, f);
        e_tot = e_nuc + e_el;
        const double delta_e = std::abs(e_tot - e_prev);
        e_prev = e_tot;
        if (config.verbose) {
            std::printf("VARNEX Iteration %3zu: Etot = %.8f eV, DeltaE = %.8f eV\n", iteration, e_tot, delta_e);
            std::fflush(stdout);
        }
        // The largest coupling under this iteration's Fock matrix before the
        // orbitals rotate: of all pairs now and then, else of the candidates.
        double coupling = 0.0;
        std::size_t rotated = 0;
        if (config.max_jacobi_sweeps > 0) {
            const bool all_pairs = iteration == 1 || iteration % kAllPairsInterval == 0 || near;
            coupling = sweeper.start_iteration(f, occupied, virtuals, rotation_tol, all_pairs);
            // Far from self-consistency only the strongest couplings are worth
            // removing under a Fock matrix that will change anyway.
            double bound = std::max(rotation_tol, kFocus * coupling);
            for (std::size_t sweep = 1; sweep <= config.max_jacobi_sweeps; ++sweep) {
                const auto [rotations, largest] = sweeper.sweep(occupied, virtuals, config.damping, bound);
                if (sweep == 1 && !all_pairs) {
                    coupling = largest;
                    bound = std::max(rotation_tol, kFocus * coupling);
                }
                rotated += rotations;
                if (rotations == 0 || largest < std::max(bound, kSweepReduction * coupling)) break;
            }
        }
        if (rotated > 0) {
            trim(occupied, threshold, removed_occupied);
            trim(virtuals, threshold, removed_virtual);
            repair_orthonormality(occupied, virtuals, removed_occupied, removed_virtual, 0.1 * threshold, orthogonalization);
        }
        near = coupling < config.jacobi_tol;
        const bool settled = iteration > 1 && delta_e < config.energy_tol && coupling < config.jacobi_tol;
        if (settled) {
            // The final check takes the density of the orbitals themselves,
            // made exactly orthonormal.
            if (!final_orbitals_density) orthonormalize_all(occupied, virtuals, 0.01 * threshold, orthogonalization);
            build_density(occupied, p);
            final_orbitals_density = true;
        } else if (rotated == 0 || coupling < config.jacobi_tol) {
            // Near self-consistency the next Fock matrix takes the orbitals'
            // own density, unmixed.
            build_density(occupied, p);
            mixer.reset();
            final_orbitals_density = rotated == 0 && final_orbitals_density;
        } else {
            build_density(occupied, p_new);
            mixer.mix(p.values, p_new.values);
            final_orbitals_density = false;
        }
        if (settled) {
            // Every pair, under the Fock matrix of the orbitals' own density.
            const double e_final = fock_builder.build(p, f);
            const double largest = sweeper.check_all_pairs(f, occupied, virtuals, rotation_tol);
            result.largest_coupling = largest;
            e_el = e_final;
            e_tot = e_nuc + e_el;
            e_prev = e_tot;
            checked = true;
            if (largest < config.jacobi_tol) {
                const LmoStabilityCheck check = stability.check(f, p_new, fock_builder, occupied, virtuals);
                result.stable = check.stable;
                // No verdict is no proof: not converged.
                if (!check.decided) break;
                if (check.stable) {
                    // An exchange that led no lower: back to the solution
                    // it started from, which passed the check.
                    if (before_exchange && !(e_tot < before_exchange->energy - config.energy_tol)) {
                        occupied = std::move(before_exchange->occupied);
                        virtuals = std::move(before_exchange->virtuals);
                        before_exchange.reset();
                        checked = false;
                        final_orbitals_density = true;
                        result.converged = true;
                        break;
                    }
                    before_exchange.reset();
                    // Stable; but a split bond may hold its pair in the
                    // antibonding orbital, a minimum of its own: the
                    // exchange is tried, kept when the run ends lower.
                    if (!stability.find_antibonding_channel(p, fock_builder.core_hamiltonian(), config.energy_tol,
                                                            occupied, virtuals)) {
                        result.converged = true;
                        break;
                    }
                    if (result.descents == kMaxDescents) break;
                    before_exchange = Solution{occupied, virtuals, e_tot};
                    stability.exchange_antibonding_channel(occupied, virtuals);
                } else {
                    // Down along the rotation found, and on from there;
                    // after the last descent a run reports where it got.
                    const double lower = stability.descend(e_tot, energy_of, occupied, virtuals);
                    if (!(lower < e_tot)) break;
                    if (result.descents == kMaxDescents) {
                        checked = false;
                        final_orbitals_density = true;
                        break;
                    }
                    e_prev = lower;
                }
                ++result.descents;
                build_density(occupied, p);
                mixer.reset();
                final_orbitals_density = true;
                near = true;  // every pair read in the next iteration
                checked = false;
                continue;
            }
            // Without sweeps nothing can change any more.
            if (config.max_jacobi_sweeps == 0) break;
        } else {
            checked = false;
        }
    }

    // A run that ends during an exchange's trial reports the lower of the
    // two solutions.
    if (before_exchange) {
        build_density(occupied, p);
        if (!(e_nuc + fock_builder.build(p, f) < before_exchange->energy)) {
            occupied = std::move(before_exchange->occupied);
            virtuals = std::move(before_exchange->virtuals);
            final_orbitals_density = true;
        }
        checked = false;
    }
    // Unless the loop ended on a passed check, the reported density, energy
    // and coupling check are those of the final orbitals made orthonormal.
    if (iteration > 0 && !checked) {
        if (!final_orbitals_density) orthonormalize_all(occupied, virtuals, 0.01 * threshold, orthogonalization);
        build_density(occupied, p);
        e_el = fock_builder.build(p, f);
        e_tot = e_nuc + e_el;
        result.largest_coupling = sweeper.check_all_pairs(f, occupied, virtuals, config.jacobi_tol);
    }

    result.atomic_charges.resize(molecule.n_atoms);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const double* block = p.block(pattern->find(a, static_cast<std::uint32_t>(a)));
        double population = 0.0;
        for (std::size_t k = 0; k < molecule.orbitals_per_atom[a]; ++k) {
            population += block[k * molecule.orbitals_per_atom[a] + k];
        }
        result.atomic_charges[a] = core_charge_of(model, molecule.atomic_numbers[a]) - population;
    }
    const double e_disp = dispersion == kNoDispersion ? 0.0 : compute_dispersion_energy(molecule, dispersion);
    result.heat_of_formation = e_disp + compute_heat_of_formation_kcal_mol(molecule, model, e_tot);
    for (std::size_t k = 0; k < occupied.size(); ++k) write_to_lmo(molecule, occupied[k], occupied_records[k]);
    for (std::size_t k = 0; k < virtuals.size(); ++k) write_to_lmo(molecule, virtuals[k], virtual_records[k]);
    result.lmos = std::move(occupied_records);
    result.lmos.insert(result.lmos.end(), std::make_move_iterator(virtual_records.begin()),
                       std::make_move_iterator(virtual_records.end()));
    result.density = std::move(p);
    result.iterations = iteration;
    result.electronic_energy = e_el;
    result.nuclear_repulsion = e_nuc;
    result.total_energy = e_tot;
    return result;
}

}  // namespace quorin
