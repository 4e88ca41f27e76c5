#include "core/scf/staged_eigensolver.h"

#include <cblas.h>

#include <algorithm>
#include <cmath>

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
void scipy_dlaed2_(int* k, const int* n, const int* n1, double* d, double* q, const int* ldq, int* indxq,
                   double* rho, double* z, double* dlamda, double* w, double* q2, int* indx, int* indxc, int* indxp,
                   int* coltyp, int* info);
void scipy_dlaed4_(const int* n, const int* i, const double* d, const double* z, double* delta, const double* rho,
                   double* dlam, int* info);
void scipy_dlaed1_(const int* n, double* d, double* q, const int* ldq, int* indxq, double* rho, const int* cutpnt,
                   double* work, int* iwork, int* info);
void scipy_dlamrg_(const int* n1, const int* n2, const double* a, const int* strd1, const int* strd2, int* index);
void scipy_dgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k,
                  const double* alpha, const double* a, const int* lda, const double* b, const int* ldb,
                  const double* beta, double* c, const int* ldc, std::size_t transa_len, std::size_t transb_len);
void scipy_dormtr_(const char* side, const char* uplo, const char* trans, const int* m, const int* n,
                   const double* a, const int* lda, const double* tau, double* c, const int* ldc, double* work,
                   const int* lwork, int* info, std::size_t side_len, std::size_t uplo_len, std::size_t trans_len);
}

namespace quorin {

namespace {

// Columns reduced per panel: each panel costs about `kPanel` symmetric
// matrix-vector products with the rest of the matrix (0.06 s at order 4,900
// on one thread).
constexpr int kPanel = 32;
// Tridiagonal pieces up to this order are solved in one LAPACK call (0.03 s
// on one thread).
constexpr int kLeafOrder = 1000;
// Halves are joined in one LAPACK call up to this order (0.13 s on one
// thread): on several threads the library's own join is the faster one.
constexpr int kOneCallJoinOrder = 2000;
// Columns per step (and per thread of the library) of a join's matrix
// products and of the back-transformation, and roots or eigenvectors per
// step of a join's secular equations: each step takes under 0.1 s at order
// 4,900 on one thread.
constexpr int kBlockColumns = 256;

std::size_t at(int column, int ld) { return static_cast<std::size_t>(column) * static_cast<std::size_t>(ld); }

// Scratch of a piece: doubles and integers, each taken from the front.
struct Scratch {
    double* real;
    std::size_t real_size;
    int* integer;
    std::size_t integer_size;
};

bool solve_piece(int n, double* d, double* e, double* q, int ldq, int* indxq, const Scratch& scratch);

// Joins the eigensystems of the two halves (rows and columns [0, cut) and
// [cut, n) of q, eigenvalues in d sorted by the halves' permutations in
// indxq) across the rank-one coupling rho: the rank-one update of a
// diagonal matrix, with deflation, the secular equation per root, the
// eigenvectors of the update by the recomputed-z formula that keeps them
// orthogonal, and their product with the halves' eigenvectors. On return d
// and the columns of q hold the eigenpairs, sorted by indxq.
bool join_halves(int n, int cut, double rho, double* d, double* q, int ldq, int* indxq, const Scratch& scratch) {
    const auto size = static_cast<std::size_t>(n);
    if (scratch.integer_size < 4 * size || scratch.real_size < 3 * size) return false;
    double* z = scratch.real;
    double* dlamda = z + size;
    double* w = dlamda + size;
    double* q2 = w + size;
    int* indx = scratch.integer;
    int* indxc = indx + size;
    int* coltyp = indxc + size;
    int* indxp = coltyp + size;
    const auto Q = [&](int row, int column) -> double& { return q[at(column, ldq) + static_cast<std::size_t>(row)]; };

    // The coupling vector: the last row of the first half's eigenvectors and
    // the first row of the second's.
    for (int j = 0; j < cut; ++j) z[j] = Q(cut - 1, j);
    for (int j = cut; j < n; ++j) z[j] = Q(cut, j);
    int k = 0, info = 0;
    scipy_dlaed2_(&k, &n, &cut, d, q, &ldq, indxq, &rho, z, dlamda, w, q2, indx, indxc, indxp, coltyp, &info);
    if (info != 0) return false;
    if (k == 0) {  // everything deflated: d and q came back sorted
        for (int i = 0; i < n; ++i) indxq[i] = i + 1;
        return true;
    }
    const int ctot1 = coltyp[0], ctot2 = coltyp[1], ctot3 = coltyp[2];
    const int n2 = n - cut, n12 = ctot1 + ctot2, n23 = ctot2 + ctot3;
    const std::size_t q2_used = at(n12, cut) + at(n23, n2);
    double* s = q2 + q2_used;
    const std::size_t s_size = scratch.real_size - 3 * size - q2_used;
    if (s_size < size || s_size < static_cast<std::size_t>(n12 + n23)) return false;

    // The roots; column j of q (its first k rows) gets dlamda - root j.
    for (int j = 0; j < k; ++j) {
        if (j % kBlockColumns == 0) check_interruption();
        const int index = j + 1;
        scipy_dlaed4_(&k, &index, dlamda, w, &Q(0, j), &rho, d + j, &info);
        if (info != 0) return false;
    }
    if (k == 2) {
        for (int j = 0; j < 2; ++j) {
            const double delta[2] = {Q(0, j), Q(1, j)};
            Q(0, j) = delta[indxc[0] - 1];
            Q(1, j) = delta[indxc[1] - 1];
        }
    } else if (k > 2) {
        // z recomputed from the roots so that the eigenvectors of the
        // update come out orthogonal however close the roots lie.
        std::copy(w, w + k, s);
        for (int i = 0; i < k; ++i) w[i] = Q(i, i);
        for (int j = 0; j < k; ++j) {
            if (j % kBlockColumns == 0) check_interruption();
            const double* delta = &Q(0, j);
            for (int i = 0; i < j; ++i) w[i] *= delta[i] / (dlamda[i] - dlamda[j]);
            for (int i = j + 1; i < k; ++i) w[i] *= delta[i] / (dlamda[i] - dlamda[j]);
        }
        for (int i = 0; i < k; ++i) w[i] = std::copysign(std::sqrt(-w[i]), s[i]);
        for (int j = 0; j < k; ++j) {
            if (j % kBlockColumns == 0) check_interruption();
            double largest = 0.0;
            for (int i = 0; i < k; ++i) {
                s[i] = w[i] / Q(i, j);
                largest = std::max(largest, std::fabs(s[i]));
            }
            double sum = 0.0;
            for (int i = 0; i < k; ++i) sum += (s[i] / largest) * (s[i] / largest);
            const double norm = largest * std::sqrt(sum);
            for (int i = 0; i < k; ++i) Q(i, j) = s[indxc[i] - 1] / norm;
        }
    }

    // The new eigenvectors: the halves' eigenvectors (packed by dlaed2 into
    // q2, by rows that are non-zero) times those of the update, a block of
    // columns per thread of the library at a time. A block's rows of the
    // update are copied out first, since the products overwrite them.
    const std::size_t wanted = static_cast<std::size_t>(kBlockColumns) * std::max(scipy_openblas_get_num_threads(), 1);
    const int block = static_cast<int>(std::min(wanted, s_size / static_cast<std::size_t>(n12 + n23)));
    const double* q2_top = q2;
    const double* q2_bottom = q2 + at(n12, cut);
    const double one = 1.0, zero = 0.0;
    for (int first = 0; first < k; first += block) {
        check_interruption();
        const int count = std::min(block, k - first);
        double* s23 = s;
        double* s12 = s + at(count, n23);
        for (int j = 0; j < count; ++j) {
            for (int i = 0; i < n23; ++i) s23[at(j, n23) + static_cast<std::size_t>(i)] = Q(ctot1 + i, first + j);
            for (int i = 0; i < n12; ++i) s12[at(j, n12) + static_cast<std::size_t>(i)] = Q(i, first + j);
        }
        double* top = &Q(0, first);
        if (n23 > 0) {
            scipy_dgemm_("N", "N", &n2, &count, &n23, &one, q2_bottom, &n2, s23, &n23, &zero, top + cut, &ldq, 1, 1);
        } else {
            for (int j = 0; j < count; ++j) std::fill_n(top + at(j, ldq) + cut, n2, 0.0);
        }
        if (n12 > 0) {
            scipy_dgemm_("N", "N", &cut, &count, &n12, &one, q2_top, &cut, s12, &n12, &zero, top, &ldq, 1, 1);
        } else {
            for (int j = 0; j < count; ++j) std::fill_n(top + at(j, ldq), cut, 0.0);
        }
    }
    // The roots ascend, the deflated eigenvalues descend: one merged order.
    const int deflated = n - k, ascending = 1, descending = -1;
    scipy_dlamrg_(&k, &deflated, d, &ascending, &descending, indxq);
    return true;
}

// Eigenpairs of the tridiagonal matrix (d, e) of order n: eigenvalues into
// d, eigenvectors into the n x n block at q (column-major, leading dimension
// ldq, zero on entry), with the 1-based permutation indxq that sorts them.
bool solve_piece(int n, double* d, double* e, double* q, int ldq, int* indxq, const Scratch& scratch) {
    if (n <= kLeafOrder) {
        const int lwork = 1 + 4 * n + n * n, liwork = 3 + 5 * n;
        if (scratch.real_size < static_cast<std::size_t>(lwork) ||
            scratch.integer_size < static_cast<std::size_t>(liwork)) {
            return false;
        }
        int info = 0;
        scipy_dstedc_("I", &n, d, e, q, &ldq, scratch.real, &lwork, scratch.integer, &liwork, &info, 1);
        for (int i = 0; i < n; ++i) indxq[i] = i + 1;
        return info == 0;
    }
    // T = diag(T1, T2) + rho v v^T, v = (0, ..., 1, 1, ..., 0) across the cut.
    const int cut = n / 2;
    const double rho = e[cut - 1];
    d[cut - 1] -= std::fabs(rho);
    d[cut] -= std::fabs(rho);
    if (!solve_piece(cut, d, e, q, ldq, indxq, scratch)) return false;
    check_interruption();
    if (!solve_piece(n - cut, d + cut, e + cut, q + at(cut, ldq) + cut, ldq, indxq + cut, scratch)) return false;
    check_interruption();
    if (n > kOneCallJoinOrder) return join_halves(n, cut, rho, d, q, ldq, indxq, scratch);
    if (scratch.real_size < 4 * static_cast<std::size_t>(n) + static_cast<std::size_t>(n) * static_cast<std::size_t>(n) ||
        scratch.integer_size < 4 * static_cast<std::size_t>(n)) {
        return false;
    }
    int info = 0;
    double coupling = rho;
    scipy_dlaed1_(&n, d, q, &ldq, indxq, &coupling, &cut, scratch.real, scratch.integer, &info);
    return info == 0;
}

}  // namespace

std::size_t staged_eigensolver_real_work(std::size_t n) { return 1 + 6 * n + 2 * n * n; }

std::size_t staged_eigensolver_integer_work(std::size_t n) { return 3 + 5 * n; }

bool diagonalize_in_stages(const Matrix& a, Vec64& real_work, std::vector<std::int32_t>& integer_work,
                           Vec64& eigenvalues, Matrix& eigenvectors) {
    const std::size_t order = a.rows();
    const int n = static_cast<int>(order);
    if (real_work.size() < staged_eigensolver_real_work(order) ||
        integer_work.size() < staged_eigensolver_integer_work(order)) {
        return false;
    }
    // Column-major throughout; a symmetric row-major matrix reads the same.
    // `eigenvectors` holds the reduction (and its reflectors) until the end;
    // the work array holds the tridiagonal problem's eigenvectors, then the
    // reflectors' coefficients, the off-diagonal and the solver's scratch.
    eigenvectors.copy_from(a);
    double* r = eigenvectors.data().data();
    double* z = real_work.data();
    double* tau = z + order * order;
    double* e = tau + order;
    double* rest = e + order;
    const std::size_t rest_size = real_work.size() - order * order - 2 * order;
    double* d = eigenvalues.data();
    // The permutation that sorts the eigenvalues comes first in the integer
    // scratch; a matrix solved in one piece needs all of it for the solver
    // and writes the (identity) permutation only afterwards.
    int* indxq = integer_work.data();
    const bool one_piece = n <= kLeafOrder;
    const std::size_t taken = one_piece ? 0 : order;
    const Scratch scratch{rest, rest_size, integer_work.data() + taken, integer_work.size() - taken};
    // One thread count for every step, as for the one-call driver: the
    // library itself keeps small products on fewer threads.
    select_blas_threads(order);

    // Reduction to tridiagonal form (lower triangle), one panel at a time;
    // the panel's work matrix lives where the eigenvectors will go.
    int first = 0;
    for (; first + kPanel < n; first += kPanel) {
        check_interruption();
        const int remaining = n - first;
        double* block = r + at(first, n) + static_cast<std::size_t>(first);
        scipy_dlatrd_("L", &remaining, &kPanel, block, &n, e + first, tau + first, z, &remaining, 1);
        const int trailing = remaining - kPanel;
        const double minus_one = -1.0, one = 1.0;
        scipy_dsyr2k_("L", "N", &trailing, &kPanel, &minus_one, block + kPanel, &n, z + kPanel, &remaining, &one,
                      block + at(kPanel, n) + kPanel, &n, 1, 1);
        for (int j = first; j < first + kPanel; ++j) {
            r[at(j, n) + static_cast<std::size_t>(j) + 1] = e[j];
            d[j] = r[at(j, n) + static_cast<std::size_t>(j)];
        }
    }
    check_interruption();
    int info = 0;
    const int remaining = n - first;
    scipy_dsytd2_("L", &remaining, r + at(first, n) + static_cast<std::size_t>(first), &n, d + first, e + first,
                  tau + first, &info, 1);
    if (info != 0) return false;

    // The tridiagonal problem, scaled to a largest element of one as the
    // one-call solver does, so that no step over- or underflows.
    double largest = 0.0;
    for (std::size_t i = 0; i < order; ++i) largest = std::max(largest, std::fabs(d[i]));
    for (std::size_t i = 0; i + 1 < order; ++i) largest = std::max(largest, std::fabs(e[i]));
    if (!std::isfinite(largest)) return false;
    std::fill_n(z, order * order, 0.0);
    if (largest == 0.0) {
        for (int i = 0; i < n; ++i) {
            z[at(i, n) + static_cast<std::size_t>(i)] = 1.0;
            indxq[i] = i + 1;
        }
    } else {
        for (std::size_t i = 0; i < order; ++i) d[i] /= largest;
        for (std::size_t i = 0; i + 1 < order; ++i) e[i] /= largest;
        if (!solve_piece(n, d, e, z, n, indxq, scratch)) return false;
    }
    // Sorted eigenvalues; the eigenvector columns are sorted on the way out.
    // The joins' merges leave indxq ascending but for inversions at rounding
    // level among (nearly) equal eigenvalues, which an insertion sort mends
    // in one pass, keeping ties in their merged order.
    for (int i = 1; i < n; ++i) {
        const int index = indxq[i];
        int j = i;
        for (; j > 0 && d[indxq[j - 1] - 1] > d[index - 1]; --j) indxq[j] = indxq[j - 1];
        indxq[j] = index;
    }
    for (std::size_t i = 0; i < order; ++i) rest[i] = d[indxq[i] - 1] * largest;
    for (std::size_t i = 0; i < order; ++i) {
        if (!std::isfinite(rest[i])) return false;
        d[i] = rest[i];
    }

    // Back to the original basis, a block of eigenvectors per thread at a
    // time: narrower products keep the threads waiting.
    check_interruption();
    const int width = kBlockColumns * std::max(scipy_openblas_get_num_threads(), 1);
    const int lwork = static_cast<int>(std::min<std::size_t>(rest_size, 1u << 30));
    for (int column = 0; column < n; column += width) {
        check_interruption();
        const int count = std::min(width, n - column);
        scipy_dormtr_("L", "L", "N", &n, &count, r, &n, tau, z + at(column, n), &n, rest, &lwork, &info, 1, 1, 1);
        if (info != 0) return false;
    }
    for (int column = 0; column < n; ++column) fix_eigenvector_sign(z + at(column, n), order, 1);
    // Eigenvector k is column indxq[k] of the column-major z: its entries
    // become column k of the row-major result, in tiles that stay in cache.
    constexpr std::size_t kTile = 64;
    for (std::size_t row0 = 0; row0 < order; row0 += kTile) {
        check_interruption();
        const std::size_t rows = std::min(kTile, order - row0);
        for (std::size_t k = 0; k < order; ++k) {
            const double* source = z + static_cast<std::size_t>(indxq[k] - 1) * order + row0;
            for (std::size_t i = 0; i < rows; ++i) r[(row0 + i) * order + k] = source[i];
        }
    }
    return true;
}

}  // namespace quorin
