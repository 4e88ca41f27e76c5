#pragma once
// From sparse localized orbitals to what the SCF needs: symmetric (Loewdin)
// re-orthonormalisation of the occupied orbitals and their closed-shell
// density. The NDDO basis is orthonormal, so overlaps are plain dot
// products of coefficient vectors.
#include <cstddef>
#include <vector>

#include "core/scf/eigensolver.h"
#include "core/types/aligned.h"
#include "core/varnex/types.h"

namespace quorin {

// The storage of one orthogonalisation, kept across the SCF iterations of a
// run (sized on first use and whenever the orbital or basis count changes).
struct OrthogonalizationWorkspace {
    Matrix dense;         // one row per orbital over the basis
    Matrix overlap;       // S
    Matrix inverse_sqrt;  // X = S^-1/2
    Matrix scratch;       // S - I for the series
    Matrix eigenvectors;  // scaled in place to U L^-1/4
    Vec64 eigenvalues;
    EigensolverWorkspace eigensolver;  // LAPACK scratch of the m x m solve
    Matrix combined;      // X times the dense rows: the new orbitals before pruning
};

// `rows` as one row per orbital over the basis (zero outside each AO list),
// reallocated only on a new shape.
void fill_dense_rows(const std::vector<Lmo>& lmos, std::size_t n_basis, Matrix& rows);

// Replaces every orbital by sum_b (S^-1/2)_ba |b>, S the overlap of the
// list, keeping coefficients above 1e-12 in magnitude (AO lists come back
// ascending). Overlap eigenvalues below 1e-8 are raised to 1e-8. Lists of
// fewer than two orbitals are left as they are. `n_basis` bounds the AO
// indices.
void orthogonalize_occupied_lmos(std::size_t n_basis, std::vector<Lmo>& lmos, OrthogonalizationWorkspace& workspace);
void orthogonalize_occupied_lmos(std::size_t n_basis, std::vector<Lmo>& lmos);

// sum_k c_k dense[ao_k] over the orbital's AO list, faster when the list
// is one contiguous run of indices.
double dot_with_dense(const Lmo& lmo, const double* dense);

// Whether `indices` are consecutive and strictly ascending (one run).
bool is_ascending_run(const std::vector<std::size_t>& indices);

// dot_with_dense for an orbital whose AO list is one ascending run (a BLAS
// dot product: hold SingleThreadedBlas around long loops of them).
double dot_over_run(const Lmo& lmo, const double* dense);

// density = 2 sum over the orbitals of c c^T (every orbital taken as doubly
// occupied); the n x n matrix is overwritten. `columns` holds the orbitals
// as n x m columns (reallocated only on a new shape); the two-argument form
// allocates its own.
void construct_density_from_lmos(const std::vector<Lmo>& lmos, Matrix& density);
void construct_density_from_lmos(const std::vector<Lmo>& lmos, Matrix& density, Matrix& columns);

}  // namespace quorin
