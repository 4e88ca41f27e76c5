#include "core/scf/diis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/types/errors.h"

namespace quorin {
namespace {

// With P = diag(1, 0) a symmetric F = [[d, c], [c, 3]] has the commutator
// FP - PF = [[0, -c], [c, 0]] (hand multiplication).
Matrix fock(double c, double d = 1.0) {
    Matrix m = Matrix::zeros(2, 2);
    m(0, 0) = d;
    m(0, 1) = m(1, 0) = c;
    m(1, 1) = 3.0;
    return m;
}

struct History {
    DiisWorkspace diis = DiisWorkspace::allocate(2, 6);
    Matrix p = Matrix::zeros(2, 2);
    Matrix scratch = Matrix::zeros(2, 2);
    History() { p(0, 0) = 1.0; }
    DiisStep push(Matrix& f) { return diis.push_and_extrapolate(f, p, scratch); }
};

TEST(Diis, ErrorIsTheCommutatorAndFirstPushNeverExtrapolates) {
    History h;
    Matrix f = fock(2.0);
    const DiisStep step = h.push(f);
    EXPECT_DOUBLE_EQ(step.max_error, 2.0);
    EXPECT_DOUBLE_EQ(step.rms_error, std::sqrt(8.0 / 4.0));
    EXPECT_EQ(step.entries_used, 1u);
    EXPECT_FALSE(step.extrapolated);
    EXPECT_DOUBLE_EQ(h.diis.b[0][0], 8.0);
    EXPECT_EQ(DiisWorkspace::allocate(2, 1).capacity, 2u);
    EXPECT_EQ(DiisWorkspace::allocate(2, 20).capacity, 8u);
}

TEST(Diis, ExtrapolationCancelsOpposingErrors) {
    // Couplings 2 and -1: c = (1/3, 2/3) zeroes the error (closed form
    // c1 = (b22 - b12) / (b11 + b22 - 2 b12)), so the coupling vanishes and
    // the diagonal mixes 10 and 40 into 30.
    History h;
    Matrix f1 = fock(2.0, 10.0);
    h.push(f1);
    Matrix f2 = fock(-1.0, 40.0);
    const DiisStep step = h.push(f2);
    ASSERT_TRUE(step.extrapolated);
    EXPECT_EQ(step.entries_used, 2u);
    EXPECT_NEAR(f2(0, 1), 0.0, 1e-12);
    EXPECT_NEAR(f2(0, 0), 30.0, 1e-12);
}

TEST(Diis, SingularHistoryKeepsOnlyTheNewestEntryAndReusesNoLiveSlot) {
    History h;
    Matrix f1 = fock(1.0, 10.0);
    h.push(f1);
    Matrix f2 = fock(1.0, 20.0);  // same error: B is singular
    const DiisStep fallback = h.push(f2);
    EXPECT_FALSE(fallback.extrapolated);
    EXPECT_EQ(h.diis.count, 1u);
    EXPECT_EQ(f2(0, 0), 20.0);
    EXPECT_DOUBLE_EQ(h.diis.b[0][0], 2.0);

    // The kept entry (diagonal 20, coupling 1) must survive the next push:
    // with coupling -1 the two mix 1/2 : 1/2.
    Matrix f3 = fock(-1.0, 40.0);
    ASSERT_TRUE(h.push(f3).extrapolated);
    EXPECT_NEAR(f3(0, 0), 30.0, 1e-12);
    EXPECT_NE(h.diis.order[0], h.diis.order[1]);
}

TEST(Diis, ImplausibleOrSingularSystemsAreRejected) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        double b11, b12, b22;
    };
    // The first gives c = (-60, 61) by the closed form: it sums to 1 but
    // exceeds the coefficient bound of 50.
    for (const Case c : {Case{"coefficients beyond 50", 3.0 + 1.0 / 60.0, 2.0, 1.0}, Case{"identical errors", 1, 1, 1},
                         Case{"vanishing errors", 1e-18, 0, 1e-18}, Case{"NaN", nan, 0, 1}, Case{"NaN off-diagonal", 1, nan, 1}}) {
        DiisMatrix b{};
        b[0][0] = c.b11;
        b[0][1] = b[1][0] = c.b12;
        b[1][1] = c.b22;
        std::array<double, MAX_DIIS_CAPACITY> coeff{};
        EXPECT_FALSE(solve_pulay_system(b, 2, coeff)) << c.what;
    }
    DiisMatrix b{};
    std::array<double, MAX_DIIS_CAPACITY> coeff{};
    EXPECT_THROW(solve_pulay_system(b, 9, coeff), EngineStop);
}

TEST(Diis, FullHistorySlidesOverItsSlots) {
    // P = diag(0, 1, 2, 3) gives e_ij = F_ij (j - i): couplings on different
    // index pairs have orthogonal errors, so every solve succeeds.
    const std::size_t pairs[7][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}, {0, 1}};
    DiisWorkspace diis = DiisWorkspace::allocate(4, 6);
    Matrix p = Matrix::zeros(4, 4), scratch = Matrix::zeros(4, 4);
    for (std::size_t i = 0; i < 4; ++i) p(i, i) = static_cast<double>(i);
    for (std::size_t k = 0; k < 7; ++k) {
        Matrix f = Matrix::zeros(4, 4);
        f(pairs[k][0], pairs[k][1]) = f(pairs[k][1], pairs[k][0]) = 1.0 + k;
        EXPECT_EQ(diis.push_and_extrapolate(f, p, scratch).entries_used, std::min<std::size_t>(k + 1, 6));
    }
    // The seventh entry reused slot 0; the former second-oldest is oldest.
    EXPECT_EQ(diis.order[0], 1u);
    EXPECT_EQ(diis.order[5], 0u);
    EXPECT_DOUBLE_EQ(diis.fock_history[0](0, 1), 7.0);
    EXPECT_DOUBLE_EQ(diis.b[5][5], 2.0 * 7.0 * 7.0);
    EXPECT_DOUBLE_EQ(diis.b[0][5], 0.0);
}

}  // namespace
}  // namespace quorin
