#pragma once
// Charges fitted to the electrostatic potential, from Python: input checks,
// one closed-shell SCF, the fit, and the class `EspResultPy`.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/properties/esp.h"
#include "python/py_support.h"

namespace quorin::py {

struct EspRequest {
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> coordinates;  // angstrom
    std::string method = "PM6";
    double net_charge = 0.0;  // e; refused unless 0, the SCF is that of the neutral molecule
    std::uint64_t points_per_shell = 64;
};

// Throws InputError for refused input, a non-converged SCF and the fit's own
// failures; engine stops pass through.
EspResult run_esp_charges(const EspRequest& request);

// Creates the class at import; returns a new reference to the type.
PyObject* create_esp_result_type();

// The esp_charges function of the module.
PyMethodDef* esp_charges_method_def();

}  // namespace quorin::py
