#pragma once
// Static dipole polarisability and first and second hyperpolarisabilities by
// finite differences: closed-shell SCFs under uniform electric fields of
// ±F and ±2F along each axis (and ±F on two axes at once), differentiated
// through the dipole moment and, for the mixed fourth-order terms, the
// energy.
#include <array>
#include <cstddef>

#include "core/parameters/parameter_model.h"
#include "core/properties/dipole.h"
#include "core/scf/workspace.h"
#include "core/types/molecule.h"

namespace quorin {

// Field strength: V/angstrom per atomic unit.
inline constexpr double kFieldAuToVoltPerAngstrom = 51.422067476325886;
// Dipole: atomic units (e bohr) per Debye.
inline constexpr double kDipoleAuPerDebye = 0.393430307;
// Hyperpolarisabilities: esu per atomic unit.
inline constexpr double kBetaAuToEsu = 8.639418e-33;
inline constexpr double kGammaAuToEsu = 5.0367e-40;

using Tensor3 = std::array<std::array<double, 3>, 3>;  // row-major 3 x 3

struct PolarizabilityOptions {
    double field_step_au = 0.002;         // F, atomic units of field strength
    std::size_t max_iterations = 80;      // base cap of the SCF escalation ladder
    double energy_tolerance = 1e-9;       // eV
    double density_tolerance = 1e-8;
    bool use_nddo = true;
    bool reorient = true;                 // report tensors in the principal axes of inertia
    bool apply_empirical_scaling = true;  // map alpha through the method's empirical relation
    bool compute_hyperpolarizabilities = true;  // the twelve two-axis fields of the gamma cross term
};

// One field point: the SCF's total energy, whether its escalation ladder
// converged, and the dipole of its density.
struct FieldScfResult {
    double energy_ev = 0.0;
    bool converged = false;
    DipoleResult dipole;
};

struct PolarizabilityResult {
    std::array<double, 4> dipole_debye{};  // zero-field x, y, z and magnitude
    Tensor3 alpha_tensor{};                // final alpha, a.u. (scaled when scaling is on)
    double alpha_isotropic_au = 0.0;
    double alpha_isotropic_angstrom3 = 0.0;
    double alpha_anisotropy_au = 0.0;
    std::array<double, 3> alpha_eigenvalues{};  // ascending
    Tensor3 alpha_eigenvectors{};               // eigenvector k in column k
    Tensor3 alpha_raw_tensor{};                 // from the dipole derivatives, unscaled
    double alpha_raw_isotropic_au = 0.0;
    double alpha_raw_isotropic_angstrom3 = 0.0;
    std::array<double, 3> beta_vector{};  // beta_i = beta_iii + sum over j != i of beta_ijj
    double beta_total_au = 0.0;
    double beta_total_esu = 0.0;
    std::array<double, 3> gamma_diag{};  // gamma_xxxx, gamma_yyyy, gamma_zzzz
    double gamma_average_au = 0.0;
    double gamma_average_esu = 0.0;
    double unperturbed_energy_ev = 0.0;
};

// One SCF (escalation ladder) under a uniform field given in atomic units,
// from a cleared workspace and an empty DIIS history, followed by the dipole
// of its density. `workspace` must be sized for the molecule; it is
// overwritten.
FieldScfResult run_field_scf(const MolecularBatch& molecule, const ParameterModel& model, ScfWorkspace& workspace,
                             const std::array<double, 3>& field_au, const PolarizabilityOptions& options);

// 13 field SCFs (25 with compute_hyperpolarizabilities) on one workspace.
// Throws RequestError for a field step that is zero or not finite, for
// tolerances that are not finite, and when any field SCF fails to converge
// (naming its field). SCF and dipole stops pass through.
PolarizabilityResult compute_polarizability(const MolecularBatch& molecule, const ParameterModel& model,
                                            const PolarizabilityOptions& options);

}  // namespace quorin
