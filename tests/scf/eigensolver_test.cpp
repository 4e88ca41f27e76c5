#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/scf/blas.h"
#include "core/scf/eigensolver.h"
#include "core/scf/staged_eigensolver.h"
#include "core/types/errors.h"
#include "core/types/interruption.h"

namespace quorin {
namespace {

Matrix from_rows(const std::vector<std::vector<double>>& rows) {
    Matrix m = Matrix::zeros(rows.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        for (std::size_t j = 0; j < rows.size(); ++j) m(i, j) = rows[i][j];
    return m;
}

Matrix random_symmetric(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Matrix m = Matrix::zeros(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j) m(i, j) = m(j, i) = u(rng) * (i == j ? 5.0 : 1.0);
    return m;
}

// The largest deviations of a Gram matrix of eigenvectors from the identity
// and of A V (given) from V diag(w).
std::pair<double, double> eigenpair_errors(const Matrix& gram, const Matrix& av, const Vec64& w, const Matrix& v) {
    double orthogonality = 0.0, residual = 0.0;
    for (std::size_t i = 0; i < v.rows(); ++i) {
        for (std::size_t k = 0; k < v.cols(); ++k) {
            orthogonality = std::max(orthogonality, std::fabs(gram(i, k) - (i == k ? 1.0 : 0.0)));
            residual = std::max(residual, std::fabs(av(i, k) - w[k] * v(i, k)));
        }
    }
    return {orthogonality, residual};
}

// Straightforward cyclic Jacobi on V itself (columns p, q updated row by
// row); the solver keeps V transposed and must agree bit for bit.
std::size_t plain_jacobi(const Matrix& a, Vec64& w_out, Matrix& v) {
    const std::size_t n = a.rows();
    Matrix w = a;
    v.fill(0.0);
    for (std::size_t i = 0; i < n; ++i) v(i, i) = 1.0;
    std::size_t sweeps = 100;
    for (std::size_t k = 1; k <= 100; ++k) {
        double sm = 0.0;
        for (std::size_t p = 0; p < n; ++p)
            for (std::size_t q = p + 1; q < n; ++q) sm += std::fabs(w(p, q));
        if (sm < n * 1e-14) {
            sweeps = k;
            break;
        }
        const double tau = k < 4 ? 0.2 * sm / (n * (n - 1) / 2.0) : 0.0;
        for (std::size_t p = 0; p + 1 < n; ++p) {
            for (std::size_t q = p + 1; q < n; ++q) {
                const double a_pq = w(p, q), g = 100.0 * std::fabs(a_pq);
                if (k > 5 && std::fabs(w(p, p)) + g == std::fabs(w(p, p)) && std::fabs(w(q, q)) + g == std::fabs(w(q, q))) {
                    w(p, q) = w(q, p) = 0.0;
                    continue;
                }
                if (std::fabs(a_pq) <= tau) continue;
                const double h = w(q, q) - w(p, p);
                double t;
                if (std::fabs(h) + g == std::fabs(h)) {
                    t = a_pq / h;
                } else {
                    const double th = 0.5 * h / a_pq;
                    t = 1.0 / (std::fabs(th) + std::sqrt(th * th + 1.0));
                    if (th < 0) t = -t;
                }
                const double c = 1.0 / std::sqrt(t * t + 1), s = t * c, r = s / (1 + c);
                w(p, p) -= t * a_pq;
                w(q, q) += t * a_pq;
                w(p, q) = w(q, p) = 0.0;
                for (std::size_t j = 0; j < n; ++j) {
                    if (j == p || j == q) continue;
                    const double gj = w(j, p), hj = w(j, q);
                    w(j, p) = w(p, j) = gj - s * (hj + r * gj);
                    w(j, q) = w(q, j) = hj + s * (gj - r * hj);
                }
                for (std::size_t j = 0; j < n; ++j) {
                    const double gj = v(j, p), hj = v(j, q);
                    v(j, p) = gj - s * (hj + r * gj);
                    v(j, q) = hj + s * (gj - r * hj);
                }
            }
        }
    }
    for (std::size_t i = 0; i < n; ++i) w_out[i] = w(i, i);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        std::size_t b = i;
        for (std::size_t j = i + 1; j < n; ++j)
            if (w_out[j] < w_out[b]) b = j;
        std::swap(w_out[i], w_out[b]);
        for (std::size_t j = 0; j < n; ++j) std::swap(v(j, i), v(j, b));
    }
    return sweeps;
}

std::size_t jacobi(const Matrix& a, Vec64& w, Matrix& v) {
    Matrix work = Matrix::zeros(a.rows(), a.rows());
    return diagonalize_symmetric_jacobi(a, work, w, v);
}

TEST(JacobiEigensolver, AnalyticSmallMatrices) {
    struct Case {
        std::vector<std::vector<double>> a;
        std::vector<double> values;
        std::vector<std::vector<double>> vectors;  // columns, up to sign
    };
    const double r2 = std::sqrt(2.0);
    // 2x2: eigenpairs of [[2,1],[1,2]] by hand. 3x3: the tridiagonal
    // (-1, 2, -1) matrix has lambda_k = 2 - 2 cos(k pi / 4), v_k,j = sin(j k pi / 4).
    const std::vector<Case> cases = {
        {{{2, 1}, {1, 2}}, {1, 3}, {{1 / r2, -1 / r2}, {1 / r2, 1 / r2}}},
        {{{2, -1, 0}, {-1, 2, -1}, {0, -1, 2}},
         {2 - r2, 2, 2 + r2},
         {{0.5, r2 / 2, 0.5}, {r2 / 2, 0, -r2 / 2}, {0.5, -r2 / 2, 0.5}}},
    };
    for (const Case& c : cases) {
        const std::size_t n = c.a.size();
        Vec64 w = Vec64::zeros(n);
        Matrix v = Matrix::zeros(n, n);
        jacobi(from_rows(c.a), w, v);
        for (std::size_t k = 0; k < n; ++k) {
            EXPECT_NEAR(w[k], c.values[k], 1e-13);
            double dot = 0.0;
            for (std::size_t j = 0; j < n; ++j) dot += v(j, k) * c.vectors[k][j];
            EXPECT_NEAR(std::fabs(dot), 1.0, 1e-13) << "vector " << k;
        }
    }
    // The 2x2 case takes one rotation: the test before sweep 2 stops it, with
    // the signs of the rotation, (1, -1)/sqrt2 then (1, 1)/sqrt2.
    Vec64 w = Vec64::zeros(2);
    Matrix v = Matrix::zeros(2, 2);
    EXPECT_EQ(jacobi(from_rows({{2, 1}, {1, 2}}), w, v), 2u);
    EXPECT_NEAR(v(0, 0), 1 / r2, 1e-15);
    EXPECT_NEAR(v(1, 0), -1 / r2, 1e-15);
    EXPECT_NEAR(v(0, 1), 1 / r2, 1e-15);
    EXPECT_NEAR(v(1, 1), 1 / r2, 1e-15);
}

TEST(JacobiEigensolver, DiagonalInputIsSortedInOneSweep) {
    const Matrix a = from_rows({{3, 0, 0, 0}, {0, -1, 0, 0}, {0, 0, 3, 0}, {0, 0, 0, -1}});
    Vec64 w = Vec64::zeros(4);
    Matrix v = Matrix::zeros(4, 4);
    EXPECT_EQ(jacobi(a, w, v), 1u);
    // Selection sort by swapping, traced by hand: [3,-1,3,-1] -> swap 0,1 ->
    // [-1,3,3,-1] -> swap 1,3 -> [-1,-1,3,3]; columns come from rows 1, 3, 2, 0.
    const std::size_t source[] = {1, 3, 2, 0};
    const double values[] = {-1, -1, 3, 3};
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(w[k], values[k]);
        for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(v(j, k), j == source[k] ? 1.0 : 0.0);
    }
}

TEST(JacobiEigensolver, DegenerateSizes) {
    Vec64 w0;
    Matrix v0;
    EXPECT_EQ(jacobi(Matrix::zeros(0, 0), w0, v0), 100u);
    Vec64 w1 = Vec64::zeros(1);
    Matrix v1 = Matrix::zeros(1, 1);
    EXPECT_EQ(jacobi(from_rows({{-4.5}}), w1, v1), 1u);
    EXPECT_EQ(w1[0], -4.5);
    EXPECT_EQ(v1(0, 0), 1.0);
}

TEST(JacobiEigensolver, RandomSymmetricMatricesGiveOrthonormalEigenpairs) {
    for (std::size_t n : {2u, 3u, 5u, 8u, 17u, 40u}) {
        for (unsigned seed : {1u, 2u}) {
            const Matrix a = random_symmetric(n, seed * 1000 + unsigned(n));
            const Matrix a_before = a;
            Vec64 w = Vec64::zeros(n);
            Matrix v = Matrix::zeros(n, n);
            const std::size_t sweeps = jacobi(a, w, v);
            EXPECT_LT(sweeps, 100u);
            EXPECT_EQ(std::memcmp(a.data().data(), a_before.data().data(), n * n * sizeof(double)), 0);
            double trace = 0.0, sum_w = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                trace += a(i, i);
                sum_w += w[i];
                if (i > 0) {
                    EXPECT_LE(w[i - 1], w[i]);
                }
            }
            EXPECT_NEAR(trace, sum_w, 1e-12 * n);
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t k = 0; k < n; ++k) {
                    double av = 0.0, vtv = 0.0;
                    for (std::size_t j = 0; j < n; ++j) {
                        av += a(i, j) * v(j, k);
                        vtv += v(j, i) * v(j, k);
                    }
                    EXPECT_NEAR(av, w[k] * v(i, k), 1e-12 * n) << "A v = lambda v, n=" << n;
                    EXPECT_NEAR(vtv, i == k ? 1.0 : 0.0, 1e-13 * n) << "orthonormality, n=" << n;
                }
            }
        }
    }
}

TEST(JacobiEigensolver, BitIdenticalToPlainRotationOrderAndWorkReuse) {
    Matrix work = Matrix::zeros(23, 23);
    for (unsigned seed : {7u, 8u, 9u}) {
        Matrix a = random_symmetric(23, seed);
        a(0, 1) = a(1, 0) = 1e-17 * a(0, 0);  // tiny against the diagonal: cleared only from sweep 6
        Vec64 w = Vec64::zeros(23), w_ref = Vec64::zeros(23);
        Matrix v = Matrix::zeros(23, 23), v_ref = Matrix::zeros(23, 23);
        const std::size_t sweeps = diagonalize_symmetric_jacobi(a, work, w, v);
        EXPECT_EQ(sweeps, plain_jacobi(a, w_ref, v_ref));
        EXPECT_EQ(std::memcmp(w.data(), w_ref.data(), 23 * sizeof(double)), 0);
        EXPECT_EQ(std::memcmp(v.data().data(), v_ref.data().data(), 23 * 23 * sizeof(double)), 0);
        for (std::size_t i = 0; i < 23; ++i)
            for (std::size_t j = 0; j < 23; ++j) EXPECT_EQ(work(i, j), work(j, i));
    }
}

// Q diag(values) Q^T with Q from the eigenvectors of a random matrix: a
// symmetric matrix with prescribed (possibly repeated) eigenvalues.
Matrix with_spectrum(const std::vector<double>& values, unsigned seed) {
    const std::size_t n = values.size();
    Vec64 w = Vec64::zeros(n);
    Matrix q = Matrix::zeros(n, n);
    jacobi(random_symmetric(n, seed), w, q);
    Matrix a = Matrix::zeros(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t k = 0; k < n; ++k) a(i, j) += q(i, k) * values[k] * q(j, k);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j) a(i, j) = a(j, i);
    return a;
}

// LAPACK and the Jacobi fallback must give the same eigenpairs: eigenvalues
// to 1e-10 relative, single eigenvectors identical after the sign rule, and
// the same projector onto each degenerate eigenspace.
TEST(SymmetricEigensolver, LapackAgreesWithJacobi) {
    struct Case {
        std::string name;
        Matrix a;
    };
    std::vector<Case> cases;
    for (std::size_t n : {2u, 7u, 30u, 61u}) cases.push_back({"random " + std::to_string(n), random_symmetric(n, 40 + unsigned(n))});
    cases.push_back({"degenerate", with_spectrum({-2, -2, -2, 0.5, 1, 1, 3, 7, 7, 7, 7}, 5)});
    cases.push_back({"diagonal", from_rows({{3, 0, 0, 0}, {0, -1, 0, 0}, {0, 0, 3, 0}, {0, 0, 0, -1}})});
    cases.push_back({"1x1", from_rows({{-4.5}})});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t n = c.a.rows();
        const Matrix before = c.a;
        EigensolverWorkspace ws = EigensolverWorkspace::allocate(n);
        Vec64 w = Vec64::zeros(n), w_jac = Vec64::zeros(n);
        Matrix v = Matrix::zeros(n, n), v_jac = Matrix::zeros(n, n);
        EXPECT_EQ(diagonalize_symmetric(c.a, ws, w, v), 0u);  // no Jacobi sweeps: LAPACK ran
        EXPECT_EQ(std::memcmp(c.a.data().data(), before.data().data(), n * n * sizeof(double)), 0);
        jacobi(c.a, w_jac, v_jac);
        fix_eigenvector_signs(v_jac);

        double scale = 1.0;
        for (std::size_t k = 0; k < n; ++k) scale = std::max(scale, std::fabs(w_jac[k]));
        for (std::size_t k = 0; k < n; ++k) {
            EXPECT_NEAR(w[k], w_jac[k], 1e-10 * scale);
            if (k > 0) {
                EXPECT_LE(w[k - 1], w[k]);
            }
            // Sign rule: the first largest-magnitude component is positive.
            std::size_t top = 0;
            for (std::size_t j = 1; j < n; ++j)
                if (std::fabs(v(j, k)) > std::fabs(v(top, k)) * (1 + 1e-9)) top = j;
            EXPECT_GT(v(top, k), 0.0);
        }
        // Eigenspaces: runs of equal eigenvalues, compared by their projectors.
        for (std::size_t first = 0; first < n;) {
            std::size_t last = first + 1;
            while (last < n && w[last] - w[last - 1] < 1e-8 * scale) ++last;
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t j = 0; j < n; ++j) {
                    double p = 0.0, p_jac = 0.0;
                    for (std::size_t k = first; k < last; ++k) {
                        p += v(i, k) * v(j, k);
                        p_jac += v_jac(i, k) * v_jac(j, k);
                    }
                    EXPECT_NEAR(p, p_jac, 1e-9) << "eigenspace from " << first;
                }
            }
            if (last == first + 1) {
                for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(v(i, first), v_jac(i, first), 1e-9);
            }
            first = last;
        }
        // The allocating forms give the same result bit for bit.
        Vec64 w2 = Vec64::zeros(n);
        Matrix v2 = Matrix::zeros(n, n), work = Matrix::zeros(n, n);
        diagonalize_symmetric_with_work(c.a, work, w2, v2);
        EXPECT_EQ(std::memcmp(v2.data().data(), v.data().data(), n * n * sizeof(double)), 0);
        diagonalize_symmetric(c.a, w2, v2);
        EXPECT_EQ(std::memcmp(w2.data(), w.data(), n * sizeof(double)), 0);
    }
    // [[2,1],[1,2]] by hand: (1,-1)/sqrt2 for 1 (equal magnitudes: the first
    // component is made positive) and (1,1)/sqrt2 for 3.
    Vec64 w = Vec64::zeros(2);
    Matrix v = Matrix::zeros(2, 2);
    diagonalize_symmetric(from_rows({{2, 1}, {1, 2}}), w, v);
    const double r = 1 / std::sqrt(2.0);
    EXPECT_NEAR(v(0, 0), r, 1e-15);
    EXPECT_NEAR(v(1, 0), -r, 1e-15);
    EXPECT_NEAR(v(0, 1), r, 1e-15);
    EXPECT_NEAR(v(1, 1), r, 1e-15);
    Vec64 w0;
    Matrix v0;
    EXPECT_EQ(diagonalize_symmetric(Matrix::zeros(0, 0), w0, v0), 0u);
    // A NaN makes LAPACK's result unusable: the Jacobi takes over and reports
    // its sweeps (all 100, as NaN never meets its stopping test).
    Matrix broken = random_symmetric(3, 9);
    broken(0, 2) = broken(2, 0) = std::nan("");
    Vec64 w3 = Vec64::zeros(3);
    Matrix v3 = Matrix::zeros(3, 3);
    EXPECT_EQ(diagonalize_symmetric(broken, w3, v3), kJacobiMaxSweeps);
}

// H m H for the reflector H = I - 2 u u^T / (u^T u), in O(n^2).
Matrix reflected(const Matrix& m, const std::vector<double>& u) {
    const std::size_t n = m.rows();
    double uu = 0.0;
    for (const double x : u) uu += x * x;
    const double beta = 2.0 / uu;
    std::vector<double> p(n, 0.0);
    double gamma = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) p[i] += m(i, j) * u[j];
        gamma += u[i] * p[i];
    }
    Matrix out = Matrix::zeros(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            out(i, j) = m(i, j) - beta * (u[i] * p[j] + p[i] * u[j]) + beta * beta * gamma * u[i] * u[j];
    return out;
}

// A = H1 H2 D H2 H1 for the diagonal D and two reflectors H = I - 2 u u^T /
// (u^T u) with random u: a symmetric matrix with the eigenvalues of D, and
// for a single value d_k the eigenvector H1 H2 e_k.
struct ReflectedDiagonal {
    std::vector<double> u1, u2;
    Matrix a;
};

ReflectedDiagonal reflected_diagonal(const std::vector<double>& diagonal, std::mt19937& rng) {
    const std::size_t n = diagonal.size();
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    ReflectedDiagonal r{std::vector<double>(n), std::vector<double>(n), Matrix()};
    for (std::size_t i = 0; i < n; ++i) {
        r.u1[i] = uniform(rng);
        r.u2[i] = uniform(rng);
    }
    Matrix d = Matrix::zeros(n, n);
    for (std::size_t k = 0; k < n; ++k) d(k, k) = diagonal[k];
    r.a = reflected(reflected(d, r.u2), r.u1);
    return r;
}

// Large matrices take the staged road: A = H1 H2 D H2 H1 with two random
// reflectors has the eigenvalues of the diagonal D (here in exactly
// degenerate triples, close pairs 1e-9 apart and single values, so that the
// joins of the halves deflate in every way) and, for each single eigenvalue
// d_k, the eigenvector H1 H2 e_k (by construction; sign by the rule).
// Order 2,050 splits twice before LAPACK solves the pieces, and its halves
// are joined step by step. The solver asks
// for a pending stop between its steps, a stop leaves the scratch reusable,
// and the result does not depend on the scratch's history.
TEST(SymmetricEigensolver, LargeMatricesRunInStagesThatAnswerAStop) {
    const std::size_t n = 2050;
    ASSERT_GE(n, kStagedEigensolverMinOrder);
    std::vector<double> spectrum(n);
    std::vector<bool> single(n, false);
    for (std::size_t k = 0; k < n; ++k) {
        switch (k % 6) {
            case 0: case 1: case 2: spectrum[k] = -3.0 + 0.01 * double(k - k % 6); break;  // triples
            case 3: spectrum[k] = -3.0 + 0.01 * double(k) + 1e-3; single[k] = true; break;
            case 4: spectrum[k] = 2.0 + 0.003 * double(k); break;                          // pair 1e-9 apart
            default: spectrum[k] = 2.0 + 0.003 * double(k - 1) + 1e-9; break;
        }
    }
    std::mt19937 rng(7);
    const ReflectedDiagonal built = reflected_diagonal(spectrum, rng);
    const Matrix& a = built.a;
    const std::vector<double>& u1 = built.u1;
    const std::vector<double>& u2 = built.u2;

    EigensolverWorkspace ws = EigensolverWorkspace::allocate(n);
    Vec64 w = Vec64::zeros(n);
    Matrix v = Matrix::zeros(n, n);
    int asked = 0;
    const auto count = [](void* calls) { return ++*static_cast<int*>(calls) < 0; };
    {
        const InterruptionScope scope(count, &asked);
        EXPECT_EQ(diagonalize_symmetric(a, ws, w, v), 0u);
    }
    EXPECT_GT(asked, 64);  // one look per panel of the reduction alone: 64

    std::vector<double> sorted = spectrum;
    std::sort(sorted.begin(), sorted.end());
    const double norm = std::max(std::fabs(sorted.front()), std::fabs(sorted.back()));
    // Eigenvalues, and for single eigenvalues the constructed eigenvectors:
    // the largest deviation of either.
    double uu1 = 0.0, uu2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        uu1 += u1[i] * u1[i];
        uu2 += u2[i] * u2[i];
    }
    const auto deviations = [&](const Vec64& values, const Matrix& vectors) {
        double value = 0.0, vector = 0.0;
        for (std::size_t k = 0; k < n; ++k) value = std::max(value, std::fabs(values[k] - sorted[k]));
        for (std::size_t k = 0; k < n; ++k) {
            if (!single[k]) continue;
            const std::size_t column = std::lower_bound(sorted.begin(), sorted.end(), spectrum[k]) - sorted.begin();
            std::vector<double> x(n, 0.0);
            x[k] = 1.0;
            for (std::size_t i = 0; i < n; ++i) x[i] -= 2.0 / uu2 * u2[i] * u2[k];
            double dot = 0.0;
            for (std::size_t i = 0; i < n; ++i) dot += u1[i] * x[i];
            for (std::size_t i = 0; i < n; ++i) x[i] -= 2.0 / uu1 * u1[i] * dot;
            fix_eigenvector_sign(x.data(), n, 1);
            for (std::size_t i = 0; i < n; ++i) vector = std::max(vector, std::fabs(vectors(i, column) - x[i]));
        }
        return std::make_pair(value, vector);
    };
    const auto [value_error, vector_error] = deviations(w, v);
    EXPECT_LT(value_error, 1e-12 * n * norm);
    EXPECT_LT(vector_error, 1e-10);
    // Orthonormal columns and residuals A v - lambda v at rounding level.
    Matrix vtv = Matrix::zeros(n, n), av = Matrix::zeros(n, n);
    Matrix vt = Matrix::zeros(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) vt(i, j) = v(j, i);
    multiply(vt, v, vtv);
    multiply(a, v, av);
    const auto [orthogonality, residual] = eigenpair_errors(vtv, av, w, v);
    EXPECT_LT(orthogonality, 1e-12);
    EXPECT_LT(residual, 1e-12 * norm);

    // A stop at the tenth look ends the call; the same scratch then serves a
    // full run again (bit for bit only with the same thread count).
    int looks = 0;
    const auto stop_at_tenth = [](void* calls) { return ++*static_cast<int*>(calls) >= 10; };
    Vec64 w2 = Vec64::zeros(n);
    Matrix v2 = Matrix::zeros(n, n);
    {
        const InterruptionScope scope(stop_at_tenth, &looks);
        EXPECT_THROW(diagonalize_symmetric(a, ws, w2, v2), Interrupted);
    }
    EXPECT_EQ(looks, 10);
    diagonalize_symmetric(a, ws, w2, v2);
    const auto [value_error_2, vector_error_2] = deviations(w2, v2);
    EXPECT_LT(value_error_2, 1e-12 * n * norm);
    EXPECT_LT(vector_error_2, 1e-10);
}

// m := H m for the reflector H = I - 2 u u^T / (u^T u), in O(n^2).
void reflect_rows(Matrix& m, const std::vector<double>& u) {
    const std::size_t n = m.rows();
    double uu = 0.0;
    for (const double x : u) uu += x * x;
    std::vector<double> s(m.cols(), 0.0);  // u^T m
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < m.cols(); ++j) s[j] += u[i] * m(i, j);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < m.cols(); ++j) m(i, j) -= 2.0 / uu * u[i] * s[j];
}

// Eigenvalues ascend from every path, with orthonormal eigenvectors and
// residuals at rounding level, on spectra that test the joins of the staged
// path: five values each repeated hundreds of times (exactly equal
// eigenvalues, deflated at every join), clusters of ten values 1e-13 apart,
// and random values; order 4,100 mixes the three. They sit on the diagonal
// of D in random order, and A = H1 H2 D H2 H1 with two random reflectors.
// Order 2,001 joins its halves step by step, 4,100 also each half (a nested
// join); the staged path is called itself, since diagonalize_symmetric would
// hide a refusal behind the one-call driver, which serves order 999.
TEST(SymmetricEigensolver, EqualClusteredAndRandomSpectraGiveAscendingOrthonormalEigenpairs) {
    struct Case {
        const char* spectrum;
        std::size_t n;
    };
    const Case cases[] = {{"equal", 2001}, {"clustered", 2001}, {"random", 2001}, {"mixed", 4100}, {"equal", 999}};
    for (const Case& c : cases) {
        const std::size_t n = c.n;
        const std::string kind = c.spectrum;
        SCOPED_TRACE(kind + " spectrum, order " + std::to_string(n));
        std::mt19937 rng(static_cast<unsigned>(n + kind.size()));
        std::uniform_real_distribution<double> uniform(-1.0, 1.0);
        std::vector<double> spectrum(n);
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t part = kind == "mixed" ? k % 3 : kind == "equal" ? 0 : kind == "clustered" ? 1 : 2;
            if (part == 0) spectrum[k] = -2.0 + double(k % 5);
            if (part == 1) spectrum[k] = -3.0 + 0.01 * double(k / 10) + 1e-13 * double(k % 10);
            if (part == 2) spectrum[k] = 5.0 * uniform(rng);
        }
        std::vector<double> diagonal = spectrum;
        std::shuffle(diagonal.begin(), diagonal.end(), rng);
        const ReflectedDiagonal built = reflected_diagonal(diagonal, rng);
        const Matrix& a = built.a;

        Vec64 w = Vec64::zeros(n);
        Matrix v = Matrix::zeros(n, n);
        if (n >= kStagedEigensolverMinOrder) {
            Vec64 real_work = Vec64::zeros(staged_eigensolver_real_work(n));
            std::vector<std::int32_t> integer_work(staged_eigensolver_integer_work(n), 0);
            ASSERT_TRUE(diagonalize_in_stages(a, real_work, integer_work, w, v));
        } else {
            ASSERT_EQ(diagonalize_symmetric(a, w, v), 0u);  // no Jacobi sweeps: LAPACK ran
        }

        std::sort(spectrum.begin(), spectrum.end());
        const double norm = std::max(std::fabs(spectrum.front()), std::fabs(spectrum.back()));
        std::size_t descents = 0;
        double value_error = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            if (k > 0 && w[k] < w[k - 1]) ++descents;
            value_error = std::max(value_error, std::fabs(w[k] - spectrum[k]));
        }
        EXPECT_EQ(descents, 0u);
        EXPECT_LT(value_error, 1e-13 * norm);
        // A V by the reflectors, V V^T (as far from I as V^T V for a square V)
        // by one product.
        Matrix av = v;
        reflect_rows(av, built.u1);
        reflect_rows(av, built.u2);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t k = 0; k < n; ++k) av(i, k) *= diagonal[i];
        reflect_rows(av, built.u2);
        reflect_rows(av, built.u1);
        Matrix gram = Matrix::zeros(n, n);
        leading_columns_gram(v, n, 1.0, gram);
        const auto [orthogonality, residual] = eigenpair_errors(gram, av, w, v);
        EXPECT_LT(orthogonality, 5e-13);
        EXPECT_LT(residual, 5e-14 * norm);
    }
}

TEST(JacobiEigensolver, ShapeMismatchStops) {
    Vec64 w3 = Vec64::zeros(3), w2 = Vec64::zeros(2);
    Matrix v3 = Matrix::zeros(3, 3), v2 = Matrix::zeros(2, 2), work2 = Matrix::zeros(2, 2);
    const Matrix a3 = random_symmetric(3, 1);
    EXPECT_THROW(diagonalize_symmetric(a3, w2, v3), EngineStop);
    EXPECT_THROW(diagonalize_symmetric(a3, w3, v2), EngineStop);
    EXPECT_THROW(diagonalize_symmetric(Matrix::zeros(3, 2), w3, v3), EngineStop);
    EXPECT_THROW(diagonalize_symmetric_with_work(a3, work2, w3, v3), EngineStop);
    EXPECT_THROW(diagonalize_symmetric_jacobi(a3, work2, w3, v3), EngineStop);
    EigensolverWorkspace ws2 = EigensolverWorkspace::allocate(2);
    EXPECT_THROW(diagonalize_symmetric(a3, ws2, w3, v3), EngineStop);
}

}  // namespace
}  // namespace quorin
