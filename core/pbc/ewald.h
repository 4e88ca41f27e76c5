#pragma once
// Point-charge electrostatics of a periodic system: the lattice sums of
// 1/r between the atoms of a cell and all their images. A sheet's sum
// converges only as 1/r with the radius it is taken to, a crystal's to a
// value set by the cluster's shape and the cell's dipole; Ewald summation
// gives both exactly. A chain's is summed directly, images paired about
// the home cell.
#include <span>

#include "core/pbc/unit_cell.h"
#include "core/types/aligned.h"

namespace quorin {

// phi(i, j) = e^2 sum over every translation R of 1 / |r_i - r_j - R|, R = 0
// left out for i = j, eV per unit charge squared, for the atoms at
// `positions`. The sums are those of neutral charge sets, defined up to one
// constant common to all pairs (which a neutral cell never feels); in 3D with
// no field from the crystal's surface (Ewald's tin-foil sum).
Matrix coulomb_lattice_sum(const UnitCell& cell, std::span<const Vec3> positions);

}  // namespace quorin
