#include "core/ci/staged_eigensolver.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "core/scf/blas_threads.h"
#include "core/scf/eigensolver.h"
#include "core/types/interruption.h"

// The OpenBLAS build in use exports its BLAS and LAPACK routines with a
// "scipy_" prefix; trailing arguments are the lengths of the character ones.
extern "C" {
void scipy_dlatrd_(const char* uplo, const int* n, const int* nb, double* a, const int* lda, double* e, double* tau,
                   double* w, const int* ldw, std::size_t uplo_len);
void scipy_dsytd2_(const char* uplo, const int* n, double* a, const int* lda, double* d, double* e, double* tau,
                   int* info, std::size_t uplo_len);
void scipy_dsyr2k_(const char* uplo, const char* trans, const int* n, const int* k, const double* alpha,
                   const double* a, const int* lda, const double* b, const int* ldb, const double* beta, double* c,
                   const int* ldc, std::size_t uplo_len, std::size_t trans_len);
void scipy_dstedc_(const char* compz, const int* n, double* d, double* e, double* z, const int* ldz, double* work,
                   const int* lwork, int* iwork, const int* liwork, int* info, std::size_t compz_len);
void scipy_dormtr_(const char* side, const char* uplo, const char* trans, const int* m, const int* n,
                   const double* a, const int* lda, const double* tau, double* c, const int* ldc, double* work,
                   const int* lwork, int* info, std::size_t side_len, std::size_t uplo_len, std::size_t trans_len);
}

namespace quorin {

namespace {

// Columns reduced per panel: each panel costs about `kPanel` symmetric
// matrix-vector products with the rest of the matrix (a tenth of a second
// at order 5,000).
constexpr int kPanel = 32;
// Eigenvectors back-transformed per call: about 0.2 s at order 5,000.
constexpr int kBackTransformColumns = 256;

// The reduction, the tridiagonal solver and the back-transformation in
// column-major storage; a symmetric row-major matrix reads the same.
// Returns false when LAPACK reports a failure.
bool staged(const Matrix& a, Vec64& eigenvalues, Matrix& eigenvectors) {
    const int n = static_cast<int>(a.rows());
    const std::size_t order = a.rows();
    Matrix reduced = Matrix::zeros(order, order);
    reduced.copy_from(a);
    double* r = reduced.data().data();
    std::vector<double> off_diagonal(order), tau(order), panel_work(order * kPanel);
    double* d = eigenvalues.data();
    select_blas_threads(order);

    // Reduction to tridiagonal form (lower triangle), one panel at a time.
    int first = 0;
    const int ld = n;
    for (; first + kPanel < n; first += kPanel) {
        check_interruption();
        const int rest = n - first;
        double* block = r + static_cast<std::size_t>(first) * order + first;
        scipy_dlatrd_("L", &rest, &kPanel, block, &ld, off_diagonal.data() + first, tau.data() + first,
                      panel_work.data(), &rest, 1);
        const int trailing = rest - kPanel;
        const double minus_one = -1.0, one = 1.0;
        scipy_dsyr2k_("L", "N", &trailing, &kPanel, &minus_one, block + kPanel, &ld, panel_work.data() + kPanel,
                      &rest, &one, block + static_cast<std::size_t>(kPanel) * order + kPanel, &ld, 1, 1);
        for (int j = first; j < first + kPanel; ++j) {
            r[static_cast<std::size_t>(j) * order + j + 1] = off_diagonal[j];
            d[j] = r[static_cast<std::size_t>(j) * order + j];
        }
    }
    check_interruption();
    int info = 0;
    const int rest = n - first;
    scipy_dsytd2_("L", &rest, r + static_cast<std::size_t>(first) * order + first, &ld, d + first,
                  off_diagonal.data() + first, tau.data() + first, &info, 1);
    if (info != 0) return false;

    // Eigenvectors of the tridiagonal matrix, column-major in `eigenvectors`.
    check_interruption();
    double* z = eigenvectors.data().data();
    {
        const int lwork = 1 + 4 * n + n * n, liwork = 3 + 5 * n;
        Vec64 work = Vec64::zeros(static_cast<std::size_t>(lwork));
        std::vector<int> iwork(static_cast<std::size_t>(liwork));
        scipy_dstedc_("I", &n, d, off_diagonal.data(), z, &ld, work.data(), &lwork, iwork.data(), &liwork, &info,
                      1);
        if (info != 0) return false;
    }

    // Back to the original basis, a block of eigenvectors at a time.
    int lwork = -1;
    double optimum = 0.0;
    scipy_dormtr_("L", "L", "N", &n, &kBackTransformColumns, r, &ld, tau.data(), z, &ld, &optimum, &lwork, &info,
                  1, 1, 1);
    lwork = std::max(static_cast<int>(optimum), kBackTransformColumns * kPanel);
    std::vector<double> work(static_cast<std::size_t>(lwork));
    for (int column = 0; column < n; column += kBackTransformColumns) {
        check_interruption();
        const int count = std::min(kBackTransformColumns, n - column);
        scipy_dormtr_("L", "L", "N", &n, &count, r, &ld, tau.data(), z + static_cast<std::size_t>(column) * order,
                      &ld, work.data(), &lwork, &info, 1, 1, 1);
        if (info != 0) return false;
    }
    for (std::size_t k = 0; k < order; ++k) {
        if (!std::isfinite(d[k])) return false;
    }
    // Column-major eigenvectors are the rows of the storage: transposed to columns.
    for (std::size_t i = 0; i < order; ++i) {
        if (i % 256 == 0) check_interruption();
        for (std::size_t k = i + 1; k < order; ++k) std::swap(eigenvectors(i, k), eigenvectors(k, i));
    }
    fix_eigenvector_signs(eigenvectors);
    return true;
}

}  // namespace

void diagonalize_in_stages(const Matrix& a, Vec64& eigenvalues, Matrix& eigenvectors) {
    if (a.rows() < kStagedEigensolverMinOrder || eigenvalues.size() != a.rows() || eigenvectors.rows() != a.rows() ||
        eigenvectors.cols() != a.rows() || a.cols() != a.rows() || !staged(a, eigenvalues, eigenvectors)) {
        diagonalize_symmetric(a, eigenvalues, eigenvectors);
    }
}

std::size_t staged_eigensolver_scratch_doubles(std::size_t n) {
    // The reduced copy and the tridiagonal solver's work.
    return 2 * n * n + 16 * n;
}

}  // namespace quorin
