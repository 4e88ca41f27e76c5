#include "core/ci/uv_vis.h"

#include <cmath>

#include "core/types/errors.h"

namespace quorin {

namespace {

constexpr double kFwhmPerSigma = 2.3548200450309493;  // 2 sqrt(2 ln 2)
constexpr double kSqrtTwoPi = 2.5066282746310002;
// Integrated molar absorptivity per unit oscillator strength,
// int eps d(wavenumber) = f / 4.319e-9 L mol^-1 cm^-2.
constexpr double kAbsorptivityPerOscillator = 2.3154e8;
constexpr double kNanometresPerCentimetre = 1e7;
constexpr double kMinOscillatorStrength = 1e-6;

// Number of steps of the grid.
double grid_steps(double min_wavelength_nm, double max_wavelength_nm, double step_nm) {
    return std::floor((max_wavelength_nm - min_wavelength_nm) / step_nm);
}

}  // namespace

std::optional<std::string> uv_vis_grid_problem(double min_wavelength_nm, double max_wavelength_nm, double step_nm,
                                               double fwhm_nm) {
    if (!std::isfinite(min_wavelength_nm) || !std::isfinite(max_wavelength_nm)) {
        return "min_wavelength_nm and max_wavelength_nm must be finite numbers";
    }
    if (!(min_wavelength_nm < max_wavelength_nm)) return "min_wavelength_nm must be below max_wavelength_nm";
    if (!(step_nm > 0.0) || !std::isfinite(step_nm)) return "step_nm must be a positive finite number";
    if (!(fwhm_nm > 0.0) || !std::isfinite(fwhm_nm)) return "fwhm_nm must be a positive finite number";
    if (grid_steps(min_wavelength_nm, max_wavelength_nm, step_nm) + 1.0 > static_cast<double>(kMaxSpectrumPoints)) {
        return "The wavelength grid would exceed " + std::to_string(kMaxSpectrumPoints) + " points";
    }
    return std::nullopt;
}

UvVisSpectrum simulate_uv_vis_spectrum(std::span<const CiState> states, double min_wavelength_nm,
                                       double max_wavelength_nm, double step_nm, double fwhm_nm) {
    if (const auto problem = uv_vis_grid_problem(min_wavelength_nm, max_wavelength_nm, step_nm, fwhm_nm)) {
        throw EngineStop(*problem);
    }
    const auto points = static_cast<std::size_t>(grid_steps(min_wavelength_nm, max_wavelength_nm, step_nm)) + 1;
    UvVisSpectrum spectrum;
    spectrum.wavelengths_nm.resize(points);
    spectrum.extinction_coefficients.assign(points, 0.0);
    for (std::size_t i = 0; i < points; ++i) {
        spectrum.wavelengths_nm[i] = static_cast<double>(i) * step_nm + min_wavelength_nm;
    }

    const double sigma = fwhm_nm / kFwhmPerSigma;
    const double norm = 1.0 / (sigma * kSqrtTwoPi);
    const double window = 4.0 * fwhm_nm;
    for (const CiState& state : states) {
        if (!(state.excitation_energy_ev > kMinExcitationEv) || !(state.wavelength_nm > 0.0) ||
            !(state.oscillator_strength > kMinOscillatorStrength)) {
            continue;
        }
        const double centre = state.wavelength_nm;
        // A Gaussian of unit area in wavelength scaled by dlambda/dwavenumber
        // = lambda^2 / 1e7 at the centre, so its area over wavenumber is
        // f times the integrated absorptivity.
        const double amplitude = state.oscillator_strength * kAbsorptivityPerOscillator * centre * centre /
                                 kNanometresPerCentimetre * norm;
        for (std::size_t i = 0; i < points; ++i) {
            const double offset = spectrum.wavelengths_nm[i] - centre;
            if (std::fabs(offset) > window) continue;
            spectrum.extinction_coefficients[i] += amplitude * std::exp(-offset * offset / (2.0 * sigma * sigma));
        }
    }

    spectrum.lambda_max_nm = min_wavelength_nm;
    spectrum.epsilon_max = 0.0;
    for (std::size_t i = 0; i < points; ++i) {
        if (spectrum.extinction_coefficients[i] > spectrum.epsilon_max) {
            spectrum.epsilon_max = spectrum.extinction_coefficients[i];
            spectrum.lambda_max_nm = spectrum.wavelengths_nm[i];
        }
    }
    return spectrum;
}

}  // namespace quorin
