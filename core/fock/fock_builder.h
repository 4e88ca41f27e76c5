#pragma once
// Closed-shell Fock matrix F = H + G(P), eV, in two forms matching the two
// core Hamiltonians.
#include <span>

#include "core/integrals/pair_integrals.h"
#include "core/parameters/parameter_model.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// Two-centre Coulomb and exchange through the point-charge gamma of build_hcore.
void build_fock(const MolecularBatch& molecule, const ParameterModel& model, const Matrix& h,
                const Matrix& p, Matrix& f);

// Two-centre terms from the NDDO pair table.
void build_fock_nddo(const MolecularBatch& molecule, const ParameterModel& model,
                     std::span<const DiatomicPairIntegrals> pairs, const Matrix& h, const Matrix& p,
                     Matrix& f);

}  // namespace quorin
