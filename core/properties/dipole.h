#pragma once
// Atomic charges and the molecular dipole moment of a closed-shell density:
// a point-charge term about an origin plus the hybridisation term (s-p and,
// on atoms with d orbitals, p-d) of each heavy atom.
#include <array>
#include <span>
#include <vector>

#include "core/parameters/parameter_model.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

struct DipoleResult {
    std::vector<double> charges;                     // e, core charge minus diagonal population
    std::array<double, 3> point_charge_dipole{};     // Debye
    double point_charge_dipole_magnitude = 0.0;      // Debye
    std::array<double, 3> hybrid_dipole{};           // Debye, s-p and p-d terms
    double hybrid_dipole_magnitude = 0.0;            // Debye
    std::array<double, 3> total_dipole{};            // Debye
    double total_dipole_magnitude = 0.0;             // Debye
    double total_charge = 0.0;                       // e
    std::array<double, 3> origin{};                  // angstrom
};

// Dipole (Debye) of the charges (e, one per atom) at the atoms' positions,
// about `origin` (angstrom).
std::array<double, 3> point_charge_dipole_debye(const MolecularBatch& molecule, std::span<const double> charges,
                                                const std::array<double, 3>& origin);

// Length of a dipole vector.
double dipole_magnitude(const std::array<double, 3>& dipole);

// Reads the molecule and the n_basis x n_basis density; changes neither.
// Stops with "Parameters missing for element Z=.." for a heavy atom the model
// lacks, and when the density does not match the molecule's basis size.
DipoleResult compute_dipole(const MolecularBatch& molecule, const ParameterModel& model,
                            const Matrix& density);

}  // namespace quorin
