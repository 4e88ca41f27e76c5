#pragma once
// AM1-BCC charges: initial atomic charges plus bond charge corrections
// looked up by the elements, hybridisation classes and orders of the bonds
// of a Lewis structure perceived from the geometry.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/types/molecule.h"

namespace quorin {

enum class Hybridization : std::uint8_t {
    Sp3 = 0,
    Sp2 = 1,
    Sp = 2,
    Aromatic = 3,  // member of a six-ring of atoms with fewer than four bonds
    Terminal = 4,  // fewer than two bonds
};

struct Am1BccResult {
    std::vector<double> initial_charges;          // e, atom order
    std::vector<double> bond_charge_corrections;  // e, net per atom
    std::vector<double> bcc_charges;              // e, initial + correction
    double total_charge = 0.0;                    // e, sum of bcc_charges
};

// Charge (e) moved from the second atom of a bond to the first; swapping the
// two atoms negates it. Pairs without a table entry give 0.
double lookup_bcc_delta(std::uint8_t z_i, Hybridization class_i, std::uint8_t z_j, Hybridization class_j,
                        std::size_t order);

// The corrected charges, or a message when the number of initial charges
// differs from the atom count.
std::variant<Am1BccResult, std::string> compute_am1_bcc_charges(const MolecularBatch& molecule,
                                                                 std::span<const double> initial_charges);

}  // namespace quorin
