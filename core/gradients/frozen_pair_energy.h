#pragma once
// Pair-local pieces of the frozen-density energy. With the density P held
// fixed, every geometry-dependent term of E = 0.5 sum P (H + F) + E_core is a
// sum over atom pairs (core repulsion, electron-core attraction, resonance,
// two-centre Coulomb and exchange); the one-centre terms do not depend on the
// geometry. Each pair term depends only on the vector between its atoms, so a
// finite-difference gradient needs each pair's derivative once.
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

// Density data and scratch of the pair energies, made once per gradient.
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

    static FrozenPairEnergyWorkspace prepare(const MolecularBatch& molecule, const ParameterModel& model,
                                             const Matrix& density);
};

// The frozen-density energy terms (eV) of the pair lo < hi at the molecule's
// current coordinates; 0 when either atom has no parameters. With use_nddo
// the terms are those of the NDDO pair-integral Hamiltonian and Fock builders,
// otherwise those of the point-charge (gamma) builders. The density must be
// symmetric and be the one the workspace was prepared with.
double frozen_energy_of_pair(const MolecularBatch& molecule, const ParameterModel& model, const Matrix& density,
                             FrozenPairEnergyWorkspace& workspace, std::size_t lo, std::size_t hi, bool use_nddo);

}  // namespace quorin
