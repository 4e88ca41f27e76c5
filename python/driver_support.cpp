#include "python/driver_support.h"

#include "python/single_point.h"

namespace quorin::py {

CalculationRecord run_final_single_point(const std::vector<std::uint8_t>& atomic_numbers,
                                         const std::vector<std::array<double, 3>>& coordinates,
                                         const ParameterModel& model, bool use_nddo) {
    SinglePointOptions options;
    options.use_nddo = use_nddo;
    options.max_iterations = 60;
    options.energy_tolerance = 1e-7;
    options.density_tolerance = 1e-6;
    options.level_shift = 0.0;
    options.damping = 0.5;
    return run_single_point_with_model(atomic_numbers, coordinates, model, options);
}

}  // namespace quorin::py
