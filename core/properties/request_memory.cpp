#include "core/properties/request_memory.h"

#include <array>

#include "core/ci/microstates.h"
#include "core/gradients/frozen_pair_energy.h"
#include "core/integrals/pair_integrals.h"
#include "core/scf/workspace.h"
#include "core/varnex/solver.h"

namespace quorin {

namespace {

// Bookkeeping the heap adds to every block it hands out.
constexpr std::uint64_t kHeapBlockOverhead = 16;

// Sum over the atom pairs of bytes(orbitals of one atom, orbitals of the
// other), grouped by the orbital counts 1, 4 and 9.
template <typename BytesOfPair>
MemoryPlan over_atom_pairs(const MolecularBatch& molecule, BytesOfPair bytes_of_pair) {
    constexpr std::array<std::uint64_t, 3> kOrbitals = {1, 4, 9};
    std::array<std::uint64_t, 3> atoms{};
    for (const std::uint8_t orbitals : molecule.orbitals_per_atom) {
        for (std::size_t kind = 0; kind < kOrbitals.size(); ++kind) {
            if (orbitals == kOrbitals[kind]) ++atoms[kind];
        }
    }
    MemoryPlan plan;
    for (std::size_t a = 0; a < kOrbitals.size(); ++a) {
        for (std::size_t b = a; b < kOrbitals.size(); ++b) {
            const std::uint64_t pairs = a == b ? saturating_product(atoms[a], atoms[a] > 0 ? atoms[a] - 1 : 0) / 2
                                               : saturating_product(atoms[a], atoms[b]);
            plan.add_items(pairs, bytes_of_pair(kOrbitals[a], kOrbitals[b]));
        }
    }
    return plan;
}

// The NDDO pair table: one record per atom pair, each with its integral block
// and two electron-core vectors on the heap.
MemoryPlan pair_table(const MolecularBatch& molecule) {
    return over_atom_pairs(molecule, [](std::uint64_t a, std::uint64_t b) {
        const std::uint64_t pa = n_pairs(a), pb = n_pairs(b);
        return sizeof(DiatomicPairIntegrals) + 3 * kHeapBlockOverhead + sizeof(double) * (pa * pb + pa + pb);
    });
}

// What a Hessian keeps of its base geometry for the displaced evaluations:
// the core Hamiltonian without the attractions, the orbitals and their
// transpose, the response vectors (at most one more matrix); three sets of
// frozen-energy term derivatives and an offset per atom pair.
MemoryPlan hessian_base_data(const MolecularBatch& molecule, bool use_nddo) {
    MemoryPlan plan = over_atom_pairs(molecule, [&](std::uint64_t a, std::uint64_t b) {
        return sizeof(double) * 3 * frozen_pair_term_count(a, b, use_nddo) + sizeof(std::size_t);
    });
    return plan.add_matrices(4, molecule.n_basis, molecule.n_basis);
}

// Fock, density, core Hamiltonian, coefficients, new density and the DIIS
// product; a Fock and an error matrix per DIIS entry; the eigensolver's
// scratch of about two more; the carried density and rotation of the
// drivers' warm starts; the stability check's three matrices and its
// vectors over the occupied-virtual rotations (Davidson basis and images,
// five more); the pair table of an NDDO run.
MemoryPlan scf_workspace(const MolecularBatch& molecule, bool use_nddo) {
    const std::uint64_t n = molecule.n_basis;
    const std::uint64_t rotations = (n / 2) * (n - n / 2) + 1;
    MemoryPlan plan;
    plan.add_matrices(6 + 2 * kScfDiisCapacity + 2 + 3 + 2, n, n);
    plan.add_matrices(2 * StabilityWorkspace::kSubspace + 5, rotations, 1);
    if (use_nddo) plan.add(pair_table(molecule));
    return plan;
}

// The two matrices of the finite-difference gradients.
MemoryPlan gradient_workspace(const MolecularBatch& molecule) {
    return MemoryPlan().add_matrices(2, molecule.n_basis, molecule.n_basis);
}

// Overlap, its eigenvectors and eigensolver scratch, S^-1/2, the transformed
// coefficients, density and population matrix.
MemoryPlan population_analysis(const MolecularBatch& molecule) {
    return MemoryPlan().add_matrices(8, molecule.n_basis, molecule.n_basis);
}

// The continuum's segment interaction matrix and the potentials of every
// one-centre charge distribution at every segment, for the most segments the
// cavity can have: 12 on each hydrogen sphere and 42 on every other.
MemoryPlan solvent_matrices(const MolecularBatch& molecule) {
    std::uint64_t segments = 0, distributions = 0;
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        segments += molecule.atomic_numbers[a] == 1 ? 12 : 42;
        distributions += n_pairs(molecule.orbitals_per_atom[a]);
    }
    return MemoryPlan().add_matrices(1, segments, segments).add_matrices(1, distributions, segments);
}

}  // namespace

MemoryPlan single_point_memory(const MolecularBatch& molecule, bool use_nddo, bool solvent) {
    MemoryPlan plan = scf_workspace(molecule, use_nddo).add(gradient_workspace(molecule));
    plan.add(population_analysis(molecule));
    if (solvent) plan.add(solvent_matrices(molecule));
    return plan;
}

MemoryPlan driver_memory(const MolecularBatch& molecule, bool use_nddo, std::uint64_t scf_workspaces,
                         std::uint64_t cartesian_matrices, bool final_single_point) {
    const std::uint64_t dimension = 3 * static_cast<std::uint64_t>(molecule.n_atoms);
    MemoryPlan plan = gradient_workspace(molecule);
    plan.add_items(scf_workspaces, scf_workspace(molecule, use_nddo).bytes());
    plan.add_matrices(cartesian_matrices, dimension, dimension);
    if (cartesian_matrices > 0) plan.add(hessian_base_data(molecule, use_nddo));
    if (final_single_point) plan.add(single_point_memory(molecule, use_nddo));
    return plan;
}

MemoryPlan frequencies_memory(const MolecularBatch& molecule, bool use_nddo) {
    return driver_memory(molecule, use_nddo, 1, 6, false).add_matrices(3, molecule.n_basis, molecule.n_basis);
}

MemoryPlan charges_memory(const MolecularBatch& molecule, bool use_nddo) {
    return scf_workspace(molecule, use_nddo).add(population_analysis(molecule));
}

MemoryPlan esp_memory(const MolecularBatch& molecule, std::uint64_t shells, std::uint64_t points_per_shell) {
    const std::uint64_t points = saturating_product(saturating_product(molecule.n_atoms, shells), points_per_shell);
    // Each point's position and reference potential; the normal equations.
    MemoryPlan plan = scf_workspace(molecule, true);
    plan.add_items(points, 4 * sizeof(double));
    plan.add_matrices(1, molecule.n_atoms + 1, molecule.n_atoms + 1);
    return plan;
}

MemoryPlan ci_memory(const MolecularBatch& molecule, bool use_nddo, std::uint64_t active_orbitals) {
    const std::uint64_t microstates =
        count_microstates(static_cast<std::size_t>(active_orbitals), static_cast<std::size_t>(active_orbitals));
    // The CI matrix, its eigenvectors and the spin matrix; the SCF density,
    // state density and difference density; three dipole matrices; the CI
    // run's own pair table, released before the target root's gradient makes
    // its own. The gradient holds 14 matrices of the basis size for the
    // orbital response and the relaxed densities, and the root's densities and
    // integral weights over the window.
    MemoryPlan plan = scf_workspace(molecule, use_nddo).add(gradient_workspace(molecule));
    plan.add_matrices(3, microstates, microstates);
    plan.add_matrices(6, molecule.n_basis, molecule.n_basis);
    if (use_nddo) plan.add(pair_table(molecule));
    plan.add_matrices(14, molecule.n_basis, molecule.n_basis);
    const std::uint64_t window_pairs = saturating_product(active_orbitals, active_orbitals);
    plan.add_doubles(saturating_product(5, saturating_product(window_pairs, window_pairs)));
    plan.add_matrices(3, molecule.n_basis, active_orbitals);
    return plan;
}

MemoryPlan localized_orbital_memory(const MolecularBatch& molecule) {
    // The two-centre integrals of every atom pair; the core Hamiltonian,
    // density, new density and Fock matrix and the mixing history (an input
    // and a residual per remembered iteration), held for atoms within reach
    // of each other: for a compact molecule nearly dense, so counted dense.
    return MemoryPlan()
        .add_matrices(4 + 2 * kMixingDepth, molecule.n_basis, molecule.n_basis)
        .add(pair_table(molecule));
}

}  // namespace quorin
