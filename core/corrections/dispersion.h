#pragma once
// Empirical pairwise dispersion: a damped -C6/r^6 energy on the geometry
// alone, in three forms. Energies in kcal/mol, gradients in kcal/mol/angstrom.
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "core/types/molecule.h"

namespace quorin {

// The dispersion form as a small integer.
using DispersionModel = std::uint8_t;
inline constexpr DispersionModel kDispersionPm6DhPlus = 0;  // Fermi-damped C6
inline constexpr DispersionModel kDispersionPm7 = 1;        // Fermi-damped C6, own scaling
inline constexpr DispersionModel kDispersionD3Bj = 2;       // Becke-Johnson-damped C6 + C8

// The dispersion form of an upper-cased name ("PM6-DH+", "PM7", "D3-BJ" and
// their other spellings); refuses any other name with RequestError "Unknown
// dispersion model '<name>'. Supported: 'PM6-DH+', 'PM7', 'D3-BJ'".
DispersionModel dispersion_model_named(const std::string& upper_name);

// Dispersion energy (kcal/mol); its analytic gradient is added into
// `gradients_kcal_mol_angstrom`, one row per atom. Stops when the row count
// differs from the atom count or `model` is not 0, 1 or 2.
double compute_dispersion_energy_and_gradients(
    const MolecularBatch& molecule, DispersionModel model,
    std::span<std::array<double, 3>> gradients_kcal_mol_angstrom);

// The same energy without the gradient.
double compute_dispersion_energy(const MolecularBatch& molecule, DispersionModel model);

}  // namespace quorin
