#pragma once
// Point-charge multipole description of an atom's charge distributions
// (monopole, sp dipole, pp quadrupole) derived from its element record, and
// the on-atom dipole integrals of its orbital pairs.
#include <array>
#include <cstddef>
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

// One non-zero on-atom dipole integral <i| r_axis |j> = <j| r_axis |i>
// between AOs i < j of the same atom (indices within the atom), in bohr.
struct OnAtomDipoleIntegral {
    std::uint8_t i;
    std::uint8_t j;
    std::uint8_t axis;  // 0 x, 1 y, 2 z
    double value;
};

// The dipole integrals of an atom's own s-p pairs (the sp separation D1 on
// each axis) and, with nine AOs, of its p-d pairs: the pd separation
// D_pd = <r>_pd / sqrt(5) from the p and d exponents, as the d-orbital
// multipoles derive it, times the angular factor of each pair. An atom with
// fewer than four AOs, or hydrogen, has none.
struct OnAtomDipoleIntegrals {
    std::array<OnAtomDipoleIntegral, 14> entries{};
    std::size_t count = 0;
};
OnAtomDipoleIntegrals on_atom_dipole_integrals(const ElementParams& element, std::size_t n_orbitals);

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
