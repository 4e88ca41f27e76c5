#include "core/vibrations/thermochemistry.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/parameters/atomic_mass.h"
#include "core/scf/eigensolver.h"
#include "core/types/errors.h"
#include "core/vibrations/normal_modes.h"

namespace quorin {

namespace {

constexpr double kR = kGasConstantCalMolK;
constexpr double kOneAndHalfR = 2.9808063879612483;
constexpr double kTwoAndHalfR = 4.96801064660208;
constexpr double kBoltzmannJK = 1.380649e-23;
constexpr double kPlanckJs = 6.62607015e-34;
constexpr double kPlanckSquared = 4.390480563272102e-67;
// h^2 / (8 pi^2 kB), K kg m^2: rotational temperature times moment of inertia.
constexpr double kRotationalTemperatureInertia = 4.027532408937818e-46;
constexpr double kEightPiSquared = 78.95683520871486;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kSqrtPi = 1.7724538509055159;
constexpr double kAmuKg = 1.6605390666e-27;
constexpr double kAmuAngstrom2KgM2 = 1.6605390666e-47;
constexpr double kAtmPa = 101325.0;
constexpr double kLowFrequencyCutoffCm1 = 10.0;
constexpr double kLargestReducedFrequency = 100.0;

struct RotorTerms {
    double energy = 0.0;
    double cv = 0.0;
    double entropy = 0.0;
};

RotorTerms linear_rotor(const MolecularBatch& molecule, std::span<const double> masses, double t, double sigma) {
    const auto c = centre_of_mass(molecule, masses);
    double inertia = 0.0;
    for (std::size_t a = 0; a < molecule.n_atoms; ++a) {
        const double dx = molecule.x[a] - c[0], dy = molecule.y[a] - c[1], dz = molecule.z[a] - c[2];
        inertia += masses[a] * (dx * dx + dy * dy + dz * dz);
    }
    // q = T / (sigma theta_rot), theta_rot = h^2 / (8 pi^2 I kB).
    const double q_rot = t / (sigma * (kPlanckSquared / (inertia * kAmuAngstrom2KgM2 * kEightPiSquared * kBoltzmannJK)));
    return {t * kR, kR, std::max(kR * (std::log(q_rot) + 1.0), 0.0)};
}

RotorTerms nonlinear_rotor(const MolecularBatch& molecule, std::span<const double> masses, double t, double sigma) {
    Matrix inertia = Matrix::zeros(3, 3);
    add_inertia_tensor(molecule, masses, centre_of_mass(molecule, masses), inertia);
    Vec64 moments = Vec64::zeros(3);
    Matrix axes = Matrix::zeros(3, 3);
    diagonalize_symmetric(inertia, moments, axes);
    double theta_product = 1.0;
    for (double moment : moments) {
        theta_product *= kRotationalTemperatureInertia / (std::max(moment, 1e-6) * kAmuAngstrom2KgM2);
    }
    const double q_rot = std::max(std::sqrt(t * t * t / theta_product) * (kSqrtPi / sigma), 1e-10);
    return {1.5 * t * kR, kOneAndHalfR, std::max(kR * (std::log(q_rot) + 1.5), 0.0)};
}

}  // namespace

double compute_zero_point_energy(std::span<const double> vibrational_frequencies_cm1) {
    double zpve = 0.0;
    for (double nu : vibrational_frequencies_cm1) {
        if (nu > 0.0) zpve += nu * 0.5 * kWavenumberToKcalMol;
    }
    return zpve;
}

double largest_rotational_symmetry_number(std::size_t n_atoms) {
    return std::max(60.0, 2.0 * static_cast<double>(n_atoms));
}

void require_valid_thermochemistry_conditions(double temperature_k, double pressure_atm,
                                              double rotational_symmetry_number, std::size_t n_atoms) {
    if (!(temperature_k > 0.0)) throw EngineStop("Temperature must be strictly positive");
    if (!std::isfinite(temperature_k)) throw EngineStop("Temperature must be a finite number of kelvin");
    if (!(pressure_atm > 0.0) || !std::isfinite(pressure_atm)) {
        throw EngineStop("Pressure must be a positive finite number of atmospheres");
    }
    const double largest = largest_rotational_symmetry_number(n_atoms);
    if (!(rotational_symmetry_number >= 1.0 && rotational_symmetry_number <= largest &&
          rotational_symmetry_number == std::floor(rotational_symmetry_number))) {
        throw EngineStop("Rotational symmetry number must be a whole number from 1 to " +
                         std::to_string(static_cast<std::size_t>(largest)));
    }
}

Thermodynamics compute_thermochemistry(const MolecularBatch& molecule, std::span<const double> masses_amu,
                                       std::span<const double> vibrational_frequencies_cm1,
                                       double temperature_k, double pressure_atm,
                                       double rotational_symmetry_number) {
    if (molecule.n_atoms == 0) throw EngineStop("MolecularBatch must contain at least 1 atom");
    if (masses_amu.size() != molecule.n_atoms) {
        stop_assert_eq("Thermochemistry needs one mass per atom", masses_amu.size(), molecule.n_atoms);
    }
    for (double m : masses_amu) {
        if (!(m > 0.0) || !std::isfinite(m)) throw EngineStop("Atomic masses must be positive finite numbers");
    }
    const double zpve = compute_zero_point_energy(vibrational_frequencies_cm1);
    require_valid_thermochemistry_conditions(temperature_k, pressure_atm, rotational_symmetry_number,
                                             molecule.n_atoms);
    const double t = temperature_k;

    Thermodynamics th;
    th.temperature_k = temperature_k;
    th.pressure_atm = pressure_atm;
    th.zpve_kcal_mol = zpve;

    // Harmonic oscillator partition function, energy zero at the zero-point level.
    for (double nu : vibrational_frequencies_cm1) {
        if (nu <= kLowFrequencyCutoffCm1) continue;
        const double theta = nu * kWavenumberToKelvin;
        const double x = theta / t;
        if (x > kLargestReducedFrequency) continue;
        const double e = std::exp(x);
        th.cv_vib_cal_k_mol += kR * x * x * e / ((e - 1.0) * (e - 1.0));
        th.e_vib_cal_mol += kR * theta / (e - 1.0);
        th.entropy_vib_cal_k_mol += kR * (x / (e - 1.0) - std::log(1.0 - std::exp(-x)));
    }

    const double rt = t * kR;
    RotorTerms rot;
    if (molecule.n_atoms > 1) {
        rot = is_linear_molecule(molecule, masses_amu)
                  ? linear_rotor(molecule, masses_amu, t, rotational_symmetry_number)
                  : nonlinear_rotor(molecule, masses_amu, t, rotational_symmetry_number);
    }
    th.e_rot_cal_mol = rot.energy;
    th.cv_rot_cal_k_mol = rot.cv;
    th.entropy_rot_cal_k_mol = rot.entropy;

    double total_mass = 0.0;
    for (double m : masses_amu) total_mass += m;
    // Thermal de Broglie wavelength and the ideal-gas volume per molecule.
    const double lambda_m = kPlanckJs / std::sqrt(total_mass * kAmuKg * kTwoPi * kBoltzmannJK * t);
    const double q_trans = std::max((kBoltzmannJK * t / (pressure_atm * kAtmPa)) / (lambda_m * lambda_m * lambda_m), 1e-10);
    th.entropy_trans_cal_k_mol = kR * (std::log(q_trans) + 2.5);
    th.e_trans_cal_mol = 1.5 * rt;
    th.cp_trans_cal_k_mol = kTwoAndHalfR;

    th.enthalpy_thermal_cal_mol = th.e_vib_cal_mol + th.e_rot_cal_mol + th.e_trans_cal_mol + rt;
    th.cp_total_cal_k_mol = th.cv_vib_cal_k_mol + th.cv_rot_cal_k_mol + kTwoAndHalfR;
    th.entropy_total_cal_k_mol = th.entropy_vib_cal_k_mol + th.entropy_rot_cal_k_mol + th.entropy_trans_cal_k_mol;
    th.gibbs_correction_kcal_mol =
        (zpve * 1000.0 + th.enthalpy_thermal_cal_mol) / 1000.0 - (t * th.entropy_total_cal_k_mol) / 1000.0;
    return th;
}

}  // namespace quorin
