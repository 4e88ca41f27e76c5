#include "core/integrals/overlap.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "tests/integrals/element_records.h"

namespace quorin {
namespace {

constexpr double kBohr = 0.529177210903;

// Gauss-Legendre nodes and weights on [-1, 1] (Newton on P_n).
void gauss_legendre(int n, std::vector<double>& x, std::vector<double>& w) {
    x.assign(n, 0.0);
    w.assign(n, 0.0);
    for (int i = 0; i < n; ++i) {
        double z = std::cos(std::numbers::pi * (i + 0.75) / (n + 0.5));
        double dp = 0.0;
        for (int it = 0; it < 100; ++it) {
            double p0 = 1.0, p1 = z;
            for (int k = 2; k <= n; ++k) {
                const double p2 = ((2.0 * k - 1.0) * z * p1 - (k - 1.0) * p0) / k;
                p0 = p1;
                p1 = p2;
            }
            dp = n * (z * p1 - p0) / (z * z - 1.0);
            const double dz = p1 / dp;
            z -= dz;
            if (std::abs(dz) < 1e-15) break;
        }
        x[i] = z;
        w[i] = 2.0 / ((1.0 - z * z) * dp * dp);
    }
}

// A valence shell of the test atoms: principal quantum number per l and exponents.
struct TestAtom {
    ElementParams params;
    std::size_t norb;
    std::array<int, 3> n;  // s, p, d
};

double factorial(int n) { return n <= 1 ? 1.0 : n * factorial(n - 1); }

// Radial part of the expansion of a Slater function (n, l) with exponent zeta,
// each normalised primitive written as radial part times the real harmonic.
double expanded_radial(int n, int l, double zeta, double r) {
    const SlaterGaussianExpansion& e = slater_gaussian_expansion(n, l);
    const double pi = std::numbers::pi;
    double sum = 0.0;
    for (std::size_t i = 0; i < 6; ++i) {
        const double a = e.exponent[i] * zeta * zeta;
        const double primitive = l == 0 ? std::pow(2.0 * a / pi, 0.75) * std::sqrt(4.0 * pi)
                                        : std::pow(128.0 * std::pow(a, 5) / (pi * pi * pi), 0.25) * r /
                                              std::sqrt(3.0 / (4.0 * pi));
        sum += e.coefficient[i] * primitive * std::exp(-a * r * r);
    }
    return sum;
}

// Values of the nine real Slater AOs of an atom at offset (x, y, z) bohr.
// With expanded set, the s and p functions are the Gaussian expansions.
void evaluate_aos(const TestAtom& atom, bool expanded, double x, double y, double z, double* out) {
    const double r = std::sqrt(x * x + y * y + z * z);
    const double pi = std::numbers::pi;
    const double zeta[3] = {atom.params.zeta_s, atom.params.zeta_p, std::max(atom.params.zeta_d, 0.3)};
    double radial[3];
    for (int l = 0; l < 3; ++l) {
        const int n = atom.n[l];
        if (expanded && l < 2) {
            radial[l] = expanded_radial(n, l, zeta[l], r);
            continue;
        }
        radial[l] = std::pow(2.0 * zeta[l], n + 0.5) / std::sqrt(factorial(2 * n)) * std::pow(r, n - 1) *
                    std::exp(-zeta[l] * r);
    }
    out[0] = radial[0] / std::sqrt(4.0 * pi);
    const double cp = std::sqrt(3.0 / (4.0 * pi)) * radial[1] / r;
    out[1] = cp * x;
    out[2] = cp * y;
    out[3] = cp * z;
    const double r2 = r * r;
    out[4] = std::sqrt(15.0 / (16.0 * pi)) * radial[2] * (x * x - y * y) / r2;
    out[5] = std::sqrt(15.0 / (4.0 * pi)) * radial[2] * x * z / r2;
    out[6] = std::sqrt(5.0 / (16.0 * pi)) * radial[2] * (3.0 * z * z - r2) / r2;
    out[7] = std::sqrt(15.0 / (4.0 * pi)) * radial[2] * y * z / r2;
    out[8] = std::sqrt(15.0 / (4.0 * pi)) * radial[2] * x * y / r2;
}

// Overlap block by direct quadrature in prolate spheroidal coordinates
// around the A-B axis; vector (angstrom) from A to B. Pairs among H, Li..F
// and Na..Cl overlap through the Gaussian expansions of their s and p
// functions; every overlap with a d function is one of Slater functions.
std::array<double, 81> quadrature_block(const TestAtom& a, const TestAtom& b, const std::array<double, 3>& v) {
    const auto light = [](const TestAtom& t) {
        const int z = t.params.atomic_number;
        return z == 1 || (z >= 3 && z <= 9) || (z >= 11 && z <= 17);
    };
    const bool expanded = light(a) && light(b);
    const double r_ang = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    const double r = r_ang / kBohr;
    const double u[3] = {v[0] / r_ang, v[1] / r_ang, v[2] / r_ang};
    // Any orthonormal pair perpendicular to u.
    double e1[3];
    if (std::abs(u[0]) < 0.9) {
        e1[0] = 0.0, e1[1] = -u[2], e1[2] = u[1];
    } else {
        e1[0] = u[2], e1[1] = 0.0, e1[2] = -u[0];
    }
    const double n1 = std::sqrt(e1[0] * e1[0] + e1[1] * e1[1] + e1[2] * e1[2]);
    for (double& c : e1) c /= n1;
    const double e2[3] = {u[1] * e1[2] - u[2] * e1[1], u[2] * e1[0] - u[0] * e1[2], u[0] * e1[1] - u[1] * e1[0]};

    std::vector<double> xt, wt, xe, we;
    gauss_legendre(140, xt, wt);
    gauss_legendre(64, xe, we);
    const int n_phi = 16;
    const double zmin = std::min({a.params.zeta_s, b.params.zeta_s, a.params.zeta_p > 0 ? a.params.zeta_p : 9.0,
                                  b.params.zeta_p > 0 ? b.params.zeta_p : 9.0});
    const double scale = 4.0 / (zmin * r);
    std::array<double, 81> s{};
    double fa[9], fb[9], ga[9], gb[9];
    for (std::size_t it = 0; it < xt.size(); ++it) {
        const double t = 0.5 * (xt[it] + 1.0);
        const double xi = 1.0 + scale * t / (1.0 - t);
        const double dxi = 0.5 * wt[it] * scale / ((1.0 - t) * (1.0 - t));
        for (std::size_t ie = 0; ie < xe.size(); ++ie) {
            const double eta = xe[ie];
            const double rho = 0.5 * r * std::sqrt((xi * xi - 1.0) * (1.0 - eta * eta));
            const double along = 0.5 * r * (1.0 + xi * eta);
            const double weight = dxi * we[ie] * 0.125 * r * r * r * (xi * xi - eta * eta) * 2.0 * std::numbers::pi / n_phi;
            for (int ip = 0; ip < n_phi; ++ip) {
                const double phi = 2.0 * std::numbers::pi * (ip + 0.5) / n_phi;
                double p[3];
                for (int k = 0; k < 3; ++k)
                    p[k] = along * u[k] + rho * (std::cos(phi) * e1[k] + std::sin(phi) * e2[k]);
                evaluate_aos(a, false, p[0], p[1], p[2], fa);
                evaluate_aos(b, false, p[0] - r * u[0], p[1] - r * u[1], p[2] - r * u[2], fb);
                evaluate_aos(a, expanded, p[0], p[1], p[2], ga);
                evaluate_aos(b, expanded, p[0] - r * u[0], p[1] - r * u[1], p[2] - r * u[2], gb);
                for (std::size_t i = 0; i < a.norb; ++i)
                    for (std::size_t j = 0; j < b.norb; ++j)
                        s[i * 9 + j] += weight * (i < 4 && j < 4 ? ga[i] * gb[j] : fa[i] * fb[j]);
            }
        }
    }
    return s;
}

std::array<double, 81> engine_block(const TestAtom& a, const TestAtom& b, const std::array<double, 3>& v) {
    std::array<double, 81> out{};
    const double r = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    compute_diatomic_overlap_matrix_9x9(a.params.atomic_number, b.params.atomic_number, a.norb, b.norb, a.params,
                                        b.params, out, v[0], v[1], v[2], r);
    return out;
}

using test::mndo;
using test::pm6;

// Principal quantum numbers as defined for these elements (p of hydrogen and
// the missing d shells counted as the lowest allowed value).
const TestAtom kH{mndo(1), 1, {1, 2, 3}};
const TestAtom kC{mndo(6), 4, {2, 2, 3}};
const TestAtom kN{mndo(7), 4, {2, 2, 3}};
const TestAtom kO{mndo(8), 4, {2, 2, 3}};
const TestAtom kFpm6{pm6(9), 4, {2, 2, 3}};
const TestAtom kSi{mndo(14), 4, {3, 3, 3}};
const TestAtom kClSp{mndo(17), 4, {3, 3, 3}};
const TestAtom kS9{pm6(16), 9, {3, 3, 3}};
const TestAtom kCl9{pm6(17), 9, {3, 3, 3}};
const TestAtom kBr9{pm6(35), 9, {4, 4, 4}};

TEST(Overlap, BlockEqualsQuadratureOfTheAtomicFunctions) {
    struct Case {
        const char* name;
        TestAtom a, b;
        std::array<double, 3> v;
    };
    const Case cases[] = {
        {"H-H", kH, kH, {0.25, -0.4, 0.55}},
        {"C-H", kC, kH, {0.6, 0.7, -0.5}},
        {"H-C", kH, kC, {-0.3, 0.9, 0.4}},
        {"C-N", kC, kN, {0.8, -0.6, 0.85}},
        {"F-H (compact s)", kFpm6, kH, {0.5, -0.6, 0.3}},
        {"Si-O", kSi, kO, {1.1, 0.6, -0.8}},
        {"Cl(sp)-C", kClSp, kC, {-1.0, 1.1, 0.7}},
        {"Cl(spd)-C", kCl9, kC, {0.9, -1.2, 0.6}},
        {"Br-S (d-d)", kBr9, kS9, {1.3, 1.1, -1.4}},
        {"S-H on -z", kS9, kH, {0.0, 0.0, -1.35}},
        {"H-Br", kH, kBr9, {0.7, 0.9, 1.0}},
    };
    for (const Case& c : cases) {
        const auto ref = quadrature_block(c.a, c.b, c.v);
        const auto got = engine_block(c.a, c.b, c.v);
        double max_ref = 0.0;
        for (std::size_t i = 0; i < c.a.norb; ++i)
            for (std::size_t j = 0; j < c.b.norb; ++j) {
                EXPECT_NEAR(got[i * 9 + j], ref[i * 9 + j], 2e-7) << c.name << " entry " << i << "," << j;
                max_ref = std::max(max_ref, std::abs(ref[i * 9 + j]));
            }
        EXPECT_GT(max_ref, 0.05) << c.name;  // the case really tests something
    }
}

TEST(Overlap, SwappingAtomsTransposesTheBlock) {
    struct Case {
        TestAtom a, b;
        std::array<double, 3> v;
    };
    const Case cases[] = {{kH, kC, {0.4, -0.7, 0.6}},  {kC, kO, {-0.9, 0.2, 0.8}},
                          {kH, kCl9, {0.5, 0.5, -1.0}}, {kCl9, kBr9, {1.2, -0.7, 1.5}},
                          {kSi, kH, {0.0, 0.0, 1.4}}};
    for (const Case& c : cases) {
        const auto ab = engine_block(c.a, c.b, c.v);
        const auto ba = engine_block(c.b, c.a, {-c.v[0], -c.v[1], -c.v[2]});
        for (std::size_t i = 0; i < c.a.norb; ++i)
            for (std::size_t j = 0; j < c.b.norb; ++j) EXPECT_NEAR(ab[i * 9 + j], ba[j * 9 + i], 1e-12);
    }
}

// Auxiliary B_k(x) against Gauss-Legendre quadrature of t^k exp(-x t), which
// is exact to rounding for these smooth integrands: every argument range of
// the power series (up to |x| = 3) as well as the recursion beyond it.
TEST(Overlap, AuxiliaryIntegralsMatchQuadrature) {
    std::vector<double> x, w;
    gauss_legendre(60, x, w);
    for (double arg : {0.0, 3e-7, 0.3, 0.45, 0.9, 0.95, 1.7, 1.95, 2.9, 3.5, 7.0, -4.2, -1.3, -0.7}) {
        std::array<double, 13> b{};
        bfn(b, arg);
        for (int k = 0; k <= 12; ++k) {
            double ref = 0.0;
            for (std::size_t i = 0; i < x.size(); ++i) ref += w[i] * std::pow(x[i], k) * std::exp(-arg * x[i]);
            EXPECT_NEAR(b[k], ref, 1e-11 * std::max(1.0, std::abs(ref))) << "x=" << arg << " k=" << k;
        }
    }
}

// The expansions of the 1s, 2s, 3s, 2p and 3p Slater functions (exponent 1) are the
// best normalised six-Gaussian fits: with g the expansion, phi the Slater
// function and S = <phi|g>, the residual phi - S g is orthogonal to every
// primitive (best coefficients) and to r^2 times every primitive (stationary
// in each exponent; tested as the derivative by the exponent's logarithm). Radial integrals by the trapezoidal rule in x = sqrt(r),
// whose error is far below these tolerances for such smooth integrands.
TEST(Overlap, GaussianExpansionsAreTheBestSixTermFits) {
    constexpr int kPoints = 24000;
    constexpr double kXMax = 12.0;
    for (const auto& [n, l] : {std::pair{1, 0}, std::pair{2, 0}, std::pair{2, 1}, std::pair{3, 0}, std::pair{3, 1}}) {
        const SlaterGaussianExpansion& e = slater_gaussian_expansion(n, l);
        // Radial primitives normalised to 1 over r^2 dr.
        const auto primitive = [&](std::size_t i, double r) {
            const double a = e.exponent[i];
            return std::sqrt(2.0 * std::pow(2.0 * a, l + 1.5) / std::tgamma(l + 1.5)) * std::pow(r, l) *
                   std::exp(-a * r * r);
        };
        const auto slater = [&](double r) {
            return std::pow(2.0, n + 0.5) / std::sqrt(factorial(2 * n)) * std::pow(r, n - 1) * std::exp(-r);
        };
        double norm = 0.0, s = 0.0;
        std::array<double, 6> phi_g{}, g_g{}, phi_r2g{}, g_r2g{};
        const double h = kXMax / kPoints;
        for (int k = 1; k <= kPoints; ++k) {
            const double x = k * h;
            const double r = x * x;
            const double w = (k == kPoints ? 0.5 : 1.0) * h * 2.0 * x * r * r;
            double g = 0.0;
            std::array<double, 6> p{};
            for (std::size_t i = 0; i < 6; ++i) {
                p[i] = primitive(i, r);
                g += e.coefficient[i] * p[i];
            }
            const double phi = slater(r);
            norm += w * g * g;
            s += w * phi * g;
            for (std::size_t i = 0; i < 6; ++i) {
                phi_g[i] += w * phi * p[i];
                g_g[i] += w * g * p[i];
                phi_r2g[i] += w * phi * r * r * p[i];
                g_r2g[i] += w * g * r * r * p[i];
            }
        }
        SCOPED_TRACE("n = " + std::to_string(n) + ", l = " + std::to_string(l));
        EXPECT_NEAR(norm, 1.0, 1e-9);
        EXPECT_GT(s, 1.0 - 2e-6);
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_NEAR(phi_g[i] - s * g_g[i], 0.0, 1e-9) << "coefficient " << i;
            EXPECT_NEAR(e.exponent[i] * (phi_r2g[i] - s * g_r2g[i]), 0.0, 1e-8) << "exponent " << i;
        }
    }
}

TEST(Overlap, CutoffsAndDegenerateInputsGiveZeroBlocks) {
    const auto all_zero = [](const std::array<double, 81>& b) {
        for (double v : b)
            if (v != 0.0 || std::isnan(v)) return false;
        return true;
    };
    // 20 angstrom is still inside the range, just beyond it is not.
    {
        std::array<double, 81> in{}, out{};
        ElementParams diffuse = mndo(14);
        diffuse.zeta_s = diffuse.zeta_p = 0.3;
        compute_diatomic_overlap_matrix_9x9(14, 14, 4, 4, diffuse, diffuse, in, 0.0, 0.0, 20.0, 20.0);
        compute_diatomic_overlap_matrix_9x9(14, 14, 4, 4, diffuse, diffuse, out, 0.0, 0.0, 20.0000001, 20.0000001);
        EXPECT_GT(std::abs(in[0]), 1e-8);
        EXPECT_TRUE(all_zero(out));
    }
    // Unknown rows of the quantum-number table and coincident atoms.
    for (std::uint8_t z : {std::uint8_t{0}, std::uint8_t{90}, std::uint8_t{108}, std::uint8_t{255}}) {
        std::array<double, 81> out{};
        ElementParams e = pm6(17);
        e.atomic_number = z;
        compute_diatomic_overlap_matrix_9x9(z, 17, 9, 9, e, pm6(17), out, 0.5, 0.5, 0.5, std::sqrt(0.75));
        EXPECT_TRUE(all_zero(out)) << int(z);
    }
    {
        std::array<double, 81> out{};
        compute_diatomic_overlap_matrix_9x9(17, 17, 9, 9, pm6(17), pm6(17), out, 0.0, 0.0, 1e-11, 1e-11);
        EXPECT_TRUE(all_zero(out));
    }
    // A p shell without exponent (hydrogen given four AOs) has no overlap and no NaN.
    {
        std::array<double, 81> out{};
        compute_diatomic_overlap_matrix_9x9(1, 6, 4, 4, mndo(1), mndo(6), out, 0.3, 0.4, 0.8, std::sqrt(0.89));
        EXPECT_GT(std::abs(out[0]), 0.1);
        for (std::size_t i = 1; i < 4; ++i)
            for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(out[i * 9 + j], 0.0);
    }
    // A d exponent below 0.3 counts as 0.3.
    {
        ElementParams low = pm6(17), floor = pm6(17);
        low.zeta_d = 0.0;
        floor.zeta_d = 0.3;
        std::array<double, 81> a{}, b{};
        compute_diatomic_overlap_matrix_9x9(17, 6, 9, 4, low, mndo(6), a, 0.7, 0.8, -0.9, std::sqrt(1.94));
        compute_diatomic_overlap_matrix_9x9(17, 6, 9, 4, floor, mndo(6), b, 0.7, 0.8, -0.9, std::sqrt(1.94));
        EXPECT_EQ(a, b);
    }
    // Quantum numbers beyond the expansion tables give 0, not a stray read.
    EXPECT_EQ(slater_overlap_ss(11, 11, 1, 1, 1, 1.0, 1.0, 1.0), 0.0);
    EXPECT_EQ(slater_overlap_ss(2, 2, 4, 1, 1, 1.0, 1.0, 1.0), 0.0);
    EXPECT_EQ(slater_overlap_ss(2, 2, 1, 1, 1, 0.0, 1.0, 1.0), 0.0);
    EXPECT_EQ(slater_overlap_ss(2, 2, 1, 1, 1, -1.0, 1.0, 1.0), 0.0);
}

}  // namespace
}  // namespace quorin
