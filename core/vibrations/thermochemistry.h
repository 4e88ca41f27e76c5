#pragma once
// Zero-point energy and rigid-rotor harmonic-oscillator ideal-gas
// thermochemistry of one molecule from its harmonic frequencies.
#include <cstddef>
#include <span>

#include "core/types/molecule.h"

namespace quorin {

struct Thermodynamics {
    double temperature_k = 0.0;
    double pressure_atm = 0.0;
    double zpve_kcal_mol = 0.0;
    double e_vib_cal_mol = 0.0;             // thermal part only, zero point excluded
    double e_rot_cal_mol = 0.0;
    double e_trans_cal_mol = 0.0;
    double enthalpy_thermal_cal_mol = 0.0;  // H(T) - H(0)
    double cv_vib_cal_k_mol = 0.0;
    double cv_rot_cal_k_mol = 0.0;
    double cp_trans_cal_k_mol = 0.0;
    double cp_total_cal_k_mol = 0.0;
    double entropy_vib_cal_k_mol = 0.0;
    double entropy_rot_cal_k_mol = 0.0;
    double entropy_trans_cal_k_mol = 0.0;  // Sackur-Tetrode
    double entropy_total_cal_k_mol = 0.0;
    double gibbs_correction_kcal_mol = 0.0;  // ZPVE + H_thermal - T S
};

inline constexpr double kGasConstantCalMolK = 1.987204258640832;
inline constexpr double kWavenumberToKcalMol = 0.00285914370690045;
// Second radiation constant hc/kB, cm K.
inline constexpr double kWavenumberToKelvin = 1.43877687750393;

// Zero-point energy (kcal/mol) of the positive frequencies (cm^-1).
double compute_zero_point_energy(std::span<const double> vibrational_frequencies_cm1);

// The largest rotational symmetry number of a molecule of `n_atoms` atoms:
// the order of its group of proper rotations. The cubic and icosahedral
// groups have at most 60; a cyclic or dihedral group of order n or 2n (n of
// at least 3) moves every atom off its main axis through an orbit of at
// least n atoms, so n <= N; a linear molecule has at most 2.
double largest_rotational_symmetry_number(std::size_t n_atoms);

// Stops unless the temperature is strictly positive ("Temperature must be
// strictly positive", NaN included) and finite, the pressure a positive
// finite number, and the rotational symmetry number a whole number from 1 to
// largest_rotational_symmetry_number(n_atoms).
void require_valid_thermochemistry_conditions(double temperature_k, double pressure_atm,
                                              double rotational_symmetry_number, std::size_t n_atoms);

// Thermochemistry at the molecule's geometry with one mass (amu) per atom.
// Frequencies at or below 10 cm^-1 count only in the zero-point energy.
// Stops for an empty molecule, a mass list of the wrong length or with a mass
// that is not positive and finite, and for the conditions above.
Thermodynamics compute_thermochemistry(const MolecularBatch& molecule, std::span<const double> masses_amu,
                                       std::span<const double> vibrational_frequencies_cm1,
                                       double temperature_k, double pressure_atm,
                                       double rotational_symmetry_number);

}  // namespace quorin
