#pragma once
// Jacobi localisation: 2 x 2 rotations between nearby occupied and virtual
// localized orbitals that remove their Fock coupling, improving the occupied
// space without diagonalising the Fock matrix.
#include <cstddef>
#include <utility>
#include <vector>

#include "core/types/aligned.h"
#include "core/types/molecule.h"
#include "core/varnex/types.h"

namespace quorin {

struct VarnexConfig;

struct FockElements {
    double f_aa = 0.0;  // eV
    double f_bb = 0.0;
    double f_ab = 0.0;
};

// <a|F|a>, <b|F|b> and <a|F|b> over the orbitals' own AO lists.
FockElements evaluate_fock_elements(const Lmo& a, const Lmo& b, const Matrix& fock);

// Rotates occupied `occ` and virtual `virt` by the angle that removes their
// coupling (scaled by `damping`), on the union of their AO lists.
void rotate_lmo_pair(Lmo& occ, Lmo& virt, double f_oo, double f_vv, double f_ov, double damping);

// The virtual orbitals each occupied orbital is paired with: those whose
// centroid (mean position of their atoms) lies within `cutoff_angstrom` of
// its own, or that share an atom with it, in ascending list position. The
// atom lists never change during a run, so neither do the pairs.
std::vector<std::vector<std::size_t>> find_jacobi_candidates(const MolecularBatch& molecule,
                                                             const std::vector<Lmo>& occupied,
                                                             const std::vector<Lmo>& virtuals, double cutoff_angstrom);

// The sweeps' working storage for one run: F c of every orbital as a dense
// row over the basis (eV) for the current Fock matrix, so that a pair's
// coupling costs one pass over an AO list and a rotation carries the rows
// along; the orbitals' diagonal Fock elements; and the scratch lists of a
// rotation.
struct JacobiWorkspace {
    Matrix occupied_products;  // one row per occupied orbital
    Matrix virtual_products;   // one row per virtual orbital
    Matrix occupied_coefficients;  // the orbitals as dense rows, for the products
    Matrix virtual_coefficients;
    std::vector<double> occupied_diagonal;
    std::vector<double> virtual_diagonal;
    std::vector<char> occupied_runs;  // AO list is one ascending run (kept from compute_fock_products on)
    std::vector<char> virtual_runs;
    // Couplings of the candidate pairs in sweep order, each with the stamp
    // of its reading; the stamp of each orbital's last change.
    std::vector<double> pair_coupling;
    std::vector<std::size_t> pair_read;
    std::vector<std::size_t> occupied_changed;
    std::vector<std::size_t> virtual_changed;
    std::size_t stamp = 0;
    std::vector<std::size_t> union_indices;
    std::vector<double> expanded_occupied;
    std::vector<double> expanded_virtual;
};

// Fills the F c rows for `fock` and the current orbitals (once per SCF
// iteration: all its sweeps share one Fock matrix).
void compute_fock_products(const std::vector<Lmo>& occupied, const std::vector<Lmo>& virtuals, const Matrix& fock,
                           JacobiWorkspace& workspace);

// One sweep over the candidate pairs (in occupied order, then virtual
// order), with the F c rows of compute_fock_products kept up to date here.
// A pair's coupling is read anew only when one of its orbitals has rotated
// since its last reading in a sweep after the same compute_fock_products.
std::pair<std::size_t, double> execute_jacobi_sweep(std::vector<Lmo>& occupied, std::vector<Lmo>& virtuals,
                                                    const std::vector<std::vector<std::size_t>>& candidates,
                                                    JacobiWorkspace& workspace, const VarnexConfig& config);

// One sweep over every occupied-virtual pair whose centroids lie within the
// cutoff or that share an atom, rotating those coupled above jacobi_tol.
// Returns (pairs rotated, largest |F_ov| evaluated, eV).
std::pair<std::size_t, double> execute_jacobi_sweep(const MolecularBatch& molecule, std::vector<Lmo>& occupied,
                                                    std::vector<Lmo>& virtuals, const Matrix& fock,
                                                    const VarnexConfig& config);

}  // namespace quorin
