#pragma once
// Transition dipoles from the lowest CI root to every root and the
// oscillator strengths they give.
#include <array>
#include <span>
#include <vector>

#include "core/ci/meci.h"
#include "core/ci/microstates.h"
#include "core/parameters/parameter_model.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// Electron position operator over the window orbitals `active`, one n x n
// matrix per Cartesian direction (angstrom): atomic positions weighted by
// the orbitals' atomic populations plus the sp charge separation of every
// heavy atom with p orbitals.
std::array<Matrix, 3> build_mo_dipole_matrices(const MolecularBatch& molecule, const ParameterModel& model,
                                               const Matrix& coefficients, std::span<const std::size_t> active);

// out = M w with M the matrix of the one-electron operator `mo_operator`
// over the microstates: sum_k (a_k + b_k) o_kk on the diagonal, o_pq with the
// fermion sign of the move between determinants one electron apart.
void apply_one_electron_operator(std::span<const Microstate> microstates, const Matrix& mo_operator,
                                 std::span<const double> w, std::span<double> out);

// Fills every state's transition dipole from root 1 (Debye components,
// squared components in (e angstrom)^2, length) and oscillator strength;
// root 1 and roots within 1e-4 eV of it get zero strength. `active` are the
// window's MO numbers, `result` the record of run_meci on these coefficients.
void compute_transition_dipoles_and_oscillator_strengths(const MolecularBatch& molecule, const ParameterModel& model,
                                                         const Matrix& coefficients,
                                                         std::span<const std::size_t> active, MeciResult& result);

}  // namespace quorin
