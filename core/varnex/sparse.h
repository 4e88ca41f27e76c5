#pragma once
// Atom-block sparse storage of the localized-orbital SCF: vectors over the
// basis that touch a few atoms (orbitals and the Fock matrix times them), a
// dense scratch copy of one such vector, and symmetric matrices stored only
// for atom pairs within reach of each other.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "core/types/molecule.h"
#include "core/varnex/types.h"

namespace quorin {

// A vector over the basis that is zero outside the blocks of `atoms`.
struct SparseVector {
    std::vector<std::uint32_t> atoms;  // ascending
    std::vector<std::uint32_t> starts;  // start of each atom's block in values; one more entry, the end
    std::vector<double> values;         // the atoms' AO blocks in turn

    std::size_t size() const { return atoms.size(); }
    const double* block(std::size_t k) const { return values.data() + starts[k]; }
    double* block(std::size_t k) { return values.data() + starts[k]; }
    std::size_t block_size(std::size_t k) const { return starts[k + 1] - starts[k]; }
    void clear();
    // Appends a zeroed block for `atom` (above every atom held) of `length` values.
    double* append(std::uint32_t atom, std::size_t length);
};

double dot(const SparseVector& a, const SparseVector& b);

// The orbital's AO list and coefficients as atom blocks (AOs of an atom the
// list lacks are zero), and back (every AO of each block, ascending).
SparseVector to_sparse(const MolecularBatch& molecule, const Lmo& lmo);
void write_to_lmo(const MolecularBatch& molecule, const SparseVector& v, Lmo& lmo);

// out = alpha a + beta b on the union of the atoms, except that blocks of b
// on atoms a lacks are left out when |beta| times their largest entry is
// below `drop`. `out` must be neither a nor b.
void combine(double alpha, const SparseVector& a, double beta, const SparseVector& b, double drop, SparseVector& out);

// Removes the blocks whose Euclidean norm is below `threshold`; with
// `removed`, the removed blocks are kept there.
void prune(SparseVector& v, double threshold, SparseVector* removed = nullptr);

// Euclidean norm of one block: unchanged by a rotation of the atom's axes.
double block_norm(const double* block, std::size_t length);
// Largest |entry| of one block.
double largest_entry(const double* block, std::size_t length);

// A vector over the whole basis held dense, with the list of atoms whose
// blocks may be non-zero; cleared by zeroing those blocks only.
class DenseAccumulator {
public:
    explicit DenseAccumulator(const MolecularBatch& molecule);

    void add(double scale, const SparseVector& v, double drop = 0.0);
    void scale(double factor);
    double dot(const SparseVector& v) const;
    // Writes the held atoms' blocks (ascending atoms) into `out` and clears.
    void extract(SparseVector& out);
    void clear();
    double* block(std::uint32_t atom) { return values_.data() + first_[atom]; }
    // Marks `atom` as held (its block must be zero when it was not).
    void touch(std::uint32_t atom);
    const std::vector<std::uint32_t>& atoms() const { return atoms_; }
    std::size_t block_size(std::uint32_t atom) const { return size_[atom]; }

private:
    // Adds scale * x to the block of `atom` (dropped as `add` says).
    void add_block(double scale, std::uint32_t atom, const double* x, double drop);

    std::vector<double> values_;
    std::vector<std::size_t> first_;
    std::vector<std::uint8_t> size_;
    std::vector<char> held_;
    std::vector<std::uint32_t> atoms_;  // unsorted
};

// For each atom, the atoms within `reach` angstrom (itself included),
// ascending, found through a grid of cells `reach` wide.
struct AtomNeighbours {
    std::vector<std::size_t> row_start;     // per atom into `atom`; one more entry, the end
    std::vector<std::uint32_t> atom;
    std::vector<std::size_t> block_offset;  // start of block (row atom, atom) in a BlockMatrix
    std::vector<std::size_t> transpose;     // position of the pair in the other order
    std::size_t n_values = 0;

    // With `further`, these pairs of atoms (either order) too, whatever
    // their distance.
    static AtomNeighbours within(const MolecularBatch& molecule, double reach,
                                 std::span<const std::pair<std::uint32_t, std::uint32_t>> further = {});
    // Position of `b` among the neighbours of `a`, or row_start[a + 1] when absent.
    std::size_t find(std::size_t a, std::uint32_t b) const;
};

// Points whose mutual distance is at most `reach`: for each query point, the
// indices of the stored points within reach, via a grid of cells.
class PointGrid {
public:
    PointGrid(const std::vector<std::array<double, 3>>& points, double reach);
    // Appends the indices within reach of `p` (unsorted) to `out`.
    void collect(const std::array<double, 3>& p, std::vector<std::uint32_t>& out) const;

private:
    const std::vector<std::array<double, 3>>& points_;
    double reach_ = 0.0;
    double cell_ = 1.0;
    std::array<double, 3> origin_{};
    std::array<long, 3> dims_{};
    std::vector<std::size_t> cell_start_;
    std::vector<std::uint32_t> cell_points_;
};

// A symmetric matrix stored as the n_a x n_b blocks (row major) of the atom
// pairs of an AtomNeighbours, both orders kept; zero for pairs out of reach.
struct BlockMatrix {
    std::shared_ptr<const AtomNeighbours> pattern;
    std::vector<double> values;

    static BlockMatrix zeros(std::shared_ptr<const AtomNeighbours> pattern);
    double* block(std::size_t position) { return values.data() + pattern->block_offset[position]; }
    const double* block(std::size_t position) const { return values.data() + pattern->block_offset[position]; }
    // Element (i, j) by basis index; `molecule` gives the atom blocks.
    double element(const MolecularBatch& molecule, std::size_t i, std::size_t j) const;
};

}  // namespace quorin
