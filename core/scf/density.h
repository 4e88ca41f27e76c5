#pragma once
// Closed-shell density matrix and electronic energy, shared by the SCF loop
// and its readers.
#include <cstddef>

#include "core/types/aligned.h"

namespace quorin {

// P_ij = 2 sum_{k < n_occ} C_ik C_jk (orbitals are the columns of C).
// Stops with "Number of occupied orbitals cannot exceed basis size" when
// n_occ > n.
void compute_density_matrix(const Matrix& coefficients, std::size_t n_occ, Matrix& density);

// 0.5 sum_ij P_ij (H_ij + F_ij), eV.
double compute_electronic_energy(const Matrix& density, const Matrix& hcore, const Matrix& fock);

// Frobenius norm of a - b (matrices of one size): how far apart two
// densities, or two Fock matrices, lie.
double frobenius_distance(const Matrix& a, const Matrix& b);

}  // namespace quorin
