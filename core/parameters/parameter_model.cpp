#include "core/parameters/parameter_model.h"

#include "core/integrals/core_repulsion.h"

namespace quorin {

double ParameterModel::pair_core_repulsion(const ElementParams& a, const ElementParams& b, double r) const {
    return compute_pair_core_repulsion(a, b, r);
}

std::uint8_t ParameterModel::basis_type(std::uint8_t z) const {
    if (auto rec = get_element(z)) {
        if (rec->zeta_d > 1e-8) return 9;
        if (rec->zeta_p > 1e-20) return 4;
        return 1;
    }
    if (z == 1) return 1;
    if (z >= 2 && z <= 20) return 4;
    return 9;
}

}  // namespace quorin
