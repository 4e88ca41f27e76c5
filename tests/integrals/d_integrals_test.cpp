#include "core/integrals/d_integrals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/parameters/d_element_params.h"
#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {
namespace {

// ---------------------------------------------------------------------------
// Point-charge multipoles: the component (l, m >= 0) of separation D as
// explicit charges (x, y, z, q) around its centre.
using Charges = std::vector<std::array<double, 4>>;

Charges multipole_charges(int l, int m, double d) {
    const double c = d / std::sqrt(2.0);
    if (l == 0) return {{0, 0, 0, 1}};
    if (l == 1 && m == 0) return {{0, 0, d, 0.5}, {0, 0, -d, -0.5}};
    if (l == 1 && m == 1) return {{d, 0, 0, 0.5}, {-d, 0, 0, -0.5}};
    // Linear quadrupole with its negative charge spread over a ring (four points).
    if (l == 2 && m == 0) {
        return {{0, 0, d, 0.25}, {0, 0, -d, 0.25}, {d, 0, 0, -0.125}, {-d, 0, 0, -0.125},
                {0, d, 0, -0.125}, {0, -d, 0, -0.125}};
    }
    if (l == 2 && m == 1) return {{c, 0, c, 0.25}, {-c, 0, -c, 0.25}, {c, 0, -c, -0.25}, {-c, 0, c, -0.25}};
    return {{d, 0, 0, 0.25}, {-d, 0, 0, 0.25}, {0, d, 0, -0.25}, {0, -d, 0, -0.25}};  // l = 2, m = 2
}

double charge_sum(const Charges& a, const Charges& b, double r, double rho2) {
    double sum = 0.0;
    for (const auto& p : a) {
        for (const auto& q : b) {
            const double dx = q[0] - p[0], dy = q[1] - p[1], dz = q[2] + r - p[2];
            sum += p[3] * q[3] / std::sqrt(dx * dx + dy * dy + dz * dz + rho2);
        }
    }
    return sum;
}

TEST(DIntegrals, MultipoleInteractionsEqualTheirPointChargeSums) {
    const int combos[][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {2, 0, 0}, {0, 2, 0}, {1, 1, 0}, {1, 1, 1},
                             {1, 2, 0}, {1, 2, 1}, {2, 1, 0}, {2, 1, 1}, {2, 2, 0}, {2, 2, 1}, {2, 2, 2}};
    const double geometries[][4] = {{3.7, 0.8, 1.1, 2.25}, {1.2, 1.5, 0.4, 0.3}, {9.0, 0.5, 2.0, 0.0}};
    for (const auto& g : geometries) {
        for (const auto& c : combos) {
            const double reference = charge_sum(multipole_charges(c[0], c[2], g[1]),
                                                multipole_charges(c[1], c[2], g[2]), g[0], g[3]);
            EXPECT_NEAR(charg(c[0], c[1], c[2], g[0], g[1], g[2], g[3]), reference, 1e-14)
                << c[0] << c[1] << c[2] << " at r = " << g[0];
        }
    }
    // Components without a shared m do not interact.
    EXPECT_EQ(charg(1, 1, 2, 2.0, 0.5, 0.5, 1.0), 0.0);
    EXPECT_EQ(charg(1, 2, 2, 2.0, 0.5, 0.5, 1.0), 0.0);
}

// ---------------------------------------------------------------------------
// Atom data for the pair tests.
struct AtomData {
    std::size_t n;
    std::array<double, 10> add;
    std::array<double, 7> sep;
    double core;
};

AtomData iron() {
    // The PM7 iron row's exponents with round one-centre integrals.
    const DElementParams d = compute_d_element_params(26, 1.157576, 2.737621, 1.860792, 12.15, 8.51, 7.83, 6.86,
                                                      1.27, 2.223065, 1.314405, 1.769722, 9.314037, 1.970401,
                                                      0.993526);
    return {9, d.additive_terms, d.charge_separations, 8.0};
}

AtomData cobalt_like() {
    const DElementParams d = compute_d_element_params(27, 1.41, 1.53, 1.62, 11.2, 9.0, 8.4, 7.1, 0.9, 1.710796,
                                                      0.928007, 1.563753, 3.0455, 1.015102, 1.433458);
    return {9, d.additive_terms, d.charge_separations, 9.0};
}

// A four-orbital atom described by its sp multipoles only.
AtomData carbon_like() { return {4, {0, 1.1, 0.8, 0.7, 0, 0, 0, 1.1, 0, 1.05}, {0, 0, 0.8, 0.99, 0, 0, 0}, 4.0}; }
AtomData hydrogen_like() { return {1, {0, 0.96, 0, 0, 0, 0, 0, 0.96, 0, 0.96}, {}, 1.0}; }

// The 22 sp local values of the same point-charge model, so that every local
// cell of a test pair belongs to one consistent set of multipoles.
std::array<double, 22> sp_values(const AtomData& a, const AtomData& b, double r_bohr) {
    const std::size_t cells[22][4] = {{0, 0, 0, 0}, {0, 1, 0, 0}, {1, 1, 0, 0}, {2, 2, 0, 0}, {0, 0, 0, 1},
                                      {0, 1, 0, 1}, {0, 2, 0, 2}, {1, 1, 0, 1}, {2, 2, 0, 1}, {1, 2, 0, 2},
                                      {0, 0, 1, 1}, {0, 0, 2, 2}, {0, 1, 1, 1}, {0, 1, 2, 2}, {0, 2, 1, 2},
                                      {1, 1, 1, 1}, {2, 2, 1, 1}, {1, 1, 2, 2}, {2, 2, 2, 2}, {1, 2, 1, 2},
                                      {2, 2, 3, 3}, {2, 3, 2, 3}};
    std::array<double, 22> out{};
    for (std::size_t s = 0; s < 22; ++s) {
        const auto& c = cells[s];
        out[s] = kHartreeToEv * rijkl(a.add, a.sep, b.add, b.sep, c[0], c[1], c[2], c[3], 0, r_bohr);
    }
    return out;
}

void feather_sp(std::array<double, 22>& v, double r_angstrom) {
    const double w = r_angstrom < 7.0 ? 1.0 - std::exp(-0.22 * (r_angstrom - 7.0) * (r_angstrom - 7.0)) : 0.0;
    const bool monopole[22] = {1, 0, 1, 1, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 1, 1, 1, 1, 0, 1, 0};
    for (std::size_t s = 0; s < 22; ++s) {
        v[s] = w * v[s] + (monopole[s] ? (1.0 - w) * kCoulombEvAngstrom / r_angstrom : 0.0);
    }
}

struct PairResult {
    SpdBlock local{};
    SpdBlock w{};
    DElectronCore e{};
};

// The d path of one pair, direction from A to B in angstrom.
PairResult run_pair(const AtomData& a, const AtomData& b, double dx, double dy, double dz, bool feathering) {
    const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
    const auto rot = DOrbitalRotation3D::from_direction(dx, dy, dz, r);
    auto sp = sp_values(a, b, rot.distance_bohr);
    if (feathering) feather_sp(sp, r);
    PairResult out;
    // Stand-in sp core attractions (both atoms alike, z'-odd k = 1 reversed for B).
    const double sp_core[8] = {-3.0, -3.0, -0.5, 0.5, -2.8, -2.8, -3.1, -3.1};
    std::copy(sp_core, sp_core + 8, out.e.begin());
    compute_reppd2(a.n, b.n, sp, a.add, a.sep, b.add, b.sep, out.local, out.e, feathering, rot.distance_bohr, a.core,
                   b.core);
    SpdBlock half{};
    SpdMask mask{};
    tx(a.n, b.n, out.local, mask, half, rot);
    rotatd_step2(a.n, b.n, half, mask, rot, out.w);
    if (feathering) apply_pm7_d_correction(a.n, b.n, a.n >= 9, b.n >= 9, out.w, out.e);
    return out;
}

TEST(DIntegrals, DistantPairsReachThePointChargeLimit) {
    // Distributions with two monopoles interact as e^2/R: far out (400 bohr)
    // up to the (D/R)^2 quadrupole terms without feathering, exactly from 7
    // angstrom on with it; the other cells vanish.
    const AtomData a = iron(), b = cobalt_like();
    struct Case {
        double r_angstrom;
        bool feathering;
        double diagonal_tol, off_diagonal_bound;
    };
    for (const Case c : {Case{400.0 * kBohrToAngstrom, false, 1e-4, 1e-2}, Case{7.0, true, 1e-13, 1e-13},
                         Case{9.5, true, 1e-13, 1e-13}}) {
        const double r = c.r_angstrom / kBohrToAngstrom;
        auto sp = sp_values(a, b, r);
        if (c.feathering) feather_sp(sp, c.r_angstrom);
        SpdBlock local{};
        DElectronCore e{};
        compute_reppd2(9, 9, sp, a.add, a.sep, b.add, b.sep, local, e, c.feathering, r, a.core, b.core);
        const double limit = kCoulombEvAngstrom / c.r_angstrom;
        for (std::size_t i = 0; i < 9; ++i)
            for (std::size_t j = 0; j <= i; ++j)
                for (std::size_t k = 0; k < 9; ++k)
                    for (std::size_t l = 0; l <= k; ++l) {
                        const double v = local[spd_pair_index(i, j) * kSpdPairCount + spd_pair_index(k, l)];
                        if (i == j && k == l) {
                            EXPECT_NEAR(v, limit, c.diagonal_tol * limit) << i << j << k << l;
                        } else {
                            EXPECT_LE(std::abs(v), c.off_diagonal_bound * limit) << i << j << k << l;
                        }
                    }
        if (c.feathering) continue;
        // Core attraction of the d-sigma, d-pi and d-delta shells: -Z e^2 / R.
        for (std::size_t k : {12, 16, 18}) EXPECT_NEAR(e[k], -b.core * limit, 1e-4 * b.core * limit);
        for (std::size_t k : {13, 17, 19}) EXPECT_NEAR(e[k], -a.core * limit, 1e-4 * a.core * limit);
    }
}

TEST(DIntegrals, SwappingTheAtomsTransposesTheBlock) {
    // (mu nu|lambda sigma) cannot depend on which atom of the pair comes first.
    const std::pair<AtomData, AtomData> pairs[] = {{iron(), cobalt_like()}, {iron(), carbon_like()},
                                                   {iron(), hydrogen_like()}};
    const double d[3] = {1.1, -0.7, 1.6};
    for (const auto& [a, b] : pairs) {
        for (const bool feathering : {false, true}) {
            const PairResult ab = run_pair(a, b, d[0], d[1], d[2], feathering);
            const PairResult ba = run_pair(b, a, -d[0], -d[1], -d[2], feathering);
            const std::size_t pa = a.n * (a.n + 1) / 2, pb = b.n * (b.n + 1) / 2;
            for (std::size_t i = 0; i < pa; ++i) {
                for (std::size_t j = 0; j < pb; ++j) {
                    EXPECT_NEAR(ab.w[i * pb + j], ba.w[j * pa + i], 1e-11)
                        << a.n << "x" << b.n << " feathering " << feathering << " cell " << i << "," << j;
                }
            }
            // Local electron-core terms: the reversed axis flips the z'-odd distributions.
            const double parity[6] = {1, -1, 1, -1, 1, 1};
            for (std::size_t t = 0; t < 6; ++t) {
                EXPECT_NEAR(ab.e[8 + 2 * t], parity[t] * ba.e[9 + 2 * t], 1e-11) << t;
                EXPECT_NEAR(ab.e[9 + 2 * t], parity[t] * ba.e[8 + 2 * t], 1e-11) << t;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Real-harmonic representation of a rotation, by projection on the sphere:
// D[mu][nu] from f_nu(Q^T r) = sum_mu D[mu][nu] f_mu(r).
using Mat3 = std::array<std::array<double, 3>, 3>;

double angular(std::size_t mu, double x, double y, double z) {
    const double s3 = std::sqrt(3.0);
    switch (mu) {
        case 0: return 1.0;
        case 1: return x;
        case 2: return y;
        case 3: return z;
        case 4: return s3 / 2.0 * (x * x - y * y);
        case 5: return s3 * x * z;
        case 6: return (3.0 * z * z - 1.0) / 2.0;
        case 7: return s3 * y * z;
        default: return s3 * x * y;
    }
}

std::array<std::array<double, 9>, 9> harmonic_representation(const Mat3& q) {
    // Gauss-Legendre in cos(theta) (6 points) times 12 azimuths: exact for degree 4.
    const double nodes[6] = {-0.9324695142031521, -0.6612093864662645, -0.2386191860831909,
                             0.2386191860831909,  0.6612093864662645,  0.9324695142031521};
    const double weights[6] = {0.1713244923791704, 0.3607615730481386, 0.4679139345726910,
                               0.4679139345726910, 0.3607615730481386, 0.1713244923791704};
    std::array<std::array<double, 9>, 9> d{};
    std::array<double, 9> norm{};
    const double pi = std::acos(-1.0);
    for (int i = 0; i < 6; ++i) {
        for (int k = 0; k < 12; ++k) {
            const double ct = nodes[i], st = std::sqrt(1.0 - ct * ct), phi = 2.0 * pi * k / 12.0;
            const double x = st * std::cos(phi), y = st * std::sin(phi), z = ct;
            // Q^T r
            const double xr = q[0][0] * x + q[1][0] * y + q[2][0] * z;
            const double yr = q[0][1] * x + q[1][1] * y + q[2][1] * z;
            const double zr = q[0][2] * x + q[1][2] * y + q[2][2] * z;
            for (std::size_t mu = 0; mu < 9; ++mu) {
                const double fm = angular(mu, x, y, z);
                norm[mu] += weights[i] * fm * fm;
                for (std::size_t nu = 0; nu < 9; ++nu) d[mu][nu] += weights[i] * fm * angular(nu, xr, yr, zr);
            }
        }
    }
    for (std::size_t mu = 0; mu < 9; ++mu)
        for (std::size_t nu = 0; nu < 9; ++nu) d[mu][nu] /= norm[mu];
    return d;
}

// Unpacked (mu nu|lambda sigma) of a block with pb columns.
double cell(const SpdBlock& w, std::size_t pb, std::size_t mu, std::size_t nu, std::size_t la, std::size_t si) {
    return w[spd_pair_index(mu, nu) * pb + spd_pair_index(la, si)];
}

TEST(DIntegrals, MolecularBlockTurnsWithTheMolecule) {
    // Rotating the pair by Q must give W(Q d) = (D x D) W(d) (D x D)^T with D the
    // real-harmonic representation of Q, with and without the PM7 shell averaging.
    const double n[3] = {0.48, -0.6, 0.64}, angle = 1.3;  // unit axis, Rodrigues form
    const double c = std::cos(angle), s = std::sin(angle);
    Mat3 q{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) q[i][j] = (i == j ? c : 0.0) + (1.0 - c) * n[i] * n[j];
    q[0][1] -= s * n[2], q[1][0] += s * n[2], q[0][2] += s * n[1], q[2][0] -= s * n[1];
    q[1][2] -= s * n[0], q[2][1] += s * n[0];
    const auto dq = harmonic_representation(q);

    const std::pair<AtomData, AtomData> pairs[] = {{iron(), cobalt_like()}, {carbon_like(), iron()},
                                                   {iron(), hydrogen_like()}};
    const double d[3] = {0.9, 1.3, -0.6};
    double qd[3] = {};
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) qd[i] += q[i][k] * d[k];
    for (const auto& [a, b] : pairs) {
        for (const bool feathering : {false, true}) {
            const PairResult base = run_pair(a, b, d[0], d[1], d[2], feathering);
            const PairResult turned = run_pair(a, b, qd[0], qd[1], qd[2], feathering);
            const std::size_t pb = b.n * (b.n + 1) / 2;
            for (std::size_t mu = 0; mu < a.n; ++mu)
                for (std::size_t nu = 0; nu <= mu; ++nu)
                    for (std::size_t la = 0; la < b.n; ++la)
                        for (std::size_t si = 0; si <= la; ++si) {
                            double expected = 0.0;
                            for (std::size_t m2 = 0; m2 < a.n; ++m2)
                                for (std::size_t n2 = 0; n2 < a.n; ++n2)
                                    for (std::size_t l2 = 0; l2 < b.n; ++l2)
                                        for (std::size_t s2 = 0; s2 < b.n; ++s2)
                                            expected += dq[mu][m2] * dq[nu][n2] * dq[la][l2] * dq[si][s2] *
                                                        cell(base.w, pb, m2, n2, l2, s2);
                            EXPECT_NEAR(cell(turned.w, pb, mu, nu, la, si), expected, 2e-7)
                                << a.n << "x" << b.n << " feathering " << feathering << " (" << mu << nu << "|"
                                << la << si << ")";
                        }
        }
    }
}

TEST(DIntegrals, ShellAveragingMatchesTheSsValues) {
    const AtomData a = iron(), b = cobalt_like();
    const PairResult p = run_pair(a, b, 1.2, 0.5, -0.8, true);
    const std::size_t dd[5] = {14, 20, 27, 35, 44};
    const std::size_t pp[3] = {2, 5, 9};
    const double w00 = p.w[0];
    double mean_ds = 0.0, mean_sd = 0.0, mean_dd = 0.0, mean_dp = 0.0, mean_pd = 0.0;
    for (std::size_t i : dd) {
        mean_ds += p.w[i * 45] / 5.0;
        mean_sd += p.w[i] / 5.0;
        for (std::size_t j : dd) mean_dd += p.w[i * 45 + j] / 25.0;
        for (std::size_t j : pp) {
            mean_dp += p.w[i * 45 + j] / 15.0;
            mean_pd += p.w[j * 45 + i] / 15.0;
        }
    }
    for (double mean : {mean_ds, mean_sd, mean_dd, mean_dp, mean_pd}) EXPECT_NEAR(mean, w00, 1e-12);
    // Core attractions: sigma once, pi and delta twice, averaged onto the ss value.
    EXPECT_NEAR((p.e[12] + 2.0 * p.e[16] + 2.0 * p.e[18]) / 5.0, p.e[0], 1e-12);
    EXPECT_NEAR((p.e[13] + 2.0 * p.e[17] + 2.0 * p.e[19]) / 5.0, p.e[1], 1e-12);
    EXPECT_NEAR((p.e[4] + 2.0 * p.e[6]) / 3.0, p.e[0], 1e-12);
    EXPECT_NEAR((p.e[5] + 2.0 * p.e[7]) / 3.0, p.e[1], 1e-12);
}

TEST(DIntegrals, ShellAveragingRefusesAnAtomWithoutDOrbitals) {
    SpdBlock w{};
    DElectronCore e{};
    EXPECT_THROW(apply_pm7_d_correction(4, 9, true, true, w, e), EngineStop);
    EXPECT_THROW(apply_pm7_d_correction(9, 1, true, true, w, e), EngineStop);
}

}  // namespace
}  // namespace quorin
