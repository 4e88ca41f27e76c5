#include "python/engine_call.h"
#include "python/meci.h"

#include <algorithm>
#include <memory>
#include <string>

#include "core/ci/root_gradient.h"
#include "core/ci/transition_dipoles.h"
#include "core/properties/request_memory.h"
#include "core/scf/scf_loop.h"
#include "core/scf/workspace.h"
#include "core/types/constants.h"
#include "core/types/errors.h"
#include "core/types/molecule.h"
#include "python/arguments.h"
#include "python/docstrings.h"
#include "python/method_lookup.h"
#include "python/record_object.h"

namespace quorin::py {

namespace {

// Largest even window: 8 electrons in 8 orbitals, 4,900 microstates.
constexpr std::uint64_t kMaxActiveOrbitals = 8;

}  // namespace

void read_leading_meci_arguments(const BoundArguments& bound, MeciRequest& request) {
    request.atomic_numbers = to_atomic_numbers(bound.value(0), bound.name(0));
    request.coordinates = to_coordinate_list(bound.value(1), bound.name(1));
    request.method = name_or(bound, 2, "PM6");
    request.active_orbitals = count_or(bound, 3, 2);
}

std::unique_ptr<ParameterModel> check_meci_request(const MeciRequest& request) {
    CheckedMolecule checked = check_request(request.atomic_numbers, {{request.coordinates}}, request.method);
    // The window holds as many electrons as orbitals, half above and half
    // below the gap; an odd count would leave the CI one electron short.
    const std::uint64_t n = request.active_orbitals;
    const std::string got = " (got " + std::to_string(n) + ")";
    if (n == 0) refuse_argument("active_orbitals", "must be at least 2" + got);
    if (n % 2 != 0) refuse_argument("active_orbitals", "must be even" + got);
    if (n > kMaxActiveOrbitals) {
        refuse_argument("active_orbitals", "must be at most " + std::to_string(kMaxActiveOrbitals) + got);
    }
    // Whether the molecule has the window's occupied and virtual orbitals
    // follows from its atoms and the method alone: asked before the SCF.
    const auto n_active = static_cast<std::size_t>(n);
    const MolecularBatch molecule =
        MolecularBatch::new_for_model(request.atomic_numbers, request.coordinates, *checked.model);
    try {
        choose_active_window(molecule, *checked.model, {n_active, n_active, 1, request.use_nddo});
    } catch (const EngineStop&) {
        const std::uint64_t occupied = checked.valence_electrons / 2;
        const std::uint64_t virtuals = molecule.n_basis > occupied ? molecule.n_basis - occupied : 0;
        refuse_argument("active_orbitals", "must be at most " + std::to_string(2 * std::min(occupied, virtuals)) +
                                               " for this molecule: the window takes half its orbitals from the " +
                                               std::to_string(occupied) + " occupied and half from the " +
                                               std::to_string(virtuals) + " virtual ones" + got);
    }
    check_count_in_range("target_root", request.target_root, {1, count_microstates(n_active, n_active)});
    return std::move(checked.model);
}

MeciRecord run_meci_request(const MeciRequest& request) {
    return run_checked_meci(request, *check_meci_request(request), true);
}

MeciRecord run_checked_meci(const MeciRequest& request, const ParameterModel& model, bool with_gradients) {
    MolecularBatch molecule = MolecularBatch::new_for_model(request.atomic_numbers, request.coordinates, model);
    require_memory(ci_memory(molecule, request.use_nddo, request.active_orbitals));
    ScfWorkspace scf = ScfWorkspace::allocate(molecule.n_basis);
    ScfOptions scf_options;
    scf_options.max_iterations = 60;
    scf_options.energy_tolerance = 1e-7;
    scf_options.density_tolerance = 1e-6;
    scf_options.level_shift = 0.0;
    scf_options.damping = 0.5;
    scf_options.use_nddo = request.use_nddo;
    const ScfResult first = run_rhf_scf_with_options(molecule, model, scf, scf_options);
    if (!first.converged) throw InputError("SCF did not converge");
    const ScfResult scf_result = converge_scf_for_ci(molecule, model, scf, scf_options, first);

    const auto n_active = static_cast<std::size_t>(request.active_orbitals);
    const MeciOptions options{n_active, n_active, static_cast<std::size_t>(request.target_root), request.use_nddo};
    MeciWorkspace workspace = MeciWorkspace::allocate(n_active, 100);
    MeciResult result = run_meci(molecule, model, scf.coefficients, scf.orbital_energies,
                                 scf_result.electronic_energy, scf_result.total_energy, options, workspace);
    const ActiveWindow window = choose_active_window(molecule, model, options);
    compute_transition_dipoles_and_oscillator_strengths(molecule, model, scf.coefficients, window.indices, result);

    MeciRecord record;
    if (with_gradients) {
        record.gradients_kcal_mol_angstrom =
            compute_ci_root_gradient(molecule, model, scf_options, scf.density, scf.coefficients,
                                     scf.orbital_energies, options, result.states[result.target_root - 1].coefficients);
        for (auto& g : record.gradients_kcal_mol_angstrom) {
            for (double& component : g) component *= kEvToKcalMol;
        }
    }
    record.num_microstates = result.microstates.size();
    record.target_root = result.target_root;
    record.ci_energy_correction_ev = result.ci_energy_correction_ev;
    record.electronic_energy_ev = result.electronic_energy_ev;
    record.total_energy_ev = result.total_energy_ev;
    record.heat_of_formation_kcal = result.heat_of_formation_kcal_mol;
    record.states = std::move(result.states);
    for (CiState& state : record.states) state.coefficients = {};
    return record;
}

namespace {

// ---- CiStatePy -------------------------------------------------------------

PyTypeObject* ci_state_type = nullptr;

using S = CiState;

PyObject* get_spin_label(PyObject* self, void*) {
    return guard([&] { return new_text(record_of<S>(self).spin_label); });
}

PyGetSetDef ci_state_getset[] = {
    attribute<&S::root>("root", "State index (1-indexed)"),
    attribute<&S::energy_ev>("energy_ev", "Absolute CI energy eigenvalue in eV"),
    attribute<&S::excitation_energy_ev>("excitation_energy_ev", "Excitation energy relative to ground state in eV"),
    attribute<&S::excitation_energy_cm1>("excitation_energy_cm1", "Excitation energy in cm^-1"),
    attribute<&S::wavelength_nm>("wavelength_nm", "Absorption wavelength in nm"),
    attribute<&S::multiplicity>("multiplicity", "Spin multiplicity (1=Singlet, 2=Doublet, 3=Triplet)"),
    attribute<&S::spin_label>("spin_label", get_spin_label, "Spin label"),
    attribute<&S::s_squared>("s_squared", "S^2 expectation value"),
    attribute<&S::transition_dipole_debye>("transition_dipole_debye", "Transition dipole moment [x, y, z] in Debye"),
    attribute<&S::dipole_strength_debye>("dipole_strength_debye", "Total transition dipole magnitude in Debye"),
    attribute<&S::polarization_angstrom2>("polarization_angstrom2", "Polarization in Angstroms^2 [x, y, z]"),
    attribute<&S::oscillator_strength>("oscillator_strength", "Dimensionless oscillator strength"),
    kEndOfAttributes,
};

// ---- MeciPyResult ----------------------------------------------------------

PyTypeObject* meci_result_type = nullptr;

using R = MeciRecord;

PyObject* get_states(PyObject* self, void*) {
    return guard([&] { return new_record_list<CiState>(ci_state_type, record_of<R>(self).states); });
}

PyGetSetDef meci_result_getset[] = {
    nested_attribute<&R::states, ci_state_getset>("states", get_states, "All computed CI states"),
    attribute<&R::num_microstates>("num_microstates", "Number of microstates"),
    attribute<&R::target_root>("target_root", "Target root index (1-indexed)"),
    attribute<&R::ci_energy_correction_ev>("ci_energy_correction_ev", "CI energy correction in eV"),
    attribute<&R::electronic_energy_ev>("electronic_energy_ev", "Total electronic energy in eV"),
    attribute<&R::total_energy_ev>("total_energy_ev", "Total energy in eV"),
    attribute<&R::heat_of_formation_kcal>("heat_of_formation_kcal", "Heat of formation in kcal/mol"),
    attribute<&R::gradients_kcal_mol_angstrom>("gradients_kcal_mol_angstrom",
        "Cartesian nuclear gradients for the target root in kcal/(mol * A)"),
    kEndOfAttributes,
};

// ---- meci ------------------------------------------------------------------

constexpr const char* kMeciParameters[] = {
    "atomic_numbers", "coordinates", "method", "active_orbitals", "target_root", "use_nddo",
};

PyObject* meci(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("meci", kMeciParameters, 2, args, kwargs);
        MeciRequest request;
        read_leading_meci_arguments(bound, request);
        request.target_root = count_or(bound, 4, 1);
        request.use_nddo = switch_or(bound, 5, true);
        return new_meci_result(engine_call([&] { return run_meci_request(request); }));
    });
}

PyMethodDef meci_def = {
    "meci",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(meci)),
    METH_VARARGS | METH_KEYWORDS,
    "meci(atomic_numbers, coordinates, method=\"PM6\", active_orbitals=2, target_root=1, use_nddo=True)\n"
    "--\n"
    "\n"
    "Run Multi-Electron Configuration Interaction (MECI) excited state calculation.\n"
    "\n"
    "Parameters:\n"
    "- `atomic_numbers`: list of integer atomic numbers (e.g. `[8, 1, 1]`)\n"
    "- `coordinates`: 3D coordinates in \u00c5ngstr\u00f6ms (e.g. `[[0.0, 0.0, 0.0], ...]`)\n"
    QUORIN_METHOD_DOC
    "- `active_orbitals`: Number of active molecular orbitals around the HOMO-LUMO gap; the number of active "
    "electrons equals it" QUORIN_ACTIVE_WINDOW_EDGE_DOC " (default: 2)\n"
    "- `target_root`: 1-based CI root whose energy and density give the reported energies and gradients "
    "(default: 1)\n"
    QUORIN_USE_NDDO_DOC,
};

}  // namespace

PyObject* create_ci_state_type() {
    return create_record_type<S>({"quorin_py.CiStatePy", "Single CI electronic state result exposed to Python.",
                                  nullptr, ci_state_getset, nullptr},
                                 ci_state_type);
}

PyObject* new_meci_result(MeciRecord record) { return new_record_object(meci_result_type, std::move(record)); }

PyObject* create_meci_result_type() {
    return create_record_type<R>({"quorin_py.MeciPyResult", "Complete MECI calculation result exposed to Python.",
                                  nullptr, meci_result_getset, nullptr},
                                 meci_result_type);
}

PyMethodDef* meci_method_def() { return &meci_def; }

}  // namespace quorin::py
