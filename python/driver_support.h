#pragma once
// What the geometry drivers of the module share: the engine's option checks
// made before any SCF and the final single point at the geometry a driver
// returns.
#include <array>
#include <cstdint>
#include <vector>

#include "core/parameters/parameter_model.h"
#include "core/scf/workspace.h"
#include "python/calculation_result.h"
#include "python/py_support.h"

namespace quorin::py {

// Runs an engine's option check before any SCF; its stops reach Python as
// ValueError with the same message.
template <typename Check>
void check_engine_options(Check&& check) {
    try {
        check();
    } catch (const EngineStop& refused) {
        throw InputError(refused.what());
    }
}

// The last converged solution a driver's SCF workspace carries, or null when
// none of its SCFs converged.
const Matrix* followed_state(const ScfWorkspace& scf);

// The engine's final single point (run_driver_final_point) at `coordinates`,
// a geometry the driver reached, started from `state`, the solution the
// driver followed (null: the atomic guess).
CalculationRecord run_final_single_point(const std::vector<std::uint8_t>& atomic_numbers,
                                         const std::vector<std::array<double, 3>>& coordinates,
                                         const ParameterModel& model, bool use_nddo, const Matrix* state);

}  // namespace quorin::py
