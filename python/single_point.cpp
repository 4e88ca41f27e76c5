#include "python/single_point.h"

#include <optional>

#include "core/corrections/dispersion.h"
#include "core/corrections/h_bonds4.h"
#include "core/gradients/heat_of_formation.h"
#include "core/gradients/mulliken.h"
#include "core/gradients/nuclear_gradients.h"
#include "core/properties/dipole.h"
#include "core/scf/scf_loop.h"
#include "core/scf/workspace.h"
#include "core/types/constants.h"
#include "core/types/molecule.h"
#include "python/arguments.h"
#include "python/method_lookup.h"

namespace quorin::py {

namespace {

constexpr double kSolventRadiusAngstrom = 1.30005;
constexpr H4Parameters kH4Parameters = {2.32, 3.1, 1.07, 2.01, 0.42, 3.61, 1.41};

std::optional<DispersionModel> dispersion_model_named(const std::string& upper_name) {
    if (upper_name == "DH+" || upper_name == "PM6-DH+" || upper_name == "PM6_DH+") return kDispersionPm6DhPlus;
    if (upper_name == "PM7") return kDispersionPm7;
    if (upper_name == "D3" || upper_name == "D3BJ" || upper_name == "D3-BJ" || upper_name == "PM6-D3" ||
        upper_name == "AM1-D3") {
        return kDispersionD3Bj;
    }
    return std::nullopt;
}

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

CalculationRecord run_calculation_internal(const SinglePointRequest& request) {
    const auto& numbers = request.atomic_numbers;
    const auto& coordinates = request.coordinates;
    if (numbers.empty()) throw InputError("atomic_numbers cannot be empty");
    if (numbers.size() != coordinates.size()) {
        throw InputError("Length of atomic_numbers (" + std::to_string(numbers.size()) +
                         ") does not match coordinates (" + std::to_string(coordinates.size()) + ")");
    }
    check_finite_coordinates(numbers, coordinates);
    const std::unique_ptr<ParameterModel> model = get_model(request.method);
    const std::uint64_t valence_electrons = check_closed_shell_supported(numbers, *model, request.method);
    // Options that enter the SCF arithmetic directly would turn every result
    // into NaN when not finite.
    if (request.cosmo_eps) check_finite_setting("cosmo_eps", *request.cosmo_eps);
    check_finite_setting("energy_tol_ev", request.energy_tol_ev);
    check_finite_setting("density_tol", request.density_tol);
    check_finite_setting("level_shift_ev", request.level_shift_ev);
    check_finite_setting("damping", request.damping);

    MolecularBatch molecule = MolecularBatch::new_for_model(numbers, coordinates, *model);
    ScfWorkspace workspace = ScfWorkspace::allocate(molecule.n_basis);

    ScfOptions options;
    if (request.cosmo_eps) options.cosmo = std::make_pair(*request.cosmo_eps, kSolventRadiusAngstrom);
    options.max_iterations = static_cast<std::size_t>(request.max_iter);
    options.energy_tolerance = request.energy_tol_ev;
    options.density_tolerance = request.density_tol;
    options.level_shift = request.level_shift_ev;
    options.damping = request.damping;
    options.use_nddo = request.use_nddo;
    const ScfResult scf = run_rhf_scf_with_options(molecule, *model, workspace, options);

    CalculationRecord record;
    const std::size_t n_atoms = molecule.n_atoms;
    record.gradients_ev_angstrom.assign(n_atoms, {0.0, 0.0, 0.0});
    GradientWorkspace gradient_workspace = GradientWorkspace::allocate(molecule.n_basis);
    compute_cartesian_gradients_with_options(molecule, *model, workspace.density, gradient_workspace,
                                             record.gradients_ev_angstrom, request.use_nddo);
    record.gradients_kcal_mol_angstrom = record.gradients_ev_angstrom;
    for (auto& row : record.gradients_kcal_mol_angstrom) {
        for (double& g : row) g *= kEvToKcalMol;
    }

    double correction_kcal = 0.0;
    if (request.dispersion) {
        const std::string name = to_upper(*request.dispersion);
        const std::optional<DispersionModel> form = dispersion_model_named(name);
        if (!form) {
            throw InputError("Unknown dispersion model '" + name + "'. Supported: 'PM6-DH+', 'PM7', 'D3-BJ'");
        }
        std::vector<std::array<double, 3>> dispersion_gradient(n_atoms, {0.0, 0.0, 0.0});
        correction_kcal = compute_dispersion_energy_and_gradients(molecule, *form, dispersion_gradient);
        add_correction_gradient(dispersion_gradient, record);
    }
    if (request.h_bonds) {
        correction_kcal += compute_h4_energy(molecule, kH4Parameters);
        const auto [hh_energy_kcal, hh_gradient] = compute_hh_repulsion_energy_and_gradients(molecule);
        correction_kcal += hh_energy_kcal;
        add_correction_gradient(hh_gradient, record);
    }

    DipoleResult dipole = compute_dipole(molecule, *model, workspace.density);
    const MullikenResult mulliken =
        compute_mulliken_population(molecule, *model, workspace.coefficients, valence_electrons / 2);

    record.total_energy_ev = scf.total_energy + correction_kcal / kEvToKcalMol;
    record.electronic_energy_ev = scf.electronic_energy;
    record.nuclear_repulsion_ev = scf.core_energy;
    record.binding_energy_ev = scf.total_energy - sum_isolated_atoms(molecule, *model).energy_ev;
    record.heat_of_formation_kcal =
        compute_heat_of_formation_kcal_mol(molecule, *model, scf.total_energy) + correction_kcal;
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

namespace {

constexpr const char* kCalculateParameters[] = {
    "atomic_numbers", "coordinates", "method",      "cosmo_eps",   "dispersion",     "h_bonds",
    "use_nddo",       "max_iter",    "energy_tol_ev", "density_tol", "level_shift_ev", "damping",
};

PyObject* calculate(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("calculate", kCalculateParameters, 2, args, kwargs);
        SinglePointRequest request;
        request.atomic_numbers = to_atomic_numbers(bound.value(0), bound.name(0));
        request.coordinates = to_coordinate_list(bound.value(1), bound.name(1));
        request.method = name_or(bound, 2, "PM6");
        request.cosmo_eps = optional_double(bound, 3);
        request.dispersion = optional_name(bound, 4);
        request.h_bonds = switch_or(bound, 5, false);
        request.use_nddo = switch_or(bound, 6, true);
        request.max_iter = count_or(bound, 7, 60);
        request.energy_tol_ev = double_or(bound, 8, 1e-7);
        request.density_tol = double_or(bound, 9, 1e-6);
        request.level_shift_ev = double_or(bound, 10, 0.0);
        request.damping = double_or(bound, 11, 0.5);
        return new_calculation_result(run_calculation_internal(request));
    });
}

PyMethodDef calculate_def = {
    "calculate",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(calculate)),
    METH_VARARGS | METH_KEYWORDS,
    "calculate(atomic_numbers, coordinates, method=\"PM6\", cosmo_eps=None, dispersion=None, h_bonds=False, "
    "use_nddo=True, max_iter=60, energy_tol_ev=1e-7, density_tol=1e-6, level_shift_ev=0.0, damping=0.5)\n"
    "--\n"
    "\n"
    "Compute single-point semi-empirical quantum chemical properties and analytical gradients.\n"
    "\n"
    "Parameters:\n"
    "- `atomic_numbers`: list of integer atomic numbers (e.g. `[6, 1, 1, 1, 35]`)\n"
    "- `coordinates`: list of 3D coordinates in \u00c5ngstr\u00f6ms (e.g. `[[0.0, 0.0, 0.0], ...]`)\n"
    "- `method`: Semi-empirical Hamiltonian (\"PM6\", \"AM1\", \"RM1\", \"PM3\", \"MNDO\"; default: \"PM6\")\n"
    "- `cosmo_eps`: Optional solvent dielectric constant for COSMO solvation (e.g. 78.4 for water)\n"
    "- `dispersion`: Optional empirical dispersion (\"PM6-DH+\", \"PM7\")\n"
    "- `h_bonds`: Enable H4 hydrogen bonding and H-H core repulsion corrections (default: false)\n"
    "- `use_nddo`: Enable full NDDO 22 multipoles and rotation (default: true)\n"
    "- `max_iter`: Maximum SCF iterations (default: 60)\n"
    "- `energy_tol_ev`: Energy convergence threshold in eV (default: 1e-7)\n"
    "- `density_tol`: Density matrix convergence threshold (default: 1e-6)",
};

}  // namespace

PyMethodDef* calculate_method_def() { return &calculate_def; }

}  // namespace quorin::py
