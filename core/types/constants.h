#pragma once
// Physical constants and unit conversions used throughout the engine.

namespace quorin {

inline constexpr double kEvToKcalMol = 23.06054783061903;
inline constexpr double kHartreeToEv = 27.211386245988;
inline constexpr double kBohrToAngstrom = 0.529177210903;
inline constexpr double kAngstromToBohr = 1.0 / kBohrToAngstrom;
// Coulomb energy of two unit charges one angstrom apart, in eV.
inline constexpr double kCoulombEvAngstrom = 14.399645478456;
inline constexpr double kDebyePerElectronAngstrom = 4.80320425;
inline constexpr double kWavenumberPerEv = 8065.54429;  // cm^-1 per eV
// Photon energy times wavelength, eV nm.
inline constexpr double kEvNanometre = 1239.841984;

}  // namespace quorin
