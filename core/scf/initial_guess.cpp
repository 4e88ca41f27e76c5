#include "core/scf/initial_guess.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/scf/density.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

bool is_transition_metal(std::uint8_t z) {
    return (z >= 21 && z <= 30) || (z >= 39 && z <= 48) || (z >= 57 && z <= 80) || (z >= 89 && z <= 112);
}

// Puts up to `electrons` evenly on orbitals [first, first + count), at most two
// per orbital; returns what did not fit.
double fill_evenly(Matrix& density, std::size_t first, std::size_t count, double electrons) {
    if (count == 0 || electrons <= 0.0) return std::max(electrons, 0.0);
    const double per_orbital = std::min(electrons / static_cast<double>(count), 2.0);
    for (std::size_t k = 0; k < count; ++k) density(first + k, first + k) = per_orbital;
    return electrons - per_orbital * static_cast<double>(count);
}

}  // namespace

void build_atomic_guess_density(const MolecularBatch& molecule, const ParameterModel& model, Matrix& density) {
    const std::size_t n = molecule.n_basis;
    if (density.rows() != n) stop_assert_eq("Density matrix size mismatch", density.rows(), n);
    if (density.cols() != n) stop_assert_eq("Density matrix size mismatch", density.cols(), n);
    density.fill(0.0);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const auto element = model.get_element(molecule.atomic_numbers[a]);
        if (!element) continue;
        const std::size_t first = molecule.first_orbital[a];
        const std::size_t orbitals = molecule.orbitals_per_atom[a];
        const std::size_t sp = std::min<std::size_t>(orbitals, 4);
        const std::size_t d = orbitals - sp;
        double electrons = std::max(element->core_charge, 0.0);
        if (d > 0 && is_transition_metal(molecule.atomic_numbers[a])) {
            const double s = std::min(electrons, 2.0);
            density(first, first) = s;
            electrons = fill_evenly(density, first + sp, d, electrons - s);
            fill_evenly(density, first + 1, sp - 1, electrons);
        } else {
            electrons = fill_evenly(density, first, sp, electrons);
            fill_evenly(density, first + sp, d, electrons);
        }
    }
}

void build_guess_orbital_density(const Matrix& coefficients, const Vec64& orbital_energies, std::size_t n_occ,
                                 Matrix& density) {
    const std::size_t n = coefficients.rows();
    if (orbital_energies.size() != n) stop_assert_eq("Orbital energy count mismatch", orbital_energies.size(), n);
    if (n_occ == 0 || n_occ >= n ||
        orbital_energies[n_occ] - orbital_energies[n_occ - 1] > kGuessDegeneracyEv) {
        compute_density_matrix(coefficients, n_occ, density);
        return;
    }
    std::size_t first = n_occ - 1;
    while (first > 0 && orbital_energies[first] - orbital_energies[first - 1] <= kGuessDegeneracyEv) --first;
    std::size_t end = n_occ + 1;
    while (end < n && orbital_energies[end] - orbital_energies[end - 1] <= kGuessDegeneracyEv) ++end;
    compute_density_matrix(coefficients, first, density);
    const double occupation = 2.0 * static_cast<double>(n_occ - first) / static_cast<double>(end - first);
    for (std::size_t i = 0; i < n; ++i) {
        const double* c_i = coefficients.row(i);
        double* p_i = density.row(i);
        for (std::size_t j = 0; j < n; ++j) {
            const double* c_j = coefficients.row(j);
            double sum = 0.0;
            for (std::size_t k = first; k < end; ++k) sum += c_i[k] * c_j[k];
            p_i[j] += occupation * sum;
        }
    }
}

}  // namespace quorin
