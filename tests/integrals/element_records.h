#pragma once
// Element records of the integral tests, taken from the method tables.
#include <cstdint>

#include "core/parameters/parameter_model.h"

namespace quorin::test {

inline ElementParams mndo(std::uint8_t z) { return *MndoModel().get_element(z); }
inline ElementParams pm6(std::uint8_t z) { return *Pm6Model().get_element(z); }

}  // namespace quorin::test
