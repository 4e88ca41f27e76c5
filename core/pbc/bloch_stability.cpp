#include "core/pbc/bloch_stability.h"

#include <cblas.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

// The OpenBLAS build in use exports its LAPACK routines with a "scipy_" prefix.
#define LAPACK_GLOBAL(lcname, UCNAME) scipy_##lcname##_
#define lapack_complex_float std::complex<float>
#define lapack_complex_double std::complex<double>
#include <lapack.h>

#include "core/scf/blas.h"
#include "core/scf/eigensolver.h"
#include "core/types/errors.h"
#include "core/types/interruption.h"

namespace quorin {

namespace {

using Complex = std::complex<double>;

// Diagonal of the rotations left out (pairs of levels that share their
// electrons): far above every other, so that they never reach the lowest
// eigenvalues.
constexpr double kLeftOutEv = 1e4;
// The lowest eigenvector of an unstable solution is followed to this
// residual, relative to its eigenvalue, within this many more products.
constexpr double kRefinedResidual = 0.1;
constexpr std::size_t kRefiningProducts = 30;

blasint as_blas_int(std::size_t value) { return static_cast<blasint>(value); }

// c := alpha op(a) op(b) + beta c, column-major complex.
void zgemm(CBLAS_TRANSPOSE ta, CBLAS_TRANSPOSE tb, std::size_t m, std::size_t n, std::size_t k, Complex alpha,
           const Complex* a, std::size_t lda, const Complex* b, std::size_t ldb, Complex beta, Complex* c,
           std::size_t ldc) {
    scipy_cblas_zgemm(CblasColMajor, ta, tb, as_blas_int(m), as_blas_int(n), as_blas_int(k), &alpha, a,
                      as_blas_int(lda), b, as_blas_int(ldb), &beta, c, as_blas_int(ldc));
}

// Eigenpairs of the Hermitian m x m matrix in a, with the workspace's scratch.
void hermitian_eigenpairs(Complex* a, std::size_t m, double* w, BlochStabilityWorkspace& ws) {
    quorin::hermitian_eigenpairs(a, m, w, ws.eigen_work, {ws.eigen_real_work.data(), ws.eigen_real_work.size()},
                                 ws.eigen_int_work);
}

// The k-point's Bloch parts as a complex column-major n x n matrix.
void gather(const Matrix& parts, std::size_t n_k, std::size_t k, std::size_t n, Complex* out) {
    const double* re = parts.row(k);
    const double* im = parts.row(n_k + k);
    for (std::size_t mu = 0; mu < n; ++mu) {
        for (std::size_t nu = 0; nu < n; ++nu) out[mu + nu * n] = {re[mu * n + nu], im[mu * n + nu]};
    }
}

// The complex column-major n x n matrix m into the k-point's Bloch parts.
void scatter(const Complex* m, std::size_t n, std::size_t n_k, std::size_t k, Matrix& parts) {
    double* re = parts.row(k);
    double* im = parts.row(n_k + k);
    for (std::size_t mu = 0; mu < n; ++mu) {
        for (std::size_t nu = 0; nu < n; ++nu) {
            re[mu * n + nu] = m[mu + nu * n].real();
            im[mu * n + nu] = m[mu + nu * n].imag();
        }
    }
}

struct KBlock {
    const Complex* c;      // orbitals, column-major n x n
    const double* eps;     // level energies
    std::size_t first;     // first coordinate
    bool real;             // real rotations only
    double root_weight;    // sqrt(w_k)
};

KBlock block_of(const BlochStabilityWorkspace& ws, std::span<const KPoint> kpoints, std::size_t k) {
    return {ws.orbitals.data() + k * ws.n * ws.n, ws.energies.data() + k * ws.n, ws.offset[k], ws.real_point[k] != 0,
            std::sqrt(kpoints[k].weight)};
}

bool left_out(const KBlock& b, std::size_t n_occ, std::size_t i, std::size_t a) {
    return b.eps[n_occ + a] - b.eps[i] <= kSharedLevelEv;
}

// out := the rotation X(k) = z / sqrt(w_k) (o x v, row-major; that is X^T
// column-major), scaled by `scale`, with the left-out pairs zero.
void rotation_of(const KBlock& b, std::size_t n_occ, std::size_t v, const double* z, double scale, Complex* out) {
    const std::size_t ov = n_occ * v;
    const double factor = scale / b.root_weight;
    for (std::size_t i = 0; i < n_occ; ++i) {
        for (std::size_t a = 0; a < v; ++a) {
            const std::size_t e = i * v + a;
            const double re = z[b.first + e];
            const double im = b.real ? 0.0 : z[b.first + ov + e];
            out[e] = left_out(b, n_occ, i, a) ? Complex{} : factor * Complex{re, im};
        }
    }
}

// The zone centre and any point that is its own inverse: every coordinate 0
// (fold_inversion_pairs keeps such points at their own weight).
bool own_inverse(const KPoint& k) { return k.fractional[0] == 0.0 && k.fractional[1] == 0.0 && k.fractional[2] == 0.0; }

}  // namespace

BlochStabilityWorkspace BlochStabilityWorkspace::allocate(std::size_t n, std::size_t n_occ,
                                                          std::size_t n_translations, std::size_t n_kpoints) {
    BlochStabilityWorkspace ws;
    ws.n = n;
    ws.n_k = n_kpoints;
    ws.n_occ = n_occ;
    const std::size_t most = 2 * n_kpoints * n_occ * (n - n_occ);
    ws.orbitals.assign(n_kpoints * n * n, Complex{});
    ws.energies = Vec64::zeros(n_kpoints * n);
    ws.offset.assign(n_kpoints + 1, 0);
    ws.real_point.assign(n_kpoints, 0);
    ws.diagonal = Vec64::zeros(most);
    ws.unit = Vec64::zeros(most);
    ws.davidson = DavidsonWorkspace::allocate(most);
    ws.trial_k = Matrix::zeros(2 * n_kpoints, n * n);
    ws.response_k = Matrix::zeros(2 * n_kpoints, n * n);
    ws.trial_r = Matrix::zeros(n_translations, n * n);
    ws.response_r = Matrix::zeros(n_translations, n * n);
    ws.a.assign(n * n, Complex{});
    ws.b.assign(n * n, Complex{});
    ws.c.assign(n * n, Complex{});
    ws.eigen_work.assign(2 * n + n * n, Complex{});
    ws.eigen_real_work = Vec64::zeros(1 + 5 * n + 2 * n * n);
    ws.eigen_int_work.assign(3 + 5 * n, 0);
    ws.real_block = Matrix::zeros(n, n);
    ws.real_vectors = Matrix::zeros(n, n);
    ws.real_values = Vec64::zeros(n);
    return ws;
}

MemoryPlan BlochStabilityWorkspace::plan(std::size_t n, std::size_t n_occ, std::size_t n_translations,
                                         std::size_t n_kpoints) {
    const std::uint64_t block = saturating_product(n, n);
    const std::uint64_t most =
        saturating_product(saturating_product(2, n_kpoints), saturating_product(n_occ, n - std::min(n, n_occ)));
    MemoryPlan plan;
    plan.add_items(saturating_product(n_kpoints, block), sizeof(Complex))  // orbitals
        .add_matrices(1, n_kpoints, n)                                      // energies
        .add_items(n_kpoints, sizeof(std::size_t) + 1)
        .add_matrices(2 + 2 * DavidsonWorkspace::kSubspace + 2 + kMaxRitzRoots, 1, most)  // diagonal, unit, Davidson
        .add_matrices(2, saturating_product(2, n_kpoints), block)
        .add_matrices(2, n_translations, block)
        .add_items(saturating_sum(saturating_product(4, block), 2 * n), sizeof(Complex))
        .add_doubles(saturating_sum(saturating_product(2, block), 5 * n + 1))
        .add_matrices(2, n, n)
        // The whole Hessian the test builds when its products run out on few
        // rotations, its eigenvectors and the eigensolver's scratch.
        .add_matrices(4, std::min<std::uint64_t>(most, kExactStabilityPairs),
                      std::min<std::uint64_t>(most, kExactStabilityPairs));
    return plan;
}

double prepare_bloch_orbitals(const Matrix& fock_k, const Matrix& density_k, std::span<const KPoint> kpoints,
                              BlochStabilityWorkspace& ws) {
    const std::size_t n = ws.n, n_k = ws.n_k, o = ws.n_occ, v = n - o;
    std::size_t next = 0;
    double off = 0.0;
    EigensolverWorkspace real_solver;
    select_blas_threads(n);
    for (std::size_t k = 0; k < n_k; ++k) {
        check_interruption();
        Complex* c = ws.orbitals.data() + k * n * n;
        double* eps = ws.energies.data() + k * n;
        ws.real_point[k] = own_inverse(kpoints[k]) ? 1 : 0;
        if (ws.real_point[k]) {
            // A real Fock matrix: real orbitals, so that the rotations are real.
            std::copy(fock_k.row(k), fock_k.row(k) + n * n, ws.real_block.row(0));
            if (real_solver.n != n) real_solver = EigensolverWorkspace::allocate(n);
            diagonalize_symmetric(ws.real_block, real_solver, ws.real_values, ws.real_vectors);
            for (std::size_t l = 0; l < n; ++l) {
                eps[l] = ws.real_values[l];
                for (std::size_t mu = 0; mu < n; ++mu) c[mu + l * n] = ws.real_vectors(mu, l);
            }
        } else {
            gather(fock_k, n_k, k, n, c);
            hermitian_eigenpairs(c, n, eps, ws);
        }
        ws.offset[k] = next;
        next += (ws.real_point[k] ? 1 : 2) * o * v;
        if (o == 0 || o == n || eps[o] - eps[o - 1] <= kSharedLevelEv) continue;
        // 2 C_o C_o^H against the state.
        zgemm(CblasNoTrans, CblasConjTrans, n, n, o, 2.0, c, n, c, n, 0.0, ws.a.data(), n);
        const double* re = density_k.row(k);
        const double* im = density_k.row(n_k + k);
        for (std::size_t mu = 0; mu < n; ++mu) {
            for (std::size_t nu = 0; nu < n; ++nu) {
                const Complex d = ws.a[mu + nu * n];
                off = std::max({off, std::fabs(d.real() - re[mu * n + nu]), std::fabs(d.imag() - im[mu * n + nu])});
            }
        }
    }
    ws.offset[n_k] = next;
    ws.len = next;
    for (std::size_t k = 0; k < n_k; ++k) {
        const KBlock b = block_of(ws, kpoints, k);
        for (std::size_t i = 0; i < o; ++i) {
            for (std::size_t a = 0; a < v; ++a) {
                const double gap = left_out(b, o, i, a) ? kLeftOutEv : b.eps[o + a] - b.eps[i];
                ws.diagonal[b.first + i * v + a] = gap;
                if (!b.real) ws.diagonal[b.first + o * v + i * v + a] = gap;
            }
        }
    }
    return off;
}

void apply_bloch_hessian(const BlochRun& run, const double* x, double* y, BlochStabilityWorkspace& ws) {
    check_interruption();
    const std::size_t n = ws.n, n_k = ws.n_k, o = ws.n_occ, v = n - o, ov = o * v;
    // The trial density D~(k) = Y C_o^H + C_o Y^H, Y = C_v X^T, of every k-point.
    select_blas_threads(n);
    for (std::size_t k = 0; k < n_k; ++k) {
        const KBlock b = block_of(ws, run.kpoints, k);
        rotation_of(b, o, v, x, 1.0, ws.a.data());
        zgemm(CblasNoTrans, CblasNoTrans, n, o, v, 1.0, b.c + o * n, n, ws.a.data(), v, 0.0, ws.b.data(), n);
        zgemm(CblasNoTrans, CblasConjTrans, n, n, o, 1.0, ws.b.data(), n, b.c, n, 0.0, ws.c.data(), n);
        zgemm(CblasNoTrans, CblasConjTrans, n, n, o, 1.0, b.c, n, ws.b.data(), n, 1.0, ws.c.data(), n);
        scatter(ws.c.data(), n, n_k, k, ws.trial_k);
    }
    // Its real-space blocks, their two-electron response, and that again at
    // every k-point.
    run.transform.to_cells(ws.trial_k, ws.trial_r);
    build_periodic_fock(run.cell, run.model, run.operators, run.hcore_r, ws.trial_r, ws.response_r);
    double* g = ws.response_r.data().data();
    const double* h = run.hcore_r.data().data();
    for (std::size_t e = 0; e < ws.response_r.data().size(); ++e) g[e] -= h[e];
    run.transform.to_kpoints(ws.response_r, ws.response_k);
    select_blas_threads(n);
    for (std::size_t k = 0; k < n_k; ++k) {
        const KBlock b = block_of(ws, run.kpoints, k);
        gather(ws.response_k, n_k, k, n, ws.a.data());
        // M = C_o^H G C_v, o x v column-major.
        zgemm(CblasNoTrans, CblasNoTrans, n, v, n, 1.0, ws.a.data(), n, b.c + o * n, n, 0.0, ws.b.data(), n);
        zgemm(CblasConjTrans, CblasNoTrans, o, v, n, 1.0, b.c, n, ws.b.data(), n, 0.0, ws.c.data(), o);
        for (std::size_t i = 0; i < o; ++i) {
            for (std::size_t a = 0; a < v; ++a) {
                const std::size_t re = b.first + i * v + a, im = re + ov;
                if (left_out(b, o, i, a)) {
                    y[re] = kLeftOutEv * x[re];
                    if (!b.real) y[im] = kLeftOutEv * x[im];
                    continue;
                }
                const double gap = b.eps[o + a] - b.eps[i];
                const Complex m = ws.c[i + a * o];
                y[re] = gap * x[re] + 2.0 * b.root_weight * m.real();
                if (!b.real) y[im] = gap * x[im] - 2.0 * b.root_weight * m.imag();
            }
        }
    }
}

StabilityCheck check_bloch_stability(const BlochRun& run, BlochStabilityWorkspace& ws) {
    StabilityCheck check;
    const std::size_t len = ws.len;
    if (len == 0) {
        check.lowest_eigenvalue = std::numeric_limits<double>::infinity();
        return check;
    }
    const auto product = [&](const double* x, double* y, std::size_t count, std::size_t stride) {
        for (std::size_t k = 0; k < count; ++k) apply_bloch_hessian(run, x + k * stride, y + k * stride, ws);
    };
    const auto column = [&](std::size_t k, double* y) {
        std::fill(ws.unit.data(), ws.unit.data() + len, 0.0);
        ws.unit[k] = 1.0;
        apply_bloch_hessian(run, ws.unit.data(), y, ws);
    };
    // The exact Hessian over the coordinates of lowest diagonal, one product
    // each, then start vectors from it that no symmetry keeps exact.
    std::array<std::size_t, kStartBlockSize> start{};
    const std::size_t n_start = std::min(kStartBlockSize, len);
    lowest_coordinates(ws.diagonal.data(), len, n_start, start.data());
    std::array<double, kStartBlockSize * kStartBlockSize> block{};
    double* image = ws.davidson.ritz_image.data();
    for (std::size_t s = 0; s < n_start; ++s) {
        column(start[s], image);
        ++check.products;
        for (std::size_t l = 0; l < n_start; ++l) block[l * n_start + s] = image[start[l]];
    }
    const std::size_t m = add_start_vectors(ws.davidson, len, 0, ws.diagonal.data(), {start.data(), n_start},
                                            block.data(), product, check.products);
    const LowestEigenvalue lowest = test_lowest_eigenvalue(ws.davidson, len, m, check.products, ws.diagonal.data(),
                                                           product, column, orbital_stability_test());
    check.lowest_eigenvalue = lowest.value;
    check.error_bound = lowest.error_bound;
    check.products = lowest.products;
    if (lowest.verdict == EigenvalueVerdict::below) {
        // The test stops at the first Ritz value below the threshold; the way
        // down follows the lowest eigenvector itself, so that every cell and
        // start of one crystal descend the same way: iterations on from that
        // Ritz pair until its residual is small beside its value.
        std::copy(ws.davidson.ritz_vector.data(), ws.davidson.ritz_vector.data() + len, ws.davidson.basis.row(0));
        std::copy(ws.davidson.ritz_image.data(), ws.davidson.ritz_image.data() + len, ws.davidson.images.row(0));
        const auto converged = [](const RitzRound& round) {
            RitzDecision decision;
            decision.stop = round.residual[0] <= kRefinedResidual * std::fabs(round.theta[0]);
            decision.correct[0] = true;
            return decision;
        };
        const RitzRound refined = lowest_eigenpairs(ws.davidson, len, 1, ws.diagonal.data(), 1, check.products,
                                                    check.products + kRefiningProducts, product, converged);
        check.lowest_eigenvalue = refined.theta[0];
    }
    check.stable = lowest.verdict == EigenvalueVerdict::above;
    check.decided = lowest.verdict != EigenvalueVerdict::undecided;
    return check;
}

double bloch_electronic_energy(const BlochRun& run, const Matrix& density_k, BlochStabilityWorkspace& ws) {
    run.transform.to_cells(density_k, ws.trial_r);
    build_periodic_fock(run.cell, run.model, run.operators, run.hcore_r, ws.trial_r, ws.response_r);
    const double* p = ws.trial_r.data().data();
    const double* h = run.hcore_r.data().data();
    const double* f = ws.response_r.data().data();
    double energy = 0.0;
    for (std::size_t e = 0; e < ws.trial_r.data().size(); ++e) energy += 0.5 * p[e] * (h[e] + f[e]);
    return energy;
}

void rotate_bloch_state(const BlochRun& run, const double* z, double t, const Matrix& density_k,
                        BlochStabilityWorkspace& ws, Matrix& out) {
    check_interruption();
    const std::size_t n = ws.n, n_k = ws.n_k, o = ws.n_occ, v = n - o;
    select_blas_threads(n);
    for (std::size_t k = 0; k < n_k; ++k) {
        const KBlock b = block_of(ws, run.kpoints, k);
        rotation_of(b, o, v, z, t, ws.a.data());
        std::copy(b.c, b.c + n * o, ws.b.data());
        zgemm(CblasNoTrans, CblasNoTrans, n, o, v, 1.0, b.c + o * n, n, ws.a.data(), v, 1.0, ws.b.data(), n);
        // S = C'^H C' = U diag(s) U^H; C' U diag(s)^-1/2 is orthonormal.
        zgemm(CblasConjTrans, CblasNoTrans, o, o, n, 1.0, ws.b.data(), n, ws.b.data(), n, 0.0, ws.c.data(), o);
        hermitian_eigenpairs(ws.c.data(), o, ws.real_values.data(), ws);
        zgemm(CblasNoTrans, CblasNoTrans, n, o, o, 1.0, ws.b.data(), n, ws.c.data(), o, 0.0, ws.a.data(), n);
        for (std::size_t i = 0; i < o; ++i) {
            const double scale = 1.0 / std::sqrt(ws.real_values[i]);
            for (std::size_t mu = 0; mu < n; ++mu) ws.a[mu + i * n] *= scale;
        }
        zgemm(CblasNoTrans, CblasConjTrans, n, n, o, 2.0, ws.a.data(), n, ws.a.data(), n, 0.0, ws.b.data(), n);
        zgemm(CblasNoTrans, CblasConjTrans, n, n, o, -2.0, b.c, n, b.c, n, 1.0, ws.b.data(), n);
        // The change on top of the state, whose shared levels keep their shares.
        const double* re = density_k.row(k);
        const double* im = density_k.row(n_k + k);
        for (std::size_t mu = 0; mu < n; ++mu) {
            for (std::size_t nu = 0; nu < n; ++nu) ws.b[mu + nu * n] += Complex{re[mu * n + nu], im[mu * n + nu]};
        }
        scatter(ws.b.data(), n, n_k, k, out);
    }
}

double descend_along_bloch_rotation(const BlochRun& run, double energy, BlochStabilityWorkspace& ws,
                                    Matrix& density_k) {
    const double* z = ws.davidson.ritz_vector.data();
    const auto energy_at = [&](double angle) {
        rotate_bloch_state(run, z, std::tan(angle), density_k, ws, ws.trial_k);
        return bloch_electronic_energy(run, ws.trial_k, ws);
    };
    const LowestAlongRotation lowest = lowest_along_rotation(energy, energy_at);
    if (lowest.angle != 0.0) {
        rotate_bloch_state(run, z, std::tan(lowest.angle), density_k, ws, ws.trial_k);
        density_k.copy_from(ws.trial_k);
    }
    return lowest.energy;
}

}  // namespace quorin
