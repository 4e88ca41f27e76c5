#include "python/engine_call.h"
#include "python/transition_state.h"

#include <memory>

#include "core/gradients/nuclear_gradients.h"
#include "core/properties/request_memory.h"
#include "core/scf/workspace.h"
#include "core/types/molecule.h"
#include "python/arguments.h"
#include "python/docstrings.h"
#include "python/driver_support.h"
#include "python/method_lookup.h"
#include "python/record_object.h"

namespace quorin::py {

TransitionStateRecord transition_state_record_of(const TransitionStateResult& search) {
    TransitionStateRecord record;
    record.converged = search.converged;
    record.cycles = search.cycles;
    record.final_energy_ev = search.final_energy;
    record.final_heat_of_formation_kcal = search.final_heat_of_formation;
    record.initial_grad_rms = search.initial_grad_rms;
    record.final_grad_rms = search.final_grad_rms;
    record.final_grad_max = search.final_grad_max;
    record.ts_mode_eigenvalue = search.ts_mode_eigenvalue;
    record.ts_mode_index = search.ts_mode_index;
    return record;
}

void read_transition_state_options(const BoundArguments& bound, std::size_t first, TransitionStateRequest& request) {
    request.max_cycles = count_or(bound, first, 100);
    request.grad_rms_tol = double_or(bound, first + 1, 0.1);
    request.grad_max_tol = double_or(bound, first + 2, 0.2);
    request.trust_radius = double_or(bound, first + 3, 0.1);
    if (bound.value(first + 4) != nullptr) request.target_mode = to_count(bound.value(first + 4), bound.name(first + 4));
}

TransitionStateRecord run_transition_state(const TransitionStateRequest& request) {
    const auto& numbers = request.atomic_numbers;
    const CheckedMolecule checked =
        check_request(numbers, {{request.coordinates}}, request.method,
                      {{"grad_rms_tol", request.grad_rms_tol, ranges::kGradientRmsTolerance},
                       {"grad_max_tol", request.grad_max_tol, ranges::kGradientMaxTolerance},
                       {"trust_radius", request.trust_radius, ranges::kTrustRadius}},
                      {{"max_cycles", request.max_cycles, ranges::kLoopCount}});
    const ParameterModel& model = *checked.model;

    TransitionStateOptions options;
    options.target_mode = request.target_mode;
    options.max_cycles = static_cast<std::size_t>(request.max_cycles);
    options.grad_rms_tol = request.grad_rms_tol;
    options.grad_max_tol = request.grad_max_tol;
    options.trust_radius = request.trust_radius;
    options.use_nddo = request.use_nddo;  // trust bounds, Hessian step, overlap following, Bofill: defaults
    MolecularBatch molecule = MolecularBatch::new_for_model(numbers, request.coordinates, model);
    check_engine_options([&] { check_transition_state_options(options, molecule); });
    require_memory(driver_memory(molecule, request.use_nddo, 1, 6, true,
                                 {.spare_scf_workspace = true, .walk_basis_matrices = 1}));
    ScfWorkspace scf = ScfWorkspace::allocate(molecule.n_basis);
    GradientWorkspace gradient_workspace = GradientWorkspace::allocate(molecule.n_basis);
    EigenvectorFollowingWorkspace workspace = EigenvectorFollowingWorkspace::allocate(molecule.n_atoms);
    const TransitionStateResult search =
        optimize_transition_state(molecule, model, scf, gradient_workspace, workspace, options);

    TransitionStateRecord record = transition_state_record_of(search);
    record.coordinates = coordinate_triples(molecule);
    record.final_result =
        run_final_single_point(numbers, record.coordinates, model, request.use_nddo, followed_state(scf));
    // Energy and heat are those of the single point, on the state the search
    // followed; a search is converged only where that SCF converged.
    record.converged = search.converged && record.final_result.converged;
    record.final_energy_ev = record.final_result.total_energy_ev;
    record.final_heat_of_formation_kcal = record.final_result.heat_of_formation_kcal;
    return record;
}

namespace {

using R = TransitionStateRecord;

PyTypeObject* result_type = nullptr;  // created once at import

PyObject* get_final_result(PyObject* self, void*) {
    return guard([&] { return new_unchecked_calculation_result(record_of<R>(self).final_result); });
}

}  // namespace

PyGetSetDef transition_state_attributes[] = {
    attribute<&R::converged>("converged",
        "Whether the transition state search converged: a first-order saddle point on the SCF solution the search "
        "followed, where an SCF from the atomic guess finds no lower one, with the final single point converged "
        "there"),
    attribute<&R::cycles>("cycles", "Number of EF optimization cycles executed"),
    attribute<&R::final_energy_ev>("final_energy_ev", "Final total energy in eV, that of final_result"),
    attribute<&R::final_heat_of_formation_kcal>("final_heat_of_formation_kcal",
        "Final heat of formation in kcal/mol"),
    attribute<&R::initial_grad_rms>("initial_grad_rms", "Initial RMS gradient in kcal / (mol * \\AA)"),
    attribute<&R::final_grad_rms>("final_grad_rms",
        "Final root mean square of the atoms' gradient lengths in kcal / (mol * \\AA)"),
    attribute<&R::final_grad_max>("final_grad_max", "Final largest atom gradient length in kcal / (mol * \\AA)"),
    attribute<&R::ts_mode_eigenvalue>("ts_mode_eigenvalue",
        "Eigenvalue of the transition state mode along which energy is maximized (kcal / (mol * \\AA^2))"),
    attribute<&R::ts_mode_index>("ts_mode_index", "Transition state mode index (0-indexed)"),
    attribute<&R::coordinates>("coordinates", "Transition state Cartesian coordinates in \\AA (shape: [natoms, 3])"),
    nested_attribute<&R::final_result, calculation_result_attributes>("final_result", get_final_result,
        "Final calculation result at the transition state"),
    kEndOfAttributes,
};

namespace {

// The attribute values, with the final single point as its own dictionary.
PyObject* to_dict(PyObject* self, PyObject*) {
    return guard([&] {
        Ref dict(dict_from_getset(self, transition_state_attributes));
        set_dict_item(dict.get(), "final_result", Ref(calculation_result_dict(record_of<R>(self).final_result)));
        return dict.release();
    });
}

PyObject* repr(PyObject* self) {
    return guard([&] {
        const R& r = record_of<R>(self);
        return new_text("<TransitionStatePyResult converged=" + std::string(r.converged ? "true" : "false") +
                        " cycles=" + std::to_string(r.cycles) + " E_final=" + format_fixed(r.final_energy_ev, 6) +
                        " eV, dHf=" + format_fixed(r.final_heat_of_formation_kcal, 3) +
                        " kcal/mol, ts_mode_val=" + format_fixed(r.ts_mode_eigenvalue, 3) +
                        ", grad_rms=" + format_fixed(r.final_grad_rms, 4) + ">");
    });
}

PyMethodDef method_table[] = {
    {"to_dict", to_dict, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kParameters[] = {
    "atomic_numbers", "coordinates",  "method",      "max_cycles", "grad_rms_tol",
    "grad_max_tol",   "trust_radius", "target_mode", "use_nddo",
};

PyObject* transition_state(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("transition_state", kParameters, 2, args, kwargs);
        TransitionStateRequest request;
        request.atomic_numbers = to_atomic_numbers(bound.value(0), bound.name(0));
        request.coordinates = to_coordinate_list(bound.value(1), bound.name(1));
        request.method = name_or(bound, 2, "PM6");
        read_transition_state_options(bound, 3, request);
        request.use_nddo = switch_or(bound, 8, true);
        return new_transition_state_result(engine_call([&] { return run_transition_state(request); }));
    });
}

PyMethodDef transition_state_def = {
    "transition_state",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(transition_state)),
    METH_VARARGS | METH_KEYWORDS,
    "transition_state(atomic_numbers, coordinates, method=\"PM6\", max_cycles=100, grad_rms_tol=0.1, "
    "grad_max_tol=0.2, trust_radius=0.1, target_mode=None, use_nddo=True)\n"
    "--\n"
    "\n"
    "Locate a transition state (first-order saddle point) using Eigenvector Following (P-RFO Baker).\n"
    "\n"
    "Parameters:\n"
    "- `atomic_numbers`: list of integer atomic numbers (e.g. `[7, 1, 1, 1]`)\n"
    "- `coordinates`: 3D coordinates in \u00c5ngstr\u00f6ms (shape: `[natoms, 3]`)\n"
    QUORIN_METHOD_DOC
    "- `max_cycles`: Maximum EF optimization cycles (default: 100)\n"
    "- `grad_rms_tol`: Convergence threshold on the root mean square of the atoms' gradient lengths "
    "|(dE/dx, dE/dy, dE/dz)| in kcal / (mol * \u00c5) (default: 0.1)\n"
    "- `grad_max_tol`: Convergence threshold on the largest atom gradient length in kcal / (mol * \u00c5) "
    "(default: 0.2)\n"
    "- `trust_radius`: Initial P-RFO trust radius in \u00c5ngstr\u00f6ms (default: 0.1)\n"
    "- `target_mode`: Index of normal mode to follow (0-indexed, default: None -> lowest eigenvalue)\n"
    QUORIN_USE_NDDO_DOC,
};

}  // namespace

PyObject* create_transition_state_result_type() {
    return create_record_type<R>({"quorin_py.TransitionStatePyResult",
                                  "Result of transition state search via Eigenvector Following.", repr, transition_state_attributes,
                                  method_table},
                                 result_type);
}

PyObject* new_transition_state_result(TransitionStateRecord record) {
    return new_record_object(result_type, std::move(record));
}

PyObject* new_unchecked_transition_state_result(TransitionStateRecord record) {
    return new_unchecked_record_object(result_type, std::move(record));
}

PyObject* transition_state_result_dict(const TransitionStateRecord& record) {
    Ref object(new_unchecked_transition_state_result(record));
    return check(to_dict(object.get(), nullptr));
}

PyMethodDef* transition_state_method_def() { return &transition_state_def; }

}  // namespace quorin::py
