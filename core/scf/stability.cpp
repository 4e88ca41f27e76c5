#include "core/scf/stability.h"

#include <cblas.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>

// The OpenBLAS build in use exports its LAPACK routines with a "scipy_" prefix.
#define LAPACK_GLOBAL(lcname, UCNAME) scipy_##lcname##_
#include <lapack.h>

#include "core/scf/blas.h"
#include "core/types/errors.h"
#include "core/types/interruption.h"

namespace quorin {

namespace {

// Newton steps: the first trust radius (norm of the rotation generator, rad),
// its bounds, and the Hessian products spent on each augmented eigenproblem.
constexpr double kFirstTrustRadius = 0.3;
constexpr double kLargestTrustRadius = 1.0;
constexpr double kSmallestTrustRadius = 1e-3;
constexpr std::size_t kNewtonProducts = 30;
// The augmented eigenproblem is solved to this residual relative to the
// gradient's norm: along a soft mode (a far-apart O2 turning, 1e-3 eV) a
// looser step creeps for dozens of steps.
constexpr double kNewtonResidual = 1e-3;
// Newton steps in a row that lower the energy by less than the caller's
// tolerance before the descent stops.
constexpr std::size_t kCreepingSteps = 2;
// Added to the occupied block to order it below the virtual one when the
// blocks are diagonalised together (eV, far beyond any orbital energy).
constexpr double kBlockSeparationEv = 1e4;
// Power-iteration steps for the leading singular pair of a rotation.
constexpr int kPowerSteps = 50;

blasint as_blas_int(std::size_t value) { return static_cast<blasint>(value); }

double dot(const double* a, const double* b, std::size_t len) {
    return scipy_cblas_ddot(as_blas_int(len), a, 1, b, 1);
}

// y := y + alpha x
void axpy(double alpha, const double* x, double* y, std::size_t len) {
    scipy_cblas_daxpy(as_blas_int(len), alpha, x, 1, y, 1);
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

}  // namespace

EigenvalueTest orbital_stability_test(std::size_t max_products) {
    EigenvalueTest test;
    test.threshold = kUnstableEigenvalueEv;
    test.absolute_tolerance = kStabilityToleranceEv;
    test.residual_bound = kStabilityResidualEv;
    test.near_margin = kNearThresholdEv;
    test.max_products = max_products;
    test.exact_dimension = kExactStabilityPairs;
    test.dense_dimension = kDenseStabilityPairs;
    return test;
}

StabilityWorkspace StabilityWorkspace::allocate(std::size_t n_basis) {
    StabilityWorkspace ws;
    const std::size_t entries = (n_basis / 2) * (n_basis - n_basis / 2) + 1;
    ws.davidson = DavidsonWorkspace::allocate(entries);
    ws.diagonal = Vec64::zeros(entries);
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
    build_trial_density(coefficients, n_occ, ws.davidson.ritz_vector.data(), ws);
    rotation.copy_from(ws.half);
}

StabilityCheck check_orbital_stability(const Matrix& coefficients, const Vec64& orbital_energies, std::size_t n_occ,
                                       double virtual_shift, const FockOfDensity& fock, StabilityWorkspace& ws,
                                       const Matrix* start_rotation, std::size_t max_products, bool decisive) {
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
    for (std::size_t i = 0; i < o; ++i) {
        for (std::size_t a = 0; a < v; ++a) diagonal[i * v + a] = orbital_energies[o + a] - virtual_shift - orbital_energies[i];
    }
    std::array<std::size_t, kStartBlockSize> start{};
    // Small Hessians are built whole (test_lowest_eigenvalue): no start block.
    const bool dense = len <= kDenseStabilityPairs;
    const std::size_t n_start = dense ? 0 : std::min({kStartBlockSize, len, n / 2});
    lowest_coordinates(diagonal, len, n_start, start.data());
    // The exact Hessian over these pairs, one response build each:
    // h_ls = (eps_a - eps_i) delta_ls + 2 c_i(l)^T G(D_s) c_a(l), D_s the
    // trial density of pair s. Its diagonal lies well below the
    // orbital-energy differences (by several eV in large molecules).
    // Rows of ws.half: the orbitals c_a(l), then c_a(l)^T G(D_s).
    std::array<double, kStartBlockSize * kStartBlockSize> block{};
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
    }

    const auto product = [&](const double* x, double* y, std::size_t count, std::size_t stride) {
        for (std::size_t k = 0; k < count; ++k) {
            apply_orbital_hessian(coefficients, orbital_energies, n_occ, virtual_shift, fock, x + k * stride,
                                  y + k * stride, ws);
        }
    };
    const auto column = [&](std::size_t k, double* y) {
        build_pair_trial_density(coefficients, k / v, n_occ + k % v, ws);
        std::fill(ws.residual.data(), ws.residual.data() + len, 0.0);
        ws.residual[k] = 1.0;
        hessian_of_trial_density(coefficients, orbital_energies, n_occ, virtual_shift, fock, ws.residual.data(), y,
                                 ws);
    };
    // Start block: the earlier solution's lowest rotation when given, then
    // vectors from the exact block that no symmetry keeps exact.
    DavidsonWorkspace& davidson = ws.davidson;
    std::size_t m = 0;
    if (start_rotation && !dense) {
        double* x = davidson.basis.row(0);
        occupied_virtual_block(coefficients, n_occ, *start_rotation, x, ws);
        if (orthonormalize_against_rows(davidson.basis, 0, x, len) > 1e-8 && dot(x, x, len) > 0.5) {
            product(x, davidson.images.row(0), 1, 0);
            ++check.products;
            ++m;
        }
    }
    if (!dense) {
        m = add_start_vectors(davidson, len, m, diagonal, {start.data(), n_start}, block.data(), product,
                              check.products);
    }

    // The molecular check: no whole Hessians up to kExactStabilityPairs near
    // the threshold, a second opinion there where the verdict can end the
    // run.
    EigenvalueTest test = orbital_stability_test(max_products);
    test.whole_near_threshold = false;
    if (decisive) test.second_opinion_margin = kSecondOpinionEv;
    const LowestEigenvalue lowest =
        test_lowest_eigenvalue(davidson, len, m, check.products, diagonal, product, column, test);
    check.lowest_eigenvalue = lowest.value;
    check.error_bound = lowest.error_bound;
    check.products = lowest.products;
    check.stable = lowest.verdict == EigenvalueVerdict::above;
    check.decided = lowest.verdict != EigenvalueVerdict::undecided;
    check.unstable_directions = lowest.roots_below;
    check.modes = lowest.roots;
    check.mode_values = lowest.roots_values;
    return check;
}

LowestAlongRotation lowest_along_rotation(double energy, FunctionRef<double(double)> energy_at) {
    LowestAlongRotation best{0.0, energy};
    const auto try_angle = [&](double angle) {
        const double e = energy_at(angle);
        if (e < best.energy) best = {angle, e};
        return e;
    };
    // Sense: the lower of the two at a first angle (halved while neither
    // lowers the energy); then onward in steps of that angle while the
    // energy keeps falling, up to a quarter turn, and the vertex of the
    // parabola through the last three points.
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
        double e_current = best.energy;
        double angle = step;
        while (angle + step < kQuarterTurn) {
            const double e_next = try_angle(sense * (angle + step));
            if (e_next >= e_current) {
                const double curvature = e_previous - 2.0 * e_current + e_next;
                if (curvature > 0.0) try_angle(sense * (angle + 0.5 * step * (e_previous - e_next) / curvature));
                break;
            }
            e_previous = e_current;
            e_current = e_next;
            angle += step;
        }
    }
    return best;
}

double descend_along_unstable_rotation(const Matrix& coefficients, std::size_t n_occ, const FockOfDensity& fock,
                                       double energy, StabilityWorkspace& ws, Matrix& density,
                                       Matrix& trial_density, Matrix& fock_scratch, std::size_t directions) {
    select_blas_threads(coefficients.rows());
    const std::size_t len = n_occ * (coefficients.rows() - std::min(n_occ, coefficients.rows()));
    // The rotation found so far, X = sum_j tan(theta_j) x_j, and the trial
    // one; the orbitals turn by t = 1 along them.
    double* found = ws.residual.data();
    double* trial = ws.gradient.data();
    std::fill(found, found + len, 0.0);
    double lowest_energy = energy;
    for (std::size_t j = 0; j < std::max<std::size_t>(directions, 1); ++j) {
        const double* x = j == 0 ? ws.davidson.ritz_vector.data() : ws.davidson.basis.row(j);
        const auto energy_at = [&](double angle) {
            const double t = std::tan(angle);
            for (std::size_t k = 0; k < len; ++k) trial[k] = found[k] + t * x[k];
            rotated_density(coefficients, n_occ, trial, 1.0, ws, trial_density);
            return fock.electronic_energy(trial_density, fock_scratch);
        };
        const LowestAlongRotation lowest = lowest_along_rotation(lowest_energy, energy_at);
        if (lowest.angle == 0.0) continue;
        axpy(std::tan(lowest.angle), x, found, len);
        lowest_energy = lowest.energy;
    }
    if (lowest_energy < energy) {
        rotated_density(coefficients, n_occ, found, 1.0, ws, density);
    }
    return lowest_energy;
}

double lowest_quarter_turn(const Matrix& coefficients, std::size_t n_occ, const FockOfDensity& fock, double energy,
                           std::span<const double* const> rotations, StabilityWorkspace& ws, Matrix& density,
                           Matrix& trial_density, Matrix& fock_scratch) {
    const std::size_t n = coefficients.rows();
    const std::size_t o = n_occ;
    const std::size_t v = n - std::min(n_occ, n);
    if (o == 0 || v == 0 || rotations.empty()) return energy;
    select_blas_threads(n);
    const blasint bn = as_blas_int(n), bo = as_blas_int(o), bv = as_blas_int(v);
    const double* c = coefficients.data().data();
    double* u = ws.half.data().data();             // o entries
    double* w = u + o;                              // v entries
    double* occupied = ws.response.data().data();  // C_o u, n entries
    double* virt = occupied + n;                    // C_v w, n entries
    double lowest = energy;
    // The density of the orbitals, once; each turn adds its rank-two change
    // to it and takes it away again.
    leading_columns_gram(coefficients, o, 2.0, trial_density);
    double* p = trial_density.data().data();
    const auto add_turn = [&](double sign) {
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                p[i * n + j] += sign * 2.0 * (virt[i] * virt[j] - occupied[i] * occupied[j]);
            }
        }
    };
    for (const double* x : rotations) {
        // The leading left singular vector u of X (o x v, rows i, columns a)
        // by power iteration on X X^T, from the row of largest norm; then
        // w = X^T u / |X^T u|, the plane of the rotation's largest angle.
        std::size_t start = 0;
        double largest = -1.0;
        for (std::size_t i = 0; i < o; ++i) {
            const double norm = dot(x + i * v, x + i * v, v);
            if (norm > largest) {
                largest = norm;
                start = i;
            }
        }
        if (!(largest > 0.0)) continue;
        std::fill(u, u + o, 0.0);
        u[start] = 1.0;
        double singular = 0.0;
        for (int step = 0; step < kPowerSteps; ++step) {
            scipy_cblas_dgemv(CblasRowMajor, CblasTrans, bo, bv, 1.0, x, bv, u, 1, 0.0, w, 1);
            scipy_cblas_dgemv(CblasRowMajor, CblasNoTrans, bo, bv, 1.0, x, bv, w, 1, 0.0, u, 1);
            const double norm = std::sqrt(dot(u, u, o));
            if (!(norm > 0.0)) break;
            const double previous = singular;
            singular = norm;
            scipy_cblas_dscal(bo, 1.0 / norm, u, 1);
            if (step > 0 && std::fabs(singular - previous) <= 1e-10 * singular) break;
        }
        scipy_cblas_dgemv(CblasRowMajor, CblasTrans, bo, bv, 1.0, x, bv, u, 1, 0.0, w, 1);
        const double w_norm = std::sqrt(dot(w, w, v));
        if (!(w_norm > 0.0)) continue;
        scipy_cblas_dscal(bv, 1.0 / w_norm, w, 1);
        // P' = P - 2 (C_o u)(C_o u)^T + 2 (C_v w)(C_v w)^T: the occupied
        // orbital C_o u turned by a quarter turn into C_v w.
        scipy_cblas_dgemv(CblasRowMajor, CblasNoTrans, bn, bo, 1.0, c, bn, u, 1, 0.0, occupied, 1);
        scipy_cblas_dgemv(CblasRowMajor, CblasNoTrans, bn, bv, 1.0, c + o, bn, w, 1, 0.0, virt, 1);
        add_turn(1.0);
        const double e = fock.electronic_energy(trial_density, fock_scratch);
        if (e < lowest) {
            lowest = e;
            density.copy_from(trial_density);
        }
        add_turn(-1.0);
    }
    return lowest;
}

NewtonDescent descend_by_newton_steps(std::size_t n_occ, const FockOfDensity& fock, double energy, double gradient_tolerance,
                               std::size_t max_steps, Matrix& density, NewtonScratch scratch, StabilityWorkspace& ws,
                               double energy_tolerance) {
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
    std::size_t creeping = 0;  // accepted steps in a row that lowered the energy by less than energy_tolerance
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
        const auto product = [&](const double* x, double* y, std::size_t count, std::size_t stride) {
            for (std::size_t k = 0; k < count; ++k, x += stride, y += stride) {
                apply_orbital_hessian(c, eps, o, 0.0, fock, x + 1, y + 1, ws);
                y[0] = dot(f, x + 1, len);
                axpy(x[0], f, y + 1, len);
            }
        };
        DavidsonWorkspace& davidson = ws.davidson;
        std::size_t products = 0;
        std::fill(davidson.basis.row(0), davidson.basis.row(0) + dim, 0.0);
        davidson.basis(0, 0) = 1.0;
        davidson.images(0, 0) = 0.0;
        std::copy(f, f + len, davidson.images.row(0) + 1);
        std::size_t m = 1;
        double* first_order = davidson.basis.row(1);
        first_order[0] = 0.0;
        for (std::size_t k = 0; k < len; ++k) first_order[1 + k] = -f[k] / std::max(precondition[1 + k], 0.1);
        if (orthonormalize_against_rows(davidson.basis, 1, first_order, dim) > 1e-8) {
            product(first_order, davidson.images.row(1), 1, 0);
            ++products;
            ++m;
        }
        const auto rule = [&](const RitzRound& round) {
            RitzDecision decision;
            decision.stop = round.residual[0] < kNewtonResidual * gradient_norm;
            decision.correct[0] = true;
            return decision;
        };
        lowest_eigenpairs(davidson, dim, m, precondition, 1, products, kNewtonProducts, product, rule);

        // kappa and (A + B) kappa from the lowest Ritz pair.
        const double* w = davidson.ritz_vector.data();
        const double* image = davidson.ritz_image.data();
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
        // The full step is tried however short; shortened ones down to the
        // smallest trust radius.
        for (int attempt = 0; attempt < 6 && !accepted && (attempt == 0 || length > kSmallestTrustRadius); ++attempt) {
            const double t = length / kappa_norm;
            rotated_density(c, o, step_kappa, t, ws, scratch.trial_density);
            const double trial_energy = fock.electronic_energy(scratch.trial_density, scratch.work);
            const double predicted = 4.0 * t * along_gradient + 2.0 * t * t * quadratic;
            if (trial_energy < energy) {
                accepted = true;
                creeping = energy - trial_energy < energy_tolerance ? creeping + 1 : 0;
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
        if (creeping >= kCreepingSteps) {  // along a soft or zero mode: the iterations finish
            ++descent.steps;
            break;
        }
    }
    descent.energy = energy;
    return descent;
}

}  // namespace quorin
