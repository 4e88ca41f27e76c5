#pragma once
// Weighted point grids on the unit sphere from a subdivided, rotated icosahedron.
#include <cstddef>
#include <vector>

namespace quorin {

struct SpherePoint {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double weight = 0.0;  // steradians; the weights of one grid sum to 4*pi
};

// The grid of exactly `nppa` points (12, 42 or 1082; anything else stops with
// "nppa must be 12, 42, or 1082"). The same count always gives the same points
// in the same order.
std::vector<SpherePoint> generate_sphere_tessellation(std::size_t nppa);

}  // namespace quorin
