#pragma once
// External point charges (x, y, z in angstrom, q in elementary charges) acting
// on the electrons and cores of the molecule.
#include <array>
#include <cstddef>
#include <span>

#include "core/parameters/parameter_model.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

using PointCharge = std::array<double, 4>;

// Adds the damped potential energy of an electron on each atom,
// -e2 q / sqrt(R^2 + rho_A^2), to the atom's diagonal. Uses the first
// min(count, charges.size()) charges.
void apply_external_charges_to_hcore(const MolecularBatch& molecule, const ParameterModel& model,
                                     std::span<const PointCharge> charges, std::size_t count, Matrix& h);

// Undamped charge-core energy sum e2 q Z_A / R (eV); pairs closer than 1e-8
// angstrom contribute nothing.
double compute_external_charges_core_energy(const MolecularBatch& molecule, const ParameterModel& model,
                                            std::span<const PointCharge> charges, std::size_t count);

}  // namespace quorin
