#include "core/opt/hessian_update.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "core/scf/eigensolver.h"

namespace quorin {
namespace {

constexpr std::size_t kN = 6;
constexpr QuasiNewtonUpdate kAllKinds[] = {QuasiNewtonUpdate::Psb, QuasiNewtonUpdate::Bofill, QuasiNewtonUpdate::Sr1,
                                           QuasiNewtonUpdate::Bfgs};

std::vector<double> random_vector(std::mt19937& rng) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> v(kN);
    for (double& x : v) x = u(rng);
    return v;
}

// Symmetric, and positive definite when `shift` exceeds the spectral radius.
Matrix random_symmetric(std::mt19937& rng, double shift) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Matrix h = Matrix::zeros(kN, kN);
    for (std::size_t i = 0; i < kN; ++i) {
        for (std::size_t j = i; j < kN; ++j) h(i, j) = h(j, i) = u(rng);
        h(i, i) += shift;
    }
    return h;
}

std::vector<double> times(const Matrix& h, const std::vector<double>& s) {
    std::vector<double> out(kN, 0.0);
    for (std::size_t i = 0; i < kN; ++i) {
        for (std::size_t j = 0; j < kN; ++j) out[i] += h(i, j) * s[j];
    }
    return out;
}

Matrix updated(Matrix h, const std::vector<double>& s, const std::vector<double>& y, QuasiNewtonUpdate kind) {
    HessianUpdateWorkspace ws;
    update_cartesian_hessian(h, s, y, kind, ws);
    return h;
}

bool bitwise_equal(const Matrix& a, const Matrix& b) {
    return std::memcmp(a.data().data(), b.data().data(), sizeof(double) * kN * kN) == 0;
}

void expect_close(const Matrix& a, const Matrix& b, double tol) {
    for (std::size_t i = 0; i < kN; ++i) {
        for (std::size_t j = 0; j < kN; ++j) EXPECT_NEAR(a(i, j), b(i, j), tol) << i << "," << j;
    }
}

// The secant condition H_new s = y defines every quasi-Newton update.
TEST(HessianUpdate, SecantConditionAndExactSymmetry) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 20; ++trial) {
        const Matrix h = random_symmetric(rng, 3.0);
        const auto s = random_vector(rng);
        auto y = times(h, s);
        for (double& v : y) v += 0.3;  // y - H s not parallel to s; y.s > 0 for this shift
        for (QuasiNewtonUpdate kind : kAllKinds) {
            SCOPED_TRACE(static_cast<int>(kind));
            Matrix h_new = updated(h, s, y, kind);
            const auto hs = times(h_new, s);
            for (std::size_t i = 0; i < kN; ++i) EXPECT_NEAR(hs[i], y[i], 1e-12);
            for (std::size_t i = 0; i < kN; ++i) {
                for (std::size_t j = 0; j < kN; ++j) EXPECT_EQ(h_new(i, j), h_new(j, i));
            }
        }
    }
    // A lower triangle that disagrees with the upper one is overwritten by it.
    Matrix skewed = random_symmetric(rng, 3.0);
    skewed(4, 1) += 1.0;
    const Matrix h_new = updated(skewed, random_vector(rng), random_vector(rng), QuasiNewtonUpdate::Psb);
    EXPECT_EQ(h_new(4, 1), h_new(1, 4));
}

TEST(HessianUpdate, BofillLimitsAndBfgsDefiniteness) {
    std::mt19937 rng(11);
    const Matrix h = random_symmetric(rng, 0.0);
    const auto s = random_vector(rng);
    const auto hs = times(h, s);

    // r = y - H s parallel to s: phi = 1, pure SR1.
    std::vector<double> y = hs;
    for (std::size_t i = 0; i < kN; ++i) y[i] += 0.7 * s[i];
    expect_close(updated(h, s, y, QuasiNewtonUpdate::Bofill), updated(h, s, y, QuasiNewtonUpdate::Sr1), 1e-13);

    // r orthogonal to s: phi = 0, pure PSB.
    auto r = random_vector(rng);
    double rs = 0.0, ss = 0.0;
    for (std::size_t i = 0; i < kN; ++i) rs += r[i] * s[i], ss += s[i] * s[i];
    for (std::size_t i = 0; i < kN; ++i) y[i] = hs[i] + r[i] - rs / ss * s[i];
    expect_close(updated(h, s, y, QuasiNewtonUpdate::Bofill), updated(h, s, y, QuasiNewtonUpdate::Psb), 1e-13);

    // BFGS keeps a positive definite matrix so whenever y.s > 0.
    for (int trial = 0; trial < 20; ++trial) {
        const Matrix pd = random_symmetric(rng, 8.0);
        const auto step = random_vector(rng);
        auto change = random_vector(rng);
        double ys = 0.0;
        for (std::size_t i = 0; i < kN; ++i) ys += change[i] * step[i];
        if (ys <= 0.0) {
            for (double& c : change) c = -c;
        }
        const Matrix h_new = updated(pd, step, change, QuasiNewtonUpdate::Bfgs);
        Vec64 values = Vec64::zeros(kN);
        Matrix vectors = Matrix::zeros(kN, kN);
        diagonalize_symmetric(h_new, values, vectors);
        EXPECT_GT(values[0], 0.0);
    }
}

TEST(HessianUpdate, GuardedCasesLeaveTheMatrixUntouched) {
    std::mt19937 rng(3);
    const Matrix h = random_symmetric(rng, 0.0);
    const auto s = random_vector(rng);
    const auto y = random_vector(rng);
    const std::vector<double> zero(kN, 0.0);
    for (QuasiNewtonUpdate kind : kAllKinds) EXPECT_TRUE(bitwise_equal(updated(h, zero, y, kind), h));

    // y = H s: r = 0 for SR1 and Bofill; PSB then adds a zero increment.
    const auto hs = times(h, s);
    EXPECT_TRUE(bitwise_equal(updated(h, s, hs, QuasiNewtonUpdate::Sr1), h));
    EXPECT_TRUE(bitwise_equal(updated(h, s, hs, QuasiNewtonUpdate::Bofill), h));
    expect_close(updated(h, s, hs, QuasiNewtonUpdate::Psb), h, 1e-15);

    // |y.s| = 1e-21 is below the BFGS guard.
    std::vector<double> e0(kN, 0.0), tiny(kN, 0.0);
    e0[0] = 1.0;
    tiny[0] = 1e-21;
    EXPECT_TRUE(bitwise_equal(updated(h, e0, tiny, QuasiNewtonUpdate::Bfgs), h));

    // The workspace grows once and never shrinks.
    HessianUpdateWorkspace ws;
    ws.ensure_capacity(8);
    ws.ensure_capacity(4);
    EXPECT_EQ(ws.hs.size(), 8u);
    EXPECT_EQ(ws.residual.size(), 8u);
}

}  // namespace
}  // namespace quorin
