#include "core/integrals/multipole_params.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>

#include "core/integrals/multipoles.h"
#include "tests/integrals/element_records.h"

namespace quorin {
namespace {

constexpr double kEv = 27.211386245988;

double factorial(int n) { return n <= 1 ? 1.0 : n * factorial(n - 1); }

// Radial moment <n zeta_a | r^k | n zeta_b> of normalised Slater radial
// functions by the trapezoid rule on a fine grid (bohr^k).
double radial_moment(int n, double zeta_a, double zeta_b, int k) {
    const double na = std::pow(2.0 * zeta_a, n + 0.5) / std::sqrt(factorial(2 * n));
    const double nb = std::pow(2.0 * zeta_b, n + 0.5) / std::sqrt(factorial(2 * n));
    const double h = 1e-3;
    double sum = 0.0;
    for (int i = 1; i < 80000; ++i) {
        const double r = i * h;
        sum += std::pow(r, 2 * n - 2 + 2 + k) * std::exp(-(zeta_a + zeta_b) * r);
    }
    return na * nb * sum * h;
}

double bisect(const std::function<double(double)>& f, double target, double lo, double hi) {
    for (int i = 0; i < 200; ++i) {
        const double mid = 0.5 * (lo + hi);
        if ((f(lo) - target) * (f(mid) - target) <= 0.0)
            hi = mid;
        else
            lo = mid;
    }
    return 0.5 * (lo + hi);
}

// The dipole length is the s-p transition moment over sqrt(3) and the
// quadrupole length sqrt(<r^2>_pp / 5); the additive values make the point
// charges reproduce h_sp and (g_pp - g_p2)/2 at zero separation.
TEST(DerivedMultipoleParams, HeavyAtomsMatchTheirDefiningEquations) {
    struct Case {
        ElementParams e;
        int n;
    };
    const Case cases[] = {{test::mndo(6), 2}, {test::mndo(7), 2}, {test::mndo(14), 3}, {test::mndo(17), 3},
                          {test::pm6(35), 4}};
    for (const Case& c : cases) {
        const DerivedMultipoleParams m = DerivedMultipoleParams::from_element(c.e);
        const double d1 = radial_moment(c.n, c.e.zeta_s, c.e.zeta_p, 1) / std::sqrt(3.0);
        const double d2 = std::sqrt(radial_moment(c.n, c.e.zeta_p, c.e.zeta_p, 2) / 5.0);
        EXPECT_NEAR(m.d1, d1, 1e-8 * d1);
        EXPECT_NEAR(m.d2, d2, 1e-8 * d2);

        const auto dipole = [&](double a) { return a / 2.0 - 1.0 / (2.0 * std::sqrt(4.0 * d1 * d1 + 1.0 / (a * a))); };
        const auto quad = [&](double a) {
            return a / 4.0 - 1.0 / (2.0 * std::sqrt(4.0 * d2 * d2 + 1.0 / (a * a))) +
                   1.0 / (4.0 * std::sqrt(8.0 * d2 * d2 + 1.0 / (a * a)));
        };
        const double ad = bisect(dipole, std::max(c.e.h_sp, 1e-7) / kEv, 1e-4, 10.0);
        const double aq = bisect(quad, std::max((c.e.g_pp - c.e.g_p2) / 2.0, 0.1) / kEv, 1e-4, 10.0);
        EXPECT_NEAR(m.ad, ad, 1e-9 * ad);
        EXPECT_NEAR(m.aq, aq, 1e-9 * aq);
        EXPECT_NEAR(m.rho1, 0.5 / ad, 1e-9 / ad);
        EXPECT_NEAR(m.rho2, 0.5 / aq, 1e-9 / aq);
        EXPECT_DOUBLE_EQ(m.am, c.e.g_ss / kEv);
        EXPECT_DOUBLE_EQ(m.rho0, 0.5 * kEv / c.e.g_ss);
        EXPECT_EQ(m.atomic_number, c.e.atomic_number);
    }
}

TEST(DerivedMultipoleParams, ClampedOneCentreInputs) {
    // h_sp = 0 behaves as 1e-7; g_pp - g_p2 below 0.2 eV as hpp = 0.1 eV.
    ElementParams a = test::mndo(6), b = test::mndo(6);
    a.h_sp = 0.0;
    b.h_sp = 1e-7;
    a.g_p2 = a.g_pp - 0.05;
    b.g_p2 = b.g_pp - 0.2;
    const auto ma = DerivedMultipoleParams::from_element(a);
    const auto mb = DerivedMultipoleParams::from_element(b);
    EXPECT_DOUBLE_EQ(ma.ad, mb.ad);
    EXPECT_DOUBLE_EQ(ma.aq, mb.aq);
    EXPECT_TRUE(std::isfinite(ma.rho1));
}

TEST(DerivedMultipoleParams, HydrogenIsAPureMonopole) {
    const auto m = DerivedMultipoleParams::from_element(test::mndo(1));
    EXPECT_EQ(m.d1, 0.0);
    EXPECT_EQ(m.d2, 0.0);
    EXPECT_EQ(m.rho1, 0.0);
    EXPECT_EQ(m.rho2, 0.0);
    EXPECT_DOUBLE_EQ(m.am, 12.848 / kEv);
    EXPECT_EQ(m.ad, m.am);
    EXPECT_EQ(m.aq, m.am);
}

// An element without a p exponent has no dipole or quadrupole length; it is
// described like hydrogen and nothing derived from it is NaN or infinite,
// whether it carries one or four orbitals.
TEST(DerivedMultipoleParams, MissingPExponentGivesFiniteMonopoleOnlyRecord) {
    for (std::uint8_t z : {std::uint8_t{6}, std::uint8_t{98}, std::uint8_t{102}}) {
        ElementParams e = test::mndo(6);
        e.atomic_number = z;
        e.zeta_p = 0.0;
        const auto m = DerivedMultipoleParams::from_element(e);
        EXPECT_EQ(m.d1, 0.0);
        EXPECT_EQ(m.rho1, 0.0);
        EXPECT_DOUBLE_EQ(m.am, e.g_ss / kEv);
        for (double v : {m.d2, m.ad, m.aq, m.rho2}) EXPECT_TRUE(std::isfinite(v));

        const auto c = DerivedMultipoleParams::from_element(test::mndo(6));
        std::array<double, 22> ab{}, ba{};
        const AtomDistributions dm = build_distributions(m), dc = build_distributions(c);
        compute_22_multipoles(ab, m, c, dm, dc, 1.4);
        compute_22_multipoles(ba, c, m, dc, dm, 1.4);
        for (std::size_t k = 0; k < 22; ++k) {
            EXPECT_TRUE(std::isfinite(ab[k])) << k;
            EXPECT_TRUE(std::isfinite(ba[k])) << k;
        }
        const auto rot = DiatomicRotation3D::from_direction(0.3, -1.1, 0.8, std::sqrt(0.09 + 1.21 + 0.64));
        for (std::size_t norb : {std::size_t{1}, std::size_t{4}}) {
            std::array<double, 100> w{};
            std::array<double, 10> e1b{}, e2a{};
            rotate_multipoles_to_w(norb, 4, ab, rot, w.data(), w.size());
            compute_electron_nuclear_attraction(norb, 4, m, c, dm, dc, rot, e1b.data(), 10, e2a.data(), 10, true, 4.0,
                                                4.0, 1.4);
            for (double v : w) EXPECT_TRUE(std::isfinite(v));
            for (std::size_t k = 0; k < 10; ++k) EXPECT_TRUE(std::isfinite(e1b[k]) && std::isfinite(e2a[k]));
        }
    }
}

}  // namespace
}  // namespace quorin
