#include "python/driver_support.h"

#include "core/properties/request_memory.h"
#include "core/properties/single_point.h"
#include "core/types/memory_plan.h"
#include "core/types/molecule.h"

namespace quorin::py {

const Matrix* followed_state(const ScfWorkspace& scf) {
    return scf.carried_coordinates.empty() ? nullptr : &scf.carried_density;
}

CalculationRecord run_final_single_point(const std::vector<std::uint8_t>& atomic_numbers,
                                         const std::vector<std::array<double, 3>>& coordinates,
                                         const ParameterModel& model, bool use_nddo, const Matrix* state) {
    MolecularBatch molecule = MolecularBatch::new_for_model(atomic_numbers, coordinates, model);
    require_memory(single_point_memory(molecule, use_nddo, false));
    return run_driver_final_point(molecule, model, use_nddo, state);
}

}  // namespace quorin::py
