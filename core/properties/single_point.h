#pragma once
// The single-point road: one SCF, the gradient of the reported energy
// (solvent and corrections included), optional dispersion and hydrogen-bond
// corrections, heat of formation, charges, dipole and Mulliken populations,
// gathered into one record.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/parameters/parameter_model.h"
#include "core/types/aligned.h"
#include "core/types/molecule.h"

namespace quorin {

// Radius of the solvent probe that shapes the dielectric cavity.
inline constexpr double kSolventRadiusAngstrom = 1.30005;

struct SinglePointOptions {
    std::optional<double> cosmo_eps;        // dielectric constant; none: gas phase
    std::optional<std::string> dispersion;  // upper-cased dispersion model name; none: no dispersion
    bool h_bonds = false;
    bool use_nddo = true;
    std::size_t max_iterations = 60;
    double energy_tolerance = 1e-7;  // eV
    double density_tolerance = 1e-6;
    double level_shift = 0.0;  // eV
    double damping = 0.5;
    // Start the SCF from this density (n_basis x n_basis) instead of the
    // atomic guess; it must outlive the call.
    const Matrix* initial_density = nullptr;
};

struct CalculationRecord {
    double total_energy_ev = 0.0;
    double electronic_energy_ev = 0.0;
    double nuclear_repulsion_ev = 0.0;
    double binding_energy_ev = 0.0;
    double heat_of_formation_kcal = 0.0;
    std::vector<std::array<double, 3>> gradients_ev_angstrom;
    std::vector<std::array<double, 3>> gradients_kcal_mol_angstrom;
    std::array<double, 4> dipole_debye{};  // x, y, z, magnitude
    std::vector<double> atomic_charges;
    std::vector<double> mulliken_charges;
    bool converged = false;
    std::uint64_t scf_iterations = 0;
    double homo_energy_ev = 0.0;
    double lumo_energy_ev = 0.0;
    double homo_lumo_gap_ev = 0.0;
};

// Runs the road on a molecule built for `model` (the gradient displaces its
// atoms and puts them back). An unknown dispersion name
// is refused after the SCF (RequestError "Unknown dispersion model ...");
// engine stops pass through. A non-converged SCF is reported in the record.
CalculationRecord run_single_point(MolecularBatch& molecule, const ParameterModel& model,
                                   const SinglePointOptions& options);

// The single point a geometry driver reports at the geometry it reached, on
// the SCF solution it followed there: the SCF starts from `state` (the
// driver's last converged density; null: the atomic guess), with the
// drivers' fixed settings: gas phase, no corrections, 60 iterations,
// 1e-7 eV, 1e-6, no level shift, damping 0.5.
CalculationRecord run_driver_final_point(MolecularBatch& molecule, const ParameterModel& model, bool use_nddo,
                                         const Matrix* state);

}  // namespace quorin
