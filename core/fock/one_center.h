#pragma once
// One-centre two-electron part of the Fock matrix: the Coulomb and exchange
// terms of electrons on the same atom, from the atom's one-centre integrals.
#include <cstddef>
#include <vector>

#include "core/integrals/pair_integrals.h"
#include "core/parameters/parameter_model.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// Number of packed orbital pairs of a 9-orbital atom and of its table side.
inline constexpr std::size_t kSpdPairs = n_pairs(9);

// Fills the 45 x 45 one-centre integral table (ij|kl) = table[pair(i,j) * 45 +
// pair(k,l)] of a 9-orbital atom: the sp integrals of the element record and,
// when d_params is given, the d-containing integrals. Entries not set are 0.
void fill_spd_one_center_table(const ElementParams& element, const DElementParams* d_params,
                               double* table);

// The 45 x 45 tables of a molecule's 9-orbital atoms, one per element. They
// depend on neither geometry nor density, so an SCF builds them once per run.
// Both vectors stay empty (unallocated) for a molecule without such atoms.
struct OneCenterTables {
    std::vector<double> spd;                 // kSpdPairs^2 values per table
    std::vector<std::size_t> table_of_atom;  // per atom: start of its table in spd

    static OneCenterTables build(const MolecularBatch& molecule, const ParameterModel& model);
};

// F_ij += sum_kl P_kl [(ij|kl) - 0.5 (jk|il)] over each atom's own block.
// `tables` must be built for this molecule and model.
void add_one_center_fock_terms(const MolecularBatch& molecule, const ParameterModel& model,
                               const OneCenterTables& tables, const Matrix& density, Matrix& fock);

// The same with tables built for this one call.
void add_one_center_fock_terms(const MolecularBatch& molecule, const ParameterModel& model,
                               const Matrix& density, Matrix& fock);

}  // namespace quorin
