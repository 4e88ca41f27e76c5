#include "python/driver_support.h"

#include "python/method_lookup.h"
#include "python/py_support.h"
#include "python/single_point.h"

namespace quorin::py {

std::unique_ptr<ParameterModel> checked_driver_model(const std::vector<std::uint8_t>& atomic_numbers,
                                                     const std::vector<std::array<double, 3>>& coordinates,
                                                     const std::string& method) {
    if (atomic_numbers.empty()) throw InputError("atomic_numbers cannot be empty");
    if (atomic_numbers.size() != coordinates.size()) throw InputError("Coordinate count mismatch");
    check_geometry(atomic_numbers, coordinates);
    std::unique_ptr<ParameterModel> model = get_model(method);
    check_closed_shell_supported(atomic_numbers, *model, method);
    return model;
}

CalculationRecord run_final_single_point(const std::vector<std::uint8_t>& atomic_numbers,
                                         const std::vector<std::array<double, 3>>& coordinates,
                                         const std::string& method, bool use_nddo) {
    SinglePointRequest request;
    request.atomic_numbers = atomic_numbers;
    request.coordinates = coordinates;
    request.method = method;
    request.use_nddo = use_nddo;
    request.max_iter = 60;
    request.energy_tol_ev = 1e-7;
    request.density_tol = 1e-6;
    request.level_shift_ev = 0.0;
    request.damping = 0.5;
    return run_calculation_at_reached_geometry(request);
}

}  // namespace quorin::py
