#pragma once
// Two-electron integrals (ij|kl) over the molecular orbitals of a CI active
// window, in eV. Under NDDO only one- and two-centre terms exist, so the
// transformation runs over per-atom densities of each active orbital pair
// rather than over the full atomic-orbital basis.
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/integrals/pair_integrals.h"
#include "core/parameters/parameter_model.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// (ij|kl) over n window orbitals, element (i, j, k, l) at ((i n + j) n + k) n + l.
struct ActiveIntegrals {
    std::size_t n = 0;
    std::vector<double> values;

    // Zero-filled table for n orbitals. Stops when n^4 doubles do not fit in
    // the address space.
    static ActiveIntegrals zeros(std::size_t n);
    double operator()(std::size_t i, std::size_t j, std::size_t k, std::size_t l) const {
        return values[((i * n + j) * n + k) * n + l];
    }
    double& operator()(std::size_t i, std::size_t j, std::size_t k, std::size_t l) {
        return values[((i * n + j) * n + k) * n + l];
    }
};

// Per-atom packed densities of the window-orbital pairs (a, b), b <= a, pair
// index a(a+1)/2 + b (off-diagonal orbital products counted twice), and the
// potential each pair density makes on every atom's packed pairs, one-centre
// and two-centre terms: (P|Q) = sum over k of potential^P[k] density^Q[k].
struct ActivePairFields {
    std::vector<std::size_t> offset;  // start of each atom's packed pairs; n_atoms + 1 entries
    std::vector<double> density;      // n_pairs(n) rows of width() values
    std::vector<double> potential;    // the same shape
    std::size_t width() const { return offset.back(); }
};

// The pair fields of the window orbitals `active` (columns of
// `coefficients`), with the pair terms of compute_active_mo_two_electron_integrals.
ActivePairFields compute_active_pair_fields(const MolecularBatch& molecule, const ParameterModel& model,
                                            const Matrix& coefficients, std::span<const std::size_t> active,
                                            std::optional<std::span<const DiatomicPairIntegrals>> pairs);

// Fills every (ij|kl) of the window orbitals `active` (columns of
// `coefficients`). With `pairs` (the molecule's NDDO pair table) each atom
// pair that has a record interacts through its two-centre block; without
// them, and for atom pairs without a record, the pair charges interact as
// Klopman-Ohno point charges. One-centre terms use the s and p pairs only.
void compute_active_mo_two_electron_integrals(const MolecularBatch& molecule, const ParameterModel& model,
                                              const Matrix& coefficients, std::span<const std::size_t> active,
                                              std::optional<std::span<const DiatomicPairIntegrals>> pairs,
                                              ActiveIntegrals& integrals);

// Adds to `gradient` (eV/angstrom, one triple per atom) the derivative of
// sum over P, Q of weights[P][Q] (P|Q), the window orbitals held fixed at
// their atomic-orbital coefficients: only the two-centre terms move. `fields`
// are those of the window at the molecule's geometry, `weights` has
// n_pairs(n)^2 entries and use_nddo chooses the pair terms as `pairs` did
// there. Central differences (1e-4 angstrom) of each atom pair's terms; the
// coordinates are restored.
void add_active_two_centre_gradient(MolecularBatch& molecule, const ParameterModel& model,
                                    const ActivePairFields& fields, std::span<const double> weights, bool use_nddo,
                                    std::span<std::array<double, 3>> gradient);

}  // namespace quorin
