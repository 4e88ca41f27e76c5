#include "core/integrals/multipoles.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "tests/integrals/element_records.h"

namespace quorin {
namespace {

constexpr double kE2 = 14.399645478456;
constexpr double kBohr = 0.529177210903;

// Far apart, every distribution looks like its net charge: the monopole
// slots approach e^2/R (to (rho_A + rho_B)^2 / 2R^2) and the dipole slot
// e^2 D1 / R^2 (D1 towards B).
TEST(Multipoles, LongRangeLimitIsPointChargeElectrostatics) {
    const auto c = DerivedMultipoleParams::from_element(test::mndo(6));
    const double r = 150.0;
    std::array<double, 22> s{};
    const AtomDistributions dc = build_distributions(c);
    compute_22_multipoles(s, c, c, dc, dc, r);
    for (int k : {0, 2, 3, 10, 11, 15, 16, 17, 18, 20}) EXPECT_NEAR(s[k], kE2 / r, 1e-4 * kE2 / r) << k;
    const double dipole = kE2 * c.d1 * kBohr / (r * r);
    EXPECT_NEAR(s[1], dipole, 1e-3 * dipole);
    EXPECT_NEAR(s[4], -dipole, 1e-3 * dipole);
    for (int k : {5, 6, 9, 14, 19, 21}) EXPECT_LT(std::abs(s[k]), 1e-3 * kE2 / r) << k;

}

}  // namespace
}  // namespace quorin
