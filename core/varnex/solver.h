#pragma once
// The localized-orbital closed-shell SCF: the occupied space is held as
// localized orbitals from a Lewis structure and improved by Jacobi rotations
// against nearby virtual orbitals under each iteration's NDDO Fock matrix,
// without ever diagonalising it. Orbitals, density and Fock matrix are kept
// sparse (orbital tails below a threshold dropped, matrices only between
// atoms within reach), so the work grows linearly with the molecule beyond
// the two-centre integrals and Coulomb sums over atom pairs.
#include <cstddef>
#include <string>
#include <variant>
#include <vector>

#include "core/corrections/dispersion.h"
#include "core/parameters/parameter_model.h"
#include "core/types/molecule.h"
#include "core/varnex/lewis.h"
#include "core/varnex/sparse.h"
#include "core/varnex/types.h"

namespace quorin {

// No dispersion term.
inline constexpr DispersionModel kNoDispersion = 0xFF;

// Densities remembered by the SCF's density mixing.
inline constexpr std::size_t kMixingDepth = 6;

// Atoms further apart than this share no density or Fock block: the
// resonance integrals there are below 1e-10 eV and the density between them
// below about 1e-5.
inline constexpr double kReachAngstrom = 15.0;

struct VarnexConfig {
    std::size_t max_iter = 200;          // 0 runs none
    std::size_t max_jacobi_sweeps = 50;  // per iteration; 0 runs none
    double energy_tol = 1e-7;            // eV, change of the total energy
    double jacobi_tol = 1e-4;            // eV, bound on every coupling when converged; pairs rotate above half of it
    double cutoff_distance = 8.5;        // angstrom: pairs with centroids this close are swept from the start; > 0
    double damping = 1.0;                // factor on every rotation angle
    bool verbose = false;                // one progress line per iteration on standard output
};

struct VarnexResult {
    std::vector<Lmo> lmos;               // occupied, then virtual
    std::vector<double> atomic_charges;  // e, core charge minus diagonal population
    BlockMatrix density;                 // 2 sum c c^T over the final occupied orbitals, atoms within reach
    std::size_t iterations = 0;
    double electronic_energy = 0.0;      // eV, of the final density
    double nuclear_repulsion = 0.0;      // eV
    double total_energy = 0.0;           // eV, electronic + core repulsion, no dispersion
    double heat_of_formation = 0.0;      // kcal/mol, dispersion included
    // The energy settled (change below energy_tol); checked once at the end
    // with the Fock matrix of the final density, no occupied-virtual pair
    // couples above jacobi_tol, within the cutoff or beyond it; no rotation
    // among the pi bonds and the orbitals of split bonds lowers the energy
    // (core/varnex/stability.h); and no split bond holds its pair in an
    // antibonding orbital, or exchanging it led no lower.
    bool converged = false;
    double largest_coupling = 0.0;       // eV, that final check
    bool stable = true;                  // false: the last stability check found a way down or reached no verdict
    std::size_t descents = 0;            // moves down from unstable solutions and exchanges tried
};

// Refuses, before any iteration and with the reason: a molecule without
// atoms, a cutoff_distance that is not positive, a molecule without a
// closed-shell Lewis structure (see perceive_lewis_structure), and
// localized orbitals that would hold another number of electrons than the
// model's valence electrons. Non-convergence is reported in `converged`.
// When a converged solution is unstable, the orbitals move down along the
// rotation found and the SCF goes on from there (after the last move allowed
// the run ends there, not converged); so it does after exchanging the
// orbitals of a split bond that holds its pair in the antibonding one, and
// returns to the solution before when it ends no lower.
std::variant<VarnexResult, std::string> run_varnex_scf(const MolecularBatch& molecule, const ParameterModel& model,
                                                       DispersionModel dispersion, const VarnexConfig& config);

// The same from the starting orbitals of a given Lewis structure on the
// molecule's atoms.
std::variant<VarnexResult, std::string> run_varnex_scf(const MolecularBatch& molecule, const ParameterModel& model,
                                                       DispersionModel dispersion, const VarnexConfig& config,
                                                       const LewisStructure& lewis);

}  // namespace quorin
