#pragma once
// Table of all two-centre NDDO quantities of one molecule: per atom pair the
// two-electron block in the molecular frame and the electron-core vectors.
#include <array>
#include <cstddef>
#include <vector>

#include "core/integrals/d_rotation.h"
#include "core/integrals/multipole_params.h"
#include "core/parameters/parameter_model.h"
#include "core/types/molecule.h"

namespace quorin {

// Packed index of the orbital pair (mu, nu), mu >= nu, within one atom.
inline constexpr std::size_t packed_pair_index(std::size_t mu, std::size_t nu) {
    return mu >= nu ? mu * (mu + 1) / 2 + nu : nu * (nu + 1) / 2 + mu;
}
// Number of packed orbital pairs of an atom with n orbitals (1, 10 or 45).
inline constexpr std::size_t n_pairs(std::size_t n) { return n * (n + 1) / 2; }

struct DiatomicPairIntegrals {
    // (mu nu|lambda sigma) in eV at w[p_A * n_pairs(norb_b) + p_B]. 100 entries
    // for pairs of sp atoms, n_pairs(norb_a) * n_pairs(norb_b) with d orbitals.
    std::vector<double> w;
    // Attraction of A's orbital pairs to B's core (eV), by A's packed pair.
    std::vector<double> e1b;
    // Attraction of B's orbital pairs to A's core (eV), by B's packed pair.
    std::vector<double> e2a;
    std::size_t atom_a = 0;  // larger atom index of the pair
    std::size_t atom_b = 0;  // smaller atom index
    std::size_t norb_a = 0;
    std::size_t norb_b = 0;
    std::size_t first_orbital_a = 0;
    std::size_t first_orbital_b = 0;
};

// Blocks of the pair builder for pairs with d orbitals, each written in full
// before it is read. About 50 kB: the caller makes one and reuses it for
// every pair.
struct PairIntegralScratch {
    SpdBlock local;
    SpdBlock half;
    SpdBlock w;
    SpdMask mask;
};

// Multipole set of one atom for pairs with d orbitals: ten additive terms and
// seven charge separations (bohr).
struct DMultipoleSet {
    std::array<double, 10> additive{};
    std::array<double, 7> separations{};
};

// Per-atom inputs of the pair records, made once per molecule and model.
struct PairAtomData {
    bool has_parameters = false;
    double core_charge = 0.0;
    DerivedMultipoleParams multipoles;
    AtomDistributions distributions;  // build_distributions(multipoles)
    // Set for every atom with parameters when the molecule has an atom with
    // d orbitals; unused otherwise.
    DMultipoleSet d_set;
};

// One entry per atom of the molecule.
std::vector<PairAtomData> prepare_pair_atoms(const MolecularBatch& molecule, const ParameterModel& model);

// Fills `out` with the record of atoms i (as A) and j (as B); atom_i and
// atom_j are their entries of prepare_pair_atoms for this molecule. The
// vectors of `out` are resized in place, so a record reused for pairs of the
// same kinds does not allocate. Returns false, leaving `out` untouched, when
// either atom has no parameters or the atoms coincide.
bool compute_diatomic_pair(const MolecularBatch& molecule, const ParameterModel& model, std::size_t i,
                           std::size_t j, const PairAtomData& atom_i, const PairAtomData& atom_j,
                           DiatomicPairIntegrals& out, PairIntegralScratch& scratch);

// One record per atom pair i > j (order i, then j) where both atoms have
// parameters and are not coincident. Built once per geometry.
std::vector<DiatomicPairIntegrals> precompute_diatomic_pairs(const MolecularBatch& molecule,
                                                             const ParameterModel& model);

}  // namespace quorin
