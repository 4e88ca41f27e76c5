#pragma once
// The active-space CI problem: request options, the reusable workspace, the
// CI Hamiltonian over microstates (Slater-Condon rules in the spin-orbital
// order alpha 0, beta 0, alpha 1, ...) and the matrix of total spin S^2.
#include <cstddef>
#include <span>
#include <vector>

#include "core/ci/active_integrals.h"
#include "core/ci/microstates.h"
#include "core/types/aligned.h"

namespace quorin {

struct MeciOptions {
    std::size_t active_orbitals = 2;   // n, window of MOs around the HOMO-LUMO gap
    std::size_t active_electrons = 2;  // N <= 2n
    std::size_t target_root = 1;       // 1-based, 1 .. number of roots
    bool use_nddo = true;              // NDDO pair blocks in the active integrals
};

struct MeciWorkspace {
    ActiveIntegrals integrals;                  // (ij|kl) over the window, eV
    std::vector<double> diagonal_energies;      // eV, relative to microstate 0
    std::vector<double> orbital_energies;       // eV, reference mean field of the window removed
    std::vector<double> reference_occupations;  // per-spin occupations of the SCF determinant
    Matrix ci_matrix;                           // m x m, eV
    Vec64 eigenvalues;                          // m, ascending
    Matrix eigenvectors;                        // m x m, one root per column
    Matrix s2_matrix;                           // m x m

    // Zero-filled storage for n window orbitals and m microstates. Stops when
    // the matrices or the integral table do not fit in memory.
    static MeciWorkspace allocate(std::size_t n_active, std::size_t n_microstates);
};

// sum_k o_k (2 (pq|kk) - (pk|qk)): the mean field of the reference
// occupations o (per spin) between window orbitals p and q.
double reference_mean_field(const ActiveIntegrals& integrals, std::span<const double> reference_occupations,
                            std::size_t p, std::size_t q);

// e_a - sum_k o_k (2 (aa|kk) - (ak|ak)) for every window orbital a: the
// orbital energies without the window's own reference mean field.
void compute_active_orbital_energies(std::span<const double> scf_orbital_energies,
                                     std::span<const double> reference_occupations,
                                     const ActiveIntegrals& integrals, std::span<double> orbital_energies);

// Absolute diagonal CI energy of one determinant, eV.
double diagi(const OccupationString& alpha, const OccupationString& beta, std::span<const double> orbital_energies,
             const ActiveIntegrals& integrals, std::size_t n);

// Matrix elements between microstate I (the later one, row) and J (column).
// One alpha / one beta electron moved:
double aababc(const Microstate& i, const Microstate& j, std::size_t n, const ActiveIntegrals& integrals,
              std::span<const double> reference_occupations);
double babbbc(const Microstate& i, const Microstate& j, std::size_t n, const ActiveIntegrals& integrals,
              std::span<const double> reference_occupations);
// Two alpha, two beta, one alpha and one beta electron moved:
double aabacd(const Microstate& i, const Microstate& j, std::size_t n, const ActiveIntegrals& integrals);
double babbcd(const Microstate& i, const Microstate& j, std::size_t n, const ActiveIntegrals& integrals);
double aabbcd(const Microstate& i, const Microstate& j, std::size_t n, const ActiveIntegrals& integrals);

// Fills the m x m CI matrix: diagonal_energies on the diagonal, the five
// routines below it and their mirror above. Stops unless ci_matrix is m x m.
void build_ci_hamiltonian(std::span<const Microstate> microstates, std::span<const double> diagonal_energies,
                          std::size_t n, std::span<const double> reference_occupations,
                          const ActiveIntegrals& integrals, Matrix& ci_matrix);

// H[i][i] += (i + 1) 1e-10 with alternating sign, so that exactly degenerate
// determinants come out of the eigensolver in a fixed order.
void add_diagonal_tie_break(Matrix& ci_matrix);

// Fills the m x m matrix of S^2 for spin projection ms: Ms^2 + N/2 minus the
// doubly occupied orbitals on the diagonal, +1 between two determinants that
// differ by exchanging the spins of two singly occupied orbitals. Stops
// unless s2_matrix is m x m.
void build_s2_matrix(std::span<const Microstate> microstates, std::size_t n, Matrix& s2_matrix, double ms);

}  // namespace quorin
