#pragma once
// Stability of a converged localized-orbital solution. Jacobi sweeps stop at
// any self-consistent set of orbitals, also at a saddle point of the energy:
// pi bonds left on the long bonds of a ring whose pi bonds barely overlap (a
// non-planar cyclooctatetraene) are one, a wrong Kekule structure some 4 eV
// above the ground state. No single occupied-virtual pair sees the way down;
// the pi bonds must turn together.
//
// The test is the orbital Hessian of the closed-shell energy on the
// rotations between the pi bonds and the pi antibonds within the pairing
// cutoff, exact there: rotating o towards v by theta x_ov (x a unit vector)
// changes the energy by 2 theta^2 x.Hx, with
//   (Hx)_ov = sum_v' F_vv' x_ov' - sum_o' F_o'o x_o'v + 2 <o|G(D)|v>,
// D = sum x_ov (o v^T + v o^T) and G the two-electron part of the Fock
// matrix. Its lowest eigenvalue is tested as the dense SCF's check tests
// the whole orbital Hessian (core/scf/stability.h, same threshold,
// tolerance and budget): Davidson iterations, each product one sparse
// two-electron build of a trial density D, and the whole Hessian over the
// pairs when the budget runs out with at most kExactStabilityPairs of
// them. Molecules without pi bonds have nothing to check.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/scf/davidson.h"
#include "core/scf/stability.h"
#include "core/types/molecule.h"
#include "core/varnex/sparse.h"
#include "core/varnex/sparse_fock.h"
#include "core/varnex/types.h"

namespace quorin {

struct PiStabilityCheck {
    double lowest_eigenvalue = 0.0;  // eV; an upper bound on it when unstable
    std::size_t products = 0;        // Hessian products, one two-electron build each
    bool stable = true;
    bool decided = true;  // false: the budget ran out on many pairs with no verdict (then not stable either)
};

class PiStability {
public:
    // The pairs of pi bonds (occupied) and pi antibonds (virtual) whose
    // centroids lie within `cutoff_angstrom` of each other or that share an
    // atom; the records give the kinds and atoms of the SCF's two lists.
    PiStability(const MolecularBatch& molecule, const std::vector<Lmo>& occupied, const std::vector<Lmo>& virtuals,
                double cutoff_angstrom);

    bool empty() const { return pairs_ == 0; }

    // The lowest eigenvalue of the Hessian at the orbitals given, whose own
    // density made `fock`. `fock` and `scratch` (on the same pattern) then
    // serve as the trial densities and their responses: the check needs no
    // block matrix of its own (its vectors run over the pairs), and `fock`
    // is overwritten. When unstable, the rotation found is kept for
    // descend(). The test is orbital_stability_test(max_products), the unit
    // vectors of the four lowest pairs by F_vv - F_oo and the start vectors
    // made from their exact block its start, all counted in the products.
    PiStabilityCheck check(BlockMatrix& fock, BlockMatrix& scratch, SparseNddoFock& builder,
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
    std::vector<std::uint32_t> occupied_, virtuals_;  // the pi orbitals' places in the SCF's lists
    std::vector<std::size_t> start_;                  // per pi bond: its pairs; one more entry, the end
    std::vector<std::uint32_t> partner_;              // per pair: the antibond, a place in virtuals_
    std::size_t pairs_ = 0;
    // Fock matrix among the pi bonds and among the antibonds: per orbital,
    // (other orbital, element), the diagonal included.
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
};

}  // namespace quorin
