#pragma once
// What the geometry drivers of the module share: the molecule checks made
// before any engine work and the final single point at the geometry a driver
// returns.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/parameters/parameter_model.h"
#include "core/types/molecule.h"
#include "python/calculation_result.h"
#include "python/py_support.h"

namespace quorin::py {

// Refuses, in this order: no atoms, a coordinate count that differs from the
// atom count, a refused geometry (check_geometry), an unknown method, an element the model
// lacks and an odd valence-electron count. Returns the model.
std::unique_ptr<ParameterModel> checked_driver_model(const std::vector<std::uint8_t>& atomic_numbers,
                                                     const std::vector<std::array<double, 3>>& coordinates,
                                                     const std::string& method);

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

// The single-point road at `coordinates`, a geometry the driver reached, with
// the drivers' fixed settings: gas phase, no corrections, 60 iterations,
// 1e-7 eV, 1e-6, no level shift, damping 0.5.
CalculationRecord run_final_single_point(const std::vector<std::uint8_t>& atomic_numbers,
                                         const std::vector<std::array<double, 3>>& coordinates,
                                         const std::string& method, bool use_nddo);

}  // namespace quorin::py
