#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/integrals/multipoles.h"
#include "core/types/errors.h"

namespace quorin {
namespace {

// Synthetic record with deterministic pseudo-random integrals.
DiatomicPairIntegrals make_record(std::size_t atom_a, std::size_t atom_b, std::size_t na, std::size_t nb,
                                  std::size_t first_a, std::size_t first_b, double seed) {
    DiatomicPairIntegrals rec;
    const std::size_t pa = n_pairs(na), pb = n_pairs(nb);
    rec.w.assign(na <= 4 && nb <= 4 ? 100 : pa * pb, 0.0);
    for (std::size_t k = 0; k < pa * pb; ++k) rec.w[k] = std::sin(seed + 0.7 * k) + 0.3;
    rec.e1b.assign(na <= 4 && nb <= 4 ? 10 : pa, 0.0);
    rec.e2a.assign(na <= 4 && nb <= 4 ? 10 : pb, 0.0);
    for (std::size_t k = 0; k < pa; ++k) rec.e1b[k] = std::cos(seed + 1.3 * k);
    for (std::size_t k = 0; k < pb; ++k) rec.e2a[k] = std::cos(seed - 0.9 * k);
    rec.atom_a = atom_a;
    rec.atom_b = atom_b;
    rec.norb_a = na;
    rec.norb_b = nb;
    rec.first_orbital_a = first_a;
    rec.first_orbital_b = first_b;
    return rec;
}

Matrix symmetric_matrix(std::size_t n, double seed) {
    Matrix m = Matrix::zeros(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j) m(i, j) = m(j, i) = std::sin(seed * (1.0 + i) + 0.37 * j);
    return m;
}

// Two-centre electronic energy written directly over all orbital quadruples:
// sum (mu nu|lambda sigma) [P_mu,nu P_lambda,sigma - 1/2 P_mu,lambda P_nu,sigma].
double two_center_energy(const std::vector<DiatomicPairIntegrals>& recs, const Matrix& p) {
    double e = 0.0;
    for (const auto& r : recs) {
        const std::size_t a = r.first_orbital_a, b = r.first_orbital_b, pb = n_pairs(r.norb_b);
        for (std::size_t mu = 0; mu < r.norb_a; ++mu)
            for (std::size_t nu = 0; nu < r.norb_a; ++nu)
                for (std::size_t la = 0; la < r.norb_b; ++la)
                    for (std::size_t si = 0; si < r.norb_b; ++si) {
                        const double g = r.w[packed_pair_index(mu, nu) * pb + packed_pair_index(la, si)];
                        e += g * (p(a + mu, a + nu) * p(b + la, b + si) - 0.5 * p(a + mu, b + la) * p(a + nu, b + si));
                    }
    }
    return e;
}

// The two-centre Fock contribution is the gradient of the two-electron
// energy: for a symmetric change d of P_ij and P_ji, dE = 2 F_ij d (exact for
// a quadratic energy with central differences). Covers every AO-count
// combination, including the unrolled sp ones.
TEST(TwoCenterFock, FockIsTheDensityGradientOfTheEnergy) {
    // Atoms: 0 (4 AOs), 1 (1), 2 (9), 3 (4), 4 (1), 5 (9).
    const std::size_t norb[] = {4, 1, 9, 4, 1, 9};
    std::size_t first[6];
    std::size_t n = 0;
    for (int i = 0; i < 6; ++i) first[i] = n, n += norb[i];
    std::vector<DiatomicPairIntegrals> recs;
    double seed = 0.1;
    for (std::size_t i = 0; i < 6; ++i)
        for (std::size_t j = 0; j < i; ++j) recs.push_back(make_record(i, j, norb[i], norb[j], first[i], first[j], seed += 0.77));

    const Matrix p = symmetric_matrix(n, 0.83);
    Matrix f = Matrix::zeros(n, n);
    assemble_nddo_two_center_fock(recs, p, f);
    const double h = 1e-3;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            Matrix pp = p, pm = p;
            pp(i, j) += h, pm(i, j) -= h;
            if (i != j) pp(j, i) += h, pm(j, i) -= h;
            const double de = (two_center_energy(recs, pp) - two_center_energy(recs, pm)) / (2.0 * h);
            EXPECT_NEAR(i == j ? f(i, i) : 2.0 * f(i, j), de, 1e-8) << i << "," << j;
            EXPECT_EQ(f(i, j), f(j, i));
        }
    }
}

TEST(TwoCenterFock, TwoHydrogensByHand) {
    DiatomicPairIntegrals rec = make_record(1, 0, 1, 1, 1, 0, 0.0);
    rec.w[0] = 12.5;
    Matrix p = Matrix::zeros(2, 2);
    p(0, 0) = 0.9, p(1, 1) = 1.1, p(0, 1) = p(1, 0) = 0.95;
    Matrix f = Matrix::zeros(2, 2);
    f(0, 0) = -3.0, f(1, 1) = -2.0, f(0, 1) = f(1, 0) = -1.0;
    const std::vector<DiatomicPairIntegrals> recs = {rec};
    assemble_nddo_two_center_fock(recs, p, f);
    EXPECT_DOUBLE_EQ(f(1, 1), -2.0 + 0.9 * 12.5);
    EXPECT_DOUBLE_EQ(f(0, 0), -3.0 + 1.1 * 12.5);
    EXPECT_DOUBLE_EQ(f(1, 0), -1.0 - 0.5 * 12.5 * 0.95);
    EXPECT_DOUBLE_EQ(f(0, 1), f(1, 0));
}

// An unsymmetric matrix on entry ends with every touched upper entry equal
// to the updated lower one; a zero density changes nothing.
TEST(TwoCenterFock, MirroredEntriesAndZeroDensity) {
    std::vector<DiatomicPairIntegrals> recs = {make_record(1, 0, 4, 4, 4, 0, 0.4)};
    Matrix f = Matrix::zeros(8, 8);
    for (std::size_t i = 0; i < 8; ++i)
        for (std::size_t j = 0; j < 8; ++j) f(i, j) = 0.1 * i - 0.3 * j;
    const Matrix before = f;
    assemble_nddo_two_center_fock(recs, Matrix::zeros(8, 8), f);
    for (std::size_t i = 0; i < 8; ++i)
        for (std::size_t j = 0; j < i; ++j) {
            EXPECT_EQ(f(i, j), before(i, j));
            EXPECT_EQ(f(j, i), f(i, j));
        }
    Matrix g = before;
    assemble_nddo_two_center_fock({}, symmetric_matrix(8, 0.2), g);
    for (std::size_t k = 0; k < 64; ++k) EXPECT_EQ(g.data()[k], before.data()[k]);
}

// e1b lands on A's diagonal block at the packed positions, e2a on B's.
TEST(TwoCenterFock, ElectronCoreVectorsGoToDiagonalBlocks) {
    for (std::size_t nb : {1, 4, 9}) {
        DiatomicPairIntegrals rec = make_record(1, 0, 4, nb, nb, 0, 0.9);
        const std::size_t n = 4 + nb;
        Matrix h = symmetric_matrix(n, 0.5);
        const Matrix before = h;
        apply_electron_nuclear_attractions(std::vector<DiatomicPairIntegrals>{rec}, h);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) {
                double add = 0.0;
                if (i >= nb && j >= nb) add = rec.e1b[packed_pair_index(i - nb, j - nb)];
                if (i < nb && j < nb) add = rec.e2a[packed_pair_index(i, j)];
                EXPECT_DOUBLE_EQ(h(i, j), before(i, j) + add);
            }
    }
}

// A record that does not fit the matrices stops instead of writing outside them.
TEST(TwoCenterFock, RecordOutsideTheBasisStops) {
    std::vector<DiatomicPairIntegrals> recs = {make_record(1, 0, 4, 4, 4, 0, 0.4)};
    Matrix small = Matrix::zeros(6, 6);
    EXPECT_THROW(assemble_nddo_two_center_fock(recs, Matrix::zeros(6, 6), small), EngineStop);
    EXPECT_THROW(apply_electron_nuclear_attractions(recs, small), EngineStop);
    recs[0].w.resize(50);
    Matrix f = Matrix::zeros(8, 8);
    EXPECT_THROW(assemble_nddo_two_center_fock(recs, Matrix::zeros(8, 8), f), EngineStop);
}

}  // namespace
}  // namespace quorin
