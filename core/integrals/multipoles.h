#pragma once
// NDDO two-centre two-electron and electron-core integrals of s and p
// orbitals from point-charge multipoles, their rotation to the molecular
// frame, and the assembly of pair-table terms into H and F.
#include <array>
#include <cstddef>
#include <span>

#include "core/integrals/multipole_params.h"
#include "core/integrals/pair_integrals.h"
#include "core/types/aligned.h"

namespace quorin {

// Pair frame: z' from A to B, x' and y' completing a right-handed set.
struct DiatomicRotation3D {
    // Rows z', x', y'; columns the molecular x, y, z components.
    std::array<std::array<double, 3>, 3> axes{};
    // pair_transform[p(mu, nu)][p(a, b)]: weight of the local orbital pair
    // (a, b) in the molecular pair (mu, nu); orbitals s, x', y', z' locally
    // and s, px, py, pz in the molecule.
    std::array<std::array<double, 10>, 10> pair_transform{};

    // (dx, dy, dz) = position of B minus position of A and r its length, angstrom.
    static DiatomicRotation3D from_direction(double dx, double dy, double dz, double r);
};

// Weight of the multipole value in the blend towards the point-charge limit
// (1 - exp(-0.22 (r - 7)^2) below 7 angstrom, 0 from 7 angstrom on).
double feathering_weight(double r_angstrom);

// The 22 local-frame integrals (eV) of the sp charge distributions of A and
// B at distance r (angstrom); da and db are the atoms' build_distributions,
// made once per atom by callers with many pairs.
void compute_22_multipoles(std::span<double, 22> out, const DerivedMultipoleParams& a,
                           const DerivedMultipoleParams& b, const AtomDistributions& da,
                           const AtomDistributions& db, double r);

// Rotates the 22 local values into the molecular-frame block
// w[p_A * n_pairs(norb_b) + p_B]; entries beyond the used block are zeroed.
void rotate_multipoles_to_w(std::size_t norb_a, std::size_t norb_b,
                            std::span<const double, 22> local, const DiatomicRotation3D& rotation,
                            double* w, std::size_t w_len);

// Electron-core attraction vectors of both atoms (eV, by packed pair), with
// the atoms' build_distributions.
void compute_electron_nuclear_attraction(std::size_t norb_a, std::size_t norb_b,
                                         const DerivedMultipoleParams& a,
                                         const DerivedMultipoleParams& b, const AtomDistributions& da,
                                         const AtomDistributions& db, const DiatomicRotation3D& rotation,
                                         double* e1b, std::size_t e1b_len, double* e2a, std::size_t e2a_len,
                                         bool use_feathering, double core_charge_a,
                                         double core_charge_b, double r);

// Adds every record's e1b and e2a to the diagonal blocks of H.
void apply_electron_nuclear_attractions(std::span<const DiatomicPairIntegrals> pairs,
                                        Matrix& core_hamiltonian);

// Adds the two-centre Coulomb and exchange terms of density P (both spins) to F.
void assemble_nddo_two_center_fock(std::span<const DiatomicPairIntegrals> pairs,
                                   const Matrix& density, Matrix& fock);

}  // namespace quorin
