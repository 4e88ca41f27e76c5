#pragma once
// PM7 diatomic pair parameters and the core radius of its core-core term.
#include <cstdint>
#include <utility>

#include "core/parameters/parameter_model.h"

namespace quorin {

// (alpha_AB in 1/angstrom, x_AB) of a PM7 atom pair; symmetric in za, zb.
// Pairs without an entry of their own take the mean of the two homonuclear
// entries; elements outside the PM7 pair set give (0, 0).
std::pair<double, double> get_pm7_pair_params(std::uint8_t za, std::uint8_t zb);

// Klopman-Ohno radius (angstrom) of an atom's core in the PM7 core-core
// term: the core additive term of its d-element row where the row gives one
// (the radius its core has in the electron-core attractions, so that neutral
// atoms far apart do not attract), else e2 / (2 g_ss).
double pm7_core_radius_angstrom(const ElementParams& element);

}  // namespace quorin
