#pragma once
// Stability of a converged localized-orbital solution. Jacobi sweeps stop at
// any self-consistent set of orbitals, also at a saddle point of the energy
// or a higher minimum, where the Lewis structure made a choice the geometry
// does not fix:
// - pi bonds left on the long bonds of a ring whose pi bonds barely overlap
//   (a non-planar cyclooctatetraene), a wrong Kekule structure some 4 eV
//   above the ground state. No single occupied-virtual pair sees the way
//   down; the pi bonds must turn together.
// - a bond too long to be perceived (H2 at 3 A, ethane with C-C at 5 A): the
//   Lewis structure holds its electron pair as a lone pair of one atom, with
//   a negative formal charge, beside an empty hybrid of the other, positive:
//   a split bond. The sweeps keep the ion pair where the two atoms barely
//   couple (H2 at 10 A, a saddle point 6.5 eV above the bond), stop at a
//   saddle point where the bonds of the two atoms must turn too (ethylene
//   with C=C at 3 A, 1.6 eV above), or end with the pair in the antibonding
//   orbital of the bond, a minimum of its own (0.64 eV above at 3 A).
//
// The test is the orbital Hessian of the closed-shell energy on the
// rotations of the pi bonds and of every occupied orbital on an atom of a
// split bond towards the pi antibonds and every virtual orbital on such an
// atom: the pairs within the pairing cutoff or sharing an atom, and the lone
// pair and empty hybrid of a split bond whatever the distance (the SCF's
// block matrices hold the atoms around its two ends together). Exact there, on
// the pattern of the block matrices: rotating o towards v by theta x_ov (x a
// unit vector) changes the energy by 2 theta^2 x.Hx, with
//   (Hx)_ov = sum_v' F_vv' x_ov' - sum_o' F_o'o x_o'v + 2 <o|G(D)|v>,
// D = sum x_ov (o v^T + v o^T) and G the two-electron part of the Fock
// matrix. Its lowest eigenvalue is tested as the dense SCF's check tests
// the whole orbital Hessian (core/scf/stability.h, same threshold,
// tolerance and budget): Davidson iterations, each product one sparse
// two-electron build of a trial density D, and the whole Hessian over the
// pairs when the budget runs out with at most kExactStabilityPairs of
// them. Beyond that local test, a split bond whose density is antibonding
// by the core Hamiltonian has its bonding and antibonding orbitals
// exchanged (find_antibonding_channel). Molecules with neither pi bonds
// nor split bonds have nothing to check.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/scf/davidson.h"
#include "core/scf/stability.h"
#include "core/types/molecule.h"
#include "core/varnex/orthogonalize.h"
#include "core/varnex/sparse.h"
#include "core/varnex/sparse_fock.h"
#include "core/varnex/types.h"

namespace quorin {

struct LmoStabilityCheck {
    double lowest_eigenvalue = 0.0;  // eV; an upper bound on it when unstable
    std::size_t products = 0;        // Hessian products, one two-electron build each
    bool stable = true;
    bool decided = true;  // false: the budget ran out on many pairs with no verdict (then not stable either)
};

class LmoStability {
public:
    // The pairs of the orbitals above whose centroids lie within
    // `cutoff_angstrom` of each other or that share an atom, and the lone
    // pair and empty hybrid of every split bond; the records give the kinds
    // and atoms of the SCF's two lists, `formal_charges` the charge of each
    // atom in the Lewis structure they came from (empty: no split bonds).
    LmoStability(const MolecularBatch& molecule, const std::vector<Lmo>& occupied, const std::vector<Lmo>& virtuals,
                 double cutoff_angstrom, std::span<const int> formal_charges = {});

    bool empty() const { return pairs_ == 0; }
    // The atoms of each split bond, which joins each atom of a split pair
    // to its nearest partner: (negative atom, positive atom).
    const std::vector<std::pair<std::uint32_t, std::uint32_t>>& split_bonds() const { return split_bonds_; }

    // The lowest eigenvalue of the Hessian at the orbitals given, whose own
    // density made `fock`. `fock` and `scratch` (on the same pattern) then
    // serve as the trial densities and their responses: the check needs no
    // block matrix of its own (its vectors run over the pairs), and `fock`
    // is overwritten. When unstable, the rotation found is kept for
    // descend(). The test is orbital_stability_test(max_products), the unit
    // vectors of the four lowest pairs by F_vv - F_oo and the start vectors
    // made from their exact block its start, all counted in the products.
    LmoStabilityCheck check(BlockMatrix& fock, BlockMatrix& scratch, SparseNddoFock& builder,
                            const std::vector<SparseVector>& occupied, const std::vector<SparseVector>& virtuals,
                            std::size_t max_products = kStabilityProducts);

    // Line search on the energy along the rotation of the last failed check
    // (lowest_along_rotation), from orbitals of energy `energy`: each pair
    // in turn rotated exactly by its angle, so the orbitals stay orthonormal.
    // `energy_of` gives the total energy of a set of occupied orbitals. The
    // orbitals become the lowest found; returns its energy (`energy` when
    // nothing lower was found, the orbitals then unchanged).
    double descend(double energy, const std::function<double(const std::vector<SparseVector>&)>& energy_of,
                   std::vector<SparseVector>& occupied, std::vector<SparseVector>& virtuals);

    // After a passed check: a split bond whose electron pair sits in an
    // antibonding orbital. A channel of the density between its two atoms
    // (a singular triple s, a, b of the block P_AB, s above 0.5, the
    // occupied orbital (a + b)/sqrt 2) whose resonance energy 2 s a^T H_AB b
    // by the core Hamiltonian `hcore` is positive; exchanging it with the
    // bonding orbital (a - b)/sqrt 2 lowers the one-electron energy by
    // twice that, and the channel is taken when that exceeds `tolerance`
    // (eV). The one most antibonding is kept for
    // exchange_antibonding_channel(), when at least half of the one orbital
    // lies in the occupied space and of the other in the virtual space.
    // `density` is that of `occupied`.
    bool find_antibonding_channel(const BlockMatrix& density, const BlockMatrix& hcore, double tolerance,
                                  const std::vector<SparseVector>& occupied,
                                  const std::vector<SparseVector>& virtuals);
    // The occupied part of the antibonding orbital found and the virtual
    // part of the bonding one change places (a reflection of the orbitals
    // that touch them, which stay orthonormal).
    void exchange_antibonding_channel(std::vector<SparseVector>& occupied, std::vector<SparseVector>& virtuals);

private:
    // y := H x over the pairs, with the trial density built in `trial` and
    // its two-electron response in `response`.
    void apply_hessian(SparseNddoFock& builder, const std::vector<SparseVector>& occupied,
                       const std::vector<SparseVector>& virtuals, const double* x, double* y, BlockMatrix& trial,
                       BlockMatrix& response);
    // Rotates each pair (o, v) by t x_ov in turn.
    void rotate(double t, const double* x, std::vector<SparseVector>& occupied,
                std::vector<SparseVector>& virtuals) const;

    const MolecularBatch& molecule_;
    std::vector<std::uint32_t> occupied_, virtuals_;  // the checked orbitals' places in the SCF's lists
    std::vector<std::size_t> start_;                  // per checked occupied orbital: its pairs; one more entry, the end
    std::vector<std::uint32_t> partner_;              // per pair: the virtual orbital, a place in virtuals_
    std::size_t pairs_ = 0;
    // The atoms of split bonds: (negative atom, positive atom).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> split_bonds_;
    // Fock matrix among the checked occupied and among the checked virtual
    // orbitals: per orbital, (other orbital, element), the diagonal included.
    std::vector<std::vector<std::pair<std::uint32_t, double>>> occupied_fock_, virtual_fock_;
    std::vector<double> diagonal_;  // F_vv - F_oo per pair; then the preconditioner's diagonal
    DavidsonWorkspace davidson_;    // vectors over the pairs; the rotation of a failed check in ritz_vector
    bool unstable_ = false;         // the last check failed and no descent has used its rotation yet
    // Scratch.
    std::vector<double> unit_;
    DenseAccumulator accumulator_;
    std::vector<double> bounds_, largest_;
    SparseVector product_, combination_;
    std::vector<long> position_;
    // The channel found: the occupied part of its antibonding orbital and
    // the virtual part of its bonding one, with the overlaps of the
    // orbitals they are made of.
    SparseVector antibonding_, bonding_;
    std::vector<std::pair<std::uint32_t, double>> occupied_overlaps_, virtual_overlaps_;
    OrbitalsByAtom index_;
    std::vector<char> seen_;
};

}  // namespace quorin
