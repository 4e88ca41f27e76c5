#pragma once
// Atomic masses (amu) by atomic number, independent of the parameter model.
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// Standard atomic weight for 1 <= z <= 92, the pseudo-atom masses of Z 98 and
// 102, and 0.0 for every other z.
double atomic_mass(std::uint8_t z);

// Centre of mass (angstrom) with the table masses; the origin when the
// molecule has no mass.
std::array<double, 3> table_centre_of_mass(const MolecularBatch& molecule);

// Stops naming the first atom whose table mass is 0, "No atomic mass is
// tabulated for atom <a> (Z=<z>)" followed by `remedy`.
void require_tabulated_masses(const MolecularBatch& molecule, const std::string& remedy = "");

// Adds the inertia tensor (amu angstrom^2) about `centre`, one mass per atom,
// to the upper triangle of the 3 x 3 `inertia` and mirrors it into the lower.
void add_inertia_tensor(const MolecularBatch& molecule, std::span<const double> masses_amu,
                        const std::array<double, 3>& centre, Matrix& inertia);

}  // namespace quorin
