#pragma once
// Atom-centred charges fitted to the molecular electrostatic potential on
// shells of points around the atoms, their total held to a given charge. The
// reference potential is the point model of the NDDO density: net atomic
// charges plus the sp dipole of each heavy atom.
#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "core/parameters/parameter_model.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

struct EspOptions {
    std::vector<double> scale_factors;  // one shell per factor, times the van der Waals radius
    std::uint64_t points_per_shell = 64;
    double total_charge = 0.0;          // e, the sum the fitted charges must have
};

struct EspResult {
    std::vector<double> charges;      // e, atom order
    std::array<double, 3> dipole{};   // Debye, about the coordinate origin
    double dipole_magnitude = 0.0;    // Debye
    double rms_error = 0.0;           // eV
    std::uint64_t num_grid_points = 0;
};

// Van der Waals radius (angstrom) of the point shells; 1.8 for elements
// without an entry.
double esp_vdw_radius(std::uint8_t z);

// The retained shell points (angstrom) in generation order: atom by atom,
// shell by shell, Fibonacci point by point, without those strictly inside
// another atom's van der Waals sphere.
std::vector<std::array<double, 3>> esp_grid_points(const MolecularBatch& molecule, const EspOptions& options);

// Fits charges to the potential of `density` (the closed-shell AO density of
// the molecule). Returns the result, or one of the messages of an empty
// molecule, too few retained points, an element the model lacks or a
// singular system. Storage that cannot be had throws std::bad_alloc.
std::variant<EspResult, std::string> compute_esp_charges(const MolecularBatch& molecule,
                                                         const ParameterModel& model, const Matrix& density,
                                                         const EspOptions& options);

}  // namespace quorin
