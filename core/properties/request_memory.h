#pragma once
// What each request holds in memory at its peak, added up from the molecule
// before any workspace of its size exists. Each entry point passes its plan
// to require_memory (core/types/memory_plan.h) right after its input checks.
#include <cstdint>

#include "core/types/memory_plan.h"
#include "core/types/molecule.h"

namespace quorin {

// One SCF with gradients, charges and dipole (calculate and the final single
// point of the geometry drivers), with `solvent` in a dielectric continuum.
MemoryPlan single_point_memory(const MolecularBatch& molecule, bool use_nddo, bool solvent = false);

// What a geometry driver holds besides its workspaces and Cartesian
// matrices: while it walks (released before its final single point) and
// through to its end.
struct DriverExtras {
    // The spare SCF workspace where an SCF from the atomic guess checks the
    // solution followed.
    bool spare_scf_workspace = false;
    // Matrices of the basis size while it walks: the start density of an
    // exact Hessian, the solution at a transition state, the dynamics'
    // density history.
    std::uint64_t walk_basis_matrices = 0;
    // Per-atom triples while it walks: the dynamics' checkpoint.
    std::uint64_t walk_atom_triples = 0;
    // Matrices of the basis size kept through the final single point: the
    // solution it starts from.
    std::uint64_t kept_basis_matrices = 0;
};

// `scf_workspaces` SCF workspaces with the gradient workspace that drivers
// hold for every geometry they visit, and `cartesian_matrices` square
// matrices of order 3 x atoms (Hessians, their eigenvectors and scratch);
// with any of those, what the Hessian keeps of its base geometry; and
// `extras`. With `final_single_point` the single point at the driver's last
// geometry runs while they are held, after what the walk alone holds is
// released (the larger of the two counts).
MemoryPlan driver_memory(const MolecularBatch& molecule, bool use_nddo, std::uint64_t scf_workspaces,
                         std::uint64_t cartesian_matrices, bool final_single_point, const DriverExtras& extras = {});

// The vibrational analysis (frequencies): the driver's workspaces and six
// Cartesian matrices, and the base density, base lowest rotation and start
// density that its displaced SCFs begin from.
MemoryPlan frequencies_memory(const MolecularBatch& molecule, bool use_nddo);

// An SCF with a population analysis (AM1-BCC charges).
MemoryPlan charges_memory(const MolecularBatch& molecule, bool use_nddo);

// An SCF and the electrostatic-potential grid of `points_per_shell` points
// per atom on each of `shells` shells.
MemoryPlan esp_memory(const MolecularBatch& molecule, std::uint64_t shells, std::uint64_t points_per_shell);

// An SCF, the CI over `active_orbitals` orbitals with as many electrons, its
// state densities and transition dipoles, and the state gradients.
MemoryPlan ci_memory(const MolecularBatch& molecule, bool use_nddo, std::uint64_t active_orbitals);

// The localized-orbital SCF: its matrices over atoms within reach (bounded
// by dense ones), its mixing history and the pair table.
MemoryPlan localized_orbital_memory(const MolecularBatch& molecule);

}  // namespace quorin
