#pragma once
// Geometries of tests/varnex/molecules by file stem (each file's comment line
// says how it was built).
#include <string>

#include "common/geometry.h"

namespace quorin::fixtures {

inline Geometry varnex_molecule(const std::string& name) {
    bench::Molecule m;
    bench::read_named(std::string(QUORIN_MOLECULES_DIR) + "/../../tests/varnex/molecules", name, m);
    return {std::move(m.atomic_numbers), std::move(m.coordinates)};
}

}  // namespace quorin::fixtures
