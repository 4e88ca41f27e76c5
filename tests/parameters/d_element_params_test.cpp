#include "core/parameters/d_element_params.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {
namespace {

// Composite 8-point Gauss-Legendre integral of f over [a, b].
double integrate(const std::function<double(double)>& f, double a, double b, int panels = 40) {
    static constexpr double x[4] = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267, 0.9602898564975363};
    static constexpr double w[4] = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745, 0.1012285362903763};
    const double h = (b - a) / panels;
    double sum = 0.0;
    for (int p = 0; p < panels; ++p) {
        const double mid = a + (p + 0.5) * h;
        for (int i = 0; i < 4; ++i) sum += w[i] * 0.5 * h * (f(mid - 0.5 * h * x[i]) + f(mid + 0.5 * h * x[i]));
    }
    return sum;
}

double slater_norm(int n, double zeta) { return std::pow(2.0 * zeta, n + 0.5) / std::sqrt(std::tgamma(2.0 * n + 1.0)); }

// Radial density of a product of two normalised Slater functions, r^2 included.
std::function<double(double)> radial_density(int n1, double z1, int n2, double z2) {
    const double c = slater_norm(n1, z1) * slater_norm(n2, z2);
    return [=](double r) { return c * std::pow(r, n1 + n2) * std::exp(-(z1 + z2) * r); };
}

// R^k by direct double quadrature over r1, splitting the r2 integral at r1. eV.
double radial_integral_by_quadrature(int k, int na, int nb, int nc, int nd, double xa, double xb, double xc,
                                     double xd) {
    const auto rho1 = radial_density(na, xa, nb, xb);
    const auto rho2 = radial_density(nc, xc, nd, xd);
    const double r_max = (40.0 + 3.0 * (na + nb + nc + nd)) / std::min(xa + xb, xc + xd);
    const auto potential = [&](double r1) {
        const double inner =
            integrate([&](double r2) { return std::pow(r2, k) * rho2(r2); }, 0.0, r1, 24) / std::pow(r1, k + 1);
        const double outer =
            integrate([&](double r2) { return rho2(r2) / std::pow(r2, k + 1); }, r1, r_max, 24) * std::pow(r1, k);
        return inner + outer;
    };
    return kHartreeToEv * integrate([&](double r1) { return rho1(r1) * potential(r1); }, 0.0, r_max, 40);
}

struct RadialCase {
    const char* name;
    int k, na, nb, nc, nd;
    double xa, xb, xc, xd;
};

// Quantum numbers and one-centre exponents of the PM7 d rows of Al, Fe and Au.
const std::vector<RadialCase> kRadialCases = {
    {"1s1s F0", 0, 1, 1, 1, 1, 1.7, 1.7, 1.7, 1.7},
    {"Fe F0dd", 0, 3, 3, 3, 3, 1.769722, 1.769722, 1.769722, 1.769722},
    {"Fe F2dd", 2, 3, 3, 3, 3, 1.769722, 1.769722, 1.769722, 1.769722},
    {"Fe F4dd", 4, 3, 3, 3, 3, 1.769722, 1.769722, 1.769722, 1.769722},
    {"Fe F0sd", 0, 4, 4, 3, 3, 2.223065, 2.223065, 1.769722, 1.769722},
    {"Fe G2sd", 2, 4, 3, 4, 3, 2.223065, 1.769722, 2.223065, 1.769722},
    {"Fe G1pd", 1, 4, 3, 4, 3, 1.314405, 1.769722, 1.314405, 1.769722},
    {"Fe G3pd", 3, 4, 3, 4, 3, 1.314405, 1.769722, 1.314405, 1.769722},
    {"Fe R1sppd", 1, 4, 4, 4, 3, 2.223065, 1.314405, 1.314405, 1.769722},
    {"Fe R2sdpp", 2, 4, 4, 4, 3, 1.314405, 1.314405, 2.223065, 1.769722},
    {"Fe R2sddd", 2, 4, 3, 3, 3, 2.223065, 1.769722, 1.769722, 1.769722},
    {"Al G3pd", 3, 3, 3, 3, 3, 1.52905, 3.682742, 1.52905, 3.682742},
    {"Au F4dd", 4, 5, 5, 5, 5, 2.406645, 2.406645, 2.406645, 2.406645},
    {"Au R2sdpp", 2, 6, 6, 6, 5, 4.555019, 4.555019, 2.22893, 2.406645},
};

TEST(DElementParams, RadialSlaterCondonIntegralsMatchQuadratureInBothElectronOrders) {
    const auto f = make_factorial_table();
    const auto b = make_pascal_table();
    for (const auto& c : kRadialCases) {
        const double reference = radial_integral_by_quadrature(c.k, c.na, c.nb, c.nc, c.nd, c.xa, c.xb, c.xc, c.xd);
        const double forward = rsc(c.k, c.na, c.nb, c.nc, c.nd, f, b, c.xa, c.xb, c.xc, c.xd);
        const double swapped = rsc(c.k, c.nc, c.nd, c.na, c.nb, f, b, c.xc, c.xd, c.xa, c.xb);
        EXPECT_NEAR(forward, reference, 1e-10 * std::abs(reference)) << c.name;
        EXPECT_NEAR(swapped, reference, 1e-10 * std::abs(reference)) << c.name;
    }
    // Hand value: the 1s-1s Coulomb integral is 5 zeta / 8 hartree.
    EXPECT_NEAR(rsc(0, 1, 1, 1, 1, f, b, 1.7, 1.7, 1.7, 1.7), 5.0 / 8.0 * 1.7 * kHartreeToEv, 1e-10);
}

ElementParams pm7_iron() { return *Pm7Model().get_element(26); }

// Self-interaction (eV) of one point-charge multipole model with additive term x
// on each electron: charges q_i at positions p_i in the plane.
double self_interaction(const std::vector<std::array<double, 3>>& charges, double x) {
    double sum = 0.0;
    for (const auto& a : charges) {
        for (const auto& b : charges) {
            const double d2 = (a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]);
            sum += a[2] * b[2] / std::sqrt(d2 + 4.0 * x * x);
        }
    }
    return kHartreeToEv * sum;
}

TEST(DElementParams, AdditiveTermsReproduceTheOneCentreIntegralsTheyAreFittedTo) {
    const ElementParams fe = pm7_iron();
    const DElementParams d = *Pm7Model().get_d_element_params(26);
    const auto& in = d.one_center_integrals;
    const auto& sep = d.charge_separations;
    const auto& add = d.additive_terms;
    using Charges = std::vector<std::array<double, 3>>;
    const auto dipole = [](double dist) { return Charges{{dist, 0, 0.5}, {-dist, 0, -0.5}}; };
    // Square quadrupole with charges at the corners (+-c, +-c), c = D / sqrt(2).
    const auto square = [](double dist) {
        const double c = dist / std::sqrt(2.0);
        return Charges{{c, c, 0.25}, {-c, -c, 0.25}, {c, -c, -0.25}, {-c, c, -0.25}};
    };
    const Charges monopole{{0, 0, 1.0}};
    struct Case {
        const char* name;
        Charges charges;
        double x, target;
    };
    const std::vector<Case> cases = {
        {"ss monopole", monopole, add[1], fe.g_ss},
        {"sp dipole", dipole(sep[2]), add[2], fe.h_sp},
        {"pp quadrupole", square(sep[3]), add[3], 0.5 * (fe.g_pp - fe.g_p2)},
        {"sd quadrupole", square(sep[4]), add[4], in[19]},
        {"pd dipole", dipole(sep[5]), add[5], in[23] - 1.8 * in[35]},
        {"dd quadrupole", square(sep[6]), add[6], in[44] - 4.0 / 7.0 * in[52]},
        {"dd monopole", monopole, add[8], (in[29] + 2.0 * in[30] + 2.0 * in[31]) / 5.0},
    };
    for (const auto& c : cases) {
        EXPECT_GT(c.x, 0.1) << c.name;
        EXPECT_LT(c.x, 5.0) << c.name;
        EXPECT_NEAR(self_interaction(c.charges, c.x), c.target, 1e-6 * std::abs(c.target) + 1e-7) << c.name;
    }
    EXPECT_DOUBLE_EQ(add[7], add[1]);
    // The sp dipole length is the dipole moment of the s.pz distribution, <r>/sqrt(3) (n = 4).
    const auto sp = radial_density(4, fe.zeta_s, 4, fe.zeta_p);
    const double mean_r = integrate([&](double r) { return r * sp(r); }, 0.0, 80.0 / (fe.zeta_s + fe.zeta_p));
    EXPECT_NEAR(sep[2], mean_r / std::sqrt(3.0), 1e-10);
}

TEST(DElementParams, PublishedRowValuesOverrideTheComputedOnes) {
    const ElementParams fe = pm7_iron();
    const tables::DElementRow* row = nullptr;
    for (const auto& r : pm7_d_element_rows()) {
        if (r.atomic_number == 26) row = &r;
    }
    ASSERT_NE(row, nullptr);
    const auto compute = [&](double f0sd, double g2sd, double rho_core) {
        return compute_d_element_params(26, fe.zeta_s, fe.zeta_p, fe.zeta_d, fe.g_ss, fe.g_sp, fe.g_pp, fe.g_p2,
                                        fe.h_sp, row->zeta_s_one_center, row->zeta_p_one_center,
                                        row->zeta_d_one_center, f0sd, g2sd, rho_core);
    };
    const auto f = make_factorial_table();
    const auto b = make_pascal_table();
    const auto radial = scprm(26, f, b, row->zeta_s_one_center, row->zeta_p_one_center, row->zeta_d_one_center);

    // Zero keeps the computed values, anything above 0.001 (1e-5 for the core term) replaces them.
    const DElementParams computed = compute(0.0, 0.0, 0.0);
    EXPECT_DOUBLE_EQ(computed.one_center_integrals[1], radial[3]);
    EXPECT_DOUBLE_EQ(computed.one_center_integrals[19], radial[4] / 5.0);
    EXPECT_DOUBLE_EQ(computed.additive_terms[9], computed.additive_terms[1]);
    const DElementParams tiny = compute(0.002, 0.002, 0.0);
    EXPECT_DOUBLE_EQ(tiny.one_center_integrals[1], 0.002);
    EXPECT_DOUBLE_EQ(tiny.one_center_integrals[19], 0.002 / 5.0);
    // The published iron row through the model.
    const DElementParams model = *Pm7Model().get_d_element_params(26);
    EXPECT_EQ(model.atomic_number, 26);
    EXPECT_DOUBLE_EQ(model.one_center_integrals[1], 9.314037);
    EXPECT_DOUBLE_EQ(model.one_center_integrals[19], 1.970401 / 5.0);
    EXPECT_DOUBLE_EQ(model.additive_terms[9], 0.993526);
    EXPECT_EQ(model.additive_terms[0], 0.0);
    EXPECT_EQ(model.one_center_integrals[0], 0.0);
}

TEST(DElementParams, EveryTableRowGivesFiniteParameters) {
    // Element records stand in from the row's own exponents; the point is the
    // tables (quantum numbers up to 6, factorials, binomials) for every Z.
    for (const auto& row : pm7_d_element_rows()) {
        const auto z = static_cast<std::uint8_t>(row.atomic_number);
        const DElementParams d =
            compute_d_element_params(z, row.zeta_s_one_center, row.zeta_p_one_center, row.zeta_d_one_center, 11.0,
                                     10.0, 10.0, 9.0, 1.0, row.zeta_s_one_center, row.zeta_p_one_center,
                                     row.zeta_d_one_center, row.f0_sd, row.g2_sd, row.rho_core);
        for (double v : d.one_center_integrals) EXPECT_TRUE(std::isfinite(v)) << int(z);
        for (std::size_t i = 1; i < 10; ++i) EXPECT_GT(d.additive_terms[i], 0.0) << int(z) << " " << i;
        for (std::size_t i = 2; i < 7; ++i) EXPECT_GT(d.charge_separations[i], 0.0) << int(z) << " " << i;
        if (row.f0_sd > 0.0) {
            EXPECT_DOUBLE_EQ(d.one_center_integrals[1], row.f0_sd);
        }
        if (row.rho_core > 0.0) {
            EXPECT_DOUBLE_EQ(d.additive_terms[9], row.rho_core);
        }
    }
    EXPECT_EQ(pm7_d_element_rows().size(), 38u);
}

TEST(DElementParams, ModelsAnswerOnlyForPm7ElementsWithADRow) {
    const Pm7Model pm7;
    EXPECT_TRUE(pm7.get_d_element_params(26).has_value());
    for (std::uint8_t z : {1, 6, 90, 98, 102, 0, 120, 255}) EXPECT_FALSE(pm7.get_d_element_params(z)) << int(z);
    EXPECT_FALSE(MndoModel().get_d_element_params(26));
}

TEST(DElementParams, OutOfTableInputsStopInsteadOfReadingPastTheTables) {
    const auto f = make_factorial_table();
    const auto b = make_pascal_table();
    // Beyond Z = 107 the quantum-number tables end.
    EXPECT_THROW(compute_d_element_params(108, 2, 2, 2, 10, 10, 10, 9, 1, 2, 2, 2, 0, 0, 0), EngineStop);
    EXPECT_THROW(d_table_n_sp(200), EngineStop);
    // Z 87..107 have no quantum numbers: the closed form is undefined there.
    EXPECT_THROW(compute_d_element_params(95, 2, 2, 2, 10, 10, 10, 9, 1, 2, 2, 2, 0, 0, 0), EngineStop);
    // Indices past the factorial table, and exponents that are not positive.
    EXPECT_THROW(rsc(0, 8, 8, 8, 8, f, b, 1, 1, 1, 1), EngineStop);
    EXPECT_THROW(aijl(14, 14, 2, f, 1.0, 1.0), EngineStop);
    EXPECT_THROW(rsc(0, 3, 3, 3, 3, f, b, 1, 0, 1, 1), EngineStop);
}

}  // namespace
}  // namespace quorin
