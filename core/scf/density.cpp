#include "core/scf/density.h"

#include <cmath>

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

double frobenius_distance(const Matrix& a, const Matrix& b) {
    const std::size_t len = a.data().size();
    if (b.data().size() != len) stop_assert_eq("Matrix size mismatch", b.data().size(), len);
    const double* pa = a.data().data();
    const double* pb = b.data().data();
    double sum = 0.0;
    for (std::size_t i = 0; i < len; ++i) sum += (pa[i] - pb[i]) * (pa[i] - pb[i]);
    return std::sqrt(sum);
}

}  // namespace quorin
