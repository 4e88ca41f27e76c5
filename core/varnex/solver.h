#pragma once
// The localized-orbital closed-shell SCF: the occupied space is held as
// localized orbitals from a Lewis structure and improved by Jacobi rotations
// against nearby virtual orbitals under each iteration's NDDO Fock matrix,
// without ever diagonalising it.
#include <cstddef>
#include <string>
#include <variant>
#include <vector>

#include "core/corrections/dispersion.h"
#include "core/parameters/parameter_model.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"
#include "core/varnex/types.h"

namespace quorin {

// No dispersion term.
inline constexpr DispersionModel kNoDispersion = 0xFF;

struct VarnexConfig {
    std::size_t max_iter = 200;          // 0 runs none
    std::size_t max_jacobi_sweeps = 50;  // per iteration; 0 runs none
    double energy_tol = 1e-7;            // eV, change of the total energy
    double jacobi_tol = 1e-4;            // eV, coupling above which a pair rotates
    double cutoff_distance = 8.5;        // angstrom, between orbital centroids
    double damping = 1.0;                // factor on every rotation angle
    bool verbose = false;                // one progress line per iteration on standard output
};

struct VarnexResult {
    std::vector<Lmo> lmos;               // occupied, then virtual
    std::vector<double> atomic_charges;  // e, core charge minus diagonal population
    Matrix density;                      // 2 sum c c^T over the final occupied orbitals
    std::size_t iterations = 0;
    double electronic_energy = 0.0;      // eV
    double nuclear_repulsion = 0.0;      // eV
    double total_energy = 0.0;           // eV, electronic + core repulsion, no dispersion
    double heat_of_formation = 0.0;      // kcal/mol, dispersion included
    bool converged = false;
};

// Refuses, before any iteration, a Lewis structure whose localized orbitals
// cannot describe the molecule: a one-orbital atom with several bonds, or
// occupied orbitals holding another number of electrons than the valence
// electrons. Non-convergence is reported in `converged`.
std::variant<VarnexResult, std::string> run_varnex_scf(const MolecularBatch& molecule, const ParameterModel& model,
                                                       DispersionModel dispersion, const VarnexConfig& config);

}  // namespace quorin
