#pragma once
// Point-charge electrostatics of a periodic system beyond the cells a run
// keeps. Inside them the NDDO integrals give the interactions of the atoms'
// charge distributions; past them those are point charges, whose lattice sum
// converges only as 1/r with the cluster radius r in a sheet (a neutral cell's
// atoms sit off its centre, and each sublattice's disc of images looks
// off-centre from the others' atoms) and to a value set by the cell's dipole
// in a crystal. Ewald summation gives the whole sum exactly; the cluster's
// own share is subtracted.
#include <span>

#include "core/pbc/unit_cell.h"
#include "core/types/aligned.h"

namespace quorin {

// phi(i, j) = e^2 sum over every translation R not in `translations` of
// 1 / |r_i - r_j - R|, eV per unit charge squared, for the atoms at
// `positions`. The sums are those of neutral charge sets, defined up to one
// constant common to all pairs (which a neutral cell never feels); in 3D with
// no field from the crystal's surface (Ewald's tin-foil sum). A chain gets
// zeros: its tail falls off as 1/r^2 and the cluster covers it.
Matrix coulomb_beyond(const UnitCell& cell, std::span<const Vec3> positions,
                      std::span<const TranslationIndex> translations);

}  // namespace quorin
