#include "core/parameters/parameter_model.h"

#include <algorithm>

#include "core/integrals/core_repulsion.h"
#include "core/parameters/parameter_tables.h"
#include "core/parameters/pm7.h"

namespace quorin {

namespace {

std::optional<ElementParams> record_or_none(const ElementParams* record) {
    if (record == nullptr) return std::nullopt;
    return *record;
}

}  // namespace

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

std::optional<ElementParams> MndoModel::get_element(std::uint8_t z) const {
    return record_or_none(tables::mndo_record(z));
}

std::optional<ElementParams> Am1Model::get_element(std::uint8_t z) const {
    return record_or_none(tables::am1_record(z));
}

double Am1Model::pair_core_repulsion(const ElementParams& a, const ElementParams& b, double r) const {
    return compute_pair_core_repulsion_am1(a, b, r);
}

std::optional<ElementParams> Pm3Model::get_element(std::uint8_t z) const {
    return record_or_none(tables::pm3_record(z));
}

std::optional<ElementParams> Rm1Model::get_element(std::uint8_t z) const {
    return record_or_none(tables::rm1_record(z));
}

std::optional<ElementParams> Pm6Model::get_element(std::uint8_t z) const {
    return record_or_none(tables::pm6_record(z));
}

double Pm6Model::pair_core_repulsion(const ElementParams& a, const ElementParams& b, double r) const {
    return compute_pair_core_repulsion_pm6(a, b, r);
}

std::pair<double, double> Pm6Model::get_pair_params(std::uint8_t za, std::uint8_t zb) {
    const std::uint8_t lo = std::min(za, zb);
    const std::uint8_t hi = std::max(za, zb);
    if (const tables::PairParams* p = tables::pm6_pair(hi, lo)) return {p->alpha, p->x};
    return {1.2, 0.0};
}

std::optional<ElementParams> Pm7Model::get_element(std::uint8_t z) const {
    return record_or_none(tables::pm7_record(z));
}

double Pm7Model::pair_core_repulsion(const ElementParams& a, const ElementParams& b, double r) const {
    return compute_pair_core_repulsion_pm7(a, b, r);
}

}  // namespace quorin
