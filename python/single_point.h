#pragma once
// The single-point road from Python: input checks, then the engine road
// (core/properties/single_point.h) on the molecule built for the method.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "python/calculation_result.h"

namespace quorin::py {

struct SinglePointRequest {
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> coordinates;  // angstrom
    std::string method = "PM6";
    std::optional<double> cosmo_eps;        // dielectric constant; none: gas phase
    std::optional<std::string> dispersion;  // dispersion model name; none: no dispersion
    bool h_bonds = false;
    bool use_nddo = true;
    std::uint64_t max_iter = 60;
    double energy_tol_ev = 1e-7;
    double density_tol = 1e-6;
    double level_shift_ev = 0.0;
    double damping = 0.5;
};

// Throws InputError for refused input (check_request's refusals, settings
// out of range, an unknown dispersion name); engine stops pass through as
// EngineStop. A non-converged SCF is reported in the record, not raised.
CalculationRecord run_calculation_internal(const SinglePointRequest& request);

// The road with `options` on a molecule already checked for `model` (such as
// the geometry a driver's own search reached): no input check is repeated.
CalculationRecord run_single_point_with_model(const std::vector<std::uint8_t>& atomic_numbers,
                                             const std::vector<std::array<double, 3>>& coordinates,
                                             const ParameterModel& model, const SinglePointOptions& options);

// The calculate function of the module; a static definition that lives as long
// as the process.
PyMethodDef* calculate_method_def();

}  // namespace quorin::py
