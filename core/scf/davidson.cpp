#include "core/scf/davidson.h"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

// The OpenBLAS build in use exports its LAPACK routines with a "scipy_" prefix.
#define LAPACK_GLOBAL(lcname, UCNAME) scipy_##lcname##_
#include <lapack.h>

#include "core/scf/eigensolver.h"
#include "core/types/errors.h"
#include "core/types/interruption.h"

namespace quorin {

namespace {

constexpr std::size_t kSubspace = DavidsonWorkspace::kSubspace;
// Start vectors made from the exact block, and the norm of their
// pseudo-random part.
constexpr std::size_t kStartVectors = 3;
constexpr double kRandomWeight = 0.3;
// Ritz values this close (eV) to the lowest form a cluster with it.
constexpr double kCloseRootsEv = 0.1;
// Smallest |diagonal - theta| the preconditioner divides by.
constexpr double kPreconditionerFloor = 0.1;
// Ritz vectors kept when the subspace is full.
constexpr std::size_t kKeptOnRestart = 6;
// The second opinion: runs of the test at most (the first included), and
// the pseudo-random vectors each starts from.
constexpr std::size_t kOpinions = 3;
constexpr std::size_t kOpinionVectors = 2;

blasint as_blas_int(std::size_t value) { return static_cast<blasint>(value); }

double dot(const double* a, const double* b, std::size_t len) {
    return scipy_cblas_ddot(as_blas_int(len), a, 1, b, 1);
}

using Subspace = std::array<double, kSubspace * kSubspace>;

// Eigenvalues (ascending) and eigenvectors of the symmetric m x m matrix a
// (row-major, overwritten): vector k is a[k * m ... k * m + m).
void subspace_eigenpairs(double* a, std::size_t m, double* values) {
    std::array<double, 8 * kSubspace> work{};
    const char jobz = 'V';
    const char uplo = 'L';
    const lapack_int order = static_cast<lapack_int>(m);
    const lapack_int lwork = static_cast<lapack_int>(work.size());
    lapack_int info = 0;
#ifdef LAPACK_FORTRAN_STRLEN_END
    LAPACK_dsyev_base(&jobz, &uplo, &order, a, &order, values, work.data(), &lwork, &info, 1, 1);
#else
    LAPACK_dsyev_base(&jobz, &uplo, &order, a, &order, values, work.data(), &lwork, &info);
#endif
    if (info != 0) throw EngineStop("Orbital stability subspace could not be diagonalised");
}

// Replaces the first `keep` rows of `vectors` by the combinations of the
// first m given by the subspace eigenvectors y (vector k at y[k * m]).
// Entry by entry, in place: each entry only mixes the same entry of the
// others.
void rotate_subspace(Matrix& vectors, std::size_t m, const Subspace& y, std::size_t keep, std::size_t len) {
    std::array<double, kSubspace> row{};
    for (std::size_t p = 0; p < len; ++p) {
        for (std::size_t k = 0; k < keep; ++k) {
            double sum = 0.0;
            for (std::size_t l = 0; l < m; ++l) sum += y[k * m + l] * vectors(l, p);
            row[k] = sum;
        }
        for (std::size_t k = 0; k < keep; ++k) vectors(k, p) = row[k];
    }
}

// A fixed pseudo-random sequence in [-1, 1) (64-bit xorshift): the start
// vectors, and so the verdicts, are the same on every run.
double next_signed_unit(std::uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<double>(state >> 11) * 0x1.0p-52 - 1.0;
}

// Fills rows 0, 1, ... of ws.basis with up to kOpinionVectors pseudo-random
// vectors spread evenly over all len coordinates, orthonormal to the first
// `kept` rows of ws.kept and to each other, drawing from `state`. Returns the
// number of rows filled.
std::size_t random_block(DavidsonWorkspace& ws, std::size_t len, std::size_t kept, std::uint64_t& state) {
    std::size_t m = 0;
    for (std::size_t s = 0; s < kOpinionVectors && m + kept < len; ++s) {
        double* x = ws.basis.row(m);
        for (std::size_t k = 0; k < len; ++k) x[k] = next_signed_unit(state);
        if (orthonormalize_against_rows(ws.kept, kept, x, len) < 1e-8) continue;
        if (orthonormalize_against_rows(ws.basis, m, x, len) < 1e-8) continue;
        ++m;
    }
    return m;
}

// The whole operator, one column a coordinate, symmetrised, and its lowest
// eigenpair: the eigenvalue is returned, the eigenvector left in
// ws.ritz_vector. Allocates the len x len matrices it needs.
double whole_operator_lowest_eigenpair(std::size_t len, OperatorColumn column, DavidsonWorkspace& ws,
                                       double threshold, LowestEigenvalue& result) {
    Matrix a = Matrix::zeros(len, len);
    Vec64 column_values = Vec64::zeros(len);
    for (std::size_t k = 0; k < len; ++k) {
        check_interruption();
        column(k, column_values.data());
        for (std::size_t l = 0; l < len; ++l) a(l, k) = column_values[l];
    }
    for (std::size_t k = 0; k < len; ++k) {
        for (std::size_t l = 0; l < k; ++l) a(k, l) = a(l, k) = 0.5 * (a(k, l) + a(l, k));
    }
    Vec64 values = Vec64::zeros(len);
    Matrix vectors = Matrix::zeros(len, len);
    diagonalize_symmetric(a, values, vectors);
    for (std::size_t k = 0; k < len; ++k) ws.ritz_vector[k] = vectors(k, 0);
    result.roots = std::min(kMaxRitzRoots, len);
    result.roots_below = 0;
    for (std::size_t j = 0; j < result.roots; ++j) {
        for (std::size_t k = 0; k < len; ++k) ws.basis(j, k) = vectors(k, j);
        result.roots_values[j] = values[j];
        if (values[j] < threshold) ++result.roots_below;
    }
    return values[0];
}

}  // namespace

DavidsonWorkspace DavidsonWorkspace::allocate(std::size_t dimension) {
    DavidsonWorkspace ws;
    ws.basis = Matrix::zeros(kSubspace, dimension);
    ws.images = Matrix::zeros(kSubspace, dimension);
    ws.ritz_vector = Vec64::zeros(dimension);
    ws.ritz_image = Vec64::zeros(dimension);
    ws.kept = Matrix::zeros(kMaxRitzRoots, dimension);
    return ws;
}

// Removes from v its components along the first m rows of `rows`, twice,
// for orthogonality to working precision.
void remove_components_along_rows(const Matrix& rows, std::size_t m, double* v, std::size_t len) {
    if (m == 0) return;
    std::array<double, kSubspace> along{};
    const blasint bm = as_blas_int(m), bl = as_blas_int(len), ld = as_blas_int(rows.cols());
    for (int pass = 0; pass < 2; ++pass) {
        scipy_cblas_dgemv(CblasRowMajor, CblasNoTrans, bm, bl, 1.0, rows.data().data(), ld, v, 1, 0.0, along.data(),
                          1);
        scipy_cblas_dgemv(CblasRowMajor, CblasTrans, bm, bl, -1.0, rows.data().data(), ld, along.data(), 1, 1.0, v,
                          1);
    }
}

double orthonormalize_against_rows(const Matrix& rows, std::size_t m, double* v, std::size_t len) {
    const double initial = std::sqrt(dot(v, v, len));
    remove_components_along_rows(rows, m, v, len);
    const double norm = std::sqrt(dot(v, v, len));
    if (norm > 1e-10 * std::max(initial, 1e-300)) scipy_cblas_dscal(as_blas_int(len), 1.0 / norm, v, 1);
    return norm / std::max(initial, 1e-300);
}

RitzRound lowest_eigenpairs(DavidsonWorkspace& ws, std::size_t len, std::size_t m, const double* precondition,
                            std::size_t roots, std::size_t& products, std::size_t max_products,
                            BlockProduct product, RitzRule rule, std::size_t deflated) {
    roots = std::min(roots, kMaxRitzRoots);
    Matrix& basis = ws.basis;
    Matrix& images = ws.images;
    const blasint bl = as_blas_int(len), ld = as_blas_int(basis.cols());
    Subspace rayleigh{};  // projected operator, kept between rounds (leading dimension kSubspace)
    Subspace vectors{};
    Subspace scratch{};
    std::array<double, kSubspace> theta{};
    std::size_t known = 0;  // leading block of `rayleigh` already filled
    RitzRound round;
    while (m > 0) {
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
                    rayleigh[k * kSubspace + l] = value;
                    rayleigh[l * kSubspace + k] = value;
                }
            }
        }
        known = m;
        for (std::size_t k = 0; k < m; ++k) {
            for (std::size_t l = 0; l < m; ++l) vectors[k * m + l] = rayleigh[k * kSubspace + l];
        }
        subspace_eigenpairs(vectors.data(), m, theta.data());
        round.roots = std::min(roots, m);
        round.complete = m == len;
        if (m + round.roots > kSubspace) {  // thick restart on the lowest Ritz vectors
            const std::size_t keep = std::min(kKeptOnRestart, m);
            rotate_subspace(basis, m, vectors, keep, len);
            rotate_subspace(images, m, vectors, keep, len);
            m = keep;
            known = keep;
            for (std::size_t k = 0; k < keep; ++k) {
                for (std::size_t l = 0; l < keep; ++l) rayleigh[k * kSubspace + l] = k == l ? theta[k] : 0.0;
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
        // Iterations in a complement measure the residuals of the operator
        // projected onto it: the parts along the kept rows, which the
        // corrections cannot reach, are the kept vectors' own residuals.
        for (std::size_t j = 0; j < round.roots; ++j) {
            if (deflated > 0) remove_components_along_rows(ws.kept, deflated, basis.row(m + j), len);
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
            // Out of the kept rows before and after the basis: a correction
            // mostly along them (its residual divided by near-zero
            // denominators) keeps, after one pass, rounding errors that
            // grow from round to round until the iterations find the kept
            // vectors again.
            if (deflated > 0 && orthonormalize_against_rows(ws.kept, deflated, correction, len) < 1e-8) continue;
            if (orthonormalize_against_rows(basis, m, correction, len) < 1e-8) continue;
            if (deflated > 0) orthonormalize_against_rows(ws.kept, deflated, correction, len);
            ++m;
        }
        if (m == first) break;
        product(basis.row(first), images.row(first), m - first, basis.cols());
        products += m - first;
        ++round.corrections;
    }
    if (m > 0) {
        rotate_subspace(basis, m, vectors, round.roots, len);
        rotate_subspace(images, m, vectors, round.roots, len);
        std::copy(basis.row(0), basis.row(0) + len, ws.ritz_vector.data());
        std::copy(images.row(0), images.row(0) + len, ws.ritz_image.data());
    }
    return round;
}

void lowest_coordinates(const double* diagonal, std::size_t len, std::size_t count, std::size_t* out) {
    for (std::size_t s = 0; s < count; ++s) {
        std::size_t best = len;
        for (std::size_t k = 0; k < len; ++k) {
            if (std::find(out, out + s, k) != out + s) continue;
            if (best == len || diagonal[k] < diagonal[best]) best = k;
        }
        out[s] = best;
    }
}

std::size_t add_start_vectors(DavidsonWorkspace& ws, std::size_t len, std::size_t m, double* diagonal,
                              std::span<const std::size_t> start, double* block, BlockProduct product,
                              std::size_t& products) {
    const std::size_t n_start = start.size();
    std::array<double, kStartBlockSize> block_values{};
    double offset = 0.0;
    if (n_start > 0) {
        for (std::size_t s = 0; s < n_start; ++s) offset += block[s * n_start + s] - diagonal[start[s]];
        offset /= static_cast<double>(n_start);
        for (std::size_t l = 0; l < n_start; ++l) {
            for (std::size_t s = 0; s < l; ++s) {
                const double value = 0.5 * (block[l * n_start + s] + block[s * n_start + l]);
                block[l * n_start + s] = block[s * n_start + l] = value;
            }
        }
        subspace_eigenpairs(block, n_start, block_values.data());
    }
    std::size_t lowest = 0;
    for (std::size_t k = 1; k < len; ++k) {
        if (diagonal[k] < diagonal[lowest]) lowest = k;
    }
    const std::size_t first = m;
    std::uint64_t state = 0x9e3779b97f4a7c15ULL;
    // The block's vectors with random parts weighted towards low diagonals
    // (near the lowest eigenvectors), then one random vector spread evenly
    // over every coordinate.
    for (std::size_t s = 0; s <= std::min(kStartVectors, len) && m < len; ++s) {
        const bool spread = s == std::min(kStartVectors, len);
        double* x = ws.basis.row(m);
        double norm = 0.0;
        for (std::size_t k = 0; k < len; ++k) {
            x[k] = next_signed_unit(state);
            if (!spread) x[k] /= 1.0 + std::max(diagonal[k] - diagonal[lowest], 0.0);
            norm += x[k] * x[k];
        }
        scipy_cblas_dscal(as_blas_int(len), (spread ? 1.0 : kRandomWeight) / std::sqrt(norm), x, 1);
        if (!spread && s < n_start) {
            for (std::size_t l = 0; l < n_start; ++l) x[start[l]] += block[s * n_start + l];
        }
        if (orthonormalize_against_rows(ws.basis, m, x, len) < 1e-8) continue;
        ++m;
    }
    if (m > first) product(ws.basis.row(first), ws.images.row(first), m - first, ws.basis.cols());
    products += m - first;
    for (std::size_t k = 0; k < len; ++k) diagonal[k] += offset;
    return m;
}

LowestEigenvalue test_lowest_eigenvalue(DavidsonWorkspace& ws, std::size_t len, std::size_t m,
                                        std::size_t products, const double* precondition, BlockProduct product,
                                        OperatorColumn column, const EigenvalueTest& test) {
    LowestEigenvalue result;
    if (len > 0 && len <= test.dense_dimension) {
        result.value = whole_operator_lowest_eigenpair(len, column, ws, test.threshold, result);
        result.products = products + len;
        result.verdict = result.value < test.threshold ? EigenvalueVerdict::below : EigenvalueVerdict::above;
        return result;
    }
    // The followed roots: the lowest, those within kCloseRootsEv of it (a
    // cluster) and the first root above the cluster, the lower end of whose
    // interval stands for the next eigenvalue. The lowest must reach the
    // residual bound after at least one round of corrections; its error is
    // its residual r1 or, with the root above clear of the cluster, the
    // cluster's quadratic bound sum r_j^2 / gap. Near the threshold the
    // cluster's roots must all reach the bound, and with
    // test.whole_near_threshold an operator of at most test.exact_dimension
    // is then settled whole.
    const double bound = test.residual_bound;
    bool converged = false;
    bool whole = false;
    double error = std::numeric_limits<double>::infinity();
    const auto rule = [&](const RitzRound& round) {
        RitzDecision decision;
        const double theta = round.theta[0];
        std::size_t cluster = 1;
        while (cluster < round.roots && round.theta[cluster] - theta < kCloseRootsEv) ++cluster;
        const bool near = theta - test.threshold < test.near_margin;
        bool settled = (round.corrections > 0 || round.complete) && round.residual[0] <= bound;
        whole = test.whole_near_threshold && near && settled && len <= test.exact_dimension;
        double squares = 0.0;
        std::size_t behind = 0;  // the cluster's root farthest from converged
        for (std::size_t j = 0; j < cluster; ++j) {
            squares += round.residual[j] * round.residual[j];
            if (near) settled = settled && round.residual[j] <= bound;
            if (round.residual[j] > round.residual[behind]) behind = j;
        }
        const double gap = cluster < round.roots
                               ? round.theta[cluster] - round.residual[cluster] - round.theta[cluster - 1]
                               : 0.0;
        error = round.complete ? 0.0 : gap > 0.0 ? std::min(round.residual[0], squares / gap) : round.residual[0];
        converged = settled && error <= test.absolute_tolerance && theta - error >= test.threshold;
        // A Ritz value below the threshold settles the verdict; the lowest
        // pair is still converged to the residual bound (its vector is the
        // way down), as far as the budget allows.
        const bool below = theta < test.threshold;
        decision.stop = converged || whole || (below && round.residual[0] <= bound);
        // One correction a round, for the cluster's root farthest from
        // converged (the lowest while it lies below the threshold): each
        // product then enters the next Rayleigh-Ritz step at once.
        decision.correct[below ? 0 : behind] = !decision.stop;
        return decision;
    };
    // The second opinion: iterations from a block of pseudo-random vectors
    // spread evenly over every coordinate, kept orthogonal to the converged
    // roots the first run followed. Its lowest Ritz value bounds the lowest
    // eigenvalue of that complement from above; below the first run's
    // lowest, less its error, or below the threshold, it shows an
    // eigenvector the first run missed. It converges by the first run's rule
    // (a cluster, its error bound).
    double first_theta = 0.0;
    double first_error = 0.0;
    bool disagrees = false;
    const auto second = [&](const RitzRound& round) {
        disagrees = round.theta[0] < first_theta - first_error - kCloseRootsEv || round.theta[0] < test.threshold;
        if (disagrees) return RitzDecision{true, {}};
        return rule(round);
    };
    std::uint64_t seed = 0x2545f4914f6cdd1dULL;
    RitzRound last;
    // The first run's budget; a run again after a second opinion that
    // disagreed has one of its own.
    std::size_t budget = test.max_products;
    for (std::size_t opinion = 0; opinion < kOpinions; ++opinion) {
        last = lowest_eigenpairs(ws, len, m, precondition, kMaxRitzRoots, products, budget, product, rule);
        if (m == 0 || last.theta[0] < test.threshold || !converged || last.complete ||
            last.theta[0] - test.threshold >= test.second_opinion_margin) {
            break;
        }
        // Keep the first run's roots, then the second opinion in the
        // complement of those converged (the lowest and those after it
        // within the residual bound): a rough Ritz vector of a root above
        // may hold much of a missed eigenvector, which a complement without
        // it would lack.
        const std::size_t keep = last.roots;
        for (std::size_t j = 0; j < keep; ++j) std::copy(ws.basis.row(j), ws.basis.row(j) + len, ws.kept.row(j));
        std::size_t settled_roots = 1;
        while (settled_roots < keep && last.residual[settled_roots] <= bound) ++settled_roots;
        first_theta = last.theta[0];
        first_error = error;
        const std::size_t fresh = random_block(ws, len, settled_roots, seed);
        if (fresh == 0) break;
        product(ws.basis.row(0), ws.images.row(0), fresh, ws.basis.cols());
        products += fresh;
        // The second opinion's own budget, twice the first's.
        const std::size_t first_products = products;
        converged = false;
        lowest_eigenpairs(ws, len, fresh, precondition, kMaxRitzRoots, products,
                          first_products + 2 * test.max_products, product, second, settled_roots);
        if (!disagrees) {
            // Agreement, or no opinion within the budget: the first run's
            // roots and error stand.
            for (std::size_t j = 0; j < keep; ++j) std::copy(ws.kept.row(j), ws.kept.row(j) + len, ws.basis.row(j));
            std::copy(ws.kept.row(0), ws.kept.row(0) + len, ws.ritz_vector.data());
            converged = true;
            error = first_error;
            break;
        }
        // The first run missed a lower eigenvector: again from both runs'
        // lowest vectors (their images are recomputed).
        converged = false;
        std::copy(ws.basis.row(0), ws.basis.row(0) + len, ws.basis.row(keep));
        for (std::size_t j = 0; j < keep; ++j) std::copy(ws.kept.row(j), ws.kept.row(j) + len, ws.basis.row(j));
        m = keep;
        if (orthonormalize_against_rows(ws.basis, m, ws.basis.row(m), len) > 1e-8) ++m;
        product(ws.basis.row(0), ws.images.row(0), m, ws.basis.cols());
        products += m;
        budget = products + test.max_products;
    }
    result.products = products;
    result.value = m > 0 ? last.theta[0] : std::numeric_limits<double>::infinity();
    result.roots = m > 0 ? last.roots : 0;
    for (std::size_t j = 0; j < result.roots; ++j) result.roots_values[j] = last.theta[j];
    result.error_bound = error;
    if (m > 0 && last.theta[0] < test.threshold) {
        result.verdict = EigenvalueVerdict::below;  // a Ritz value bounds the lowest eigenvalue from above
        while (result.roots_below < last.roots && last.theta[result.roots_below] < test.threshold) {
            ++result.roots_below;
        }
    } else if (converged && !whole) {
        result.verdict = EigenvalueVerdict::above;
    } else if (len <= test.exact_dimension) {
        result.value = whole_operator_lowest_eigenpair(len, column, ws, test.threshold, result);
        result.products += len;
        result.error_bound = 0.0;
        result.verdict = result.value < test.threshold ? EigenvalueVerdict::below : EigenvalueVerdict::above;
    }
    return result;
}

}  // namespace quorin
