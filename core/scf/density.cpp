#include "core/scf/density.h"

#include "core/types/errors.h"

namespace quorin {

void compute_density_matrix(const Matrix& coefficients, std::size_t n_occ, Matrix& density) {
    const std::size_t n = coefficients.rows();
    if (coefficients.cols() != n) stop_assert_eq("Coefficient matrix must be square", coefficients.cols(), n);
    if (density.rows() != n) stop_assert_eq("Density matrix size mismatch", density.rows(), n);
    if (density.cols() != n) stop_assert_eq("Density matrix size mismatch", density.cols(), n);
    if (n_occ > n) throw EngineStop("Number of occupied orbitals cannot exceed basis size");

    for (std::size_t i = 0; i < n; ++i) {
        const double* ci = coefficients.row(i);
        double* pi = density.row(i);
        for (std::size_t j = i; j < n; ++j) {
            const double* cj = coefficients.row(j);
            double sum = 0.0;
            for (std::size_t k = 0; k < n_occ; ++k) sum += ci[k] * cj[k];
            pi[j] = 2.0 * sum;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < i; ++j) density(i, j) = density(j, i);
    }
}

double compute_electronic_energy(const Matrix& density, const Matrix& hcore, const Matrix& fock) {
    const std::size_t len = density.data().size();
    if (hcore.data().size() != len) stop_assert_eq("Core Hamiltonian size mismatch", hcore.data().size(), len);
    if (fock.data().size() != len) stop_assert_eq("Fock matrix size mismatch", fock.data().size(), len);
    const double* p = density.data().data();
    const double* h = hcore.data().data();
    const double* f = fock.data().data();
    double sum = 0.0;
    for (std::size_t i = 0; i < len; ++i) sum += p[i] * (h[i] + f[i]);
    return 0.5 * sum;
}

}  // namespace quorin
