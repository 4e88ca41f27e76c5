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
#include "core/types/interruption.h"

namespace quorin {

namespace {

// The check's start block: the exact Hessian over the kStartPairs lowest
// pairs, and kStartVectors vectors from it, each its eigenvector plus a dense
// pseudo-random part of norm kRandomWeight.
constexpr std::size_t kStartPairs = 4;
constexpr std::size_t kStartVectors = 3;
constexpr double kRandomWeight = 0.3;
// Roots the check follows.
constexpr std::size_t kTrackedRoots = 2;
// Absolute part of the tolerance of a converged Ritz value (eV).
constexpr double kEigenvalueTolerance = 5e-3;
// Up to this many occupied-virtual pairs, a check that runs out of products
// builds and diagonalises the whole Hessian instead.
constexpr std::size_t kDenseLimit = 400;
// Smallest |diagonal - theta| the Davidson preconditioner divides by.
constexpr double kPreconditionerFloor = 0.1;
// Ritz vectors kept when the subspace is full.
constexpr std::size_t kKeptOnRestart = 6;
constexpr std::size_t kMaxRoots = 4;

// Newton steps: the first trust radius (norm of the rotation generator, rad),
// its bounds, and the Hessian products spent on each augmented eigenproblem.
constexpr double kFirstTrustRadius = 0.3;
constexpr double kLargestTrustRadius = 1.0;
constexpr double kSmallestTrustRadius = 1e-3;
constexpr std::size_t kNewtonProducts = 12;
// Added to the occupied block to order it below the virtual one when the
// blocks are diagonalised together (eV, far beyond any orbital energy).
constexpr double kBlockSeparationEv = 1e4;

blasint as_blas_int(std::size_t value) { return static_cast<blasint>(value); }

double dot(const double* a, const double* b, std::size_t len) {
    return scipy_cblas_ddot(as_blas_int(len), a, 1, b, 1);
}

// y := y + alpha x
void axpy(double alpha, const double* x, double* y, std::size_t len) {
    scipy_cblas_daxpy(as_blas_int(len), alpha, x, 1, y, 1);
}

void scale(double alpha, double* x, std::size_t len) { scipy_cblas_dscal(as_blas_int(len), alpha, x, 1); }

// Removes from v its components along the first m rows of `basis` (twice,
// for orthogonality to working precision) and normalises it; returns the
// norm left before normalising, relative to the initial one.
double orthonormalize(const Matrix& basis, std::size_t m, double* v, std::size_t len) {
    const double initial = std::sqrt(dot(v, v, len));
    if (m > 0) {
        std::array<double, StabilityWorkspace::kSubspace> along{};
        const blasint bm = as_blas_int(m), bl = as_blas_int(len), ld = as_blas_int(basis.cols());
        for (int pass = 0; pass < 2; ++pass) {
            scipy_cblas_dgemv(CblasRowMajor, CblasNoTrans, bm, bl, 1.0, basis.data().data(), ld, v, 1, 0.0,
                              along.data(), 1);
            scipy_cblas_dgemv(CblasRowMajor, CblasTrans, bm, bl, -1.0, basis.data().data(), ld, along.data(), 1,
                              1.0, v, 1);
        }
    }
    const double norm = std::sqrt(dot(v, v, len));
    if (norm > 1e-10 * std::max(initial, 1e-300)) scale(1.0 / norm, v, len);
    return norm / std::max(initial, 1e-300);
}

using Subspace = std::array<double, StabilityWorkspace::kSubspace * StabilityWorkspace::kSubspace>;

// Eigenvalues (ascending) and eigenvectors of the symmetric m x m matrix a
// (row-major, overwritten): vector k is a[k * m ... k * m + m).
void subspace_eigenpairs(Subspace& a, std::size_t m, std::array<double, StabilityWorkspace::kSubspace>& values) {
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
}

// Replaces the first `keep` rows of `vectors` by the combinations of the
// first m given by the subspace eigenvectors y (vector k at y[k * m]).
// Entry by entry, in place: each entry only mixes the same entry of the
// others.
void rotate_subspace(Matrix& vectors, std::size_t m, const Subspace& y, std::size_t keep, std::size_t len) {
    std::array<double, StabilityWorkspace::kSubspace> row{};
    for (std::size_t p = 0; p < len; ++p) {
        for (std::size_t k = 0; k < keep; ++k) {
            double sum = 0.0;
            for (std::size_t l = 0; l < m; ++l) sum += y[k * m + l] * vectors(l, p);
            row[k] = sum;
        }
        for (std::size_t k = 0; k < keep; ++k) vectors(k, p) = row[k];
    }
}

// A fixed pseudo-random sequence in [-1, 1) (64-bit xorshift): the check
// gives the same answer on every run.
double next_signed_unit(std::uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<double>(state >> 11) * 0x1.0p-52 - 1.0;
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

// ws.trial := D = C_o X C_v^T + C_v X^T C_o^T for the pair vector x.
void build_trial_density(const Matrix& coefficients, std::size_t n_occ, const double* x, StabilityWorkspace& ws) {
    const std::size_t n = coefficients.rows();
    const std::size_t o = n_occ;
    const std::size_t v = n - n_occ;
    const blasint bn = as_blas_int(n), bo = as_blas_int(o), bv = as_blas_int(v);
    const double* c = coefficients.data().data();
    const double* c_virt = c + o;  // the virtual columns, leading dimension n
    double* half = ws.half.data().data();
    double* work = ws.response.data().data();
    // half := C_o X C_v^T, multiplying the shorter orbital block into n x n.
    if (o <= v) {
        scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasTrans, bo, bn, bv, 1.0, x, bv, c_virt, bn, 0.0, work, bn);
        scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, bn, bn, bo, 1.0, c, bn, work, bn, 0.0, half, bn);
    } else {
        scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, bn, bv, bo, 1.0, c, bn, x, bv, 0.0, work, bn);
        scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasTrans, bn, bn, bv, 1.0, work, bn, c_virt, bn, 0.0, half,
                          bn);
    }
    for (std::size_t i = 0; i < n; ++i) {
        double* d = ws.trial.row(i);
        for (std::size_t j = 0; j < n; ++j) d[j] = ws.half(i, j) + ws.half(j, i);
    }
}

// ws.trial := D for the unit vector of the pair (i, a): c_i c_a^T + c_a c_i^T.
void build_pair_trial_density(const Matrix& coefficients, std::size_t i, std::size_t a, StabilityWorkspace& ws) {
    const std::size_t n = coefficients.rows();
    for (std::size_t p = 0; p < n; ++p) {
        const double ci = coefficients(p, i);
        const double ca = coefficients(p, a);
        double* d = ws.trial.row(p);
        for (std::size_t q = 0; q < n; ++q) d[q] = ci * coefficients(q, a) + ca * coefficients(q, i);
    }
}

// out := C_o^T M C_v (o x v, leading dimension v) for a symmetric n x n M,
// with the shorter orbital block against n x n. Uses ws.half.
void occupied_virtual_block(const Matrix& coefficients, std::size_t n_occ, const Matrix& m, double* out,
                            StabilityWorkspace& ws) {
    const std::size_t n = coefficients.rows();
    const std::size_t o = n_occ;
    const std::size_t v = n - n_occ;
    const blasint bn = as_blas_int(n), bo = as_blas_int(o), bv = as_blas_int(v);
    const double* c = coefficients.data().data();
    const double* c_virt = c + o;
    const double* g = m.data().data();
    double* half = ws.half.data().data();
    if (o <= v) {
        scipy_cblas_dgemm(CblasRowMajor, CblasTrans, CblasNoTrans, bo, bn, bn, 1.0, c, bn, g, bn, 0.0, half, bn);
        scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, bo, bv, bn, 1.0, half, bn, c_virt, bn, 0.0, out,
                          bv);
    } else {
        scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, bn, bv, bn, 1.0, g, bn, c_virt, bn, 0.0, half,
                          bn);
        scipy_cblas_dgemm(CblasRowMajor, CblasTrans, CblasNoTrans, bo, bv, bn, 1.0, c, bn, half, bn, 0.0, out, bv);
    }
}

// y := (A + B) x from the trial density of x in ws.trial: one response build
// and its occupied-virtual block.
void hessian_of_trial_density(const Matrix& coefficients, const Vec64& orbital_energies, std::size_t n_occ,
                              double virtual_shift, const FockOfDensity& fock, const double* x, double* y,
                              StabilityWorkspace& ws) {
    const std::size_t o = n_occ;
    const std::size_t v = coefficients.rows() - n_occ;
    fock.build_response(ws.trial, ws.response);
    occupied_virtual_block(coefficients, n_occ, ws.response, y, ws);
    for (std::size_t i = 0; i < o; ++i) {
        const double occupied = orbital_energies[i] + virtual_shift;
        for (std::size_t a = 0; a < v; ++a) {
            const std::size_t k = i * v + a;
            y[k] = (orbital_energies[o + a] - occupied) * x[k] + 2.0 * y[k];
        }
    }
}

// One Davidson round as the stop rule sees it: the lowest Ritz values and
// the norms of their residuals (eV), for the roots tracked.
struct RitzRound {
    std::array<double, kMaxRoots> theta{};
    std::array<double, kMaxRoots> residual{};
    std::size_t roots = 0;
    std::size_t corrections = 0;  // rounds that added vectors since the start block
    bool complete = false;        // the vectors span the whole space: the Ritz pairs are exact
};

// The stop rule's answer: stop, or which roots get a correction vector.
struct RitzDecision {
    bool stop = false;
    std::array<bool, kMaxRoots> correct{};
};

// Block Davidson iterations for the lowest `roots` eigenpairs of a symmetric
// operator of dimension len, from the m orthonormal vectors already in the
// rows of ws.basis and their images in those of ws.images. Each round
// corrects the roots the rule asks for, each by its residual divided by
// precondition[k] - theta. product(x, y) sets y := operator x. Stops when
// the rule says so, when the products reach max_products, or when no new
// direction is left. Leaves the lowest Ritz pair in ws.ritz_vector and
// ws.ritz_image and returns the last round.
template <class Product, class Rule>
RitzRound lowest_eigenpairs(StabilityWorkspace& ws, std::size_t len, std::size_t m, const double* precondition,
                            std::size_t roots, std::size_t& products, std::size_t max_products, Product product,
                            Rule rule) {
    constexpr std::size_t kMax = StabilityWorkspace::kSubspace;
    roots = std::min(roots, kMaxRoots);
    Matrix& basis = ws.basis;
    Matrix& images = ws.images;
    const blasint bl = as_blas_int(len), ld = as_blas_int(basis.cols());
    Subspace rayleigh{};  // projected operator, kept between rounds (leading dimension kMax)
    Subspace vectors{};
    Subspace scratch{};
    std::array<double, kMax> theta{};
    std::size_t known = 0;  // leading block of `rayleigh` already filled
    RitzRound round;
    while (true) {
        if (m > known) {
            // New columns k of the projected operator, (b_l.w_k + w_l.b_k) / 2
            // for l <= k: two products of the basis with the new rows.
            const std::size_t fresh = m - known;
            const blasint bm = as_blas_int(m), bf = as_blas_int(fresh);
            double* bw = scratch.data();
            double* wb = vectors.data();
            scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasTrans, bm, bf, bl, 1.0, basis.data().data(), ld,
                              images.row(known), ld, 0.0, bw, bf);
            scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasTrans, bm, bf, bl, 1.0, images.data().data(), ld,
                              basis.row(known), ld, 0.0, wb, bf);
            for (std::size_t k = known; k < m; ++k) {
                for (std::size_t l = 0; l <= k; ++l) {
                    const double value = 0.5 * (bw[l * fresh + (k - known)] + wb[l * fresh + (k - known)]);
                    rayleigh[k * kMax + l] = value;
                    rayleigh[l * kMax + k] = value;
                }
            }
        }
        known = m;
        for (std::size_t k = 0; k < m; ++k) {
            for (std::size_t l = 0; l < m; ++l) vectors[k * m + l] = rayleigh[k * kMax + l];
        }
        subspace_eigenpairs(vectors, m, theta);
        round.roots = std::min(roots, m);
        round.complete = m == len;
        if (m + round.roots > kMax) {  // thick restart on the lowest Ritz vectors
            const std::size_t keep = std::min(kKeptOnRestart, m);
            rotate_subspace(basis, m, vectors, keep, len);
            rotate_subspace(images, m, vectors, keep, len);
            m = keep;
            known = keep;
            for (std::size_t k = 0; k < keep; ++k) {
                for (std::size_t l = 0; l < keep; ++l) rayleigh[k * kMax + l] = k == l ? theta[k] : 0.0;
            }
            continue;
        }
        // Residuals r_j = W y_j - theta_j V y_j of the tracked roots, in the
        // free basis rows that their corrections will take.
        {
            const blasint br = as_blas_int(round.roots), bm = as_blas_int(m);
            double* y = scratch.data();
            for (std::size_t j = 0; j < round.roots; ++j) {
                for (std::size_t k = 0; k < m; ++k) y[j * m + k] = -theta[j] * vectors[j * m + k];
            }
            scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, br, bl, bm, 1.0, vectors.data(), bm,
                              images.data().data(), ld, 0.0, basis.row(m), ld);
            scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, br, bl, bm, 1.0, y, bm,
                              basis.data().data(), ld, 1.0, basis.row(m), ld);
        }
        for (std::size_t j = 0; j < round.roots; ++j) {
            round.theta[j] = theta[j];
            round.residual[j] = std::sqrt(dot(basis.row(m + j), basis.row(m + j), len));
        }
        const RitzDecision decision = rule(round);
        std::size_t wanted = 0;
        for (std::size_t j = 0; j < round.roots; ++j) wanted += decision.correct[j] ? 1 : 0;
        if (decision.stop || wanted == 0 || products >= max_products || round.complete) break;
        const std::size_t first = m;
        for (std::size_t j = 0; j < round.roots; ++j) {
            if (!decision.correct[j]) continue;
            // In place: the correction's row m is at or before the residual's.
            double* correction = basis.row(m);
            const double* r = basis.row(first + j);
            for (std::size_t k = 0; k < len; ++k) {
                double denominator = precondition[k] - theta[j];
                if (std::fabs(denominator) < kPreconditionerFloor) {
                    denominator = denominator < 0.0 ? -kPreconditionerFloor : kPreconditionerFloor;
                }
                correction[k] = -r[k] / denominator;
            }
            if (orthonormalize(basis, m, correction, len) < 1e-8) continue;
            product(correction, images.row(m));
            ++products;
            ++m;
        }
        if (m == first) break;
        ++round.corrections;
    }
    const blasint bm = as_blas_int(m);
    scipy_cblas_dgemv(CblasRowMajor, CblasTrans, bm, bl, 1.0, basis.data().data(), ld, vectors.data(), 1, 0.0,
                      ws.ritz_vector.data(), 1);
    scipy_cblas_dgemv(CblasRowMajor, CblasTrans, bm, bl, 1.0, images.data().data(), ld, vectors.data(), 1, 0.0,
                      ws.ritz_image.data(), 1);
    return round;
}

// density := 2 C' C'^T for the occupied orbitals C' = (C_o + t C_v X^T)
// U^-1, U^T U = I + t^2 X X^T: the occupied orbitals turned towards the
// virtual ones by the angles atan(t s_k), s_k the singular values of X.
// Uses ws.trial and ws.response.
void rotated_density(const Matrix& coefficients, std::size_t n_occ, const double* x, double t,
                     StabilityWorkspace& ws, Matrix& density) {
    const std::size_t n = coefficients.rows();
    const std::size_t o = n_occ;
    const std::size_t v = n - n_occ;
    const blasint bn = as_blas_int(n), bo = as_blas_int(o), bv = as_blas_int(v);
    const double* c = coefficients.data().data();
    Matrix& rotated = ws.trial;
    for (std::size_t i = 0; i < n; ++i) {
        const double* c_row = coefficients.row(i);
        std::copy(c_row, c_row + o, rotated.row(i));
    }
    double* overlap = ws.response.data().data();
    scipy_cblas_dsyrk(CblasRowMajor, CblasUpper, CblasNoTrans, bo, bv, t * t, x, bv, 0.0, overlap, bn);
    for (std::size_t i = 0; i < o; ++i) overlap[i * n + i] += 1.0;
    scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasTrans, bn, bo, bv, t, c + o, bn, x, bv, 1.0,
                      rotated.data().data(), bn);
    cholesky_upper(overlap, o, n);
    scipy_cblas_dtrsm(CblasRowMajor, CblasRight, CblasUpper, CblasNoTrans, CblasNonUnit, bn, bo, 1.0, overlap, bn,
                      rotated.data().data(), bn);
    leading_columns_gram(rotated, o, 2.0, density);
}

// Orbitals spanning the occupied space of the idempotent density P and its
// complement, each set diagonalising its own block of F: the eigenvectors of
// P'FP' + Q'FQ' - s P' (P' = P/2, Q' = I - P'), whose shift s puts the
// occupied ones first. `work` and `product` are n x n scratch.
void semicanonical_orbitals(const Matrix& density, const Matrix& fock_matrix, std::size_t n_occ, Matrix& work,
                            Matrix& product, EigensolverWorkspace& eigensolver, Matrix& orbitals,
                            Vec64& orbital_energies) {
    const std::size_t n = density.rows();
    const blasint bn = as_blas_int(n);
    // product := F P' ; work := P' F P'
    scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, bn, bn, bn, 0.5, fock_matrix.data().data(), bn,
                      density.data().data(), bn, 0.0, product.data().data(), bn);
    scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, bn, bn, bn, 0.5, density.data().data(), bn,
                      product.data().data(), bn, 0.0, work.data().data(), bn);
    // P'FP' + Q'FQ' = F - FP' - P'F + 2 P'FP' (upper triangle, the lower
    // one still read from the symmetric P'FP'), less s P'.
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i; j < n; ++j) {
            work(i, j) = fock_matrix(i, j) - product(i, j) - product(j, i) + work(i, j) + work(j, i) -
                         kBlockSeparationEv * 0.5 * density(i, j);
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < i; ++j) work(i, j) = work(j, i);
    }
    diagonalize_symmetric(work, eigensolver, orbital_energies, orbitals);
    for (std::size_t i = 0; i < n_occ; ++i) orbital_energies[i] += kBlockSeparationEv;
}

// The whole Hessian, one product per pair, and its lowest eigenpair: the
// eigenvalue is returned, the eigenvector left in ws.ritz_vector. Allocates
// the len x len matrices it needs.
double dense_lowest_eigenpair(const Matrix& coefficients, const Vec64& orbital_energies, std::size_t n_occ,
                              double virtual_shift, const FockOfDensity& fock, StabilityWorkspace& ws) {
    const std::size_t v = coefficients.rows() - n_occ;
    const std::size_t len = n_occ * v;
    Matrix hessian = Matrix::zeros(len, len);
    Vec64 unit = Vec64::zeros(len), column = Vec64::zeros(len);
    for (std::size_t k = 0; k < len; ++k) {
        check_interruption();
        unit[k] = 1.0;
        build_pair_trial_density(coefficients, k / v, n_occ + k % v, ws);
        hessian_of_trial_density(coefficients, orbital_energies, n_occ, virtual_shift, fock, unit.data(),
                                 column.data(), ws);
        unit[k] = 0.0;
        for (std::size_t l = 0; l < len; ++l) hessian(l, k) = column[l];
    }
    for (std::size_t k = 0; k < len; ++k) {
        for (std::size_t l = 0; l < k; ++l) hessian(k, l) = hessian(l, k) = 0.5 * (hessian(k, l) + hessian(l, k));
    }
    Vec64 values = Vec64::zeros(len);
    Matrix vectors = Matrix::zeros(len, len);
    diagonalize_symmetric(hessian, values, vectors);
    for (std::size_t k = 0; k < len; ++k) ws.ritz_vector[k] = vectors(k, 0);
    return values[0];
}

}  // namespace

StabilityWorkspace StabilityWorkspace::allocate(std::size_t n_basis) {
    StabilityWorkspace ws;
    const std::size_t entries = (n_basis / 2) * (n_basis - n_basis / 2) + 1;
    ws.basis = Matrix::zeros(kSubspace, entries);
    ws.images = Matrix::zeros(kSubspace, entries);
    ws.diagonal = Vec64::zeros(entries);
    ws.ritz_vector = Vec64::zeros(entries);
    ws.ritz_image = Vec64::zeros(entries);
    ws.residual = Vec64::zeros(entries);
    ws.gradient = Vec64::zeros(entries);
    ws.trial = Matrix::zeros(n_basis, n_basis);
    ws.response = Matrix::zeros(n_basis, n_basis);
    ws.half = Matrix::zeros(n_basis, n_basis);
    return ws;
}

void apply_orbital_hessian(const Matrix& coefficients, const Vec64& orbital_energies, std::size_t n_occ,
                           double virtual_shift, const FockOfDensity& fock, const double* x, double* y,
                           StabilityWorkspace& ws) {
    check_interruption();
    select_blas_threads(coefficients.rows());
    build_trial_density(coefficients, n_occ, x, ws);
    hessian_of_trial_density(coefficients, orbital_energies, n_occ, virtual_shift, fock, x, y, ws);
}

void lowest_rotation(const Matrix& coefficients, std::size_t n_occ, StabilityWorkspace& ws, Matrix& rotation) {
    if (n_occ == 0 || n_occ >= coefficients.rows()) {  // no rotation exists
        rotation.fill(0.0);
        return;
    }
    select_blas_threads(coefficients.rows());
    build_trial_density(coefficients, n_occ, ws.ritz_vector.data(), ws);
    rotation.copy_from(ws.half);
}

StabilityCheck check_orbital_stability(const Matrix& coefficients, const Vec64& orbital_energies, std::size_t n_occ,
                                       double virtual_shift, const FockOfDensity& fock, StabilityWorkspace& ws,
                                       const Matrix* start_rotation, std::size_t max_products,
                                       double relative_tolerance) {
    StabilityCheck check;
    const std::size_t n = coefficients.rows();
    const std::size_t o = n_occ;
    const std::size_t v = n - std::min(n_occ, n);
    const std::size_t len = o * v;
    if (len == 0) {
        check.lowest_eigenvalue = std::numeric_limits<double>::infinity();
        return check;
    }
    if (len >= ws.diagonal.size() || ws.trial.rows() != n) {
        stop_assert_eq("Stability workspace size mismatch", ws.trial.rows(), n);
    }
    select_blas_threads(n);

    double* diagonal = ws.diagonal.data();
    std::size_t lowest = 0;
    for (std::size_t i = 0; i < o; ++i) {
        for (std::size_t a = 0; a < v; ++a) {
            const std::size_t k = i * v + a;
            diagonal[k] = orbital_energies[o + a] - virtual_shift - orbital_energies[i];
            if (diagonal[k] < diagonal[lowest]) lowest = k;
        }
    }
    // The lowest pairs, in order (partial selection).
    std::array<std::size_t, kStartPairs> start{};
    const std::size_t n_start = std::min({kStartPairs, len, n / 2});
    for (std::size_t s = 0; s < n_start; ++s) {
        std::size_t best = len;
        for (std::size_t k = 0; k < len; ++k) {
            if (std::find(start.begin(), start.begin() + s, k) != start.begin() + s) continue;
            if (best == len || diagonal[k] < diagonal[best]) best = k;
        }
        start[s] = best;
    }
    // The exact Hessian over these pairs, one response build each:
    // h_ls = (eps_a - eps_i) delta_ls + 2 c_i(l)^T G(D_s) c_a(l), D_s the
    // trial density of pair s. Its eigenvectors mix the lowest pairs as the
    // Hessian does, near-degenerate ones included. Its diagonal lies well
    // below the orbital-energy differences (by several eV in large
    // molecules); the preconditioner moves every pair by the mean offset.
    // Rows of ws.half: the orbitals c_a(l), then c_a(l)^T G(D_s).
    Subspace block{};
    std::array<double, StabilityWorkspace::kSubspace> block_values{};
    double offset = 0.0;
    for (std::size_t l = 0; l < n_start; ++l) {
        const std::size_t a = o + start[l] % v;
        for (std::size_t p = 0; p < n; ++p) ws.half(l, p) = coefficients(p, a);
    }
    for (std::size_t s = 0; s < n_start; ++s) {
        build_pair_trial_density(coefficients, start[s] / v, o + start[s] % v, ws);
        fock.build_response(ws.trial, ws.response);
        const blasint bs = as_blas_int(n_start), bn = as_blas_int(n);
        scipy_cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, bs, bn, bn, 1.0, ws.half.data().data(), bn,
                          ws.response.data().data(), bn, 0.0, ws.half.row(n_start), bn);
        for (std::size_t l = 0; l < n_start; ++l) {
            const std::size_t i = start[l] / v;
            const double* row = ws.half.row(n_start + l);
            double element = 0.0;
            for (std::size_t p = 0; p < n; ++p) element += row[p] * coefficients(p, i);
            block[l * n_start + s] = 2.0 * element + (l == s ? diagonal[start[s]] : 0.0);
        }
        offset += block[s * n_start + s] - diagonal[start[s]];
    }
    if (n_start > 0) {
        offset /= static_cast<double>(n_start);
        for (std::size_t l = 0; l < n_start; ++l) {
            for (std::size_t s = 0; s < l; ++s) {
                const double value = 0.5 * (block[l * n_start + s] + block[s * n_start + l]);
                block[l * n_start + s] = block[s * n_start + l] = value;
            }
        }
        subspace_eigenpairs(block, n_start, block_values);
    }

    const auto product = [&](const double* x, double* y) {
        apply_orbital_hessian(coefficients, orbital_energies, n_occ, virtual_shift, fock, x, y, ws);
    };
    // Start block: the earlier solution's lowest rotation when given, then
    // the lowest eigenvectors of the exact block, each plus a dense
    // pseudo-random vector weighted towards low pairs. No symmetry of the
    // molecule keeps such a vector within one symmetry block, so none is an
    // eigenvector, and every eigenvector has a part in the block.
    std::size_t m = 0;
    if (start_rotation) {
        double* x = ws.basis.row(0);
        occupied_virtual_block(coefficients, n_occ, *start_rotation, x, ws);
        if (orthonormalize(ws.basis, 0, x, len) > 1e-8 && dot(x, x, len) > 0.5) {
            product(x, ws.images.row(0));
            ++check.products;
            ++m;
        }
    }
    std::uint64_t state = 0x9e3779b97f4a7c15ULL;
    for (std::size_t s = 0; s < std::min(kStartVectors, len) && m < len; ++s) {
        double* x = ws.basis.row(m);
        double norm = 0.0;
        for (std::size_t k = 0; k < len; ++k) {
            x[k] = next_signed_unit(state) / (1.0 + std::max(diagonal[k] - diagonal[lowest], 0.0));
            norm += x[k] * x[k];
        }
        scale(kRandomWeight / std::sqrt(norm), x, len);
        if (s < n_start) {
            for (std::size_t l = 0; l < n_start; ++l) x[start[l]] += block[s * n_start + l];
        }
        if (orthonormalize(ws.basis, m, x, len) < 1e-8) continue;
        product(x, ws.images.row(m));
        ++check.products;
        ++m;
    }
    for (std::size_t k = 0; k < len; ++k) diagonal[k] += offset;

    // The stop rule. tolerance(theta) bounds the error of a converged Ritz
    // value: 5 meV plus `relative_tolerance` of its distance from the
    // threshold, tight where the verdict is close. Both tracked roots must
    // converge, after at least one correction of the lowest: a residual bounds
    // the distance to some eigenvalue, not to the next one, so a second root
    // still moving may hide a lower eigenvector. The error of the lowest is
    // its residual r1, or r1^2 / (theta2 - r2 - theta1) when the converged
    // second root lies clear above it (its interval's lower end standing for
    // the next eigenvalue).
    const auto tolerance = [&](double theta) {
        return kEigenvalueTolerance + relative_tolerance * std::max(theta - kUnstableEigenvalueEv, 0.0);
    };
    bool converged = false;
    double error = std::numeric_limits<double>::infinity();
    const auto rule = [&](const RitzRound& round) {
        RitzDecision decision;
        const double theta = round.theta[0], r1 = round.residual[0];
        const bool second_settled =
            round.roots < 2 ? round.complete : round.residual[1] <= tolerance(round.theta[1]);
        const double gap = round.roots > 1 && second_settled ? round.theta[1] - round.residual[1] - theta : 0.0;
        error = gap > 0.0 ? std::min(r1, r1 * r1 / gap) : r1;
        converged = (round.corrections > 0 || round.complete) && error <= tolerance(theta) && second_settled;
        // One correction a round, for the root farther from its tolerance:
        // each product then enters the next Rayleigh-Ritz step at once.
        const double behind0 = round.corrections == 0 ? std::numeric_limits<double>::infinity()
                                                      : error / tolerance(theta);
        const double behind1 = second_settled ? 0.0 : round.residual[1] / tolerance(round.theta[1]);
        decision.correct[0] = behind0 > 1.0 && behind0 >= behind1;
        decision.correct[1] = behind1 > 1.0 && !decision.correct[0];
        decision.stop = theta < kUnstableEigenvalueEv || converged;
        return decision;
    };
    const RitzRound last =
        lowest_eigenpairs(ws, len, m, diagonal, kTrackedRoots, check.products, max_products, product, rule);
    check.lowest_eigenvalue = last.theta[0];
    check.error_bound = error;
    if (last.theta[0] < kUnstableEigenvalueEv) {
        check.stable = false;  // a Ritz value bounds the lowest eigenvalue from above
    } else if (converged) {
        check.stable = true;
    } else if (len <= kDenseLimit) {
        check.lowest_eigenvalue = dense_lowest_eigenpair(coefficients, orbital_energies, n_occ, virtual_shift, fock, ws);
        check.products += len;
        check.error_bound = 0.0;
        check.stable = !(check.lowest_eigenvalue < kUnstableEigenvalueEv);
    } else {
        check.stable = false;
        check.decided = false;
    }
    return check;
}

double descend_along_unstable_rotation(const Matrix& coefficients, std::size_t n_occ, const FockOfDensity& fock,
                                       double energy, StabilityWorkspace& ws, Matrix& density,
                                       Matrix& trial_density, Matrix& fock_scratch) {
    select_blas_threads(coefficients.rows());
    const double* x = ws.ritz_vector.data();
    const auto energy_at = [&](double t) {
        rotated_density(coefficients, n_occ, x, t, ws, trial_density);
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

NewtonDescent descend_by_newton_steps(std::size_t n_occ, const FockOfDensity& fock, double energy, double gradient_tolerance,
                               std::size_t max_steps, Matrix& density, NewtonScratch scratch, StabilityWorkspace& ws) {
    const std::size_t n = density.rows();
    const std::size_t o = n_occ;
    const std::size_t v = n - std::min(n_occ, n);
    const std::size_t len = o * v;
    NewtonDescent descent{energy, 0};
    if (len == 0 || len + 1 > ws.diagonal.size()) return descent;
    select_blas_threads(n);
    const Matrix& c = scratch.orbitals;
    const Vec64& eps = scratch.orbital_energies;
    double* f = ws.gradient.data();

    fock.build(density, scratch.fock);
    double radius = kFirstTrustRadius;
    for (; descent.steps < max_steps; ++descent.steps) {
        semicanonical_orbitals(density, scratch.fock, o, scratch.work, scratch.trial_density, scratch.eigensolver,
                               scratch.orbitals, scratch.orbital_energies);
        occupied_virtual_block(c, o, scratch.fock, f, ws);
        double largest = 0.0, gradient_norm = 0.0;
        for (std::size_t k = 0; k < len; ++k) {
            largest = std::max(largest, std::fabs(f[k]));
            gradient_norm += f[k] * f[k];
        }
        gradient_norm = std::sqrt(gradient_norm);
        if (largest < gradient_tolerance) break;

        // The model E + 4 kappa.f + 2 kappa.(A + B)kappa has its minimum, or
        // with negative curvature its lowest point on a sphere, at kappa =
        // -(A + B - nu)^-1 f, nu the lowest eigenvalue of [[0, f^T], [f, A + B]]
        // and (1, kappa) its eigenvector. Entry 0 of the vectors below is the
        // first component; the pairs follow.
        const std::size_t dim = len + 1;
        double* precondition = ws.diagonal.data();
        precondition[0] = 0.0;
        for (std::size_t i = 0; i < o; ++i) {
            for (std::size_t a = 0; a < v; ++a) precondition[1 + i * v + a] = eps[o + a] - eps[i];
        }
        const auto product = [&](const double* x, double* y) {
            apply_orbital_hessian(c, eps, o, 0.0, fock, x + 1, y + 1, ws);
            y[0] = dot(f, x + 1, len);
            axpy(x[0], f, y + 1, len);
        };
        std::size_t products = 0;
        std::fill(ws.basis.row(0), ws.basis.row(0) + dim, 0.0);
        ws.basis(0, 0) = 1.0;
        ws.images(0, 0) = 0.0;
        std::copy(f, f + len, ws.images.row(0) + 1);
        std::size_t m = 1;
        double* first_order = ws.basis.row(1);
        first_order[0] = 0.0;
        for (std::size_t k = 0; k < len; ++k) first_order[1 + k] = -f[k] / std::max(precondition[1 + k], 0.1);
        if (orthonormalize(ws.basis, 1, first_order, dim) > 1e-8) {
            product(first_order, ws.images.row(1));
            ++products;
            ++m;
        }
        const auto rule = [&](const RitzRound& round) {
            RitzDecision decision;
            decision.stop = round.residual[0] < 1e-2 * gradient_norm;
            decision.correct[0] = true;
            return decision;
        };
        lowest_eigenpairs(ws, dim, m, precondition, 1, products, kNewtonProducts, product, rule);

        // kappa and (A + B) kappa from the lowest Ritz pair.
        const double* w = ws.ritz_vector.data();
        const double* image = ws.ritz_image.data();
        double* step_kappa = ws.residual.data();
        double along_gradient = 0.0, quadratic = 0.0, kappa_norm = 0.0;
        if (std::fabs(w[0]) > 1e-10) {
            for (std::size_t k = 0; k < len; ++k) step_kappa[k] = w[1 + k] / w[0];
            for (std::size_t k = 0; k < len; ++k) {
                along_gradient += step_kappa[k] * f[k];
                quadratic += step_kappa[k] * (image[1 + k] - f[k] * w[0]) / w[0];
            }
        } else {  // the gradient has no part along the lowest mode: follow the mode downhill
            const double sense = dot(w + 1, f, len) > 0.0 ? -1.0 : 1.0;
            for (std::size_t k = 0; k < len; ++k) step_kappa[k] = sense * w[1 + k];
            for (std::size_t k = 0; k < len; ++k) {
                along_gradient += step_kappa[k] * f[k];
                quadratic += sense * step_kappa[k] * image[1 + k];
            }
        }
        kappa_norm = std::sqrt(dot(step_kappa, step_kappa, len));
        if (!(kappa_norm > 0.0)) break;

        bool accepted = false;
        double length = std::min(radius, kappa_norm);
        for (int attempt = 0; attempt < 6 && !accepted && length > kSmallestTrustRadius; ++attempt) {
            const double t = length / kappa_norm;
            rotated_density(c, o, step_kappa, t, ws, scratch.trial_density);
            const double trial_energy = fock.electronic_energy(scratch.trial_density, scratch.work);
            const double predicted = 4.0 * t * along_gradient + 2.0 * t * t * quadratic;
            if (trial_energy < energy) {
                accepted = true;
                const double ratio = predicted < 0.0 ? (trial_energy - energy) / predicted : 0.0;
                if (ratio > 0.75 && length > 0.8 * radius) radius = std::min(2.0 * radius, kLargestTrustRadius);
                if (ratio < 0.25) radius = std::max(0.5 * length, kSmallestTrustRadius);
                energy = trial_energy;
                density.copy_from(scratch.trial_density);
                scratch.fock.copy_from(scratch.work);
            } else {
                length *= 0.25;
                radius = length;
            }
        }
        if (!accepted) break;
    }
    descent.energy = energy;
    return descent;
}

}  // namespace quorin
