#include "core/scf/davidson.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "core/scf/eigensolver.h"

namespace quorin {
namespace {

// y_c := A x_c for `count` vectors held `stride` apart, A dense.
void multiply_rows(const Matrix& a, const double* x, double* y, std::size_t count, std::size_t stride) {
    for (std::size_t c = 0; c < count; ++c) {
        for (std::size_t i = 0; i < a.rows(); ++i) {
            double sum = 0.0;
            for (std::size_t k = 0; k < a.cols(); ++k) sum += a(i, k) * x[c * stride + k];
            y[c * stride + i] = sum;
        }
    }
}

// Iterations kept out of a few rows converge to the lowest eigenpair of the
// operator projected onto the complement, P A P with P = 1 - K K^T, even
// when the kept rows are only near eigenvectors (as a first run's Ritz
// vectors are): the parts of the residual along them, which no correction
// can reach, are not the complement's, and corrections divided by small
// denominators do not bring the kept vectors back. Reference: P A P
// diagonalised whole.
TEST(Davidson, DeflatedIterationsConvergeInTheComplement) {
    constexpr std::size_t len = 160;
    constexpr std::size_t kept = 2;
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    // Diagonal dominance like an orbital Hessian's: a spread diagonal, weak
    // dense couplings.
    Matrix a = Matrix::zeros(len, len);
    for (std::size_t i = 0; i < len; ++i) {
        a(i, i) = 1.0 + 0.2 * static_cast<double>(i);
        for (std::size_t j = 0; j < i; ++j) a(i, j) = a(j, i) = 0.05 * u(rng);
    }
    Vec64 values = Vec64::zeros(len);
    Matrix vectors = Matrix::zeros(len, len);
    diagonalize_symmetric(a, values, vectors);

    DavidsonWorkspace ws = DavidsonWorkspace::allocate(len);
    // The lowest two eigenvectors, each turned by about 0.01 rad at random.
    for (std::size_t j = 0; j < kept; ++j) {
        for (std::size_t k = 0; k < len; ++k) ws.kept(j, k) = vectors(k, j) + 0.01 * u(rng) / std::sqrt(len / 3.0);
        orthonormalize_against_rows(ws.kept, j, ws.kept.row(j), len);
    }
    // P A P, densely.
    Matrix p = Matrix::zeros(len, len), ap = Matrix::zeros(len, len), pap = Matrix::zeros(len, len);
    for (std::size_t i = 0; i < len; ++i) {
        for (std::size_t k = 0; k < len; ++k) {
            p(i, k) = i == k ? 1.0 : 0.0;
            for (std::size_t j = 0; j < kept; ++j) p(i, k) -= ws.kept(j, i) * ws.kept(j, k);
        }
    }
    const auto multiply = [&](const Matrix& x, const Matrix& y, Matrix& out) {
        for (std::size_t i = 0; i < len; ++i) {
            for (std::size_t j = 0; j < len; ++j) {
                double sum = 0.0;
                for (std::size_t k = 0; k < len; ++k) sum += x(i, k) * y(k, j);
                out(i, j) = sum;
            }
        }
    };
    multiply(a, p, ap);
    multiply(p, ap, pap);
    Vec64 complement = Vec64::zeros(len);
    Matrix complement_vectors = Matrix::zeros(len, len);
    diagonalize_symmetric(pap, complement, complement_vectors);
    // The complement's lowest: the zero eigenvalues of P A P along K aside.
    double lowest = 1e300;
    for (std::size_t k = 0; k < len; ++k) {
        if (std::fabs(complement[k]) > 1e-8) lowest = std::min(lowest, complement[k]);
    }

    Vec64 diagonal = Vec64::zeros(len);
    for (std::size_t k = 0; k < len; ++k) diagonal[k] = a(k, k);
    for (std::size_t s = 0; s < 2; ++s) {  // two random start vectors in the complement
        for (std::size_t k = 0; k < len; ++k) ws.basis(s, k) = u(rng);
        orthonormalize_against_rows(ws.kept, kept, ws.basis.row(s), len);
        orthonormalize_against_rows(ws.basis, s, ws.basis.row(s), len);
    }
    const auto product = [&](const double* x, double* y, std::size_t count, std::size_t stride) {
        multiply_rows(a, x, y, count, stride);
    };
    product(ws.basis.row(0), ws.images.row(0), 2, ws.basis.cols());
    std::size_t products = 2;
    bool settled = false;
    const auto rule = [&](const RitzRound& round) {
        RitzDecision decision;
        settled = round.residual[0] <= 1e-7;
        decision.stop = settled;
        decision.correct[0] = !settled;
        return decision;
    };
    const RitzRound last = lowest_eigenpairs(ws, len, 2, diagonal.data(), 1, products, 150, product, rule, kept);
    EXPECT_TRUE(settled) << "residual " << last.residual[0] << " after " << products << " products";
    EXPECT_NEAR(last.theta[0], lowest, 1e-9);
    EXPECT_GT(last.theta[0], values[kept - 1] + 0.1);  // not found the kept vectors again
}

// A first run whose start vectors lie in an invariant subspace of the
// operator settles on that subspace's lowest eigenvalue; the second opinion
// finds the lower one outside it, and the run again from both has products
// of its own to settle it (it had none left, and the verdict stayed
// undecided). The operator: a low block, diagonal 1 to 13.5 with weak
// couplings, and a high one, diagonal 13.5 to 26 less a rank-one coupling
// that pulls its lowest eigenvalue to about 0.05. Reference: the operator
// diagonalised whole.
TEST(Davidson, SecondOpinionThatDisagreesIsFollowedToAVerdict) {
    constexpr std::size_t len = 500, half = len / 2;
    Matrix a = Matrix::zeros(len, len);
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (std::size_t i = 0; i < len; ++i) a(i, i) = 1.0 + 0.05 * static_cast<double>(i);
    for (std::size_t i = 0; i < half; ++i) {
        for (std::size_t j = 0; j < i; ++j) a(i, j) = a(j, i) = 0.01 * u(rng);
    }
    for (std::size_t i = half; i < len; ++i) {
        for (std::size_t j = half; j < len; ++j) a(i, j) -= 19.0 / static_cast<double>(half);
    }
    Vec64 values = Vec64::zeros(len);
    Matrix vectors = Matrix::zeros(len, len);
    diagonalize_symmetric(a, values, vectors);
    ASSERT_LT(values[0], 0.9);  // the high block's, below the low block's 1.0

    DavidsonWorkspace ws = DavidsonWorkspace::allocate(len);
    Vec64 diagonal = Vec64::zeros(len);
    for (std::size_t k = 0; k < len; ++k) diagonal[k] = a(k, k);
    const auto product = [&](const double* x, double* y, std::size_t count, std::size_t stride) {
        multiply_rows(a, x, y, count, stride);
    };
    const auto column = [&](std::size_t k, double* y) {
        for (std::size_t i = 0; i < len; ++i) y[i] = a(i, k);
    };
    for (std::size_t s = 0; s < 3; ++s) ws.basis(s, s) = 1.0;  // inside the low block
    product(ws.basis.row(0), ws.images.row(0), 3, ws.basis.cols());
    EigenvalueTest test;
    test.threshold = -1e-4;
    test.absolute_tolerance = test.residual_bound = 0.05;
    test.near_margin = 0.5;
    test.whole_near_threshold = false;
    test.second_opinion_margin = 1.5;
    test.max_products = 12;
    test.exact_dimension = 400;
    test.dense_dimension = 100;
    const LowestEigenvalue lowest = test_lowest_eigenvalue(ws, len, 3, 3, diagonal.data(), product, column, test);
    EXPECT_EQ(lowest.verdict, EigenvalueVerdict::above);
    EXPECT_NEAR(lowest.value, values[0], 0.05);
}

}  // namespace
}  // namespace quorin
