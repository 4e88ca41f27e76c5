#pragma once
// Empirical correction of computed polarisabilities: a per-method linear
// relation between the computed and the experimental volume plus an
// increment for every atom of the molecule.
#include <cstdint>
#include <span>
#include <string_view>

namespace quorin {

// Ångström^3 per atomic unit (bohr^3) of polarisability.
inline constexpr double kPolarizabilityAuToAngstrom3 = 0.1481847114721628;

// Maps one polarisability (atomic units) through the relation of `method`
// (the model's name, compared case-insensitively) and returns it in atomic
// units. Methods without a fitted relation (RM1 and any unknown name) return
// the value unchanged.
double compute_pol_vol(double value_au, std::string_view method, std::span<const std::uint8_t> atomic_numbers);

}  // namespace quorin
