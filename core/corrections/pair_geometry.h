#pragma once
// Atom-pair geometry shared by the pairwise corrections: the separation of two
// atoms and the central force a pair energy E(r) puts on them.
#include <array>
#include <cmath>
#include <cstddef>

#include "core/types/molecule.h"

namespace quorin {

// r_i - r_j (angstrom) and its length.
struct PairSeparation {
    double dx = 0.0;
    double dy = 0.0;
    double dz = 0.0;
    double r = 0.0;
};

inline PairSeparation pair_separation(const MolecularBatch& molecule, std::size_t i, std::size_t j) {
    PairSeparation d;
    d.dx = molecule.x[i] - molecule.x[j];
    d.dy = molecule.y[i] - molecule.y[j];
    d.dz = molecule.z[i] - molecule.z[j];
    d.r = std::sqrt(d.dx * d.dx + d.dy * d.dy + d.dz * d.dz);
    return d;
}

// Adds the gradient of a pair energy, dE/dr (r_i - r_j)/r, to atom i and its
// negative to atom j; `de_dr_over_r` is dE/dr divided by r.
inline void add_pair_gradient(std::array<double, 3>* gradients, std::size_t i, std::size_t j,
                              const PairSeparation& d, double de_dr_over_r) {
    const double g = de_dr_over_r;
    gradients[i][0] += g * d.dx;
    gradients[i][1] += g * d.dy;
    gradients[i][2] += g * d.dz;
    gradients[j][0] -= g * d.dx;
    gradients[j][1] -= g * d.dy;
    gradients[j][2] -= g * d.dz;
}

}  // namespace quorin
