// Dense Cholesky factorisation and solve.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/ri/cholesky.h"
#include "core/types/errors.h"

namespace quorin {
namespace {

// Symmetric positive-definite test matrix: A = M M^T + n I with a fixed,
// non-trivial M (entries from a sine sequence).
Matrix spd_matrix(std::size_t n) {
    Matrix m = Matrix::zeros(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) m(i, j) = std::sin(1.0 + 3.0 * i + 7.0 * j);
    Matrix a = Matrix::zeros(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            double s = i == j ? static_cast<double>(n) : 0.0;
            for (std::size_t k = 0; k < n; ++k) s += m(i, k) * m(j, k);
            a(i, j) = s;
        }
    return a;
}

TEST(Cholesky, FactorReproducesMatrixAndSolveInvertsIt) {
    for (std::size_t n : {1u, 2u, 7u, 40u}) {
        const Matrix a = spd_matrix(n);
        Matrix l = a;
        ASSERT_FALSE(cholesky_decompose(l).has_value()) << "n = " << n;
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_GT(l(i, i), 0.0);
            for (std::size_t j = i + 1; j < n; ++j) EXPECT_EQ(l(i, j), 0.0);
            for (std::size_t j = 0; j <= i; ++j) {
                double llt = 0.0;
                for (std::size_t k = 0; k < n; ++k) llt += l(i, k) * l(j, k);
                EXPECT_NEAR(llt, a(i, j), 1e-12 * (1.0 + std::abs(a(i, j))));
            }
        }
        // Right-hand side made from a known solution x_k = k - n/2.
        std::vector<double> x_true(n), b(n, 0.0), x(n), work(n);
        for (std::size_t k = 0; k < n; ++k) x_true[k] = static_cast<double>(k) - 0.5 * n;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t k = 0; k < n; ++k) b[i] += a(i, k) * x_true[k];
        solve_cholesky_system(l, b, x, work);
        for (std::size_t k = 0; k < n; ++k) EXPECT_NEAR(x[k], x_true[k], 1e-10);
    }
}

TEST(Cholesky, ReportsTheFirstPivotThatIsNotPositive) {
    // [[1,2],[2,1]] has eigenvalues 3 and -1; by hand the second pivot is 1 - 2^2 = -3.
    Matrix a = Matrix::zeros(2, 2);
    a(0, 0) = 1.0; a(0, 1) = 2.0; a(1, 0) = 2.0; a(1, 1) = 1.0;
    auto err = cholesky_decompose(a);
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->index, 1u);
    EXPECT_DOUBLE_EQ(err->value, -3.0);

    // A pivot below the 1e-14 threshold fails, one just above passes.
    Matrix tiny = Matrix::zeros(1, 1);
    tiny(0, 0) = 1e-15;
    EXPECT_TRUE(cholesky_decompose(tiny).has_value());
    tiny(0, 0) = 1e-13;
    EXPECT_FALSE(cholesky_decompose(tiny).has_value());

    // A NaN entry must not slip through into the factor.
    Matrix bad = Matrix::zeros(2, 2);
    bad(0, 0) = std::numeric_limits<double>::quiet_NaN();
    bad(1, 1) = 1.0;
    auto nan_err = cholesky_decompose(bad);
    ASSERT_TRUE(nan_err.has_value());
    EXPECT_EQ(nan_err->index, 0u);

    Matrix empty;
    EXPECT_FALSE(cholesky_decompose(empty).has_value());
}

TEST(Cholesky, MalformedInputsStop) {
    Matrix rect = Matrix::zeros(2, 3);
    try {
        cholesky_decompose(rect);
        FAIL() << "non-square matrix accepted";
    } catch (const EngineStop& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Matrix must be square", 0), 0u);
    }

    Matrix l = Matrix::zeros(2, 2);
    l(0, 0) = 1.0; l(1, 1) = 1.0;
    std::vector<double> b{1.0, 2.0}, x(2), short_work(1), work(2);
    try {
        solve_cholesky_system(l, b, x, short_work);
        FAIL() << "short work vector accepted";
    } catch (const EngineStop& e) {
        EXPECT_STREQ(e.what(), "assertion failed: tmp.len() >= n");
    }
    l(1, 1) = 0.0;
    try {
        solve_cholesky_system(l, b, x, work);
        FAIL() << "zero pivot accepted";
    } catch (const EngineStop& e) {
        EXPECT_STREQ(e.what(), "Cholesky diagonal pivot is zero");
    }
}

}  // namespace
}  // namespace quorin
