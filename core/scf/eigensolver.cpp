#include "core/scf/eigensolver.h"

#include <cmath>
#include <string>
#include <utility>

#include "core/types/errors.h"

namespace quorin {

namespace {

void require_square(const Matrix& m, std::size_t n, const char* what) {
    if (m.rows() != n || m.cols() != n) {
        throw EngineStop(std::string("Eigensolver shape mismatch: ") + what + " is " +
                         std::to_string(m.rows()) + " x " + std::to_string(m.cols()) + ", expected " +
                         std::to_string(n) + " x " + std::to_string(n));
    }
}

void check_shapes(const Matrix& a, const Matrix& work, const Vec64& eigenvalues, const Matrix& eigenvectors) {
    const std::size_t n = a.rows();
    require_square(a, n, "input matrix");
    require_square(work, n, "work matrix");
    require_square(eigenvectors, n, "eigenvector matrix");
    if (eigenvalues.size() != n) {
        throw EngineStop("Eigensolver shape mismatch: eigenvalue vector has length " +
                         std::to_string(eigenvalues.size()) + ", expected " + std::to_string(n));
    }
}

}  // namespace

std::size_t diagonalize_symmetric(const Matrix& a, Vec64& eigenvalues, Matrix& eigenvectors) {
    require_square(a, a.rows(), "input matrix");
    Matrix work = Matrix::zeros(a.rows(), a.cols());
    return diagonalize_symmetric_with_work(a, work, eigenvalues, eigenvectors);
}

std::size_t diagonalize_symmetric_with_work(const Matrix& a, Matrix& work, Vec64& eigenvalues,
                                            Matrix& eigenvectors) {
    check_shapes(a, work, eigenvalues, eigenvectors);
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
