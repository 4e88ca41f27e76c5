#include "core/ci/uv_vis.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {
namespace {

CiState band(double wavelength_nm, double f) {
    CiState s;
    s.excitation_energy_ev = kEvNanometre / wavelength_nm;
    s.wavelength_nm = wavelength_nm;
    s.oscillator_strength = f;
    return s;
}

// int eps d(wavenumber), d(wavenumber) = 1e7 dlambda / lambda^2, equals
// 2.3154e8 sum f (the absorptivity-oscillator strength relation).
TEST(UvVisSpectrum, BandAreasFollowOscillatorStrengths) {
    const std::vector<CiState> states{CiState{}, band(250.0, 0.4), band(420.0, 1.1), band(300.0, 1e-7)};
    const UvVisSpectrum s = simulate_uv_vis_spectrum(states, 100.0, 800.0, 0.5, 20.0);
    ASSERT_EQ(s.wavelengths_nm.size(), 1401u);
    double area = 0.0;
    for (std::size_t i = 0; i < s.wavelengths_nm.size(); ++i) {
        area += s.extinction_coefficients[i] * 1e7 / (s.wavelengths_nm[i] * s.wavelengths_nm[i]) * 0.5;
    }
    EXPECT_NEAR(area / (2.3154e8 * 1.5), 1.0, 0.01);
    EXPECT_EQ(s.lambda_max_nm, 420.0);
    EXPECT_EQ(s.epsilon_max, s.extinction_coefficients[640]);

    // f = 1 at 300 nm, FWHM 20 nm: peak 2.3154e8 * 300^2 / 1e7 / (sigma sqrt(2 pi)),
    // sigma = 20 / 2.35482, about 9.8e4; nothing beyond 4 FWHM.
    const UvVisSpectrum one = simulate_uv_vis_spectrum(std::vector<CiState>{band(300.0, 1.0)}, 200.0, 400.0, 1.0, 20.0);
    const double sigma = 20.0 / 2.3548200450309493;
    EXPECT_NEAR(one.epsilon_max, 2.3154e8 * 9e4 / 1e7 / (sigma * std::sqrt(2.0 * M_PI)), 1e-6);
    EXPECT_NEAR(one.epsilon_max, 9.8e4, 0.1e4);
    EXPECT_GT(one.extinction_coefficients[20], 0.0);   // 220 nm
    EXPECT_EQ(one.extinction_coefficients[19], 0.0);   // 219 nm
    EXPECT_EQ(one.extinction_coefficients[181], 0.0);  // 381 nm
}

TEST(UvVisSpectrum, EdgeGridsAndRefusedGrids) {
    const std::vector<CiState> one_band{band(300.0, 1.0)};
    const UvVisSpectrum dark = simulate_uv_vis_spectrum(one_band, 500.0, 600.0, 1.0, 20.0);
    ASSERT_EQ(dark.wavelengths_nm.size(), 101u);
    EXPECT_EQ(dark.lambda_max_nm, 500.0);
    EXPECT_EQ(dark.epsilon_max, 0.0);

    EXPECT_FALSE(uv_vis_grid_problem(100.0, 800.0, 1.0, 20.0));
    EXPECT_TRUE(uv_vis_grid_problem(500.0, 400.0, 1.0, 20.0));
    EXPECT_TRUE(uv_vis_grid_problem(400.0, 400.0, 1.0, 20.0));
    EXPECT_TRUE(uv_vis_grid_problem(NAN, 800.0, 1.0, 20.0));
    EXPECT_TRUE(uv_vis_grid_problem(100.0, INFINITY, 1.0, 20.0));
    EXPECT_TRUE(uv_vis_grid_problem(100.0, 800.0, 0.0, 20.0));
    EXPECT_TRUE(uv_vis_grid_problem(100.0, 800.0, -1.0, 20.0));
    EXPECT_TRUE(uv_vis_grid_problem(100.0, 800.0, 1.0, 0.0));
    EXPECT_TRUE(uv_vis_grid_problem(0.0, 1e7, 1e-2, 20.0));
    EXPECT_THROW(simulate_uv_vis_spectrum({}, 100.0, 800.0, NAN, 20.0), EngineStop);
}

}  // namespace
}  // namespace quorin
