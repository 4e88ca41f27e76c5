#pragma once
// Point-charge multipole description of an atom's charge distributions
// (monopole, sp dipole, pp quadrupole) derived from its element record.
#include <cstdint>

#include "core/parameters/parameter_model.h"

namespace quorin {

struct DerivedMultipoleParams {
    double d1 = 0.0;    // sp charge separation, bohr
    double d2 = 0.0;    // pp charge separation, bohr
    double am = 0.0;    // monopole additive value, hartree (= bohr^-1)
    double ad = 0.0;    // dipole additive value
    double aq = 0.0;    // quadrupole additive value
    double rho0 = 0.0;  // bohr
    double rho1 = 0.0;  // bohr
    double rho2 = 0.0;  // bohr
    std::uint8_t atomic_number = 0;

    static DerivedMultipoleParams from_element(const ElementParams& element);
};

}  // namespace quorin
