#pragma once
// Directional hybrid orbitals on each atom and the starting localized
// orbitals built from them: two-centre bonds and antibonds, one-centre lone
// pairs and virtual hybrids.
#include <cstddef>
#include <string>
#include <variant>
#include <vector>

#include "core/types/molecule.h"
#include "core/varnex/lewis.h"
#include "core/varnex/types.h"

namespace quorin {

struct InitialLmos {
    std::vector<Lmo> occupied;
    std::vector<Lmo> virtuals;
};

// The starting LMOs of the molecule. On each atom: one sigma hybrid per bond
// (equal s shares over the bonds and lone pairs), then, from the orthogonal
// complement, the pi hybrids of each multiple bond chosen as the pair of
// complement vectors on its two atoms whose p parts overlap most sideways
// (so a pi bond is made of p orbitals across the bond axis, and the two pi
// bonds of a triple or cumulated bond are perpendicular), then lone pairs
// (s-rich first) and virtual hybrids. All orbitals together are orthonormal
// and span the basis. Refuses a one-orbital atom bonded to two or more atoms
// ("Atom {} has {} bonds but only one orbital"): it has a single hybrid to
// share between its bonds.
std::variant<InitialLmos, std::string> construct_initial_lmos(const MolecularBatch& molecule,
                                                              const LewisStructure& lewis);

}  // namespace quorin
