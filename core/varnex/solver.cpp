#include "core/types/interruption.h"
#include "core/varnex/solver.h"

#include <cmath>
#include <cstdio>

#include "core/fock/fock_builder.h"
#include "core/gradients/heat_of_formation.h"
#include "core/hamiltonian/hcore.h"
#include "core/integrals/core_repulsion.h"
#include "core/integrals/pair_integrals.h"
#include "core/scf/density.h"
#include "core/scf/scf_loop.h"
#include "core/varnex/hybrid.h"
#include "core/varnex/lewis.h"
#include "core/varnex/locmin.h"
#include "core/varnex/orthogonalize.h"

namespace quorin {

namespace {

// Weight of the newest density in the mixed density of the next Fock build.
constexpr double kNewDensityWeight = 0.65;

double core_charge_of(const ParameterModel& model, std::uint8_t z) {
    const auto element = model.get_element(z);
    return element ? element->core_charge : 0.0;
}

}  // namespace

std::variant<VarnexResult, std::string> run_varnex_scf(const MolecularBatch& molecule, const ParameterModel& model,
                                                       DispersionModel dispersion, const VarnexConfig& config) {
    const std::size_t n = molecule.n_basis;
    const LewisStructure lewis = construct_lewis_structure(molecule);
    auto initial = construct_initial_lmos(molecule, lewis);
    if (auto* message = std::get_if<std::string>(&initial)) return std::move(*message);
    std::vector<Lmo> occupied = std::move(std::get<InitialLmos>(initial).occupied);
    std::vector<Lmo> virtuals = std::move(std::get<InitialLmos>(initial).virtuals);

    const std::size_t electrons = count_valence_electrons(molecule, model);
    if (2 * occupied.size() != electrons) {
        return "Localized orbitals hold " + std::to_string(2 * occupied.size()) + " electrons but the molecule has " +
               std::to_string(electrons) + " valence electrons";
    }

    const std::vector<DiatomicPairIntegrals> pairs = precompute_diatomic_pairs(molecule, model);
    const OneCenterTables one_center = OneCenterTables::build(molecule, model);
    Matrix h = Matrix::zeros(n, n);
    build_hcore_nddo(molecule, model, pairs, h);
    const double e_nuc = compute_total_core_repulsion(molecule, model);

    OrthogonalizationWorkspace orthogonalization;
    orthogonalize_occupied_lmos(n, occupied, orthogonalization);
    Matrix p = Matrix::zeros(n, n);
    Matrix density_columns;
    construct_density_from_lmos(occupied, p, density_columns);
    Matrix f = Matrix::zeros(n, n);
    Matrix p_new = Matrix::zeros(n, n);
    // Which pairs may rotate depends on the orbitals' atoms only.
    const auto candidates = find_jacobi_candidates(molecule, occupied, virtuals, config.cutoff_distance);
    JacobiWorkspace jacobi;

    VarnexResult result;
    double e_el = 0.0, e_tot = 0.0, e_prev = 0.0;
    std::size_t iteration = 0;
    while (iteration < config.max_iter) {
        check_interruption();
        ++iteration;
        build_fock_nddo(molecule, model, one_center, pairs, h, p, f);
        e_el = compute_electronic_energy(p, h, f);
        e_tot = e_nuc + e_el;
        const double delta_e = std::abs(e_tot - e_prev);
        if (config.verbose) {
            std::printf("VARNEX Iteration %3zu: Etot = %.8f eV, DeltaE = %.8f eV\n", iteration, e_tot, delta_e);
            std::fflush(stdout);
        }
        double coupling = 0.0;
        if (config.max_jacobi_sweeps > 0) compute_fock_products(occupied, virtuals, f, jacobi);
        for (std::size_t sweep = 1; sweep <= config.max_jacobi_sweeps; ++sweep) {
            const auto [rotations, largest] = execute_jacobi_sweep(occupied, virtuals, candidates, jacobi, config);
            coupling = largest;
            if (rotations == 0 || largest < config.jacobi_tol) break;
        }
        orthogonalize_occupied_lmos(n, occupied, orthogonalization);
        construct_density_from_lmos(occupied, p_new, density_columns);
        for (std::size_t k = 0; k < n * n; ++k) {
            p.data()[k] = kNewDensityWeight * p_new.data()[k] + (1.0 - kNewDensityWeight) * p.data()[k];
        }
        if (iteration > 1 && delta_e < config.energy_tol && coupling < config.jacobi_tol) {
            result.converged = true;
            break;
        }
        e_prev = e_tot;
    }

    // The reported density is that of the final orbitals, not the mixed one.
    construct_density_from_lmos(occupied, p, density_columns);
    result.atomic_charges.resize(molecule.n_atoms);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const double population = diagonal_population(molecule, p, a);
        result.atomic_charges[a] = core_charge_of(model, molecule.atomic_numbers[a]) - population;
    }
    const double e_disp = dispersion == kNoDispersion ? 0.0 : compute_dispersion_energy(molecule, dispersion);
    result.heat_of_formation = e_disp + compute_heat_of_formation_kcal_mol(molecule, model, e_tot);
    result.lmos = std::move(occupied);
    result.lmos.insert(result.lmos.end(), std::make_move_iterator(virtuals.begin()),
                       std::make_move_iterator(virtuals.end()));
    result.density = std::move(p);
    result.iterations = iteration;
    result.electronic_energy = e_el;
    result.nuclear_repulsion = e_nuc;
    result.total_energy = e_tot;
    return result;
}

}  // namespace quorin
