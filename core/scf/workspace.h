#pragma once
// Every matrix of one closed-shell SCF, allocated once per basis size and
// reused across iterations, SCF runs and geometries.
#include <cstddef>
#include <optional>
#include <vector>

#include "core/integrals/pair_integrals.h"
#include "core/scf/diis.h"
#include "core/scf/eigensolver.h"
#include "core/scf/energy_diis.h"
#include "core/scf/stability.h"
#include "core/solvation/cosmo.h"
#include "core/types/aligned.h"

namespace quorin {

inline constexpr std::size_t kScfDiisCapacity = 6;

struct ScfWorkspace {
    Matrix fock;              // last Fock matrix diagonalised
    Matrix density;           // current (at exit: final) density, trace 2 n_occ
    Matrix hcore;             // core Hamiltonian with any external terms
    Matrix coefficients;      // MO coefficients, one orbital per column
    Vec64 orbital_energies;   // eV, ascending
    Matrix new_density;       // density of the newest orbitals, before damping
    Matrix diis_product;      // scratch: F P for the DIIS error
    Matrix lowest_density;    // the run's lowest-energy aufbau density
    DiisWorkspace diis;
    EnergyDiis energy_diis;                    // energy traces over the same history
    EigensolverWorkspace eigensolver;          // diagonalisation scratch of this basis size
    StabilityWorkspace stability;              // orbital-Hessian scratch of the stability check
    std::vector<DiatomicPairIntegrals> pairs;  // NDDO pair table of the last NDDO run
    std::optional<CosmoState> cosmo;           // solvent state of the last run, none in the gas phase
    // What a driver's next SCF at a nearby geometry starts from: the last
    // converged density, its check's lowest rotation and its coordinates.
    Matrix carried_density;
    Matrix carried_rotation;
    std::vector<double> carried_coordinates;  // atom-major x, y, z; empty: nothing carried
    // eV: the lowest orbital-Hessian eigenvalue the last examination of an
    // SCF found (an upper bound on it when unstable).
    double lowest_hessian_eigenvalue = 0.0;
    std::size_t n_basis = 0;

    static ScfWorkspace allocate(std::size_t n_basis);
    // Zeroes every matrix and vector (not the pair table or DIIS history).
    void clear_matrices();
};

}  // namespace quorin
