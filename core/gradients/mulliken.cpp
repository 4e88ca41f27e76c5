#include "core/gradients/mulliken.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <span>
#include <vector>

#include "core/integrals/overlap.h"
#include "core/scf/blas.h"
#include "core/scf/inverse_sqrt.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

// Floor on |eigenvalue| of S, so a near-singular overlap stays invertible.
constexpr double kMinOverlapEigenvalue = 1e-12;

Matrix build_valence_overlap(const MolecularBatch& molecule, const std::vector<std::optional<ElementParams>>& records) {
    const std::size_t n = molecule.n_basis;
    Matrix s = Matrix::zeros(n, n);
    for (std::size_t i = 0; i < n; ++i) s(i, i) = 1.0;
    std::vector<SlaterNorms> norms(molecule.n_atoms);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        if (records[a]) norms[a] = slater_norms(molecule.atomic_numbers[a], *records[a]);
    }
    std::array<double, 81> block{};
    for (std::size_t i = 0; i < molecule.n_atoms; ++i) {
        if (!records[i]) continue;
        for (std::size_t j = i + 1; j < molecule.n_atoms; ++j) {
            if (!records[j]) continue;
            const double dx = molecule.x[j] - molecule.x[i];
            const double dy = molecule.y[j] - molecule.y[i];
            const double dz = molecule.z[j] - molecule.z[i];
            const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
            if (r < 1e-10) continue;
            // s and p functions only: d functions keep no overlap with other atoms.
            compute_diatomic_overlap_matrix_9x9(molecule.atomic_numbers[i], molecule.atomic_numbers[j], 4, 4,
                                                *records[i], *records[j], norms[i], norms[j],
                                                std::span<double, 81>(block), dx, dy, dz, r);
            const std::size_t n_i = std::min<std::size_t>(molecule.orbitals_per_atom[i], 4);
            const std::size_t n_j = std::min<std::size_t>(molecule.orbitals_per_atom[j], 4);
            const std::size_t f_i = molecule.first_orbital[i];
            const std::size_t f_j = molecule.first_orbital[j];
            for (std::size_t mu = 0; mu < n_i; ++mu) {
                for (std::size_t nu = 0; nu < n_j; ++nu) {
                    s(f_i + mu, f_j + nu) = block[9 * mu + nu];
                    s(f_j + nu, f_i + mu) = block[9 * mu + nu];
                }
            }
        }
    }
    return s;
}

}  // namespace

MullikenResult compute_mulliken_population(const MolecularBatch& molecule, const ParameterModel& model,
                                           const Matrix& coefficients, std::size_t n_occ) {
    const std::size_t n = molecule.n_basis;
    if (coefficients.rows() != n) stop_assert_eq("Coefficient matrix size mismatch", coefficients.rows(), n);
    if (coefficients.cols() != n) stop_assert_eq("Coefficient matrix size mismatch", coefficients.cols(), n);
    if (n_occ > n) throw EngineStop("Number of occupied orbitals cannot exceed basis size");

    std::vector<std::optional<ElementParams>> records(molecule.n_atoms);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) records[a] = model.get_element(molecule.atomic_numbers[a]);

    MullikenResult result;
    result.overlap = build_valence_overlap(molecule, records);

    Vec64 eigenvalues = Vec64::zeros(n);
    Matrix eigenvectors = Matrix::zeros(n, n);
    EigensolverWorkspace eigensolver = EigensolverWorkspace::allocate(n);
    result.s_inv_sqrt = Matrix::zeros(n, n);
    inverse_sqrt_symmetric(result.overlap, kMinOverlapEigenvalue, eigensolver, eigenvalues, eigenvectors,
                           result.s_inv_sqrt);

    // C' = X C, occupied columns only: the density never reads the others.
    Matrix c_prime = Matrix::zeros(n, n_occ);
    multiply_leading_columns(result.s_inv_sqrt, coefficients, n_occ, c_prime);
    result.density = Matrix::zeros(n, n);
    leading_columns_gram(c_prime, n_occ, 2.0, result.density);

    result.population_matrix = Matrix::zeros(n, n);
    result.orbital_populations = Vec64::zeros(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double* d_i = result.density.row(i);
        const double* s_i = result.overlap.row(i);
        double* m_i = result.population_matrix.row(i);
        double population = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            m_i[j] = d_i[j] * s_i[j];
            population += m_i[j];
        }
        result.orbital_populations[i] = population;
    }

    result.atomic_populations = Vec64::zeros(molecule.n_atoms);
    result.charges = Vec64::zeros(molecule.n_atoms);
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const std::size_t f = molecule.first_orbital[a];
        double population = 0.0;
        for (std::size_t mu = 0; mu < molecule.orbitals_per_atom[a]; ++mu) {
            population += result.orbital_populations[f + mu];
        }
        result.atomic_populations[a] = population;
        result.charges[a] = (records[a] ? records[a]->core_charge : 0.0) - population;
        result.total_population += population;
    }
    return result;
}

}  // namespace quorin
