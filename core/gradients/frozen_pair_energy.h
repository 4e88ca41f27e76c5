#pragma once
// Pair-local pieces of the frozen-density energy. With the density P held
// fixed, every geometry-dependent term of E = 0.5 sum P (H + F) + E_core is a
// sum over atom pairs (core repulsion, electron-core attraction, resonance,
// two-centre Coulomb and exchange); the one-centre terms do not depend on the
// geometry. Each pair's share is linear in a few quantities that depend only
// on the vector between its atoms (its terms: the core repulsion, the
// resonance block, and the Klopman-Ohno gamma or the NDDO electron-core
// vectors and integral block), with weights that depend only on the density.
// A derivative of the terms dotted with the same weights is the derivative of
// the pair's energy, so a finite-difference gradient needs each pair's
// term derivatives once, and they hold for any density.
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "core/integrals/overlap.h"
#include "core/integrals/pair_integrals.h"
#include "core/parameters/parameter_model.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// Density data and scratch of the pair terms and weights, made once per gradient.
struct FrozenPairEnergyWorkspace {
    std::vector<std::optional<ElementParams>> records;  // per atom
    std::vector<SlaterNorms> slater_norms;              // per atom, for the resonance overlaps
    // Per-atom packed one-centre density: P_mu_nu for mu == nu, 2 P_mu_nu for
    // mu > nu, at packed_offset[atom] + packed pair index.
    std::vector<double> packed_density;
    std::vector<std::size_t> packed_offset;
    std::vector<double> population;  // sum of the atom's diagonal P
    std::vector<PairAtomData> pair_atoms;  // per atom, inputs of the NDDO pair records
    // Integral record and d-path blocks reused for every pair; the record's
    // vectors hold the largest pair of the molecule, so refills do not allocate.
    DiatomicPairIntegrals pair_record;
    std::unique_ptr<PairIntegralScratch> pair_scratch;
    std::size_t max_terms = 0;  // terms of the largest pair of the molecule

    // Everything but the density data, which load_density fills.
    static FrozenPairEnergyWorkspace prepare(const MolecularBatch& molecule, const ParameterModel& model,
                                             bool use_nddo);
    void load_density(const MolecularBatch& molecule, const Matrix& density);
};

// Number of terms of a pair of atoms with n_lo and n_hi orbitals.
std::size_t frozen_pair_term_count(std::size_t n_lo, std::size_t n_hi, bool use_nddo);

// Writes the terms (eV) of the pair lo < hi at the molecule's current
// coordinates to terms[0, frozen_pair_term_count): the core repulsion; the
// resonance block S (beta_mu + beta_nu) / 2, lo's orbitals by hi's; then with
// use_nddo the electron-core vectors of hi and lo (by packed pair) and the
// integral block (hi's packed pairs by lo's), as the NDDO pair record has
// them, otherwise the Klopman-Ohno gamma. Parts a coincident pair lacks are
// zero. Both atoms must have parameters.
void frozen_pair_terms(const MolecularBatch& molecule, const ParameterModel& model,
                       FrozenPairEnergyWorkspace& workspace, std::size_t lo, std::size_t hi, bool use_nddo,
                       double* terms);

// The density weights of the same terms: the pair's frozen-density energy is
// sum_k weights[k] terms[k]. The density must be symmetric and be the one the
// workspace last loaded.
void frozen_pair_weights(const MolecularBatch& molecule, const Matrix& density,
                         const FrozenPairEnergyWorkspace& workspace, std::size_t lo, std::size_t hi, bool use_nddo,
                         double* weights);

}  // namespace quorin
