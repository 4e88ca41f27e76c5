#pragma once
// Continuum solvation: screening charges on the cavity surface that answer the
// potential of the solute's nuclei and electrons, and the reaction field they
// add to the core Hamiltonian and the Fock matrix.
//
// Lengths in angstrom, charges in elementary charges, potentials in e/angstrom,
// energies in eV.
#include <cmath>
#include <cstddef>
#include <vector>

#include "core/parameters/parameter_model.h"
#include "core/solvation/cavity.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// Scaling of the conductor charges in a dielectric: -(eps - 1)/(eps + 0.5) for
// eps > 1, zero (no screening) for eps <= 1.
double cosmo_dielectric_factor(double epsilon);

// Self term of a segment in the segment interaction matrix, A_ss =
// kSegmentSelfInteraction / sqrt(area) = 1.05 sqrt(4 pi / area): the
// potential at the centre of a uniformly charged disc of that area per unit
// charge, slightly enlarged.
inline constexpr double kSegmentSelfInteraction = 3.7221530869015833;

// Interaction of the charges of two segments a distance r apart in the
// segment interaction matrix A: 1/r, except for segments of different atoms
// closer than r0 = 1.5 sqrt(area_s + area_t) / kSegmentSelfInteraction, where
// one charge sees the other as a uniformly charged ball of radius r0,
// (3 r0^2 - r^2) / (2 r0^3). The two forms meet with equal slope at r0, and
// at r = 0 the value is the self term of one segment holding both areas, so
// that two segments that meet as their atoms move keep A positive definite.
// Normal cavities have no such pair (they lie beyond 0.7 sqrt(area_s +
// area_t)); segments of one atom never meet (kCoincidentSegmentFraction).
// `slope_over_r` is -(dA/dr) / r, what the gradient needs.
struct SegmentCoupling {
    double value = 0.0;
    double slope_over_r = 0.0;
};
inline SegmentCoupling segment_coupling(const CavitySegment& s, const CavitySegment& t, double r) {
    constexpr double kBallRadius2 = 2.25 / (kSegmentSelfInteraction * kSegmentSelfInteraction);
    const double r0_sq = kBallRadius2 * (s.area + t.area);
    if (s.atom == t.atom || r * r >= r0_sq) return {1.0 / r, 1.0 / (r * r * r)};
    const double r0 = std::sqrt(r0_sq);
    const double inverse_cube = 1.0 / (r0_sq * r0);
    return {0.5 * (3.0 * r0_sq - r * r) * inverse_cube, inverse_cube};
}

// Everything one SCF run needs for solvation. Built once per run by
// `initialize`; the per-iteration vectors are overwritten by
// `apply_electronic_reaction_field_to_fock`, which allocates nothing.
struct CosmoState {
    CosmoCavity cavity;       // M = cavity.segments.size()
    Matrix cholesky_factor;   // M x M, lower factor L of the segment matrix A
    // Potentials (1/angstrom) that the orbital products of one atom create on
    // every segment. Products of orbitals on different atoms have no such term,
    // so only the one-centre blocks are kept: rows are the packed pairs
    // p(mu, nu) = mu(mu+1)/2 + nu (mu >= nu, local indices) of each atom in turn,
    // starting at atom_pair_row[atom]; columns are the M segments.
    Matrix b_matrix;
    Vec64 phi_nuclear;     // M, potential of the cores
    Vec64 q_nuclear;       // M, screening charges of the cores
    Vec64 phi_electronic;  // M, potential of the electrons (per iteration)
    Vec64 solution;        // M, last solution of L L^T x = phi
    Vec64 q_electronic;    // M, screening charges of the electrons (per iteration)
    Vec64 scratch;         // M, work vector of the triangular solves
    double epsilon = 1.0;
    double solvent_radius = 0.0;  // angstrom
    double nuclear_energy = 0.0;  // eV
    std::size_t n_basis = 0;
    // Orbital layout per atom; atom_orbitals is 0 for an atom the model has no
    // parameters for (it takes no part in the reaction field).
    std::vector<std::size_t> atom_first_orbital;
    std::vector<std::size_t> atom_orbitals;
    std::vector<std::size_t> atom_pair_row;
    // Per atom: core charge and the dipole (D1) and quadrupole (D2) lengths of
    // the point-multipole model in angstrom (0 for atoms without p orbitals or
    // parameters); the nuclear-gradient terms differentiate the same potentials.
    std::vector<double> atom_core_charge;
    std::vector<double> atom_d1_angstrom;
    std::vector<double> atom_d2_angstrom;

    // Stops with "COSMO dielectric constant must be a finite number" for a
    // non-finite epsilon, "COSMO solvent radius must be a finite number" and
    // "Molecular batch cannot be empty for COSMO". Refuses (RequestError)
    // with "COSMO cavity must contain at least one segment", and with "COSMO
    // segment interaction matrix is not positive definite (pivot <i>, value
    // <v>)" followed by the most strongly coupled pair of segments, their
    // atoms and distance, when A cannot be factorised.
    static CosmoState initialize(const MolecularBatch& molecule, const ParameterModel& model,
                                 double epsilon, double solvent_radius_angstrom);

    // H += -e^2 * sum_s B(mu nu, s) q_nuc(s); call once after H is built.
    void apply_nuclear_reaction_field_to_hcore(Matrix& hcore) const;

    // Recomputes the electronic potential and screening charges from the
    // density, adds their reaction field to the Fock matrix and returns the
    // dielectric energy (eV). Call once per iteration after the Fock build.
    double apply_electronic_reaction_field_to_fock(const Matrix& density, Matrix& fock);

    // Recomputes phi_electronic, solution and q_electronic from the density
    // without touching any Fock matrix; returns the dielectric energy (eV).
    double update_electronic_charges(const Matrix& density);

    // B(mu nu, s) in 1/angstrom for any pair of basis functions (zero when the
    // two functions sit on different atoms).
    double b_element(std::size_t mu, std::size_t nu, std::size_t segment) const;
};

}  // namespace quorin
