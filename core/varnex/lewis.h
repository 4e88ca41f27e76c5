#pragma once
// Lewis structures from geometry. Bonds come from covalent radii. Two readings
// of the bond orders: from each distance relative to the single-bond length
// alone (construct_lewis_structure), or from the electrons each atom has left
// for pi bonds and lone pairs, shared out over the whole molecule
// (perceive_lewis_structure).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>
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

// Orders from distances, lone pairs from the valence electrons the orders
// leave. Reads atomic numbers and coordinates only; never fails.
LewisStructure construct_lewis_structure(const MolecularBatch& molecule);

// A closed-shell Lewis structure on the same bonds, independent of the atom
// order: pi bonds by a maximum matching over the atoms whose valence asks for
// them (two on one bond make a triple bond, one on each side of an atom a
// cumulated pair), lone pairs from the electrons left over, and formal
// charges where the neutral atoms cannot pair up (a lone pair turned into a
// pi bond, an unpaired electron given to the more electronegative atom).
// `valence_electrons` holds one count per atom; each atom has
// `orbitals_per_atom` orbitals. Refuses, with the reason, what has no such
// structure: a one-orbital atom with several bonds, an atom with more bonds
// than orbitals, an odd electron count, or electrons that cannot be placed.
std::variant<LewisStructure, std::string> perceive_lewis_structure(const MolecularBatch& molecule,
                                                                   std::span<const std::size_t> valence_electrons);

// Each atom's formal charge in the structure: its valence electrons less two
// per lone pair and one per bond order.
std::vector<int> formal_charges(const LewisStructure& lewis, std::span<const std::size_t> valence_electrons);

}  // namespace quorin
