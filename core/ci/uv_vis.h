#pragma once
// Absorption spectrum from CI states: each bright state becomes a Gaussian
// band on a wavelength grid whose area over wavenumber is fixed by its
// oscillator strength.
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/ci/meci.h"

namespace quorin {

// Most points a spectrum grid may hold.
inline constexpr std::size_t kMaxSpectrumPoints = 1000000;

struct UvVisSpectrum {
    std::vector<double> wavelengths_nm;
    std::vector<double> extinction_coefficients;  // L/(mol cm)
    double lambda_max_nm = 0.0;
    double epsilon_max = 0.0;                     // L/(mol cm)
};

// Why the grid min, min + step, ... up to max with bands of the given FWHM
// cannot be built (a non-finite wavelength, min not below max, a step or
// FWHM that is not a positive finite number, more than kMaxSpectrumPoints
// points), or nothing.
std::optional<std::string> uv_vis_grid_problem(double min_wavelength_nm, double max_wavelength_nm, double step_nm,
                                               double fwhm_nm);

// Bands of every state above 1e-4 eV with a wavelength and f > 1e-6, each
// reaching 4 FWHM either side of its centre. Stops with the message of
// uv_vis_grid_problem when the grid cannot be built.
UvVisSpectrum simulate_uv_vis_spectrum(std::span<const CiState> states, double min_wavelength_nm,
                                       double max_wavelength_nm, double step_nm, double fwhm_nm);

}  // namespace quorin
