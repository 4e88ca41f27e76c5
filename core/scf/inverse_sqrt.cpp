#include "core/scf/inverse_sqrt.h"

#include <algorithm>
#include <cmath>

#include "core/scf/blas.h"

namespace quorin {

void inverse_sqrt_symmetric(const Matrix& s, double min_eigenvalue, EigensolverWorkspace& workspace,
                            Vec64& eigenvalues, Matrix& eigenvectors, Matrix& x) {
    const std::size_t n = s.rows();
    diagonalize_symmetric(s, workspace, eigenvalues, eigenvectors);
    for (std::size_t k = 0; k < n; ++k) {
        eigenvalues[k] = 1.0 / std::sqrt(std::sqrt(std::max(std::abs(eigenvalues[k]), min_eigenvalue)));
    }
    for (std::size_t i = 0; i < n; ++i) {
        double* w_i = eigenvectors.row(i);
        for (std::size_t k = 0; k < n; ++k) w_i[k] *= eigenvalues[k];
    }
    leading_columns_gram(eigenvectors, n, 1.0, x);
}

}  // namespace quorin
