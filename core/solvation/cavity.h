#pragma once
// The solvent-accessible molecular surface as weighted segments: one sphere per
// atom, fine grid points buried by other atoms removed, survivors gathered onto
// a coarse grid of 12 (hydrogen) or 42 (other elements) segments per atom.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/types/molecule.h"

namespace quorin {

// A small exposed patch that straddles the border of two coarse cells gives
// two segments whose centres can nearly coincide; as point charges they would
// repel far more than either segment repels itself, and the screening problem
// would have no solution. Two segments of one atom closer than this fraction
// of (area_s area_t)^(1/4) are therefore one segment, built from the fine
// points of both. Segments of one atom keep their distance as the atoms move,
// so joining them steps the energy only where a fine point is buried or
// exposed, as the cavity does anyway. At this fraction the segments' mutual
// interaction is at most 0.77 of the geometric mean of their self terms.
inline constexpr double kCoincidentSegmentFraction = 0.35;

struct CavitySegment {
    std::array<double, 3> position{};  // angstrom, on the atom's sphere
    double area = 0.0;                 // angstrom^2
    std::array<double, 3> normal{};    // outward unit normal
    std::size_t atom = 0;
};

struct CosmoCavity {
    std::vector<CavitySegment> segments;  // by atom, then by coarse-point index
    double total_area = 0.0;              // angstrom^2
    double volume = 0.0;                  // angstrom^3, divergence-theorem estimate

    // Stops with "Molecular batch cannot be empty for COSMO" for a molecule
    // without atoms; an empty segment list is a legal result.
    static CosmoCavity construct(const MolecularBatch& molecule, double solvent_radius_angstrom);
};

// Cavity sphere radius (angstrom) of an element.
double cosmo_atomic_radius_angstrom(std::uint8_t z);

}  // namespace quorin
