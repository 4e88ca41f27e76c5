#include "core/scf/eigensolver.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

// The OpenBLAS build in use exports its LAPACK routines with a "scipy_" prefix.
#define LAPACK_GLOBAL(lcname, UCNAME) scipy_##lcname##_
#include <lapack.h>

#include "core/scf/blas.h"
#include "core/scf/staged_eigensolver.h"
#include "core/types/errors.h"
#include "core/types/interruption.h"

namespace quorin {

namespace {

void require_square(const Matrix& m, std::size_t n, const char* what) {
    if (m.rows() != n || m.cols() != n) {
        throw EngineStop(std::string("Eigensolver shape mismatch: ") + what + " is " +
                         std::to_string(m.rows()) + " x " + std::to_string(m.cols()) + ", expected " +
                         std::to_string(n) + " x " + std::to_string(n));
    }
}

void check_shapes(const Matrix& a, const Vec64& eigenvalues, const Matrix& eigenvectors) {
    const std::size_t n = a.rows();
    require_square(a, n, "input matrix");
    require_square(eigenvectors, n, "eigenvector matrix");
    if (eigenvalues.size() != n) {
        throw EngineStop("Eigensolver shape mismatch: eigenvalue vector has length " +
                         std::to_string(eigenvalues.size()) + ", expected " + std::to_string(n));
    }
}

// Relative margin within which two component magnitudes count as equal for
// the sign convention, so that rounding differences between builds do not
// pick a different component.
constexpr double kSignTieMargin = 1e-10;

void transpose_in_place(Matrix& m) {
    const std::size_t n = m.rows();
    for (std::size_t i = 0; i < n; ++i) {
        double* row = m.row(i);
        for (std::size_t j = i + 1; j < n; ++j) std::swap(row[j], m(j, i));
    }
}

// The divide-and-conquer driver for eigenvalues and eigenvectors, with the
// hidden string-length arguments when the library's Fortran convention wants them.
void call_dsyevd(lapack_int n, double* a, double* w, double* work, lapack_int lwork, lapack_int* iwork,
                 lapack_int liwork, lapack_int& info) {
    const char jobz = 'V';
    const char uplo = 'L';
#ifdef LAPACK_FORTRAN_STRLEN_END
    LAPACK_dsyevd_base(&jobz, &uplo, &n, a, &n, w, work, &lwork, iwork, &liwork, &info, 1, 1);
#else
    LAPACK_dsyevd_base(&jobz, &uplo, &n, a, &n, w, work, &lwork, iwork, &liwork, &info);
#endif
}

// Minimum sizes of the divide-and-conquer workspace with eigenvectors.
// The staged solver for large orders needs the same.
std::size_t minimum_real_work(std::size_t n) { return n <= 1 ? 1 : staged_eigensolver_real_work(n); }
std::size_t minimum_integer_work(std::size_t n) { return n <= 1 ? 1 : staged_eigensolver_integer_work(n); }

// LAPACK on eigenvectors := a. Returns false when LAPACK reports a failure
// or returns a non-finite eigenvalue.
bool lapack_diagonalize(const Matrix& a, Vec64& real_work, std::vector<std::int32_t>& integer_work,
                        Vec64& eigenvalues, Matrix& eigenvectors) {
    const std::size_t n = a.rows();
    constexpr auto kIntMax = static_cast<std::size_t>(std::numeric_limits<lapack_int>::max());
    if (real_work.size() > kIntMax || integer_work.size() > kIntMax) return false;
    if (n >= kStagedEigensolverMinOrder &&
        diagonalize_in_stages(a, real_work, integer_work, eigenvalues, eigenvectors)) {
        return true;
    }
    // A symmetric matrix reads the same in row- and column-major order.
    eigenvectors.copy_from(a);
    lapack_int info = 0;
    select_blas_threads(n);
    call_dsyevd(static_cast<lapack_int>(n), eigenvectors.data().data(), eigenvalues.data(), real_work.data(),
                static_cast<lapack_int>(real_work.size()), integer_work.data(),
                static_cast<lapack_int>(integer_work.size()), info);
    if (info != 0) return false;
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(eigenvalues[k])) return false;
    }
    // Column-major output: eigenvector k is row k of the row-major storage.
    for (std::size_t k = 0; k < n; ++k) fix_eigenvector_sign(eigenvectors.row(k), n, 1);
    transpose_in_place(eigenvectors);
    return true;
}

// LAPACK, or the Jacobi in `jacobi_work` (allocated here when null) if it fails.
std::size_t diagonalize(const Matrix& a, Vec64& real_work, std::vector<std::int32_t>& integer_work,
                        Matrix* jacobi_work, Vec64& eigenvalues, Matrix& eigenvectors) {
    if (a.rows() == 0) return 0;
    if (lapack_diagonalize(a, real_work, integer_work, eigenvalues, eigenvectors)) return 0;
    Matrix own_work;
    if (jacobi_work == nullptr) {
        own_work = Matrix::zeros(a.rows(), a.rows());
        jacobi_work = &own_work;
    }
    const std::size_t sweeps = diagonalize_symmetric_jacobi(a, *jacobi_work, eigenvalues, eigenvectors);
    fix_eigenvector_signs(eigenvectors);
    return sweeps;
}

}  // namespace

void fix_eigenvector_sign(double* v, std::size_t n, std::size_t stride) {
    double largest = 0.0;
    for (std::size_t i = 0; i < n; ++i) largest = std::max(largest, std::fabs(v[i * stride]));
    const double threshold = largest * (1.0 - kSignTieMargin);
    for (std::size_t i = 0; i < n; ++i) {
        const double value = v[i * stride];
        if (std::fabs(value) < threshold) continue;
        if (value < 0.0) {
            for (std::size_t j = 0; j < n; ++j) v[j * stride] = -v[j * stride];
        }
        return;
    }
}

EigensolverWorkspace EigensolverWorkspace::allocate(std::size_t n) {
    EigensolverWorkspace ws;
    ws.n = n;
    std::size_t real_size = minimum_real_work(n);
    std::size_t integer_size = minimum_integer_work(n);
    if (n > 1 && n <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        // Size query: LAPACK may prefer more than the documented minimum.
        double a_dummy = 0.0;
        double w_dummy = 0.0;
        double real_optimum = 0.0;
        lapack_int integer_optimum = 0;
        lapack_int info = 0;
        call_dsyevd(static_cast<lapack_int>(n), &a_dummy, &w_dummy, &real_optimum, -1, &integer_optimum, -1,
                    info);
        if (info == 0) {
            real_size = std::max(real_size, static_cast<std::size_t>(std::max(real_optimum, 0.0)));
            integer_size =
                std::max(integer_size, static_cast<std::size_t>(std::max<lapack_int>(integer_optimum, 0)));
        }
    }
    ws.work = Vec64::zeros(real_size);
    ws.iwork.assign(integer_size, 0);
    return ws;
}

std::size_t diagonalize_symmetric(const Matrix& a, Vec64& eigenvalues, Matrix& eigenvectors) {
    require_square(a, a.rows(), "input matrix");
    EigensolverWorkspace ws = EigensolverWorkspace::allocate(a.rows());
    // Zeroing the scratch of a large matrix takes as long as a step of the
    // staged solver (0.4 GB at order 4,900).
    if (a.rows() >= kStagedEigensolverMinOrder) check_interruption();
    return diagonalize_symmetric(a, ws, eigenvalues, eigenvectors);
}

std::size_t diagonalize_symmetric(const Matrix& a, EigensolverWorkspace& workspace, Vec64& eigenvalues,
                                  Matrix& eigenvectors) {
    check_shapes(a, eigenvalues, eigenvectors);
    if (workspace.n != a.rows()) {
        throw EngineStop("Eigensolver shape mismatch: workspace is for " + std::to_string(workspace.n) +
                         " x " + std::to_string(workspace.n) + ", matrix is " + std::to_string(a.rows()) +
                         " x " + std::to_string(a.rows()));
    }
    return diagonalize(a, workspace.work, workspace.iwork, nullptr, eigenvalues, eigenvectors);
}

std::size_t diagonalize_symmetric_with_work(const Matrix& a, Matrix& work, Vec64& eigenvalues,
                                            Matrix& eigenvectors) {
    check_shapes(a, eigenvalues, eigenvectors);
    require_square(work, a.rows(), "work matrix");
    Vec64 real_work = Vec64::zeros(minimum_real_work(a.rows()));
    std::vector<std::int32_t> integer_work(minimum_integer_work(a.rows()), 0);
    return diagonalize(a, real_work, integer_work, &work, eigenvalues, eigenvectors);
}

void fix_eigenvector_signs(Matrix& eigenvectors) {
    const std::size_t n = eigenvectors.rows();
    const std::size_t stride = eigenvectors.cols();
    for (std::size_t k = 0; k < stride; ++k) fix_eigenvector_sign(eigenvectors.data().data() + k, n, stride);
}

std::size_t diagonalize_symmetric_jacobi(const Matrix& a, Matrix& work, Vec64& eigenvalues,
                                         Matrix& eigenvectors) {
    check_shapes(a, eigenvalues, eigenvectors);
    require_square(work, a.rows(), "work matrix");
    const std::size_t n = a.rows();
    work.copy_from(a);

    // The rotations are accumulated into V^T (held in `eigenvectors`) so that
    // the update of columns p and q of V runs over two contiguous rows. Each
    // element sees the same arithmetic as in V itself, so the result is
    // bit-identical; V is restored by a transpose at the end.
    Matrix& vt = eigenvectors;
    vt.fill(0.0);
    for (std::size_t i = 0; i < n; ++i) vt(i, i) = 1.0;

    const double n_pairs = n > 1 ? double(n) * double(n - 1) / 2.0 : 1.0;
    std::size_t sweeps = kJacobiMaxSweeps;
    for (std::size_t k = 1; k <= kJacobiMaxSweeps; ++k) {
        double sm = 0.0;
        for (std::size_t p = 0; p + 1 < n; ++p) {
            const double* wp = work.row(p);
            for (std::size_t q = p + 1; q < n; ++q) sm += std::fabs(wp[q]);
        }
        if (sm < double(n) * 1e-14) {
            sweeps = k;
            break;
        }
        const double tau = k <= 3 ? 0.2 * sm / n_pairs : 0.0;

        for (std::size_t p = 0; p + 1 < n; ++p) {
            double* wp = work.row(p);
            for (std::size_t q = p + 1; q < n; ++q) {
                double* wq = work.row(q);
                const double apq = wp[q];
                const double g = 100.0 * std::fabs(apq);
                if (k > 5 && std::fabs(wp[p]) + g == std::fabs(wp[p]) &&
                    std::fabs(wq[q]) + g == std::fabs(wq[q])) {
                    wp[q] = 0.0;
                    wq[p] = 0.0;
                    continue;
                }
                if (!(std::fabs(apq) > tau)) continue;

                const double h = wq[q] - wp[p];
                double t;
                if (std::fabs(h) + g == std::fabs(h)) {
                    t = apq / h;
                } else {
                    const double theta = 0.5 * h / apq;
                    t = 1.0 / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                    if (theta < 0.0) t = -t;
                }
                const double c = 1.0 / std::sqrt(t * t + 1.0);
                const double s = t * c;
                const double rho = s / (1.0 + c);

                wp[p] -= t * apq;
                wq[q] += t * apq;
                wp[q] = 0.0;
                wq[p] = 0.0;

                for (std::size_t j = 0; j < n; ++j) {
                    if (j == p || j == q) continue;
                    double* wj = work.row(j);
                    const double gj = wj[p];
                    const double hj = wj[q];
                    const double new_p = gj - s * (hj + rho * gj);
                    const double new_q = hj + s * (gj - rho * hj);
                    wj[p] = new_p;
                    wj[q] = new_q;
                    wp[j] = new_p;
                    wq[j] = new_q;
                }

                double* vp = vt.row(p);
                double* vq = vt.row(q);
                for (std::size_t j = 0; j < n; ++j) {
                    const double gj = vp[j];
                    const double hj = vq[j];
                    vp[j] = gj - s * (hj + rho * gj);
                    vq[j] = hj + s * (gj - rho * hj);
                }
            }
        }
    }

    for (std::size_t i = 0; i < n; ++i) eigenvalues[i] = work(i, i);

    // Selection sort, ascending, earliest index on ties; a column swap of V
    // is a row swap of V^T.
    for (std::size_t i = 0; i + 1 < n; ++i) {
        std::size_t best = i;
        for (std::size_t j = i + 1; j < n; ++j) {
            if (eigenvalues[j] < eigenvalues[best]) best = j;
        }
        if (best != i) {
            std::swap(eigenvalues[i], eigenvalues[best]);
            double* ri = vt.row(i);
            double* rb = vt.row(best);
            for (std::size_t j = 0; j < n; ++j) std::swap(ri[j], rb[j]);
        }
    }

    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) std::swap(vt(i, j), vt(j, i));
    }
    return sweeps;
}

}  // namespace quorin
