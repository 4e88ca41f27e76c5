#include "core/parameters/d_element_params.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

constexpr int kTableTop = 30;           // last index of the factorial and Pascal tables
constexpr std::uint8_t kLastZ = 107;    // last atomic number of the quantum-number tables
constexpr double kHalfHartreeEv = 0.5 * kHartreeToEv;
constexpr FactorialTable kFactorials = make_factorial_table();
constexpr PascalTable kPascal = make_pascal_table();

// The PM7 d-element rows: one-centre exponents, F0sd, G2sd, Z, core term.
constexpr std::array<tables::DElementRow, 38> kPm7DRows{{
    {2.346908, 1.52905, 3.682742, 0, 0, 13, 0},
    {2.00257, 0.818377, 2.591238, 0, 0, 14, 0},
    {4.92533, 1.040649, 12.110811, 0, 0, 15, 0},
    {1.131343, 0.823803, 2.296065, 0, 0, 16, 0},
    {1.9929, 1.87446, 5.469221, 0, 0, 17, 0},
    {1.314009, 1.020629, 1.437857, 8.096837, 3.531412, 21, 1.07088},
    {1.078295, 4.663707, 0.954258, 6.384127, 3.488564, 22, 0},
    {1.2155, 0.87726, 1.512555, 6.56073, 1.196816, 23, 0},
    {2.174521, 4.770642, 2.141579, 7.511007, 2.622589, 24, 0},
    {1.299761, 4.059245, 1.146085, 4.78419, 2.008311, 25, 0},
    {2.223065, 1.314405, 1.769722, 9.314037, 1.970401, 26, 0.993526},
    {1.710796, 0.928007, 1.563753, 3.0455, 1.015102, 27, 1.433458},
    {1.177087, 1.013217, 1.017987, 5.49255, 2.469437, 28, 2.2085},
    {2.419271, 0.302125, 1.678203, 5.1609, 2.792359, 29, 0},
    {0.916221, 1.115722, 2.137809, 0, 0, 33, 0},
    {10.522069, 9.531017, 5.776829, 0, 0, 35, 0},
    {1.186263, 2.244351, 0.911477, 6.855595, 5.889822, 39, 2.019557},
    {1.082243, 2.978817, 1.417227, 4.737734, 2.14162, 40, 0},
    {1.429235, 2.911794, 1.950434, 6.393769, 1.759636, 41, 0},
    {1.903541, 1.592195, 1.889678, 9.654475, 2.314954, 42, 0},
    {2.061082, 0.888524, 1.575315, 7.521148, 3.106149, 43, 0},
    {1.172546, 1.373361, 1.018114, 4.898881, 2.648488, 44, 0},
    {2.079986, 9.641003, 1.787794, 2.230584, 1.492841, 45, 0},
    {1.985663, 0.621281, 1.768258, 9.251409, 1.948722, 46, 0},
    {1.619764, 0.439729, 1.210202, 8.987758, 4.716654, 47, 0},
    {2.179206, 0.862318, 4.147596, 0, 0, 51, 0},
    {4.000764, 3.993847, 3.946706, 0, 0, 53, 0},
    {1.187188, 2.542482, 2.306744, 7.808849, 5.958952, 57, 1.846287},
    {0.44917, 2.469444, 2.216418, 9.700135, 6.013887, 71, 5.824175},
    {3.099683, 3.333027, 3.02502, 4.020384, 4.323408, 72, 0},
    {1.011432, 2.139168, 1.685479, 7.257766, 1.619809, 73, 0},
    {3.461491, 1.904387, 2.18034, 10.002668, 3.417555, 74, 0},
    {2.433415, 0.838026, 1.921708, 5.229236, 1.821985, 75, 0},
    {2.613281, 2.062936, 2.944917, 8.75898, 4.717871, 76, 0},
    {2.108777, 0.618406, 1.826929, 3.726074, 2.747207, 77, 0},
    {3.08332, 19.42728, 2.233704, 4.725137, 3.459127, 78, 0},
    {2.22893, 4.555019, 2.406645, 9.054233, 5.690708, 79, 0},
    {4.275828, 3.018252, 4.889868, 0, 0, 83, 0},
}};

// The d record of an element with a d shell and a d-element row; none without either.
std::optional<DElementParams> d_params_from_row(const std::optional<ElementParams>& element,
                                                const tables::DElementRow* row) {
    if (!element || element->zeta_d <= 1e-8 || row == nullptr) return std::nullopt;
    return compute_d_element_params(element->atomic_number, element->zeta_s, element->zeta_p, element->zeta_d,
                                    element->g_ss, element->g_sp, element->g_pp, element->g_p2, element->h_sp,
                                    row->zeta_s_one_center, row->zeta_p_one_center, row->zeta_d_one_center,
                                    row->f0_sd, row->g2_sd, row->rho_core);
}

void check_z(std::uint8_t atomic_number) {
    if (atomic_number > kLastZ) {
        throw EngineStop("Atomic number " + std::to_string(atomic_number) +
                         " is beyond the d-orbital tables (last entry 107)");
    }
}

// Index into the factorial or Pascal tables.
std::size_t table_index(int i) {
    if (i < 0 || i > kTableTop) throw EngineStop("Radial integral index outside the factorial tables");
    return static_cast<std::size_t>(i);
}

// (2n)! from F.
double factorial_2n(const FactorialTable& f, int n) { return f[table_index(2 * n + 1)]; }

// Golden-section minimisation of model(x)^2 on [0.1, 5] bohr.
template <typename Model>
double fit_additive_term(Model model) {
    double a = 0.1;
    double b = 5.0;
    for (int iteration = 0; iteration < 100; ++iteration) {
        if (b - a < 1e-8) break;
        const double x1 = a + 0.382 * (b - a);
        const double x2 = a + 0.618 * (b - a);
        const double f1 = model(x1);
        const double f2 = model(x2);
        if (f1 * f1 < f2 * f2) {
            b = x2;
        } else {
            a = x1;
        }
    }
    return 0.5 * (a + b);
}

// One-centre dipole-dipole (sp or pd) interaction of the point-charge model, minus target.
double dipole_search(double d, double target) {
    return fit_additive_term([=](double x) {
        return 0.25 * kHartreeToEv * (1.0 / x - 1.0 / std::sqrt(x * x + d * d)) - target;
    });
}

// One-centre quadrupole-quadrupole interaction of the point-charge model, minus target.
double quadrupole_search(double d, double target) {
    return fit_additive_term([=](double x) {
        return 0.125 * kHartreeToEv *
                   (1.0 / x + 1.0 / std::sqrt(x * x + d * d) - 2.0 / std::sqrt(x * x + 0.5 * d * d)) -
               target;
    });
}

}  // namespace

int d_table_n_sp(std::uint8_t atomic_number) {
    check_z(atomic_number);
    const int z = atomic_number;
    if (z >= 1 && z <= 2) return 1;
    if (z >= 3 && z <= 10) return 2;
    if (z >= 11 && z <= 18) return 3;
    if (z >= 19 && z <= 36) return 4;
    if (z >= 37 && z <= 54) return 5;
    if (z >= 55 && z <= 86) return 6;
    return 0;
}

int d_table_n_d(std::uint8_t atomic_number) {
    check_z(atomic_number);
    const int z = atomic_number;
    if (z >= 1 && z <= 30) return 3;
    if (z >= 31 && z <= 48) return 4;
    if (z >= 49 && z <= 80) return 5;
    if (z >= 81 && z <= 86) return 6;
    return 0;
}

// Closed form of the two-electron radial integral over Slater densities:
// the inner charge integral split at r1 = r2 and expanded in incomplete gammas.
double rsc(int k, int n_a, int n_b, int n_c, int n_d, const FactorialTable& factorials, const PascalTable& pascal,
           double x_a, double x_b, double x_c, double x_d) {
    if (!(x_a > 0.0 && x_b > 0.0 && x_c > 0.0 && x_d > 0.0)) {
        throw EngineStop("Radial Slater-Condon integral needs positive exponents");
    }
    const int n = n_a + n_b + n_c + n_d;
    const int m = n_c + n_d - k;
    const int l = k + n_c + n_d + 1;
    // Binomials C(N-1, i-1) for i <= L divide below: L <= N keeps them non-zero.
    if (k < 0 || n_a < 0 || n_b < 0 || n_c < 0 || n_d < 0 || m < 0 || l > n) {
        throw EngineStop("Radial Slater-Condon integral undefined for these quantum numbers");
    }
    const std::size_t in = table_index(n);
    const std::size_t il = table_index(l);
    const std::size_t im = table_index(m);
    const double alpha = x_c + x_d;
    const double e = x_a + x_b + x_c + x_d;

    double s = 0.0;
    double t = 1.0 / e;
    for (std::size_t i = 1; i <= im; ++i) {
        t *= e / alpha;
        s += (pascal[im][i] - pascal[il][i]) * t / pascal[in][i];
    }
    for (std::size_t i = im + 1; i <= il; ++i) {
        t *= e / alpha;
        s -= pascal[il][i] * t / pascal[in][i];
    }

    const double e_n = std::pow(e, n);
    const double p = std::pow(2.0, n + 2) * std::pow(x_a, n_a + 0.5) * std::pow(x_b, n_b + 0.5) *
                     std::pow(x_c, n_c + 0.5) * std::pow(x_d, n_d + 0.5) / e_n;
    const double norm = factorials[in] / std::sqrt(factorial_2n(factorials, n_a) * factorial_2n(factorials, n_b) *
                                                   factorial_2n(factorials, n_c) * factorial_2n(factorials, n_d));
    const double leading = e_n / (std::pow(alpha, l) * std::pow(x_a + x_b, n_a + n_b - k) * pascal[in][il]);
    return kHartreeToEv * norm * p * (leading + s);
}

std::array<double, 12> scprm(std::uint8_t atomic_number, const FactorialTable& factorials, const PascalTable& pascal,
                             double zeta_s, double zeta_p, double zeta_d) {
    const int ns = d_table_n_sp(atomic_number);
    const int nd = d_table_n_d(atomic_number);
    const auto& f = factorials;
    const auto& b = pascal;
    const double zs = zeta_s, zp = zeta_p, zd = zeta_d;
    return {
        rsc(0, nd, nd, nd, nd, f, b, zd, zd, zd, zd),  // F0dd
        rsc(2, nd, nd, nd, nd, f, b, zd, zd, zd, zd),  // F2dd
        rsc(4, nd, nd, nd, nd, f, b, zd, zd, zd, zd),  // F4dd
        rsc(0, ns, ns, nd, nd, f, b, zs, zs, zd, zd),  // F0sd
        rsc(2, ns, nd, ns, nd, f, b, zs, zd, zs, zd),  // G2sd
        rsc(0, ns, ns, nd, nd, f, b, zp, zp, zd, zd),  // F0pd
        rsc(2, ns, ns, nd, nd, f, b, zp, zp, zd, zd),  // F2pd
        rsc(1, ns, nd, ns, nd, f, b, zp, zd, zp, zd),  // G1pd
        rsc(3, ns, nd, ns, nd, f, b, zp, zd, zp, zd),  // G3pd
        rsc(1, ns, ns, ns, nd, f, b, zs, zp, zp, zd),  // R1sppd
        rsc(2, ns, ns, ns, nd, f, b, zp, zp, zs, zd),  // R2sdpp
        rsc(2, ns, nd, nd, nd, f, b, zs, zd, zd, zd),  // R2sddd
    };
}

double aijl(int n1, int n2, int l, const FactorialTable& factorials, double z1, double z2) {
    const double s = z1 + z2 + 1e-20;
    return factorials[table_index(n1 + n2 + l + 1)] /
           std::sqrt(factorial_2n(factorials, n1) * factorial_2n(factorials, n2)) * std::pow(2.0 * z1 / s, n1 + 0.5) *
           std::pow(2.0 * z2 / s, n2 + 0.5) * std::pow(2.0 / s, l);
}

std::array<double, 7> aijm(std::uint8_t atomic_number, bool with_d, const FactorialTable& factorials, double zeta_s,
                           double zeta_p, double zeta_d) {
    std::array<double, 7> moments{};
    check_z(atomic_number);
    if (atomic_number < 3 || zeta_s * zeta_p < 0.01) return moments;
    const int ns = d_table_n_sp(atomic_number);
    moments[2] = aijl(ns, ns, 1, factorials, zeta_s, zeta_p);
    moments[3] = aijl(ns, ns, 2, factorials, zeta_p, zeta_p);
    if (with_d) {
        const int nd = d_table_n_d(atomic_number);
        moments[4] = aijl(ns, nd, 2, factorials, zeta_s, zeta_d);
        moments[5] = aijl(ns, nd, 1, factorials, zeta_p, zeta_d);
        moments[6] = aijl(nd, nd, 2, factorials, zeta_d, zeta_d);
    }
    return moments;
}

void ddpo(std::uint8_t atomic_number, bool with_d, const std::array<double, 7>& moments,
          const std::array<double, 53>& one_center_integrals, std::array<double, 7>& charge_separations,
          std::array<double, 10>& additive_terms, double g_ss, double h_sp, double g_pp, double g_p2) {
    const auto& in = one_center_integrals;
    charge_separations.fill(0.0);
    additive_terms.fill(0.0);
    if (g_ss > 0.1) additive_terms[1] = kHalfHartreeEv / g_ss;
    if (atomic_number < 3) return;

    const double d_sp = moments[2] / 3.4641016151377544;
    charge_separations[2] = d_sp;
    additive_terms[2] = dipole_search(d_sp, h_sp);
    additive_terms[7] = additive_terms[1];
    const double d_pp = std::sqrt(0.1 * moments[3]);
    charge_separations[3] = d_pp;
    additive_terms[3] = quadrupole_search(d_pp, 0.5 * (g_pp - g_p2));
    if (!with_d) return;

    const double d_sd = std::sqrt(moments[4] * 0.12909944487358055);
    charge_separations[4] = d_sd;
    additive_terms[4] = quadrupole_search(d_sd, in[19]);
    const double d_pd = moments[5] / 4.47213595499958;
    charge_separations[5] = d_pd;
    additive_terms[5] = dipole_search(d_pd, in[23] - 1.8 * in[35]);
    const double average_dd = (in[29] + 2.0 * in[30] + 2.0 * in[31]) / 5.0;
    additive_terms[8] = average_dd > 1e-5 ? kHalfHartreeEv / average_dd : 100000.0;
    const double d_dd = std::sqrt(moments[6] / 14.0);
    charge_separations[6] = d_dd;
    additive_terms[6] = quadrupole_search(d_dd, in[44] - 0.5714285714285714 * in[52]);
}

DElementParams compute_d_element_params(std::uint8_t atomic_number, double zeta_s, double zeta_p, double zeta_d,
                                        double g_ss, double /*g_sp*/, double g_pp, double g_p2, double h_sp,
                                        double zeta_s_one_center, double zeta_p_one_center,
                                        double zeta_d_one_center, double f0_sd, double g2_sd, double rho_core) {
    check_z(atomic_number);
    auto r = scprm(atomic_number, kFactorials, kPascal, zeta_s_one_center, zeta_p_one_center, zeta_d_one_center);
    if (f0_sd > 0.001) r[3] = f0_sd;
    if (g2_sd > 0.001) r[4] = g2_sd;
    const double f0dd = r[0], f2dd = r[1], f4dd = r[2], f0sd = r[3], g2sd = r[4], f0pd = r[5], f2pd = r[6];
    const double g1pd = r[7], g3pd = r[8], r1sppd = r[9], r2sdpp = r[10], r2sddd = r[11];

    const double s3 = std::sqrt(3.0);
    const double s5 = std::sqrt(5.0);
    const double s15 = std::sqrt(15.0);

    // Distinct one-centre spd integrals: angular (Gaunt) factors times radial integrals.
    DElementParams d{};
    auto& in = d.one_center_integrals;
    in[1] = f0sd;
    in[2] = 2.0 * s5 / 15.0 * r1sppd;
    in[3] = s15 / 15.0 * r1sppd;
    in[4] = 2.0 * s5 / 25.0 * r2sdpp;
    in[5] = f0pd + 4.0 / 35.0 * f2pd;
    in[6] = f0pd + 2.0 / 35.0 * f2pd;
    in[7] = f0pd - 4.0 / 35.0 * f2pd;
    in[8] = -s5 / 15.0 * r1sppd;
    in[9] = s15 / 25.0 * r2sdpp;
    in[10] = s3 / 35.0 * f2pd;
    in[11] = 3.0 / 35.0 * f2pd;
    in[12] = -s5 / 25.0 * r2sdpp;
    in[13] = f0pd - 2.0 / 35.0 * f2pd;
    in[14] = -2.0 * s3 / 35.0 * f2pd;
    in[15] = -s15 / 15.0 * r1sppd;
    in[16] = -3.0 / 35.0 * f2pd;
    in[17] = -s15 / 25.0 * r2sdpp;
    in[18] = 2.0 * s3 / 35.0 * f2pd;
    in[19] = g2sd / 5.0;
    in[20] = 2.0 * s5 / 35.0 * r2sddd;
    in[21] = s5 / 35.0 * r2sddd;
    in[22] = -2.0 * s5 / 35.0 * r2sddd;
    in[23] = 4.0 / 15.0 * g1pd + 27.0 / 245.0 * g3pd;
    in[24] = 2.0 * s3 / 15.0 * g1pd - 9.0 * s3 / 245.0 * g3pd;
    in[25] = g1pd / 15.0 + 18.0 / 245.0 * g3pd;
    in[26] = -s3 / 15.0 * g1pd + 12.0 * s3 / 245.0 * g3pd;
    in[27] = -s3 / 15.0 * g1pd - 3.0 * s3 / 245.0 * g3pd;
    in[28] = s3 / 15.0 * g1pd + 3.0 * s3 / 245.0 * g3pd;
    in[29] = f0dd + 4.0 / 49.0 * f2dd + 4.0 / 49.0 * f4dd;
    in[30] = f0dd + 2.0 / 49.0 * f2dd - 8.0 / 147.0 * f4dd;
    in[31] = f0dd - 4.0 / 49.0 * f2dd + 2.0 / 147.0 * f4dd;
    in[32] = s15 / 35.0 * r2sddd;
    in[33] = g1pd / 5.0 + 24.0 / 245.0 * g3pd;
    in[34] = g1pd / 5.0 - 6.0 / 245.0 * g3pd;
    in[35] = 3.0 / 49.0 * g3pd;
    in[36] = f2dd / 49.0 + 10.0 / 147.0 * f4dd;
    in[37] = s3 / 49.0 * f2dd - 5.0 * s3 / 441.0 * f4dd;
    in[38] = f0dd - 2.0 / 49.0 * f2dd - 4.0 / 441.0 * f4dd;
    in[39] = -2.0 * s3 / 49.0 * f2dd + 10.0 * s3 / 441.0 * f4dd;
    in[40] = -s15 / 35.0 * r2sddd;
    in[41] = -g1pd / 5.0 + 6.0 / 245.0 * g3pd;
    in[42] = -3.0 / 49.0 * g3pd;
    in[43] = -s3 / 49.0 * f2dd + 5.0 * s3 / 441.0 * f4dd;
    in[44] = 3.0 / 49.0 * f2dd + 20.0 / 441.0 * f4dd;
    in[45] = 2.0 * s3 / 49.0 * f2dd - 10.0 * s3 / 441.0 * f4dd;
    in[46] = g1pd / 5.0 - 3.0 / 35.0 * g3pd;
    in[47] = -g1pd / 5.0 + 3.0 / 35.0 * g3pd;
    in[48] = 4.0 / 49.0 * f2dd + 5.0 / 147.0 * f4dd;
    in[49] = 3.0 / 49.0 * f2dd - 5.0 / 147.0 * f4dd;
    in[50] = -3.0 / 49.0 * f2dd + 5.0 / 147.0 * f4dd;
    in[51] = f0dd + 4.0 / 49.0 * f2dd - 34.0 / 441.0 * f4dd;
    in[52] = 5.0 / 63.0 * f4dd;

    const auto moments = aijm(atomic_number, true, kFactorials, zeta_s, zeta_p, zeta_d);
    ddpo(atomic_number, true, moments, in, d.charge_separations, d.additive_terms, g_ss, h_sp, g_pp, g_p2);
    d.additive_terms[9] = rho_core > 1e-5 ? rho_core : d.additive_terms[1];
    d.additive_terms[0] = 0.0;
    d.atomic_number = atomic_number;
    return d;
}

std::span<const tables::DElementRow> pm7_d_element_rows() { return kPm7DRows; }

std::optional<DElementParams> Pm6Model::get_d_element_params(std::uint8_t z) const {
    return d_params_from_row(get_element(z), tables::pm6_d_row(z));
}

std::optional<DElementParams> Pm7Model::get_d_element_params(std::uint8_t z) const {
    const auto row = std::find_if(kPm7DRows.begin(), kPm7DRows.end(),
                                  [z](const tables::DElementRow& r) { return r.atomic_number == z; });
    return d_params_from_row(get_element(z), row == kPm7DRows.end() ? nullptr : &*row);
}

}  // namespace quorin
