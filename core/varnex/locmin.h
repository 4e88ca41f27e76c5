#pragma once
// Jacobi localisation: 2 x 2 rotations between nearby occupied and virtual
// localized orbitals that remove their Fock coupling, improving the occupied
// space without diagonalising the Fock matrix.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/types/molecule.h"
#include "core/varnex/orthogonalize.h"
#include "core/varnex/sparse.h"
#include "core/varnex/types.h"

namespace quorin {

// The virtual orbitals each occupied orbital is paired with from the start:
// those whose centroid (mean position of their atoms) lies within
// `cutoff_angstrom` of its own, or that share an atom with it, ascending.
struct JacobiCandidates {
    std::vector<std::size_t> start;  // per occupied orbital into `virtuals`; one more entry, the end
    std::vector<std::uint32_t> virtuals;
};
JacobiCandidates find_jacobi_candidates(const MolecularBatch& molecule, const std::vector<Lmo>& occupied,
                                        const std::vector<Lmo>& virtuals, double cutoff_angstrom);

// Neglect thresholds of the sparse arithmetic: contributions below them are
// left out of F c products (eV) and of rotated orbitals.
struct SparseTolerances {
    double fock_product = 1e-8;  // eV, per block entry of F c
    double rotation = 1e-8;      // per added coefficient
};

// F c for an orbital c on the pattern of `fock`, skipping block products
// bounded (by `bounds`, the largest |entry| of each block) below `drop`.
void multiply_fock(const BlockMatrix& fock, const std::vector<double>& bounds, const SparseVector& c, double drop,
                   DenseAccumulator& accumulator, SparseVector& out);
// The largest |entry| of each block of a matrix.
void block_bounds(const BlockMatrix& matrix, std::vector<double>& bounds);

// The sweeps of one run. Each SCF iteration starts with the products F c of
// every orbital under its Fock matrix; a sweep keeps them up to date through
// each rotation, and reads a pair's coupling anew only when one of its
// orbitals has rotated since its last reading. Pairs found coupled beyond the
// starting candidates join them for the rest of the run.
class JacobiSweeper {
public:
    JacobiSweeper(const MolecularBatch& molecule, JacobiCandidates candidates, SparseTolerances tolerances);

    // With `all_pairs`, also reads the coupling of every pair whose F o and
    // v share an atom (pairs coupled above `tolerance` join the candidates)
    // and returns the largest, eV; else returns 0.
    double start_iteration(const BlockMatrix& fock, const std::vector<SparseVector>& occupied,
                           const std::vector<SparseVector>& virtuals, double tolerance, bool all_pairs);
    // One sweep over the candidate pairs, occupied in order, their virtuals
    // in order, rotating those coupled above `tolerance` (eV) by the angle
    // that removes the coupling, times `damping`. Returns (pairs rotated,
    // largest |F_ov| read, eV).
    std::pair<std::size_t, double> sweep(std::vector<SparseVector>& occupied, std::vector<SparseVector>& virtuals,
                                         double damping, double tolerance);
    // The largest |<v|F|o>| over every occupied-virtual pair, eV (pairs
    // whose F o and v share no atom couple exactly zero on the pattern).
    // Pairs coupled above `tolerance` that are not candidates yet become
    // candidates.
    double check_all_pairs(const BlockMatrix& fock, const std::vector<SparseVector>& occupied,
                           const std::vector<SparseVector>& virtuals, double tolerance);

private:
    // Reads every interacting pair under the products in place, adds those
    // above `tolerance` to the candidates and, with `cache`, keeps the
    // candidates' couplings for the first sweep.
    double read_all_pairs(const std::vector<SparseVector>& occupied, const std::vector<SparseVector>& virtuals,
                          double tolerance, bool cache);

    const MolecularBatch& molecule_;
    JacobiCandidates candidates_;
    SparseTolerances tolerances_;
    std::vector<double> bounds_;
    std::vector<SparseVector> occupied_products_, virtual_products_;
    std::vector<double> occupied_diagonal_, virtual_diagonal_;
    std::vector<double> pair_coupling_;
    std::vector<std::size_t> pair_read_, occupied_changed_, virtual_changed_;
    std::size_t stamp_ = 0;
    DenseAccumulator product_, scratch_;
    OrbitalsByAtom index_;
    std::vector<std::size_t> seen_;
    // Scratch of read_all_pairs: the pairs read per occupied orbital, the
    // merged candidates.
    std::vector<std::vector<std::pair<std::uint32_t, double>>> read_;
    JacobiCandidates merged_;
    SparseVector new_occupied_, new_virtual_;
};

}  // namespace quorin
