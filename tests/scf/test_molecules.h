#pragma once
// Small test molecules and rigid motions shared by the SCF, core-Hamiltonian
// and Fock tests.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/parameters/parameter_model.h"
#include "core/types/molecule.h"

namespace quorin::fixtures {

using Rotation = std::array<std::array<double, 3>, 3>;

struct Geometry {
    std::vector<std::uint8_t> z;
    std::vector<std::array<double, 3>> xyz;  // angstrom
};

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

inline MolecularBatch make_molecule(const Geometry& g, const ParameterModel& model) {
    return MolecularBatch::new_for_model(g.z, g.xyz, model);
}

// Rotation about an axis by an angle (Rodrigues).
inline Rotation rotation_matrix(std::array<double, 3> axis, double angle) {
    const double len = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    const double x = axis[0] / len, y = axis[1] / len, z = axis[2] / len;
    const double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
    return {{{{t * x * x + c, t * x * y - s * z, t * x * z + s * y}},
             {{t * x * y + s * z, t * y * y + c, t * y * z - s * x}},
             {{t * x * z - s * y, t * y * z + s * x, t * z * z + c}}}};
}

inline std::array<double, 3> rotate(const Rotation& r, const std::array<double, 3>& v) {
    std::array<double, 3> out{};
    for (int i = 0; i < 3; ++i) out[i] = r[i][0] * v[0] + r[i][1] * v[1] + r[i][2] * v[2];
    return out;
}

inline Geometry moved(Geometry g, const Rotation& r, const std::array<double, 3>& shift) {
    for (auto& p : g.xyz) {
        p = rotate(r, p);
        for (int k = 0; k < 3; ++k) p[k] += shift[k];
    }
    return g;
}

inline Geometry reversed(Geometry g) {
    std::reverse(g.z.begin(), g.z.end());
    std::reverse(g.xyz.begin(), g.xyz.end());
    return g;
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
