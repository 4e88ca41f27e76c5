#pragma once
// Two-ended transition-state search from Python: argument checks, the search
// between reactant and product, a final single point at the transition state;
// the records and classes `SaddlePointPy` and `SaddlePyResult`.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/reactions/saddle.h"
#include "python/calculation_result.h"
#include "python/transition_state.h"

namespace quorin::py {

struct SaddleRequest {
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> reactant_coords;  // angstrom
    std::vector<std::array<double, 3>> product_coords;   // angstrom
    std::string method = "PM6";
    SaddleOptions options;
};

struct SaddleRecord {
    bool converged = false;
    std::uint64_t num_cycles = 0;
    double final_distance = 0.0;  // angstrom
    std::vector<std::array<double, 3>> transition_state_coordinates;
    double transition_state_energy_ev = 0.0;
    double transition_state_heat_of_formation_kcal = 0.0;  // the search's own
    double barrier_forward_kcal = 0.0;
    double barrier_reverse_kcal = 0.0;
    std::vector<SaddlePoint> trajectory;
    CalculationRecord final_result;  // single point at the transition state
    std::optional<TransitionStateRecord> ts_refinement;
};

// Throws InputError for refused input, before the search; engine stops pass
// through. A search that ends apart is reported in `converged`.
SaddleRecord run_saddle_search(const SaddleRequest& request);

// Create the classes at import; each returns a new reference.
PyObject* create_saddle_point_type();
PyObject* create_saddle_result_type();

// The saddle function of the module.
PyMethodDef* saddle_method_def();

}  // namespace quorin::py
