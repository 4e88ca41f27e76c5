#pragma once
// Small test molecules and an edited parameter model shared by the topic
// tests (SCF, Hamiltonian, Fock, gradients, CI, periodic, properties).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "common/geometry.h"
#include "core/parameters/parameter_model.h"

namespace quorin::fixtures {

inline Geometry hydrogen_molecule(double r = 0.74) { return {{1, 1}, {{{0, 0, 0}}, {{0, 0, r}}}}; }
inline Geometry water() { return {{8, 1, 1}, {{{0, 0, 0}}, {{0.759, 0.588, 0}}, {{-0.759, 0.588, 0}}}}; }
inline Geometry methane() {
    const double a = 1.09 / std::sqrt(3.0);
    return {{6, 1, 1, 1, 1}, {{{0, 0, 0}}, {{a, a, a}}, {{-a, -a, a}}, {{-a, a, -a}}, {{a, -a, -a}}}};
}
inline Geometry ammonia() {
    return {{7, 1, 1, 1}, {{{0, 0, 0.11}}, {{0.95, 0, -0.25}}, {{-0.47, 0.82, -0.25}}, {{-0.48, -0.83, -0.26}}}};
}
inline Geometry formaldehyde() {
    return {{6, 8, 1, 1}, {{{0, 0, 0}}, {{0, 0, 1.21}}, {{0.94, 0, -0.59}}, {{-0.94, 0, -0.59}}}};
}

// Forwards to another model, minus some elements and with an optional edit
// of every record.
class EditedModel final : public ParameterModel {
public:
    using Edit = void (*)(ElementParams&);
    EditedModel(const ParameterModel& base, std::vector<std::uint8_t> dropped, Edit edit = nullptr)
        : base_(base), dropped_(std::move(dropped)), edit_(edit) {}
    std::optional<ElementParams> get_element(std::uint8_t z) const override {
        if (std::find(dropped_.begin(), dropped_.end(), z) != dropped_.end()) return std::nullopt;
        std::optional<ElementParams> e = base_.get_element(z);
        if (e && edit_) edit_(*e);
        return e;
    }
    std::string_view name() const override { return base_.name(); }
    double pair_core_repulsion(const ElementParams& a, const ElementParams& b, double r) const override {
        return base_.pair_core_repulsion(a, b, r);
    }

private:
    const ParameterModel& base_;
    std::vector<std::uint8_t> dropped_;
    Edit edit_;
};

}  // namespace quorin::fixtures
