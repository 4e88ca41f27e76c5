#pragma once
// PM7 diatomic pair parameters and the PM7 core-core repulsion.
#include <cstdint>
#include <utility>

#include "core/parameters/parameter_model.h"

namespace quorin {

// (alpha_AB in 1/angstrom, x_AB) of a PM7 atom pair; symmetric in za, zb.
// Pairs without an entry of their own take the mean of the two homonuclear
// entries; elements outside the PM7 pair set give (0, 0).
std::pair<double, double> get_pm7_pair_params(std::uint8_t za, std::uint8_t zb);

// PM7 core-core repulsion of one atom pair at distance r (angstrom). eV.
double compute_pair_core_repulsion_pm7(const ElementParams& a, const ElementParams& b, double r);

}  // namespace quorin
