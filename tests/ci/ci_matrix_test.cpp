#include "core/ci/ci_matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "ci/determinants.h"
#include "core/ci/meci.h"
#include "core/scf/eigensolver.h"

namespace quorin {
namespace {

std::size_t binomial(std::size_t n, std::size_t k) {
    if (k > n) return 0;
    std::size_t b = 1;
    for (std::size_t i = 1; i <= k; ++i) b = b * (n - k + i) / i;
    return b;
}

// Binomial counts and the order of the enumeration.
TEST(Microstates, CountsAreBinomialsAndMicrostateZeroFillsTheLowestOrbitals) {
    for (std::size_t n = 0; n <= 6; ++n) {
        for (std::size_t electrons = 0; electrons <= 2 * n; ++electrons) {
            const auto states = generate_microstates(n, static_cast<std::int32_t>(electrons),
                                                     static_cast<std::int32_t>(electrons % 2));
            const std::size_t expected = binomial(n, electrons - electrons / 2) * binomial(n, electrons / 2);
            EXPECT_EQ(states.size(), expected) << n << " " << electrons;
            EXPECT_EQ(count_microstates(n, electrons), expected);
            for (std::size_t k = 0; k < n; ++k) {
                EXPECT_EQ(states[0].alpha[k], k < electrons - electrons / 2 ? 1 : 0);
                EXPECT_EQ(states[0].beta[k], k < electrons / 2 ? 1 : 0);
            }
        }
        EXPECT_TRUE(generate_microstates(n, static_cast<std::int32_t>(2 * n + 2), 0).empty());
    }
    // The 2-in-2 order: (alpha {0}, beta {0}), ({0},{1}), ({1},{0}), ({1},{1}).
    const auto two = generate_microstates(2, 2, 0);
    EXPECT_EQ(two[1].alpha, (OccupationString{1, 0}));
    EXPECT_EQ(two[1].beta, (OccupationString{0, 1}));
    EXPECT_EQ(two[2].alpha, (OccupationString{0, 1}));
    EXPECT_EQ(count_microstates(200, 200), std::numeric_limits<std::size_t>::max());
}

// Reference: determinant algebra with h_pq = e_p d_pq - sum_k o_k (2(pq|kk) - (pk|qk))
// and random eight-fold symmetric integrals; the S^2 operator S- S+ + Sz(Sz + 1);
// and the one-particle density sum over spin of <a+_p a_q>.
TEST(CiMatrix, HamiltonianSpinAndDensityEqualSecondQuantisedReference) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> dist(-2.0, 2.0);
    for (std::size_t n = 2; n <= 5; ++n) {
        for (std::size_t electrons = 1; electrons < 2 * n; ++electrons) {
            if (n == 5 && electrons != 4 && electrons != 5) continue;  // keep the run short
            SCOPED_TRACE(testing::Message() << n << " orbitals, " << electrons << " electrons");
            const ActiveIntegrals v = fixtures::random_integrals(n, rng);
            std::vector<double> eps(n), occ(n, 0.0), h_diag(n);
            for (std::size_t k = 0; k < n; ++k) eps[k] = dist(rng) + static_cast<double>(k);
            for (std::size_t k = 0; k < electrons - electrons / 2; ++k) occ[k] = 1.0;
            compute_active_orbital_energies(eps, occ, v, h_diag);

            const std::vector<Microstate> states = generate_microstates(
                n, static_cast<std::int32_t>(electrons), static_cast<std::int32_t>(electrons % 2));
            const std::size_t m = states.size();
            std::vector<double> diagonal(m);
            const double e0 = diagi(states[0].alpha, states[0].beta, h_diag, v, n);
            for (std::size_t i = 0; i < m; ++i) diagonal[i] = diagi(states[i].alpha, states[i].beta, h_diag, v, n) - e0;
            Matrix h = Matrix::zeros(m, m);
            build_ci_hamiltonian(states, diagonal, n, occ, v, h);

            Matrix h_mo = Matrix::zeros(n, n);
            for (std::size_t p = 0; p < n; ++p) {
                for (std::size_t q = 0; q < n; ++q) {
                    double mean_field = 0.0;
                    for (std::size_t k = 0; k < n; ++k) mean_field += occ[k] * (2.0 * v(p, q, k, k) - v(p, k, q, k));
                    h_mo(p, q) = (p == q ? eps[p] : 0.0) - mean_field;
                }
            }
            const Matrix ref = fixtures::hamiltonian_matrix(states, h_mo, v);
            for (std::size_t i = 0; i < m; ++i) {
                for (std::size_t j = 0; j < m; ++j) {
                    const double expected = i == j ? ref(i, i) - ref(0, 0) : ref(i, j);
                    ASSERT_NEAR(h(i, j), expected, 1e-10) << i << "," << j;
                }
            }
            Vec64 values = Vec64::zeros(m), ref_values = Vec64::zeros(m);
            Matrix vectors = Matrix::zeros(m, m), ref_vectors = Matrix::zeros(m, m);
            Matrix shifted = Matrix::zeros(m, m);
            shifted.copy_from(ref);
            for (std::size_t i = 0; i < m; ++i) shifted(i, i) -= ref(0, 0);
            diagonalize_symmetric(h, values, vectors);
            diagonalize_symmetric(shifted, ref_values, ref_vectors);
            for (std::size_t r = 0; r < m; ++r) EXPECT_NEAR(values[r], ref_values[r], 1e-10);

            Matrix s2 = Matrix::zeros(m, m);
            build_s2_matrix(states, n, s2, 0.5 * static_cast<double>(electrons % 2));
            const Matrix s2_ref = fixtures::s2_matrix(states);
            for (std::size_t i = 0; i < m; ++i) {
                for (std::size_t j = 0; j < m; ++j) ASSERT_NEAR(s2(i, j), s2_ref(i, j), 1e-12) << i << "," << j;
            }

            // Identity MO coefficients and a zero SCF density leave D_CI - D_ref.
            std::vector<double> w(m);
            for (std::size_t i = 0; i < m; ++i) w[i] = vectors(i, m / 2);
            Matrix identity = Matrix::zeros(n, n), zero = Matrix::zeros(n, n);
            std::vector<std::size_t> active(n);
            for (std::size_t k = 0; k < n; ++k) identity(k, k) = 1.0, active[k] = k;
            const Matrix density = compute_ci_state_density(n, identity, active, states, w, occ, zero);
            fixtures::State psi;
            for (std::size_t i = 0; i < m; ++i) psi[fixtures::mask_of(states[i])] += w[i];
            for (std::size_t p = 0; p < n; ++p) {
                for (std::size_t q = 0; q < n; ++q) {
                    const double gamma = fixtures::overlap(psi, fixtures::excite(psi, p, q, 0)) +
                                         fixtures::overlap(psi, fixtures::excite(psi, p, q, 1));
                    EXPECT_NEAR(density(p, q), gamma - (p == q ? 2.0 * occ[p] : 0.0), 1e-12);
                }
            }
        }
    }
}

}  // namespace
}  // namespace quorin
