#pragma once
// Rigid superposition of one coordinate set onto another: the translation and
// proper rotation that minimise the summed squared distances between atoms of
// equal index, from the largest eigenvector of a 4 x 4 quaternion matrix.
#include <array>
#include <span>
#include <utility>
#include <vector>

namespace quorin {

// The mobile set moved onto the target (its centroid on the target's) and
// the remaining distance: the length of the whole 3n-component difference,
// angstrom (not an RMSD). No reflection is ever applied. Stops when the
// counts differ.
std::pair<std::vector<std::array<double, 3>>, double> dock(std::span<const std::array<double, 3>> target,
                                                           std::span<const std::array<double, 3>> mobile);

}  // namespace quorin
