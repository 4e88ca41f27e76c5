#include "core/scf/density.h"

#include "core/scf/blas.h"
#include "core/types/errors.h"

namespace quorin {

void compute_density_matrix(const Matrix& coefficients, std::size_t n_occ, Matrix& density) {
    const std::size_t n = coefficients.rows();
    if (coefficients.cols() != n) stop_assert_eq("Coefficient matrix must be square", coefficients.cols(), n);
    if (density.rows() != n) stop_assert_eq("Density matrix size mismatch", density.rows(), n);
    if (density.cols() != n) stop_assert_eq("Density matrix size mismatch", density.cols(), n);
    if (n_occ > n) throw EngineStop("Number of occupied orbitals cannot exceed basis size");

    leading_columns_gram(coefficients, n_occ, 2.0, density);
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
