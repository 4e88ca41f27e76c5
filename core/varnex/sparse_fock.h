#pragma once
// The NDDO core Hamiltonian and closed-shell Fock matrix of the
// localized-orbital SCF, kept for the atom pairs within reach only: the
// resonance and exchange blocks of distant atoms are negligible (the overlap
// decays exponentially) or zero (no density between them). The two-centre
// Coulomb terms, which decay slowly, are summed over every atom pair.
#include <cstddef>
#include <memory>
#include <vector>

#include "core/fock/one_center.h"
#include "core/parameters/parameter_model.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"
#include "core/varnex/sparse.h"

namespace quorin {

class SparseNddoFock {
public:
    // Computes the two-centre integrals of every atom pair once (kept in a
    // compact table) and the core Hamiltonian on `pattern`.
    SparseNddoFock(const MolecularBatch& molecule, const ParameterModel& model,
                   std::shared_ptr<const AtomNeighbours> pattern);

    const BlockMatrix& core_hamiltonian() const { return h_; }
    // F = H + G(P) on the pattern for a density on the same pattern; returns
    // the electronic energy 1/2 sum P (H + F), eV.
    double build(const BlockMatrix& density, BlockMatrix& fock);
    // The two-electron part G(D) alone, for any symmetric D on the pattern
    // (a trial density of the stability check).
    void build_response(const BlockMatrix& density, BlockMatrix& response);

private:
    // fock += G(density).
    void add_two_electron(const BlockMatrix& density, BlockMatrix& fock);

    const MolecularBatch& molecule_;
    const ParameterModel& model_;
    std::shared_ptr<const AtomNeighbours> pattern_;
    BlockMatrix h_;
    std::vector<std::size_t> diagonal_;  // per atom: position of its own block in the pattern
    // (mu nu|lambda sigma) of atoms i > j, n_pairs(i) x n_pairs(j) values at
    // pair_start_[i] + n_pairs(i) * packed_before_[j].
    std::vector<double> w_;
    std::vector<std::size_t> pair_start_;
    std::vector<std::size_t> packed_before_;
    std::vector<std::uint8_t> packed_count_;
    // One-centre terms through a one-atom molecule per element.
    struct Element {
        std::uint8_t z = 0;
        MolecularBatch atom;
        OneCenterTables tables;
        Matrix density, fock;
    };
    std::vector<Element> elements_;
    std::vector<std::size_t> element_of_;
    // Per atom: density over packed orbital pairs and the Coulomb potential.
    std::vector<double> packed_density_, coulomb_;
};

}  // namespace quorin
