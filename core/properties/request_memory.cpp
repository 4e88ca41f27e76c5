#include "core/properties/request_memory.h"

#include <array>
#include <vector>

#include "core/ci/meci.h"
#include "core/ci/microstates.h"
#include "core/gradients/frozen_pair_energy.h"
#include "core/integrals/pair_integrals.h"
#include "core/properties/single_point.h"
#include "core/scf/staged_eigensolver.h"
#include "core/scf/workspace.h"
#include "core/solvation/cavity.h"
#include "core/varnex/sparse.h"
#include "core/varnex/solver.h"

namespace quorin {

namespace {

// Bookkeeping the heap adds to every block it hands out.
constexpr std::uint64_t kHeapBlockOverhead = 16;

// What a request adds to the process besides its own arrays: pages of the
// BLAS library's buffers first touched by large products, and heap pages
// that small blocks leave in use. Measured at 2 to 10 MiB above the counted
// arrays on single points, ESP fits, CI runs and geometry drivers.
constexpr std::uint64_t kRequestOverheadBytes = std::uint64_t{8} << 20;

MemoryPlan request_base() { return MemoryPlan().add_bytes(kRequestOverheadBytes); }

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
// and two electron-core vectors on the heap. Pairs without d orbitals keep the
// whole s,p block (10 x 10 and two of 10) whatever their orbital counts.
MemoryPlan pair_table(const MolecularBatch& molecule) {
    return over_atom_pairs(molecule, [](std::uint64_t a, std::uint64_t b) {
        const bool sp = a < 9 && b < 9;
        const std::uint64_t pa = n_pairs(sp ? 4 : a), pb = n_pairs(sp ? 4 : b);
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

// Fock, density, core Hamiltonian, coefficients, new density, the DIIS
// product and the lowest-energy density; a Fock and an error matrix per DIIS
// entry; the eigensolver's scratch of about two more; the carried density
// and rotation of the drivers' warm starts; the stability check's three
// matrices and its vectors over the occupied-virtual rotations (Davidson
// basis and images, the roots a second opinion is kept apart from, five
// more); the pair table of an NDDO run.
MemoryPlan scf_workspace(const MolecularBatch& molecule, bool use_nddo) {
    const std::uint64_t n = molecule.n_basis;
    const std::uint64_t rotations = (n / 2) * (n - n / 2) + 1;
    MemoryPlan plan;
    plan.add_matrices(7 + 2 * kScfDiisCapacity + 2 + 3 + 2, n, n);
    plan.add_matrices(2 * StabilityWorkspace::kSubspace + kMaxRitzRoots + 5, rotations, 1);
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
// one-centre charge distribution at every segment, for the segments of the
// cavity itself (built here: it costs a small part of the factorisation
// that follows, and buried segments make the cavity far smaller than 12 per
// hydrogen and 42 per other atom).
MemoryPlan solvent_matrices(const MolecularBatch& molecule) {
    std::uint64_t distributions = 0;
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) distributions += n_pairs(molecule.orbitals_per_atom[a]);
    const std::uint64_t segments =
        molecule.n_atoms == 0 ? 0 : CosmoCavity::construct(molecule, kSolventRadiusAngstrom).segments.size();
    return MemoryPlan().add_matrices(1, segments, segments).add_matrices(1, distributions, segments);
}

}  // namespace

MemoryPlan single_point_memory(const MolecularBatch& molecule, bool use_nddo, bool solvent) {
    MemoryPlan plan = request_base().add(scf_workspace(molecule, use_nddo)).add(gradient_workspace(molecule));
    plan.add(population_analysis(molecule));
    if (solvent) plan.add(solvent_matrices(molecule));
    return plan;
}

MemoryPlan driver_memory(const MolecularBatch& molecule, bool use_nddo, std::uint64_t scf_workspaces,
                         std::uint64_t cartesian_matrices, bool final_single_point, const DriverExtras& extras) {
    const std::uint64_t dimension = 3 * static_cast<std::uint64_t>(molecule.n_atoms);
    MemoryPlan plan = request_base().add(gradient_workspace(molecule));
    plan.add_items(scf_workspaces, scf_workspace(molecule, use_nddo).bytes());
    plan.add_matrices(cartesian_matrices, dimension, dimension);
    if (cartesian_matrices > 0) plan.add(hessian_base_data(molecule, use_nddo));
    plan.add_matrices(extras.kept_basis_matrices, molecule.n_basis, molecule.n_basis);
    MemoryPlan walk;
    if (extras.spare_scf_workspace) walk.add(scf_workspace(molecule, use_nddo));
    walk.add_matrices(extras.walk_basis_matrices, molecule.n_basis, molecule.n_basis);
    walk.add_items(extras.walk_atom_triples, saturating_product(molecule.n_atoms, 3 * sizeof(double)));
    const MemoryPlan final_point = final_single_point ? single_point_memory(molecule, use_nddo) : MemoryPlan();
    return plan.add(walk.bytes() > final_point.bytes() ? walk : final_point);
}

MemoryPlan frequencies_memory(const MolecularBatch& molecule, bool use_nddo) {
    return driver_memory(molecule, use_nddo, 1, 6, false).add_matrices(3, molecule.n_basis, molecule.n_basis);
}

MemoryPlan charges_memory(const MolecularBatch& molecule, bool use_nddo) {
    return request_base().add(scf_workspace(molecule, use_nddo)).add(population_analysis(molecule));
}

MemoryPlan esp_memory(const MolecularBatch& molecule, std::uint64_t shells, std::uint64_t points_per_shell) {
    const std::uint64_t points = saturating_product(saturating_product(molecule.n_atoms, shells), points_per_shell);
    // Each point's position and reference potential; the normal equations.
    MemoryPlan plan = request_base().add(scf_workspace(molecule, true));
    plan.add_items(points, 4 * sizeof(double));
    plan.add_matrices(1, molecule.n_atoms + 1, molecule.n_atoms + 1);
    return plan;
}

MemoryPlan ci_memory(const MolecularBatch& molecule, bool use_nddo, std::uint64_t active_orbitals) {
    const std::uint64_t microstates =
        count_microstates(static_cast<std::size_t>(active_orbitals), static_cast<std::size_t>(active_orbitals));
    // The CI matrix, its eigenvectors and the spin matrix; the eigensolver's
    // scratch of two more, or after it the states' copies of the eigenvectors
    // and their records; the SCF density,
    // state density and difference density; three dipole matrices; the CI
    // run's own pair table, released before the target root's gradient makes
    // its own. The gradient holds 14 matrices of the basis size for the
    // orbital response and the relaxed densities, and the root's densities and
    // integral weights over the window.
    MemoryPlan plan = request_base().add(scf_workspace(molecule, use_nddo)).add(gradient_workspace(molecule));
    plan.add_matrices(3, microstates, microstates);
    const auto order = static_cast<std::size_t>(microstates);
    plan.add_doubles(staged_eigensolver_real_work(order));
    plan.add_items(staged_eigensolver_integer_work(order), sizeof(std::int32_t));
    // Per state: its record in the engine and in the result object (with the
    // object's own header), and its microstate.
    plan.add_items(microstates, 2 * sizeof(CiState) + sizeof(Microstate) + 64);
    plan.add_matrices(6, molecule.n_basis, molecule.n_basis);
    if (use_nddo) plan.add(pair_table(molecule));
    plan.add_matrices(14, molecule.n_basis, molecule.n_basis);
    const std::uint64_t window_pairs = saturating_product(active_orbitals, active_orbitals);
    plan.add_doubles(saturating_product(5, saturating_product(window_pairs, window_pairs)));
    plan.add_matrices(3, molecule.n_basis, active_orbitals);
    return plan;
}

MemoryPlan localized_orbital_memory(const MolecularBatch& molecule) {
    // The Coulomb integrals between the one-centre charge distributions of
    // every two atoms: the long-range part of every Fock matrix, kept for the
    // whole run, and the one table that grows with the square of the size.
    std::uint64_t distributions_before = 0, coulomb = 0;
    for (const std::uint8_t orbitals : molecule.orbitals_per_atom) {
        coulomb = saturating_sum(coulomb, saturating_product(n_pairs(orbitals), distributions_before));
        distributions_before += n_pairs(orbitals);
    }
    // Everything else lives on the atoms within reach of each other: the
    // neighbour pattern, the block matrices (core Hamiltonian, density, new
    // density, Fock and the mixing history), the orbitals, the rotation
    // candidates and the stability check's vectors. On all-trans alkanes of
    // 902 to 3,002 atoms the measured peak above the Coulomb table is 64 to
    // 69 block matrices of the pattern's size; counted as 80.
    // The pattern is counted, not built: a refusal stays quick.
    constexpr std::uint64_t kBlockMatrixEquivalents = 80;
    std::vector<std::array<double, 3>> positions(molecule.n_atoms);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) positions[a] = {molecule.x[a], molecule.y[a], molecule.z[a]};
    const PointGrid grid(positions, kReachAngstrom);
    std::vector<std::uint32_t> found;
    std::uint64_t neighbours = 0, values = 0;
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        found.clear();
        grid.collect(positions[a], found);
        neighbours += found.size();
        for (const std::uint32_t b : found) {
            values += static_cast<std::uint64_t>(molecule.orbitals_per_atom[a]) * molecule.orbitals_per_atom[b];
        }
    }
    return request_base()
        .add_doubles(coulomb)
        .add_items(neighbours, sizeof(std::uint32_t) + 2 * sizeof(std::size_t))
        .add_doubles(saturating_product(kBlockMatrixEquivalents, values));
}

}  // namespace quorin
