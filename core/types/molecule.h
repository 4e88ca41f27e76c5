#pragma once
// One molecule, one geometry, as structure-of-arrays: coordinates in angstrom
// and the atomic-orbital bookkeeping every integral and SCF routine indexes by.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/types/aligned.h"

namespace quorin {

class ParameterModel;

struct MolecularBatch {
    Vec64 x;
    Vec64 y;
    Vec64 z;
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::uint8_t> orbitals_per_atom;
    std::vector<std::size_t> first_orbital;
    std::size_t n_atoms = 0;
    std::size_t n_basis = 0;

    // Coordinates along one axis (0 x, 1 y, 2 z).
    Vec64& axis(std::size_t k) { return k == 0 ? x : (k == 1 ? y : z); }

    // Orbital counts given per atom. Stops with "Atomic numbers and coordinates
    // length mismatch" or "Atomic numbers and basis types length mismatch".
    static MolecularBatch new_with_basis(std::vector<std::uint8_t> atomic_numbers,
                                         std::span<const std::array<double, 3>> coordinates,
                                         std::vector<std::uint8_t> basis);
    // Orbital counts from the model's basis_type; the entry points' constructor.
    static MolecularBatch new_for_model(std::vector<std::uint8_t> atomic_numbers,
                                        std::span<const std::array<double, 3>> coordinates,
                                        const ParameterModel& model);
    // Orbital counts from a fixed rule on Z, for callers without a model.
    static MolecularBatch new_by_atomic_number(std::vector<std::uint8_t> atomic_numbers,
                                               std::span<const std::array<double, 3>> coordinates);
};

// The coordinates as one (x, y, z) triple per atom, angstrom.
std::vector<std::array<double, 3>> coordinate_triples(const MolecularBatch& molecule);

// Writes one (x, y, z) triple per atom into the coordinate arrays.
void set_coordinates(MolecularBatch& molecule, std::span<const std::array<double, 3>> coordinates);

// The atom's electron population in the orthogonal basis: the sum of the
// density's diagonal over its AOs.
double diagonal_population(const MolecularBatch& molecule, const Matrix& density, std::size_t atom);

// The fixed orbital-count rule of new_by_atomic_number.
std::uint8_t default_orbital_count(std::uint8_t z);

}  // namespace quorin
