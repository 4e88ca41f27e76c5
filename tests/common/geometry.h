#pragma once
// Test geometries shared across topics: a plain (Z, xyz) record, the XYZ
// files of data/molecules, and rigid motions.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_common.h"
#include "core/parameters/parameter_model.h"
#include "core/types/molecule.h"

namespace quorin::fixtures {

struct Geometry {
    std::vector<std::uint8_t> z;
    std::vector<std::array<double, 3>> xyz;  // angstrom
};

inline MolecularBatch make_molecule(const Geometry& g, const ParameterModel& model) {
    return MolecularBatch::new_for_model(g.z, g.xyz, model);
}

// A molecule of data/molecules by file stem, read by the benchmarks' reader.
inline Geometry ladder_molecule(const std::string& name) {
    bench::Molecule m;
    bench::read_named(QUORIN_MOLECULES_DIR, name, m);
    return {std::move(m.atomic_numbers), std::move(m.coordinates)};
}

using Rotation = std::array<std::array<double, 3>, 3>;

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

// Rotated about the origin, then shifted.
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

}  // namespace quorin::fixtures
