#pragma once
// Core Hamiltonian: one-centre energies U, attraction of each atom's electrons
// by the other cores, and resonance blocks S (beta_A + beta_B) / 2.
#include <array>
#include <span>

#include "core/integrals/overlap.h"
#include "core/integrals/pair_integrals.h"
#include "core/parameters/parameter_model.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// Point-charge attraction e2 / sqrt(R^2 + (rho_A + rho_B)^2) on the diagonal only.
void build_hcore(const MolecularBatch& molecule, const ParameterModel& model, Matrix& h);

// Attraction from the pair table's electron-core vectors (whole one-centre blocks).
void build_hcore_nddo(const MolecularBatch& molecule, const ParameterModel& model,
                      std::span<const DiatomicPairIntegrals> pairs, Matrix& h);

// The core Hamiltonian of the chosen form: from the pair table when use_nddo,
// else the point-charge attraction (pairs unused, may be empty).
void build_hcore_with_options(const MolecularBatch& molecule, const ParameterModel& model,
                              std::span<const DiatomicPairIntegrals> pairs, bool use_nddo, Matrix& h);

// Uniform field (V/angstrom) about the centre of mass: adds the electronic
// potential energy to H and returns the nuclear field energy (eV).
double apply_electric_field_to_hcore(const MolecularBatch& molecule, const ParameterModel& model,
                                     Matrix& h, const std::array<double, 3>& field);

// beta (eV) of the orbital at `position` of an atom: s, p (1-3) or d (4-8).
double resonance_parameter(const ElementParams& element, std::size_t position);

// The resonance block S_mu,nu (beta_mu + beta_nu) / 2 of atoms a and b
// (row-major, orbitals_per_atom[a] x orbitals_per_atom[b], in the first
// entries of `block`). False, with `block` untouched, when the two atoms
// coincide.
bool resonance_block(const MolecularBatch& molecule, std::size_t a, std::size_t b, const ElementParams& ea,
                     const ElementParams& eb, const SlaterNorms& norms_a, const SlaterNorms& norms_b,
                     std::array<double, 81>& block);

}  // namespace quorin
