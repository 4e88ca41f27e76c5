#pragma once
// Closed-shell Fock matrix F = H + G(P), eV, in two forms matching the two
// core Hamiltonians.
#include <span>

#include "core/fock/one_center.h"
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

// The same two builders with one-centre tables made once per run
// (OneCenterTables::build for this molecule and model); the forms above make
// them per call.
void build_fock(const MolecularBatch& molecule, const ParameterModel& model, const OneCenterTables& one_center,
                const Matrix& h, const Matrix& p, Matrix& f);
void build_fock_nddo(const MolecularBatch& molecule, const ParameterModel& model, const OneCenterTables& one_center,
                     std::span<const DiatomicPairIntegrals> pairs, const Matrix& h, const Matrix& p,
                     Matrix& f);

// The builder of the chosen core Hamiltonian: NDDO pair table when use_nddo,
// else the point-charge gamma (pairs unused, may be empty).
void build_fock_with_options(const MolecularBatch& molecule, const ParameterModel& model,
                             const OneCenterTables& one_center, std::span<const DiatomicPairIntegrals> pairs,
                             bool use_nddo, const Matrix& h, const Matrix& p, Matrix& f);

}  // namespace quorin
