#include "core/properties/single_point.h"

#include <utility>

#include "core/corrections/dispersion.h"
#include "core/corrections/h_bonds4.h"
#include "core/gradients/heat_of_formation.h"
#include "core/gradients/mulliken.h"
#include "core/gradients/nuclear_gradients.h"
#include "core/properties/dipole.h"
#include "core/scf/scf_loop.h"
#include "core/scf/workspace.h"
#include "core/solvation/cosmo_gradient.h"
#include "core/types/constants.h"
#include "core/types/errors.h"

namespace quorin {

namespace {

constexpr H4Parameters kH4Parameters = {2.32, 3.1, 1.07, 2.01, 0.42, 3.61, 1.41};

// Adds a kcal/mol/angstrom correction gradient to both gradient lists.
void add_correction_gradient(const std::vector<std::array<double, 3>>& correction_kcal,
                             CalculationRecord& record) {
    for (std::size_t a = 0; a < correction_kcal.size(); ++a) {
        for (int k = 0; k < 3; ++k) {
            record.gradients_kcal_mol_angstrom[a][k] += correction_kcal[a][k];
            record.gradients_ev_angstrom[a][k] += correction_kcal[a][k] / kEvToKcalMol;
        }
    }
}

}  // namespace

CalculationRecord run_single_point(MolecularBatch& molecule, const ParameterModel& model,
                                   const SinglePointOptions& options) {
    ScfWorkspace workspace = ScfWorkspace::allocate(molecule.n_basis);
    ScfOptions scf_options;
    if (options.cosmo_eps) scf_options.cosmo = std::make_pair(*options.cosmo_eps, kSolventRadiusAngstrom);
    scf_options.max_iterations = options.max_iterations;
    scf_options.energy_tolerance = options.energy_tolerance;
    scf_options.density_tolerance = options.density_tolerance;
    scf_options.level_shift = options.level_shift;
    scf_options.damping = options.damping;
    scf_options.use_nddo = options.use_nddo;
    scf_options.initial_density = options.initial_density;
    const ScfResult scf = run_rhf_scf_with_options(molecule, model, workspace, scf_options);

    CalculationRecord record;
    const std::size_t n_atoms = molecule.n_atoms;
    record.gradients_ev_angstrom.assign(n_atoms, {0.0, 0.0, 0.0});
    GradientWorkspace gradient_workspace = GradientWorkspace::allocate(molecule.n_basis);
    compute_cartesian_gradients_with_options(molecule, model, workspace.density, gradient_workspace,
                                             record.gradients_ev_angstrom, options.use_nddo);
    // The dielectric energy is part of the reported total, so its gradient is
    // part of the reported gradient.
    if (workspace.cosmo) {
        add_cosmo_gradient(molecule, workspace.density, *workspace.cosmo, record.gradients_ev_angstrom);
    }
    record.gradients_kcal_mol_angstrom = record.gradients_ev_angstrom;
    for (auto& row : record.gradients_kcal_mol_angstrom) {
        for (double& g : row) g *= kEvToKcalMol;
    }

    double correction_kcal = 0.0;
    if (options.dispersion) {
        const DispersionModel form = dispersion_model_named(*options.dispersion);
        std::vector<std::array<double, 3>> dispersion_gradient(n_atoms, {0.0, 0.0, 0.0});
        correction_kcal = compute_dispersion_energy_and_gradients(molecule, form, dispersion_gradient);
        add_correction_gradient(dispersion_gradient, record);
    }
    if (options.h_bonds) {
        std::vector<std::array<double, 3>> h4_gradient(n_atoms, {0.0, 0.0, 0.0});
        correction_kcal += compute_h4_energy_and_gradients(molecule, kH4Parameters, h4_gradient);
        add_correction_gradient(h4_gradient, record);
        const auto [hh_energy_kcal, hh_gradient] = compute_hh_repulsion_energy_and_gradients(molecule);
        correction_kcal += hh_energy_kcal;
        add_correction_gradient(hh_gradient, record);
    }

    DipoleResult dipole = compute_dipole(molecule, model, workspace.density);
    const MullikenResult mulliken = compute_mulliken_population(molecule, model, workspace.coefficients,
                                                                count_valence_electrons(molecule, model) / 2);

    record.total_energy_ev = scf.total_energy + correction_kcal / kEvToKcalMol;
    record.electronic_energy_ev = scf.electronic_energy;
    record.nuclear_repulsion_ev = scf.core_energy;
    record.binding_energy_ev = scf.total_energy - sum_isolated_atoms(molecule, model).energy_ev;
    record.heat_of_formation_kcal =
        compute_heat_of_formation_kcal_mol(molecule, model, scf.total_energy) + correction_kcal;
    record.dipole_debye = {dipole.total_dipole[0], dipole.total_dipole[1], dipole.total_dipole[2],
                           dipole.total_dipole_magnitude};
    record.atomic_charges = std::move(dipole.charges);
    record.mulliken_charges.assign(mulliken.charges.begin(), mulliken.charges.end());
    record.converged = scf.converged;
    record.scf_iterations = scf.iterations;
    record.homo_energy_ev = scf.homo;
    record.lumo_energy_ev = scf.lumo;
    record.homo_lumo_gap_ev = scf.lumo - scf.homo;
    return record;
}

CalculationRecord run_driver_final_point(MolecularBatch& molecule, const ParameterModel& model, bool use_nddo,
                                         const Matrix* state) {
    // The drivers' fixed settings are the single point's defaults.
    SinglePointOptions options;
    options.use_nddo = use_nddo;
    options.initial_density = state;
    return run_single_point(molecule, model, options);
}

}  // namespace quorin
