#include "core/scf/inverse_sqrt.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quorin {
namespace {

// X S X = I for a positive definite S, and a singular S is inverted on its
// floored eigenvalue: S = [[1, 1], [1, 1]] has eigenvalues 2 and 0, so with
// floor f, X = (2^-1/2 P + f^-1/2 Q) for the projectors P = S/2, Q = I - S/2
// (hand derivation).
TEST(InverseSqrt, InvertsAndFloors) {
    Matrix s = Matrix::zeros(3, 3);
    const double rows[3][3] = {{1.0, 0.3, 0.1}, {0.3, 1.0, -0.2}, {0.1, -0.2, 1.0}};
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j) s(i, j) = rows[i][j];
    EigensolverWorkspace ws = EigensolverWorkspace::allocate(3);
    Vec64 values = Vec64::zeros(3);
    Matrix vectors = Matrix::zeros(3, 3);
    Matrix x = Matrix::zeros(3, 3);
    inverse_sqrt_symmetric(s, 1e-12, ws, values, vectors, x);
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            double xsx = 0.0;
            for (std::size_t k = 0; k < 3; ++k)
                for (std::size_t l = 0; l < 3; ++l) xsx += x(i, k) * s(k, l) * x(l, j);
            EXPECT_NEAR(xsx, i == j ? 1.0 : 0.0, 1e-12);
        }
    }

    Matrix singular = Matrix::zeros(2, 2);
    singular.fill(1.0);
    EigensolverWorkspace ws2 = EigensolverWorkspace::allocate(2);
    Vec64 values2 = Vec64::zeros(2);
    Matrix vectors2 = Matrix::zeros(2, 2);
    Matrix x2 = Matrix::zeros(2, 2);
    inverse_sqrt_symmetric(singular, 1e-4, ws2, values2, vectors2, x2);
    const double p = 0.5 / std::sqrt(2.0), q = 0.5 * 100.0;
    EXPECT_NEAR(x2(0, 0), p + q, 1e-9);
    EXPECT_NEAR(x2(0, 1), p - q, 1e-9);
}

}  // namespace
}  // namespace quorin
