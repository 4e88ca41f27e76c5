#include "core/vibrations/thermochemistry.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/engine_stop.h"

namespace quorin {
namespace {

// SI constants (exact 2019 definitions; amu from CODATA 2018) and the
// thermochemical calorie, used to rebuild every reference value below from
// textbook statistical mechanics rather than from the engine's constants.
constexpr double kKb = 1.380649e-23;
constexpr double kH = 6.62607015e-34;
constexpr double kNa = 6.02214076e23;
constexpr double kAmu = 1.66053906660e-27;
constexpr double kC = 2.99792458e10;  // cm/s
constexpr double kCal = 4.184;
constexpr double kRcal = kKb * kNa / kCal;
constexpr double kAtm = 101325.0;

using fixtures::stop_message;

MolecularBatch batch(std::vector<std::uint8_t> z, const std::vector<std::array<double, 3>>& xyz) {
    return MolecularBatch::new_by_atomic_number(std::move(z), xyz);
}

// Water in the xy plane, symmetric about the y axis: its inertia tensor about
// the centre of mass is diagonal in these axes.
struct Water {
    std::vector<double> masses{15.9994, 1.0079, 1.0079};
    std::vector<std::array<double, 3>> xyz;
    Water() {
        const double half = 0.5 * 104.5 * M_PI / 180.0;
        xyz = {{0, 0, 0}, {0.96 * std::sin(half), 0.96 * std::cos(half), 0}, {-0.96 * std::sin(half), 0.96 * std::cos(half), 0}};
    }
};

// Sackur-Tetrode entropy, cal/(mol K).
double sackur_tetrode(double mass_amu, double t, double p_atm) {
    const double lambda_cubed = std::pow(kH * kH / (2.0 * M_PI * mass_amu * kAmu * kKb * t), 1.5);
    return kRcal * (std::log(kKb * t / (p_atm * kAtm) / lambda_cubed) + 2.5);
}

// Vibrational ln q (energy zero at the zero-point level).
double ln_q_vib(const std::vector<double>& nu_cm1, double t) {
    double s = 0.0;
    for (double nu : nu_cm1) s -= std::log(1.0 - std::exp(-kH * kC * nu / (kKb * t)));
    return s;
}

TEST(Thermochemistry, WaterMatchesIdealGasClosedForms) {
    const Water w;
    const MolecularBatch m = batch({8, 1, 1}, w.xyz);
    const std::vector<double> nu{1595.0, 3657.0, 3756.0};
    for (double t : {298.15, 1000.0}) {
        for (double sigma : {1.0, 2.0}) {
            SCOPED_TRACE("T=" + std::to_string(t) + " sigma=" + std::to_string(sigma));
            const double p = 1.0;
            const Thermodynamics th = compute_thermochemistry(m, w.masses, nu, t, p, sigma);

            // Principal moments of the planar molecule (amu angstrom^2).
            double total = 0.0, cy = 0.0;
            for (std::size_t a = 0; a < 3; ++a) {
                total += w.masses[a];
                cy += w.masses[a] * w.xyz[a][1];
            }
            cy /= total;
            double ixx = 0.0, iyy = 0.0;
            for (std::size_t a = 0; a < 3; ++a) {
                ixx += w.masses[a] * (w.xyz[a][1] - cy) * (w.xyz[a][1] - cy);
                iyy += w.masses[a] * w.xyz[a][0] * w.xyz[a][0];
            }
            const double product = ixx * iyy * (ixx + iyy) * std::pow(kAmu * 1e-20, 3);
            const double q_rot = std::sqrt(M_PI) / sigma * std::pow(8.0 * M_PI * M_PI * kKb * t / (kH * kH), 1.5) *
                                 std::sqrt(product);
            EXPECT_NEAR(th.entropy_rot_cal_k_mol, kRcal * (std::log(q_rot) + 1.5), 1e-6);
            EXPECT_NEAR(th.entropy_trans_cal_k_mol, sackur_tetrode(total, t, p), 1e-6);

            // Vibrational terms by numerical differentiation of ln q.
            const double dt = 1e-3 * t;
            const double dlnq = (ln_q_vib(nu, t + dt) - ln_q_vib(nu, t - dt)) / (2.0 * dt);
            const double e_vib = kRcal * t * t * dlnq;
            const auto energy_at = [&](double tt) {
                return kRcal * tt * tt * (ln_q_vib(nu, tt + dt) - ln_q_vib(nu, tt - dt)) / (2.0 * dt);
            };
            const double cv_vib = (energy_at(t + dt) - energy_at(t - dt)) / (2.0 * dt);
            EXPECT_NEAR(th.e_vib_cal_mol, e_vib, 1e-5 * std::max(1.0, e_vib));
            EXPECT_NEAR(th.cv_vib_cal_k_mol, cv_vib, 1e-4 * std::max(1.0, cv_vib));
            EXPECT_NEAR(th.entropy_vib_cal_k_mol, kRcal * ln_q_vib(nu, t) + e_vib / t, 1e-6);

            const double rt = kRcal * t;
            const double zpve = 0.5 * (1595.0 + 3657.0 + 3756.0) * kH * kC * kNa / (kCal * 1000.0);
            EXPECT_NEAR(th.zpve_kcal_mol, zpve, 1e-6);
            EXPECT_NEAR(th.e_rot_cal_mol, 1.5 * rt, 1e-9);
            EXPECT_NEAR(th.e_trans_cal_mol, 1.5 * rt, 1e-9);
            EXPECT_NEAR(th.enthalpy_thermal_cal_mol, e_vib + 4.0 * rt, 1e-7 * (e_vib + 4.0 * rt));
            EXPECT_NEAR(th.cp_total_cal_k_mol, cv_vib + 4.0 * kRcal, 1e-4);
            const double s_total = th.entropy_vib_cal_k_mol + th.entropy_rot_cal_k_mol + th.entropy_trans_cal_k_mol;
            EXPECT_NEAR(th.entropy_total_cal_k_mol, s_total, 1e-12);
            EXPECT_NEAR(th.gibbs_correction_kcal_mol, zpve + (e_vib + 4.0 * rt - t * s_total) / 1000.0, 1e-6);
            EXPECT_EQ(th.temperature_k, t);
            EXPECT_EQ(th.pressure_atm, p);
        }
    }
}

TEST(Thermochemistry, LimitingCases) {
    const double t = 298.15;
    // One atom: translation only (H = 5/2 RT, Cp = 5/2 R).
    {
        const MolecularBatch he = batch({2}, {{{0.3, -0.2, 0.1}}});
        const std::vector<double> mass{4.0026};
        const Thermodynamics th = compute_thermochemistry(he, mass, {}, t, 1.0, 1.0);
        EXPECT_EQ(th.zpve_kcal_mol, 0.0);
        EXPECT_EQ(th.entropy_rot_cal_k_mol, 0.0);
        EXPECT_EQ(th.cv_rot_cal_k_mol, 0.0);
        EXPECT_NEAR(th.enthalpy_thermal_cal_mol, 2.5 * kRcal * t, 1e-9);
        EXPECT_NEAR(th.cp_total_cal_k_mol, 2.5 * kRcal, 1e-12);
        EXPECT_NEAR(th.entropy_total_cal_k_mol, sackur_tetrode(4.0026, t, 1.0), 1e-6);
        // Doubling the pressure removes R ln 2 of translational entropy.
        const Thermodynamics high_p = compute_thermochemistry(he, mass, {}, t, 2.0, 1.0);
        EXPECT_NEAR(th.entropy_trans_cal_k_mol - high_p.entropy_trans_cal_k_mol, kRcal * std::log(2.0), 1e-9);
    }
    // Diatomic CO: linear rotor, S = R (ln(T / (sigma theta)) + 1), theta = h^2 / (8 pi^2 I kB).
    {
        const std::vector<double> mass{12.011, 15.9994};
        const double r = 1.128;
        const MolecularBatch co = batch({6, 8}, {{{0, 0, 0}}, {{0, 0, r}}});
        const double mu = mass[0] * mass[1] / (mass[0] + mass[1]);
        const double theta = kH * kH / (8.0 * M_PI * M_PI * mu * r * r * kAmu * 1e-20 * kKb);
        const Thermodynamics one = compute_thermochemistry(co, mass, std::vector<double>{2170.0}, t, 1.0, 1.0);
        const Thermodynamics two = compute_thermochemistry(co, mass, std::vector<double>{2170.0}, t, 1.0, 2.0);
        EXPECT_NEAR(one.entropy_rot_cal_k_mol, kRcal * (std::log(t / theta) + 1.0), 1e-6);
        EXPECT_NEAR(one.entropy_rot_cal_k_mol - two.entropy_rot_cal_k_mol, kRcal * std::log(2.0), 1e-9);
        EXPECT_NEAR(one.cv_rot_cal_k_mol, kRcal, 1e-12);
        EXPECT_NEAR(one.e_rot_cal_mol, kRcal * t, 1e-9);
    }
    // Frequency filters: at or below 10 cm^-1, imaginary, and theta/T > 100
    // contribute no thermal terms; positive ones always count in the ZPVE.
    {
        const Water w;
        const MolecularBatch m = batch({8, 1, 1}, w.xyz);
        struct Case {
            double nu;
            double t;
            bool thermal;
        };
        for (const Case c : {Case{10.0, t, false}, Case{10.01, t, true}, Case{-500.0, t, false},
                             Case{1000.0, 10.0, false}, Case{1000.0, 14.5, true}}) {
            SCOPED_TRACE(std::to_string(c.nu) + " cm-1 at " + std::to_string(c.t) + " K");
            const Thermodynamics th = compute_thermochemistry(m, w.masses, std::vector<double>{c.nu}, c.t, 1.0, 1.0);
            EXPECT_EQ(th.e_vib_cal_mol > 0.0, c.thermal);
            EXPECT_EQ(th.entropy_vib_cal_k_mol > 0.0, c.thermal);
            EXPECT_NEAR(th.zpve_kcal_mol, c.nu > 0.0 ? 0.5 * c.nu * 0.00285914370690045 : 0.0, 1e-12);
        }
    }
}

TEST(Thermochemistry, RefusesUnphysicalConditions) {
    const Water w;
    const MolecularBatch m = batch({8, 1, 1}, w.xyz);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double t, p, sigma;
        std::vector<double> masses;
        const char* message;
    };
    const std::vector<Case> cases{
        {0.0, 1.0, 1.0, w.masses, "Temperature must be strictly positive"},
        {-5.0, 1.0, 1.0, w.masses, "Temperature must be strictly positive"},
        {nan, 1.0, 1.0, w.masses, "Temperature must be strictly positive"},
        {inf, 1.0, 1.0, w.masses, "Temperature must be a finite number of kelvin"},
        {298.15, 0.0, 1.0, w.masses, "Pressure must be a positive finite number of atmospheres"},
        {298.15, nan, 1.0, w.masses, "Pressure must be a positive finite number of atmospheres"},
        {298.15, 1.0, 0.0, w.masses, "Rotational symmetry number must be a whole number from 1 to 60"},
        {298.15, 1.0, -2.0, w.masses, "Rotational symmetry number must be a whole number from 1 to 60"},
        // Not the order of a rotation group: a fraction, or more than the 60
        // of the icosahedral group, the largest for three atoms.
        {298.15, 1.0, 2.5, w.masses, "Rotational symmetry number must be a whole number from 1 to 60"},
        {298.15, 1.0, 61.0, w.masses, "Rotational symmetry number must be a whole number from 1 to 60"},
        {298.15, 1.0, 1e300, w.masses, "Rotational symmetry number must be a whole number from 1 to 60"},
        {298.15, 1.0, 1.0, {15.9994, 0.0, 1.0079}, "Atomic masses must be positive finite numbers"},
        {298.15, 1.0, 1.0, {15.9994, nan, 1.0079}, "Atomic masses must be positive finite numbers"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(stop_message([&] { compute_thermochemistry(m, c.masses, std::vector<double>{1600.0}, c.t, c.p, c.sigma); }),
                  c.message);
    }
    EXPECT_NE(stop_message([&] { compute_thermochemistry(m, std::vector<double>{1.0}, {}, 298.15, 1.0, 1.0); }), "no stop");
}

}  // namespace
}  // namespace quorin
