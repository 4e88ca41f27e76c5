#pragma once
// Point-charge multipole description of an atom's charge distributions
// (monopole, sp dipole, pp quadrupole) derived from its element record.
#include <array>
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

// One point charge of a multipole, in the pair frame relative to its nucleus
// (bohr), with the additive value of the multipole it belongs to.
struct MultipoleCharge {
    double q;
    double x;
    double y;
    double z;
    double rho;
};

// A charge distribution of an orbital pair: up to four point charges.
struct ChargeSet {
    std::array<MultipoleCharge, 4> charges{};
    int count = 0;

    void add(double q, double x, double y, double z, double rho) {
        charges[static_cast<std::size_t>(count++)] = {q, x, y, z, rho};
    }
};

// The distributions of one atom's sp orbital pairs in the pair frame.
struct AtomDistributions {
    ChargeSet ss;          // monopole
    ChargeSet sp_sigma;    // dipole along z'
    ChargeSet sp_pi;       // dipole along x'
    ChargeSet pp_sigma;    // monopole + linear quadrupole along z'
    ChargeSet pp_pi;       // monopole + linear quadrupole along x'
    ChargeSet pp_pi2;      // monopole + linear quadrupole along y'
    ChargeSet pp_pisigma;  // square quadrupole in the x'z' plane
};

// The atom's distributions; they depend on the atom alone, so callers that
// need them for many pairs build them once per atom.
AtomDistributions build_distributions(const DerivedMultipoleParams& p);

}  // namespace quorin
