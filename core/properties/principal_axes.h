#pragma once
// A molecule turned into its principal axes of inertia: the frame in which
// tensor properties are reported when the caller asks for a canonical
// orientation.
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

struct PrincipalAxesFrame {
    MolecularBatch molecule;  // rotated copy, centroid at the origin
    Matrix axes;              // 3 x 3 proper rotation, principal axes in columns (smallest moment first)
};

// Reads the molecule and returns a rotated copy with the same atoms and
// orbital counts. Each axis points into the half-space where its own
// component is non-negative, with one axis flipped if needed so that the
// axis matrix has determinant +1. An empty molecule gives a copy and the
// identity.
PrincipalAxesFrame align_principal_axes(const MolecularBatch& molecule);

}  // namespace quorin
