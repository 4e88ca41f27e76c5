#pragma once
// Records shared by the Lewis structure and the localized-orbital SCF: bonds
// and localized molecular orbitals (LMOs).
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quorin {

// One bond of a Lewis structure; atom_i < atom_j.
struct LewisBond {
    std::size_t atom_i = 0;
    std::size_t atom_j = 0;
    std::size_t order = 1;  // 1, 2 or 3
    double distance = 0.0;  // angstrom
};

enum class LmoType : std::uint8_t {
    BondingSigma = 0,
    AntibondingSigma = 1,
    BondingPi = 2,
    AntibondingPi = 3,
    LonePair = 4,
    Core = 5,
    VirtualHybrid = 6,
    ConjugatedPi = 7,
};

// The variant's name, e.g. "BondingSigma".
std::string_view lmo_type_name(LmoType type);

// A localized orbital: a sparse expansion over the basis functions of a few
// atoms.
struct Lmo {
    std::vector<std::size_t> atom_indices;  // [i, j] for a bond (i < j), [a] on one atom
    std::vector<std::size_t> ao_indices;    // global basis indices, ascending
    std::vector<double> coefficients;       // parallel to ao_indices
    std::size_t index = 0;                  // unique over occupied and virtual, creation order
    double energy = 0.0;                    // eV, the starting guess by kind
    bool occupied = false;                  // doubly occupied
    LmoType lmo_type = LmoType::BondingSigma;
};

}  // namespace quorin
