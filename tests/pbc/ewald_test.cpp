#include "core/pbc/ewald.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "core/types/constants.h"

namespace quorin {
namespace {

// Potential (eV) at atom `at` of charges +1 and -1 on atoms 0 and 1 of a
// cell (any further atoms uncharged), from every translation (none kept).
double potential_at(const std::vector<Vec3>& vectors, const std::vector<Vec3>& positions, std::size_t at) {
    const UnitCell cell = std::get<UnitCell>(UnitCell::from_translation_vectors(vectors, vectors.size()));
    const Matrix phi = coulomb_lattice_sum(cell, positions);
    return phi(at, 0) - phi(at, 1);
}

TEST(Ewald, PointChargeLatticeSumsMatchTheirKnownValues) {
    // Rock salt and the checkerboard square sheet with neighbours 1 angstrom
    // apart: V(+) = -M e^2 / 1 angstrom with the Madelung constants M =
    // 1.747564594633 (3D) and 1.615542626713 (2D), standard tabulated values.
    EXPECT_NEAR(potential_at({{0, 1, 1}, {1, 0, 1}, {1, 1, 0}}, {{0, 0, 0}, {1, 0, 0}}, 0),
                -1.747564594633 * kCoulombEvAngstrom, 1e-9);
    EXPECT_NEAR(potential_at({{1, 1, 0}, {1, -1, 0}}, {{0, 0, 0}, {1, 0, 0}}, 0),
                -1.615542626713 * kCoulombEvAngstrom, 1e-9);
    // Square sheets of +1 and -1 charges per square angstrom, 10 angstrom
    // apart: a parallel-plate capacitor, whose field 4 pi sigma e^2 drops the
    // potential between two points 4 angstrom apart across it by 16 pi e^2
    // (to terms of order exp(-2 pi z / a) from the points' heights z).
    const std::vector<Vec3> square = {{1, 0, 0}, {0, 1, 0}};
    const std::vector<Vec3> plates = {{0, 0, 0}, {0.3, 0.1, 10}, {0.5, 0.5, 3}, {0.2, 0.7, 7}};
    EXPECT_NEAR(potential_at(square, plates, 2) - potential_at(square, plates, 3),
                16.0 * std::numbers::pi * kCoulombEvAngstrom, 1e-5);
}

}  // namespace
}  // namespace quorin
