#pragma once
// The closed-shell restricted Hartree-Fock SCF: neutral-atom guess, then
// Fock build, Pulay extrapolation, level shift, diagonalisation and damped
// density update until energy and density settle.
#include <array>
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "core/hamiltonian/external_charges.h"
#include "core/parameters/parameter_model.h"
#include "core/scf/workspace.h"
#include "core/types/molecule.h"

namespace quorin {

struct ScfOptions {
    // (dielectric constant, solvent radius in angstrom): continuum solvation.
    std::optional<std::pair<double, double>> cosmo;
    // Uniform field, V/angstrom, about the centre of mass.
    std::optional<std::array<double, 3>> electric_field;
    // Point charges (x, y, z in angstrom, q in elementary charges).
    std::optional<std::vector<PointCharge>> external_charges;
    std::size_t max_iterations = 60;
    double energy_tolerance = 1e-7;   // eV, change of the total energy
    // Largest density change; the largest commutator (DIIS) error must be
    // within 20 eV times it (an orbital-energy difference times a rotation).
    double density_tolerance = 1e-6;
    double level_shift = 0.0;         // eV; 0 selects the automatic late shift
    double damping = 0.5;             // weight of the old density
    bool use_nddo = true;             // NDDO pair integrals, else gamma-only
    // Start from this density (n_basis x n_basis) instead of the atomic guess.
    const Matrix* initial_density = nullptr;
    // Start the stability check from this rotation, the lowest one of an
    // earlier solution nearby, as C_o X C_v^T (see lowest_rotation).
    const Matrix* initial_rotation = nullptr;
    // The workspace already holds the pair table (NDDO runs) and the core
    // Hamiltonian before any external term of this geometry and model, as
    // a caller that knows what moved can update them: the run does not
    // build them.
    bool core_tables_ready = false;
};

struct ScfResult {
    std::optional<double> cosmo_energy;  // eV, dielectric energy of the last iteration
    std::size_t iterations = 0;
    double total_energy = 0.0;       // eV, electronic + core
    double electronic_energy = 0.0;  // eV, 0.5 sum P (H + F)
    double core_energy = 0.0;        // eV, core repulsion plus solvent, field and charge terms
    double homo = 0.0;               // eV
    double lumo = 0.0;               // eV, without the level shift; 0 with no virtual orbital
    bool converged = false;
};

// Sum of the core charges of the atoms the model knows, rounded half away
// from zero (0 when not positive, saturated into size_t). The SCF occupies
// half of it.
std::size_t count_valence_electrons(const MolecularBatch& molecule, const ParameterModel& model);

// Runs one SCF in `workspace` (allocated for the molecule's basis size).
// Converged means: the changes of the energy and the density and the
// commutator error all below their tolerances, the final density the aufbau
// density of its own Fock matrix, no orbital-Hessian eigenvalue there below
// kUnstableEigenvalueEv (core/scf/stability.h), or no lower energy along the
// unstable rotations found, or, with the lowest above -1e-3 eV, less than
// 1 meV gained by three Newton steps down (a tilted zero mode), and, in a
// run from the atomic guess with a mode
// below 0.5 eV or a frontier gap below 5 eV, no lower energy at the quarter
// turns along those modes and the frontier pair (lowest_quarter_turn; a
// warm start follows its solution, its driver compares): a local minimum
// among closed-shell solutions, not necessarily the lowest. The workspace then
// holds that density, its Fock matrix and its orbitals (unshifted). An
// unconverged run leaves the lower of its last density and its
// lowest-energy aufbau density, with that density's own Fock matrix and
// orbitals, and reports their energy and levels. Every count, the
// iterations after a descent from a saddle point included, stays within
// max_iterations. Non-convergence only leaves `converged` false. Stops with
// "System must have at least one electron pair for closed-shell RHF" for
// fewer than two electrons, and with a message naming the input when
// coordinates, field components, point charges or the damping are not
// finite.
ScfResult run_rhf_scf_with_options(const MolecularBatch& molecule, const ParameterModel& model,
                                   ScfWorkspace& workspace, const ScfOptions& options);

}  // namespace quorin
