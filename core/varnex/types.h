#pragma once
// Records shared by the Lewis structure and the localized-orbital SCF.
#include <cstddef>

namespace quorin {

// One bond of a Lewis structure; atom_i < atom_j.
struct LewisBond {
    std::size_t atom_i = 0;
    std::size_t atom_j = 0;
    std::size_t order = 1;  // 1, 2 or 3
    double distance = 0.0;  // angstrom
};

}  // namespace quorin
