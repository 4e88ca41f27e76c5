#pragma once
// From sparse localized orbitals to what the SCF needs: symmetric (Loewdin)
// re-orthonormalisation, the virtual orbitals kept orthogonal to the
// occupied ones, and the closed-shell density. The NDDO basis is
// orthonormal, so overlaps are plain dot products of coefficient vectors,
// and only orbitals that share an atom overlap.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/types/molecule.h"
#include "core/varnex/sparse.h"

namespace quorin {

// For each atom, the orbitals of a list whose blocks include it, and where
// that block stands in each of them.
class OrbitalsByAtom {
public:
    void build(const std::vector<SparseVector>& orbitals, std::size_t n_atoms);
    // Both lists as one, the second numbered after the first.
    void build(const std::vector<SparseVector>& first, const std::vector<SparseVector>& second, std::size_t n_atoms);
    const std::uint32_t* begin(std::size_t atom) const { return orbitals_.data() + start_[atom]; }
    const std::uint32_t* end(std::size_t atom) const { return orbitals_.data() + start_[atom + 1]; }
    // In step with begin(atom): the position of the atom's block in each orbital.
    const std::uint32_t* blocks(std::size_t atom) const { return blocks_.data() + start_[atom]; }

private:
    std::vector<std::size_t> start_, fill_;
    std::vector<std::uint32_t> orbitals_, blocks_;
};

// Scratch of the orthonormalisation, sized on first use.
struct OrthogonalizationWorkspace {
    explicit OrthogonalizationWorkspace(const MolecularBatch& molecule)
        : n_atoms(molecule.n_atoms), accumulator(molecule) {}
    std::size_t n_atoms;
    DenseAccumulator accumulator;
    OrbitalsByAtom index;
    std::vector<std::size_t> seen;  // stamp per orbital
    std::size_t stamp = 0;
    std::vector<std::uint32_t> partners;
    std::vector<double> overlaps;
    std::vector<std::size_t> partner_start;
    std::vector<SparseVector> updated;
    // Of repair_orthonormality: the pruned blocks by atom, and per orbital
    // the terms of its row of S - I and their sums.
    OrbitalsByAtom removed_index;
    std::vector<std::vector<std::pair<std::uint32_t, double>>> error_terms;
    std::vector<double> error_sums;
};

// Makes the list orthonormal by the symmetric first-order step
// a <- a - 1/2 sum_b (S - I)_ab b, repeated until every |S_ab - delta_ab| is
// below 1e-11 or, after a step from below 1e-6, about its square (at most
// five steps). Blocks a step would add below `drop` in
// magnitude are left out. Returns the largest |S_ab - delta_ab| met at the
// start.
double orthonormalize(std::vector<SparseVector>& orbitals, double drop, OrthogonalizationWorkspace& workspace);

// Removes from each of `targets` its components along the (orthonormal)
// `basis`: t <- t - sum_b <b|t> b.
void project_out(const std::vector<SparseVector>& basis, std::vector<SparseVector>& targets, double drop,
                 OrthogonalizationWorkspace& workspace);

// Restores the orthonormality of the occupied and virtual orbitals together
// after blocks were pruned from a set that was orthonormal before: with
// a = a_0 - r_a (r_a the pruned blocks of `removed_*`), S - I has the entries
// -<r_a|b> - <a|r_b> - <r_a|r_b>, found from the pruned blocks alone, and
// a <- a - 1/2 sum_b (S - I)_ab b. Blocks this adds on atoms an orbital lacks
// are left out below `drop`, and so are whole terms with 1/2 |S - I|_ab
// below it.
void repair_orthonormality(std::vector<SparseVector>& occupied, std::vector<SparseVector>& virtuals,
                           const std::vector<SparseVector>& removed_occupied,
                           const std::vector<SparseVector>& removed_virtual, double drop,
                           OrthogonalizationWorkspace& workspace);

// density = 2 sum over the orbitals of c c^T on the pattern of `density`
// (pairs out of its reach are left out).
void build_density(const std::vector<SparseVector>& orbitals, BlockMatrix& density);

}  // namespace quorin
