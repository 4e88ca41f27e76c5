#pragma once
// Atomic masses (amu) by atomic number, independent of the parameter model.
#include <cstdint>

namespace quorin {

// Standard atomic weight for 1 <= z <= 92, the pseudo-atom masses of Z 98 and
// 102, and 0.0 for every other z.
double atomic_mass(std::uint8_t z);

}  // namespace quorin
