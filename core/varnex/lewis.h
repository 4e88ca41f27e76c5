#pragma once
// Lewis structure from geometry alone: bonds from covalent radii, bond
// orders from the distance relative to the single-bond length, and lone pairs
// from the valence electrons left over.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/types/molecule.h"
#include "core/varnex/types.h"

namespace quorin {

struct LewisStructure {
    std::vector<LewisBond> bonds;  // pairs (i, j) with i ascending, then j ascending
    std::vector<std::pair<std::size_t, std::size_t>> lone_pairs;  // (atom, count), one per atom
    std::vector<std::size_t> bond_counts;  // bonds per atom, whatever their order
};

// Covalent radius (angstrom) and valence-electron count by atomic number.
double covalent_radius(std::uint8_t z);
std::size_t lewis_valence(std::uint8_t z);

// Reads atomic numbers and coordinates only; never fails.
LewisStructure construct_lewis_structure(const MolecularBatch& molecule);

}  // namespace quorin
