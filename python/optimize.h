#pragma once
// Geometry minimisation from Python: input checks, the L-BFGS minimiser, and
// a final single point at the minimised geometry; the record and its class
// `OptimizationPyResult`.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/opt/lbfgs.h"
#include "python/calculation_result.h"

namespace quorin::py {

struct OptimizeRequest {
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> coordinates;  // angstrom, starting geometry
    std::string method = "PM6";
    std::uint64_t max_cycles = 100;
    double grad_rms_tol = 1.0;  // kcal/(mol angstrom)
    double grad_max_tol = 2.0;  // kcal/(mol angstrom)
    bool use_nddo = true;
};

struct OptimizationRecord {
    bool converged = false;  // gradient tests met and the SCF converged at the final geometry
    std::uint64_t cycles = 0;
    double initial_energy_ev = 0.0;
    double final_energy_ev = 0.0;
    double final_heat_of_formation_kcal = 0.0;  // of the final single point
    double final_grad_rms = 0.0;                // kcal/(mol angstrom)
    double final_grad_max = 0.0;                // kcal/(mol angstrom)
    std::vector<std::array<double, 3>> coordinates;  // final geometry, angstrom
    CalculationRecord final_result;
};

// Throws InputError for refused input; engine stops pass through. A minimiser
// that runs out of cycles is reported in `converged`, not raised.
OptimizationRecord run_optimization(const OptimizeRequest& request);

// Creates the class at import; returns a new reference to the type object.
PyObject* create_optimization_result_type();

// A new OptimizationPyResult owning `record`. Throws PythonErrorSet on failure.
PyObject* new_optimization_result(OptimizationRecord record);

// The optimize function of the module.
PyMethodDef* optimize_method_def();

}  // namespace quorin::py
