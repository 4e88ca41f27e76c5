#pragma once
// Two-electron integrals (ij|kl) over the molecular orbitals of a CI active
// window, in eV. Under NDDO only one- and two-centre terms exist, so the
// transformation runs over per-atom densities of each active orbital pair
// rather than over the full atomic-orbital basis.
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

// Fills every (ij|kl) of the window orbitals `active` (columns of
// `coefficients`). With `pairs` (the molecule's NDDO pair table) each atom
// pair that has a record interacts through its two-centre block; without
// them, and for atom pairs without a record, the pair charges interact as
// Klopman-Ohno point charges. One-centre terms use the s and p pairs only.
void compute_active_mo_two_electron_integrals(const MolecularBatch& molecule, const ParameterModel& model,
                                              const Matrix& coefficients, std::span<const std::size_t> active,
                                              std::optional<std::span<const DiatomicPairIntegrals>> pairs,
                                              ActiveIntegrals& integrals);

}  // namespace quorin
