#pragma once
// PM7 diatomic pair parameters.
#include <cstdint>
#include <utility>

namespace quorin {

// (alpha_AB in 1/angstrom, x_AB) of a PM7 atom pair; symmetric in za, zb.
// Pairs without an entry of their own take the mean of the two homonuclear
// entries; elements outside the PM7 pair set give (0, 0).
std::pair<double, double> get_pm7_pair_params(std::uint8_t za, std::uint8_t zb);

}  // namespace quorin
