#include "core/scf/stability.h"

#include <cblas.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

// The OpenBLAS build in use exports its LAPACK routines with a "scipy_" prefix.
#define LAPACK_GLOBAL(lcname, UCNAME) scipy_##lcname##_
#include <lapack.h>

#include "core/scf/blas.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

constexpr std::size_t kMaxProducts = 30;
// Residual norm (eV) at which the lowest Ritz pair counts as converged.
constexpr double kResidualTolerance = 5e-2;
// A negative eigenvalue lies below the band of positive ones, and the
// iterations expose such an outlier within a few products; resolving the
// bottom of a positive band (many nearly degenerate local excitations in a
// large molecule) would take many more. So a check that has spent
// kBandProducts products with the lowest Ritz value still above
// kClearlyStableEv stops there as stable.
constexpr std::size_t kBandProducts = 5;
constexpr double kClearlyStableEv = 0.5;
// Smallest |eps_a - eps_i - theta| the Davidson preconditioner divides by.
constexpr double kPreconditionerFloor = 1e-3;

blasint as_blas_int(std::size_t value) { return static_cast<blasint>(value); }

double dot(const double* a, const double* b, std::size_t len) {
    return scipy_cblas_ddot(as_blas_int(len), a, 1, b, 1);
}

// y := y + alpha x
void axpy(double alpha, const double* x, double* y, std::size_t len) {
    scipy_cblas_daxpy(as_blas_int(len), alpha, x, 1, y, 1);
}

void scale(double alpha, double* x, std::size_t len) { scipy_cblas_dscal(as_blas_int(len), alpha, x, 1); }

// Removes from v its components along the first m basis vectors (twice, for
// orthogonality to working precision) and normalises it; returns the norm
// left before normalising.
double orthonormalize(const std::vector<Vec64>& basis, std::size_t m, double* v, std::size_t len) {
    const double initial = std::sqrt(dot(v, v, len));
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t k = 0; k < m; ++k) axpy(-dot(basis[k].data(), v, len), basis[k].data(), v, len);
    }
    const double norm = std::sqrt(dot(v, v, len));
    if (norm > 1e-10 * std::max(initial, 1e-300)) scale(1.0 / norm, v, len);
    return norm / std::max(initial, 1e-300);
}

// Lowest eigenpair of the symmetric m x m matrix a (row-major, overwritten).
double lowest_eigenpair(std::array<double, StabilityWorkspace::kSubspace * StabilityWorkspace::kSubspace>& a,
                        std::size_t m, std::array<double, StabilityWorkspace::kSubspace>& vector) {
    std::array<double, StabilityWorkspace::kSubspace> values{};
    std::array<double, 8 * StabilityWorkspace::kSubspace> work{};
    const char jobz = 'V';
    const char uplo = 'L';
    const lapack_int order = static_cast<lapack_int>(m);
    const lapack_int lwork = static_cast<lapack_int>(work.size());
    lapack_int info = 0;
#ifdef LAPACK_FORTRAN_STRLEN_END
    LAPACK_dsyev_base(&jobz, &uplo, &order, a.data(), &order, values.data(), work.data(), &lwork, &info, 1, 1);
#else
    LAPACK_dsyev_base(&jobz, &uplo, &order, a.data(), &order, values.data(), work.data(), &lwork, &info);
#endif
    if (info != 0) throw EngineStop("Orbital stability subspace could not be diagonalised");
    // Column-major output: the first eigenvector is the first m entries.
    for (std::size_t k = 0; k < m; ++k) vector[k] = a[k];
    return values[0];
}

// Row-major S = U^T U with U upper triangular, for the leading m x m block
// (leading dimension ld) of a symmetric positive definite matrix whose upper
// triangle is filled. Column-major LAPACK sees the same storage as the lower
// factor.
void cholesky_upper(double* s, std::size_t m, std::size_t ld) {
    const char uplo = 'L';
    const lapack_int order = static_cast<lapack_int>(m);
    const lapack_int lda = static_cast<lapack_int>(ld);
    lapack_int info = 0;
#ifdef LAPACK_FORTRAN_STRLEN_END
    LAPACK_dpotrf_base(&uplo, &order, s, &lda, &info, 1);
#else
    LAPACK_dpotrf_base(&uplo, &order, s, &lda, &info);
#endif
    if (info != 0) throw EngineStop("Rotated orbitals could not be orthonormalised");
}

}  // namespace

StabilityWorkspace StabilityWorkspace::allocate(std::size_t n_basis) {
    StabilityWorkspace ws;
    const std::size_t pairs = (n_basis / 2) * (n_basis - n_basis / 2);
    ws.basis.reserve(kSubspace);
    ws.images.reserve(kSubspace);
    for (std::size_t k = 0; k < kSubspace; ++k) {
        ws.basis.push_back(Vec64::zeros(pairs));
        ws.images.push_back(Vec64::zeros(pairs));
    }
    ws.diagonal = Vec64::zeros(pairs);
    ws.ritz_vector = Vec64::zeros(pairs);
    ws.ritz_image = Vec64::zeros(pairs);
    ws.residual = Vec64::zeros(pairs);
    ws.trial = Matrix::zeros(n_basis, n_basis);
    ws.response = Matrix::zeros(n_basis, n_basis);
    ws.half = Matrix::zeros(n_basis, n_basis);
    return ws;
}

void apply_orbital_hessian(const Matrix& coefficients, const Vec64& orbital_energies, std::size_t n_occ,
                           double virtual_shift, const FockOfDensity& fock, const double* x, double* y,
                           StabilityWorkspace& ws) {
    const std::size_t n = coefficients.rows();
    const std::size_t o = n_occ;
    const std::size_t v = n - n_occ;
    const blasint bn = as_blas_int(n), bo = as_blas_int(o), bv = as_blas_int(v);
    const double* c = coefficients.data().data();
    const double* c_virt = c + o;  // the virtual columns, leading dimension n
    double* half = ws.half.data().data();
    double* work = ws.response.data().data();
    {
        const SingleThreadedBlas serial;
        // half := C_o X C_v^T, multiplying the shorter orbital block into n x n.
        if (o <= v) {
            scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasTrans, bo, bn, bv, 1.0, x, bv, c_virt, bn, 0.0, work,
                              bn);
            scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, bn, bn, bo, 1.0, c, bn, work, bn, 0.0, half,
                              bn);
        } else {
            scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, bn, bv, bo, 1.0, c, bn, x, bv, 0.0, work,
                              bn);
            scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasTrans, bn, bn, bv, 1.0, work, bn, c_virt, bn, 0.0, half,
                              bn);
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        double* d = ws.trial.row(i);
        for (std::size_t j = 0; j < n; ++j) d[j] = ws.half(i, j) + ws.half(j, i);
    }
    fock.build_response(ws.trial, ws.response);
    const double* g = ws.response.data().data();
    {
        const SingleThreadedBlas serial;
        // y := C_o^T G C_v, again with the shorter block against n x n.
        if (o <= v) {
            scipy_cblas_dgemm(CblasRowMajor, CblasTrans, CblasNoTrans, bo, bn, bn, 1.0, c, bn, g, bn, 0.0, half, bn);
            scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, bo, bv, bn, 1.0, half, bn, c_virt, bn, 0.0, y,
                              bv);
        } else {
            scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, bn, bv, bn, 1.0, g, bn, c_virt, bn, 0.0, half,
                              bn);
            scipy_cblas_dgemm(CblasRowMajor, CblasTrans, CblasNoTrans, bo, bv, bn, 1.0, c, bn, half, bn, 0.0, y, bv);
        }
    }
    for (std::size_t i = 0; i < o; ++i) {
        const double occupied = orbital_energies[i] + virtual_shift;
        for (std::size_t a = 0; a < v; ++a) {
            const std::size_t k = i * v + a;
            y[k] = (orbital_energies[o + a] - occupied) * x[k] + 2.0 * y[k];
        }
    }
}

StabilityCheck check_orbital_stability(const Matrix& coefficients, const Vec64& orbital_energies, std::size_t n_occ,
                                       double virtual_shift, const FockOfDensity& fock, StabilityWorkspace& ws) {
    StabilityCheck check;
    const std::size_t n = coefficients.rows();
    const std::size_t o = n_occ;
    const std::size_t v = n - std::min(n_occ, n);
    const std::size_t len = o * v;
    if (len == 0) {
        check.lowest_eigenvalue = std::numeric_limits<double>::infinity();
        return check;
    }
    if (len > ws.diagonal.size() || ws.trial.rows() != n) {
        stop_assert_eq("Stability workspace size mismatch", ws.trial.rows(), n);
    }

    double* diagonal = ws.diagonal.data();
    for (std::size_t i = 0; i < o; ++i) {
        for (std::size_t a = 0; a < v; ++a) diagonal[i * v + a] = orbital_energies[o + a] - virtual_shift - orbital_energies[i];
    }

    // Start: the pair of the lowest orbital-energy difference, and a vector
    // over every pair (weighted towards the low ones) so that a rotation of
    // any symmetry can enter the subspace.
    std::size_t lowest_pair = 0;
    for (std::size_t k = 1; k < len; ++k) {
        if (diagonal[k] < diagonal[lowest_pair]) lowest_pair = k;
    }
    std::size_t m = 1;
    ws.basis[0].fill(0.0);
    ws.basis[0][lowest_pair] = 1.0;
    if (len > m) {
        double* mixed = ws.basis[m].data();
        for (std::size_t k = 0; k < len; ++k) mixed[k] = 1.0 / std::max(std::fabs(diagonal[k]), 0.1);
        if (orthonormalize(ws.basis, m, mixed, len) > 1e-8) ++m;
    }
    for (std::size_t k = 0; k < m; ++k) {
        apply_orbital_hessian(coefficients, orbital_energies, n_occ, virtual_shift, fock, ws.basis[k].data(), ws.images[k].data(), ws);
        ++check.products;
    }

    constexpr std::size_t kMax = StabilityWorkspace::kSubspace;
    std::array<double, kMax * kMax> rayleigh{};
    std::array<double, kMax> y{};
    double* ritz = ws.ritz_vector.data();
    double* ritz_image = ws.ritz_image.data();
    double* residual = ws.residual.data();
    while (true) {
        for (std::size_t k = 0; k < m; ++k) {
            for (std::size_t l = 0; l <= k; ++l) {
                const double value = 0.5 * (dot(ws.basis[k].data(), ws.images[l].data(), len) +
                                            dot(ws.basis[l].data(), ws.images[k].data(), len));
                rayleigh[k * m + l] = value;
                rayleigh[l * m + k] = value;
            }
        }
        const double theta = lowest_eigenpair(rayleigh, m, y);
        std::fill(ritz, ritz + len, 0.0);
        std::fill(ritz_image, ritz_image + len, 0.0);
        for (std::size_t k = 0; k < m; ++k) {
            axpy(y[k], ws.basis[k].data(), ritz, len);
            axpy(y[k], ws.images[k].data(), ritz_image, len);
        }
        check.lowest_eigenvalue = theta;
        if (theta < kUnstableEigenvalueEv) {
            check.stable = false;
            return check;
        }
        for (std::size_t k = 0; k < len; ++k) residual[k] = ritz_image[k] - theta * ritz[k];
        const double residual_norm = std::sqrt(dot(residual, residual, len));
        const bool clearly_stable = check.products >= kBandProducts && theta > kClearlyStableEv;
        if (residual_norm < kResidualTolerance || clearly_stable || check.products >= kMaxProducts ||
            m == len) {
            return check;
        }
        if (m == kMax) {  // restart from the Ritz vector
            std::copy(ritz, ritz + len, ws.basis[0].data());
            std::copy(ritz_image, ritz_image + len, ws.images[0].data());
            m = 1;
        }
        double* correction = ws.basis[m].data();
        for (std::size_t k = 0; k < len; ++k) {
            double denominator = diagonal[k] - theta;
            if (std::fabs(denominator) < kPreconditionerFloor) {
                denominator = denominator < 0.0 ? -kPreconditionerFloor : kPreconditionerFloor;
            }
            correction[k] = -residual[k] / denominator;
        }
        if (orthonormalize(ws.basis, m, correction, len) < 1e-8) return check;
        apply_orbital_hessian(coefficients, orbital_energies, n_occ, virtual_shift, fock, correction, ws.images[m].data(), ws);
        ++check.products;
        ++m;
    }
}

double descend_along_unstable_rotation(const Matrix& coefficients, std::size_t n_occ, const FockOfDensity& fock,
                                       double energy, StabilityWorkspace& ws, Matrix& density,
                                       Matrix& trial_density, Matrix& fock_scratch) {
    const std::size_t n = coefficients.rows();
    const std::size_t o = n_occ;
    const std::size_t v = n - n_occ;
    const blasint bn = as_blas_int(n), bo = as_blas_int(o), bv = as_blas_int(v);
    const double* x = ws.ritz_vector.data();
    const double* c = coefficients.data().data();

    // gram := X X^T (upper triangle of the leading o x o block).
    {
        const SingleThreadedBlas serial;
        scipy_cblas_dsyrk(CblasRowMajor, CblasUpper, CblasNoTrans, bo, bv, 1.0, x, bv, 0.0, ws.half.data().data(),
                          bn);
    }
    // The occupied orbitals C_o + t C_v X^T, orthonormalised (S = I + t^2 X
    // X^T = U^T U, orbitals (C_o + t C_v X^T) U^-1): a unitary rotation whose
    // angles are atan(t s_k) for the singular values s_k of X.
    const auto energy_at = [&](double t) {
        Matrix& rotated = ws.trial;
        for (std::size_t i = 0; i < n; ++i) {
            const double* c_row = coefficients.row(i);
            double* r_row = rotated.row(i);
            std::copy(c_row, c_row + o, r_row);
        }
        Matrix& overlap = ws.response;
        for (std::size_t i = 0; i < o; ++i) {
            for (std::size_t j = i; j < o; ++j) overlap(i, j) = t * t * ws.half(i, j) + (i == j ? 1.0 : 0.0);
        }
        {
            const SingleThreadedBlas serial;
            scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasTrans, bn, bo, bv, t, c + o, bn, x, bv, 1.0,
                              rotated.data().data(), bn);
            cholesky_upper(overlap.data().data(), o, n);
            scipy_cblas_dtrsm(CblasRowMajor, CblasRight, CblasUpper, CblasNoTrans, CblasNonUnit, bn, bo, 1.0,
                              overlap.data().data(), bn, rotated.data().data(), bn);
        }
        leading_columns_gram(rotated, o, 2.0, trial_density);
        return fock.electronic_energy(trial_density, fock_scratch);
    };

    double best_energy = energy;
    double best_t = 0.0;
    const auto try_angle = [&](double angle) {
        const double e = energy_at(std::tan(angle));
        if (e < best_energy) {
            best_energy = e;
            best_t = std::tan(angle);
        }
        return e;
    };

    // Sense: the lower of the two at a first angle (halved while neither
    // lowers the energy); then onward in steps of that angle while the
    // energy keeps falling, up to a quarter turn, and a parabola through the
    // last three points.
    double step = 0.2;
    double sense = 0.0;
    for (int attempt = 0; attempt < 5 && sense == 0.0; ++attempt, step *= 0.5) {
        const double plus = try_angle(step);
        const double minus = try_angle(-step);
        if (std::min(plus, minus) < energy) sense = plus <= minus ? 1.0 : -1.0;
        if (sense != 0.0) break;
    }
    if (sense != 0.0) {
        constexpr double kQuarterTurn = 1.5707963267948966;
        double e_previous = energy;
        double e_current = best_energy;
        double angle = step;
        while (angle + step < kQuarterTurn) {
            const double e_next = try_angle(sense * (angle + step));
            if (e_next >= e_current) {
                // Vertex of the parabola through (angle - step, angle, angle + step).
                const double curvature = e_previous - 2.0 * e_current + e_next;
                if (curvature > 0.0) try_angle(sense * (angle + 0.5 * step * (e_previous - e_next) / curvature));
                break;
            }
            e_previous = e_current;
            e_current = e_next;
            angle += step;
        }
    }
    if (best_t != 0.0) {
        energy_at(best_t);
        density.copy_from(trial_density);
    }
    return best_energy;
}

}  // namespace quorin
