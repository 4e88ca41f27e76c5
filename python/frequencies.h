#pragma once
// Harmonic vibrational analysis from Python: input checks, the Hessian with
// normal modes and thermochemistry, and the classes `VibrationalResultPy`,
// `NormalModePy` and `ThermodynamicsPy`.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/types/aligned.h"
#include "core/vibrations/normal_modes.h"
#include "core/vibrations/thermochemistry.h"
#include "python/py_support.h"

namespace quorin::py {

struct FrequenciesRequest {
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> coordinates;  // angstrom
    std::string method = "PM6";
    double temperature_k = 298.15;
    double pressure_atm = 1.0;
    double rotational_symmetry_number = 1.0;
    double step_size_angstrom = 0.005;
    bool project_external = true;
    bool use_nddo = true;
    std::optional<std::vector<double>> custom_masses;  // amu, one per atom; none: the mass table
};

struct VibrationalRecord {
    std::vector<double> all_frequencies_cm1;          // 3N, ascending, negative = imaginary
    std::vector<double> vibrational_frequencies_cm1;  // internal modes, ascending
    std::vector<NormalMode> normal_modes;
    double zpve_kcal_mol = 0.0;
    Thermodynamics thermo;
    bool is_transition_state = false;
    Matrix cartesian_hessian;  // 3N x 3N, kcal/(mol angstrom^2)
};

// Throws InputError for refused input, including conditions the Hessian
// would only stop on (settings outside their ranges, unusable masses); engine
// stops such as a non-converged base SCF pass through.
VibrationalRecord run_frequencies(const FrequenciesRequest& request);

// Create the classes at import; each returns a new reference to its type.
PyObject* create_normal_mode_type();
PyObject* create_thermodynamics_type();
PyObject* create_vibrational_result_type();

// A new VibrationalResultPy owning `record`. Throws PythonErrorSet on failure.
PyObject* new_vibrational_result(VibrationalRecord record);

// The frequencies function of the module.
PyMethodDef* frequencies_method_def();

}  // namespace quorin::py
