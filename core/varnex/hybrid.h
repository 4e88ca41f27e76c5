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

struct HybridAtomicOrbital {
    std::vector<double> coefficients;  // one per AO of the atom: s, px, py, pz, d...
    std::size_t atom = 0;
};

// The orthonormal hybrids of one atom, filed by use.
struct AtomHybrids {
    std::vector<HybridAtomicOrbital> sigma_hybrids;      // one per bond, in bond-list order
    std::vector<HybridAtomicOrbital> pi_hybrids;
    std::vector<HybridAtomicOrbital> lone_pair_hybrids;
    std::vector<HybridAtomicOrbital> virtual_hybrids;
};

struct InitialLmos {
    std::vector<Lmo> occupied;
    std::vector<Lmo> virtuals;
};

// Hybrids of every atom, in atom order.
std::vector<AtomHybrids> construct_atom_hybrids(const MolecularBatch& molecule, const LewisStructure& lewis);

// The starting LMOs of the molecule. Refuses a one-orbital atom bonded to
// two or more atoms ("Atom {} has {} bonds but only one orbital"): it has a
// single hybrid to share between its bonds.
std::variant<InitialLmos, std::string> construct_initial_lmos(const MolecularBatch& molecule,
                                                              const LewisStructure& lewis);

}  // namespace quorin
