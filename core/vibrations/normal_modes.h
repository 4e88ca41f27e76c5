#pragma once
// Harmonic analysis of a Cartesian Hessian: mass weighting, optional removal
// of the overall translations and rotations, diagonalisation, signed
// frequencies and normal modes.
#include <array>
#include <span>
#include <vector>

#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

struct NormalMode {
    double frequency_cm1 = 0.0;  // negative for an imaginary mode
    double reduced_mass_amu = 0.0;
    double force_constant_mdyne_a = 0.0;
    std::vector<std::array<double, 3>> displacements;  // per atom, unit norm over all atoms
};

struct NormalModeAnalysis {
    Matrix mass_weighted_hessian;                      // kcal/(mol angstrom^2 amu), never projected
    std::vector<double> all_frequencies_cm1;           // 3N, ascending
    std::vector<double> vibrational_frequencies_cm1;   // external modes removed, ascending
    std::vector<NormalMode> normal_modes;              // 3N, in the order of all_frequencies_cm1
};

// A vibrational frequency below this (cm^-1) is imaginary; smaller
// magnitudes are within the numerical noise of a finite-difference Hessian.
inline constexpr double kImaginaryFrequencyCm1 = -10.0;

// How many of `frequencies_cm1` lie below kImaginaryFrequencyCm1.
std::size_t count_imaginary_frequencies(std::span<const double> frequencies_cm1);

// sqrt(kcal/(mol angstrom^2 amu)) to cm^-1.
inline constexpr double kHessianEigenvalueToWavenumber = 108.59135859237747;
// nu (cm^-1) at which a unit reduced mass has a force constant of 1 mdyn/angstrom.
inline constexpr double kWavenumberPerSqrtMdyneAngstrom = 1302.7937;

// Mass-weighted mean position (angstrom), one mass per atom.
std::array<double, 3> centre_of_mass(const MolecularBatch& molecule, std::span<const double> masses_amu);

// The rigid-body motions in mass-weighted coordinates (translations
// sqrt(m) e_c, then rotations sqrt(m) (axis x r) about the principal axes of
// inertia through the mass centre, without the rotation about the molecule's
// own axis when is_linear_molecule calls it linear), orthonormalised in that
// order into the leading rows of the 6 x 3N `basis`; returns how many there
// are (6; 5 for a linear molecule; 3 for one atom). analyze_normal_modes
// takes that many modes as external.
std::size_t external_motion_basis(const MolecularBatch& molecule, std::span<const double> masses, Matrix& basis);

// hessian := (1 - E^T E) hessian (1 - E^T E) + curvature E^T E for a
// symmetric `hessian` and the `count` (at most 6) orthonormal leading rows E
// of `basis`: the rigid-body motions projected out and given the curvature.
// `scratch` has at least `count` rows of the Hessian's width.
void project_external_motions(const Matrix& basis, std::size_t count, double curvature, Matrix& scratch,
                              Matrix& hessian);

// The one linearity rule of the vibrational analysis, the thermochemistry,
// the rigid-body projections and the dynamics' degrees of freedom: fewer
// than three atoms; a rotation about the axis of the smallest principal
// moment of inertia (one positive mass per atom) that moves no atom by as much
// as 1e-3 angstrom per radian, below what a finite-difference Hessian
// resolves, whatever the masses; or atoms that, taken in their order
// along that axis, form a chain turning by less than 2 degrees at every atom,
// more than what an optimisation of a linear molecule to the default
// tolerances leaves (up to about 1.3 degrees) and less than a molecule bent
// by 3 degrees.
bool is_linear_molecule(const MolecularBatch& molecule, std::span<const double> masses);

// Analyses a symmetric 3N x 3N Cartesian Hessian (kcal/(mol angstrom^2)) with
// one positive mass (amu) per atom. With `project_external` and more than one
// atom, the translations and rigid rotations about the centre of mass are
// projected out before diagonalisation. The 3 (one atom), 5 (linear) or 6
// modes of smallest |eigenvalue| are the external ones.
NormalModeAnalysis analyze_normal_modes(const MolecularBatch& molecule, const Matrix& cartesian_hessian,
                                        std::span<const double> masses_amu, bool project_external);

}  // namespace quorin
