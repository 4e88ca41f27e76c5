#pragma once
// Geometries and models for the gradient tests: the xyz ladder of
// data/molecules and hand-built ones with the heavier main-group elements
// (angstrom).
#include <vector>

#include "common/geometry.h"
#include "core/parameters/parameter_model.h"

namespace quorin::testing {

using fixtures::Geometry;
using fixtures::ladder_molecule;
using fixtures::make_molecule;

inline const MndoModel kMndo;
inline const Am1Model kAm1;
inline const Pm3Model kPm3;
inline const Rm1Model kRm1;
inline const Pm6Model kPm6;
inline const Pm7Model kPm7;
// PM7 is left out where a molecule has more than H and C.
inline const std::vector<const ParameterModel*> kSpModels{&kMndo, &kAm1, &kPm3, &kRm1, &kPm6};
inline const std::vector<const ParameterModel*> kAllModels{&kMndo, &kAm1, &kPm3, &kRm1, &kPm6, &kPm7};

inline Geometry hydrogen_molecule() { return {{1, 1}, {{{0, 0, 0}, {0.05, 0.1, 0.72}}}}; }

inline Geometry formaldehyde() {
    return {{6, 8, 1, 1}, {{{0, 0, 0}, {0.02, 0, 1.22}, {0.94, 0.03, -0.56}, {-0.93, -0.02, -0.55}}}};
}

// CHFCl-SiH2-PH-SH: sp and d-shell atoms in one chain (Si has no RM1 record).
inline Geometry mixed_chain() {
    return {{6, 9, 17, 1, 14, 1, 1, 15, 1, 16, 1},
            {{{0, 0, 0}, {1.34, 0.10, 0.05}, {-0.60, 1.60, 0.10}, {-0.35, -0.55, 0.88},
              {-0.70, -0.95, -1.45}, {-0.20, -2.35, -1.40}, {-2.18, -1.00, -1.30}, {-0.15, -0.05, -3.45},
              {1.25, -0.20, -3.40}, {-0.80, 1.90, -3.70}, {-0.30, 2.20, -4.95}}}};
}

// CHBrI-BH2: boron (no RM1 record) next to the heavy halogens.
inline Geometry boron_halides() {
    return {{6, 35, 53, 1, 5, 1, 1},
            {{{0, 0, 0}, {1.93, 0.05, 0.10}, {-0.75, 2.05, 0.02}, {-0.35, -0.52, 0.90}, {-0.62, -0.80, -1.25},
              {-0.10, -1.85, -1.50}, {-1.62, -0.40, -1.80}}}};
}

// Fe(CH3)2: a 9-orbital atom under PM7 (d integrals with feathering).
inline Geometry iron_dimethyl() {
    return {{26, 6, 6, 1, 1, 1, 1, 1, 1},
            {{{0, 0, 0}, {1.98, 0.05, 0}, {-1.97, 0.02, 0.06}, {2.35, 1.07, 0.02}, {2.37, -0.48, 0.88},
              {2.36, -0.47, -0.89}, {-2.36, 1.03, 0.10}, {-2.33, -0.52, 0.93}, {-2.38, -0.47, -0.84}}}};
}

}  // namespace quorin::testing
