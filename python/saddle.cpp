#include "python/engine_call.h"
#include "core/properties/request_memory.h"
#include "python/saddle.h"

#include <memory>

#include "python/arguments.h"
#include "python/docstrings.h"
#include "python/driver_support.h"
#include "python/method_lookup.h"
#include "python/record_object.h"

namespace quorin::py {

SaddleRecord run_saddle_search(const SaddleRequest& request) {
    const auto& numbers = request.atomic_numbers;
    const SaddleOptions& o = request.options;
    const CheckedMolecule checked = check_request(
        numbers, {{request.reactant_coords, "reactant_coords"}, {request.product_coords, "product_coords"}},
        request.method,
        {{"step_size", o.step_size, ranges::kSaddleStep},
         {"convergence_distance", o.convergence_distance, ranges::kSaddleMeetingDistance},
         {"inner_grad_tol", o.inner_grad_tol, ranges::kRelaxationGradientTolerance}},
        {{"max_cycles", o.max_cycles, ranges::kLoopCount}, {"inner_max_steps", o.inner_max_steps, ranges::kLoopCount}});
    const ParameterModel& model = *checked.model;
    check_engine_options([&] { check_saddle_options(request.options); });
    require_memory(driver_memory(MolecularBatch::new_for_model(numbers, request.reactant_coords, model),
                                 request.options.use_nddo, 3, 6, true,
                                 {.spare_scf_workspace = true, .walk_basis_matrices = 2, .kept_basis_matrices = 1}));

    SaddleResult search =
        run_saddle(numbers, request.reactant_coords, request.product_coords, model, request.options);

    SaddleRecord record;
    const Matrix& state = search.transition_state_density;
    record.final_result = run_final_single_point(numbers, search.transition_state_coordinates, model,
                                                 request.options.use_nddo, state.rows() > 0 ? &state : nullptr);
    record.converged = search.converged && record.final_result.converged;
    record.num_cycles = search.num_cycles;
    record.final_distance = search.final_distance;
    record.transition_state_coordinates = std::move(search.transition_state_coordinates);
    record.transition_state_energy_ev = search.transition_state_energy_ev;
    record.transition_state_heat_of_formation_kcal = search.transition_state_heat_of_formation_kcal;
    record.barrier_forward_kcal = search.barrier_forward_kcal;
    record.barrier_reverse_kcal = search.barrier_reverse_kcal;
    record.trajectory = std::move(search.trajectory);
    if (search.ts_refinement) {
        // The refinement's own figures, with the returned transition state's
        // geometry and single point whatever its outcome.
        TransitionStateRecord refinement = transition_state_record_of(*search.ts_refinement);
        refinement.coordinates = record.transition_state_coordinates;
        refinement.final_result = record.final_result;
        record.ts_refinement = std::move(refinement);
    }
    return record;
}

namespace {

// ---- SaddlePointPy ---------------------------------------------------------

PyTypeObject* point_type = nullptr;

using P = SaddlePoint;

PyGetSetDef point_getset[] = {
    attribute<&P::cycle>("cycle", "Macro cycle iteration index"),
    attribute<&P::moving_structure>("moving_structure",
        "Which structure was relaxed (1 = reactant side, 2 = product side)"),
    attribute<&P::distance>("distance", "Inter-structure distance in Angstroms"),
    attribute<&P::heat_of_formation_kcal>("heat_of_formation_kcal", "Standard heat of formation in kcal/mol"),
    attribute<&P::total_energy_ev>("total_energy_ev", "Electronic total energy in eV"),
    attribute<&P::grad_rms>("grad_rms", "RMS gradient norm in kcal/(mol * A)"),
    attribute<&P::coordinates>("coordinates", "Cartesian coordinates"),
    kEndOfAttributes,
};

PyObject* point_repr(PyObject* self) {
    return guard([&] {
        const P& p = record_of<P>(self);
        return new_text("<SaddlePointPy cycle=" + std::to_string(p.cycle) +
                        " moving_structure=" + std::to_string(p.moving_structure) +
                        " dist=" + format_fixed(p.distance, 3) + " A, dHf=" + format_fixed(p.heat_of_formation_kcal, 3) +
                        " kcal/mol, grad_rms=" + format_fixed(p.grad_rms, 4) + ">");
    });
}

PyMethodDef point_methods[] = {
    {"to_dict", to_dict_of_table<point_getset>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- SaddlePyResult --------------------------------------------------------

PyTypeObject* result_type = nullptr;

using S = SaddleRecord;

PyObject* get_trajectory(PyObject* self, void*) {
    return guard([&] { return new_record_list<P>(point_type, record_of<S>(self).trajectory); });
}

PyObject* get_final_result(PyObject* self, void*) {
    return guard([&] { return new_unchecked_calculation_result(record_of<S>(self).final_result); });
}

PyObject* get_ts_refinement(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        const auto& refinement = record_of<S>(self).ts_refinement;
        if (!refinement) Py_RETURN_NONE;
        return new_unchecked_transition_state_result(*refinement);
    });
}

PyGetSetDef result_getset[] = {
    attribute<&S::converged>("converged",
        "Whether the two endpoints converged within the distance threshold, the refinement (when asked for) converged, "
        "and the transition state lies above both ends and leads down into both of their basins. Without the "
        "refinement it speaks of the path search only: the estimate is no stationary point"),
    attribute<&S::num_cycles>("num_cycles", "Number of completed SADDLE macro cycles"),
    attribute<&S::final_distance>("final_distance", "Final distance between endpoint structures in Angstroms"),
    attribute<&S::transition_state_coordinates>("transition_state_coordinates",
        "Transition state Cartesian coordinates in Angstroms"),
    attribute<&S::transition_state_energy_ev>("transition_state_energy_ev", "Transition state total energy in eV"),
    attribute<&S::transition_state_heat_of_formation_kcal>("transition_state_heat_of_formation_kcal",
        "Standard heat of formation at transition state in kcal/mol"),
    attribute<&S::barrier_forward_kcal>("barrier_forward_kcal",
        "Forward reaction barrier height in kcal/mol (TS - Reactant, the reactant as given)"),
    attribute<&S::barrier_reverse_kcal>("barrier_reverse_kcal",
        "Reverse reaction barrier height in kcal/mol (TS - Product, the product as given)"),
    nested_attribute<&S::trajectory, point_getset>("trajectory", get_trajectory, "Trajectory of SADDLE relaxation points"),
    nested_attribute<&S::final_result, calculation_result_attributes>("final_result", get_final_result,
        "Final single-point calculation result at the transition state"),
    nested_attribute<&S::ts_refinement, transition_state_attributes>("ts_refinement", get_ts_refinement,
        "Optional eigenvector-following refinement result"),
    kEndOfAttributes,
};

// The attribute values, with the points, the single point and the
// refinement as their own dictionaries.
PyObject* result_to_dict(PyObject* self, PyObject*) {
    return guard([&] {
        const S& r = record_of<S>(self);
        Ref dict(dict_from_getset(self, result_getset));
        set_dict_item(dict.get(), "trajectory", Ref(new_dict_list<P>(point_type, r.trajectory, point_getset)));
        set_dict_item(dict.get(), "final_result", Ref(calculation_result_dict(r.final_result)));
        set_dict_item(dict.get(), "ts_refinement",
                      r.ts_refinement ? Ref(transition_state_result_dict(*r.ts_refinement)) : Ref(Py_NewRef(Py_None)));
        return dict.release();
    });
}

PyObject* result_repr(PyObject* self) {
    return guard([&] {
        const S& r = record_of<S>(self);
        return new_text("<SaddlePyResult converged=" + std::string(r.converged ? "true" : "false") +
                        " cycles=" + std::to_string(r.num_cycles) + " final_dist=" + format_fixed(r.final_distance, 4) +
                        " A, TS dHf=" + format_fixed(r.transition_state_heat_of_formation_kcal, 3) +
                        " kcal/mol, barrier_fwd=" + format_fixed(r.barrier_forward_kcal, 3) + " kcal/mol>");
    });
}

PyMethodDef result_methods[] = {
    {"to_dict", result_to_dict, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- saddle ----------------------------------------------------------------

constexpr const char* kParameters[] = {
    "atomic_numbers", "reactant_coords",      "product_coords",  "method",         "max_cycles", "step_size",
    "convergence_distance", "inner_max_steps", "inner_grad_tol", "use_nddo", "refine_with_ts",
};

PyObject* saddle(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("saddle", kParameters, 3, args, kwargs);
        SaddleRequest request;
        request.atomic_numbers = to_atomic_numbers(bound.value(0), bound.name(0));
        request.reactant_coords = to_coordinate_list(bound.value(1), bound.name(1));
        request.product_coords = to_coordinate_list(bound.value(2), bound.name(2));
        request.method = name_or(bound, 3, "PM6");
        SaddleOptions& o = request.options;
        o.max_cycles = static_cast<std::size_t>(count_or(bound, 4, 60));
        o.step_size = double_or(bound, 5, 0.10);
        o.convergence_distance = double_or(bound, 6, 0.12);
        o.inner_max_steps = static_cast<std::size_t>(count_or(bound, 7, 12));
        o.inner_grad_tol = double_or(bound, 8, 3.0);
        o.use_nddo = switch_or(bound, 9, true);
        o.refine_with_ts = switch_or(bound, 10, true);
        return new_record_object(result_type, engine_call([&] { return run_saddle_search(request); }));
    });
}

PyMethodDef saddle_def = {
    "saddle",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(saddle)),
    METH_VARARGS | METH_KEYWORDS,
    "saddle(atomic_numbers, reactant_coords, product_coords, method=None, max_cycles=None, step_size=None, "
    "convergence_distance=None, inner_max_steps=None, inner_grad_tol=None, use_nddo=None, refine_with_ts=None)\n"
    "--\n"
    "\n"
    "Locate a transition state between two geometries using two-ended SADDLE reaction search.\n"
    "\n"
    "Parameters:\n"
    "- `atomic_numbers`: list of integer atomic numbers (e.g. `[7, 1, 1, 1]`)\n"
    "- `reactant_coords`: 3D coordinates in Angstroms of the reactant state; the barriers are measured from the "
    "heats of the two ends as given, not from their minima, so ends off their minima (force-field geometries, "
    "noisy coordinates) give barriers too low by as much as they lie above them: optimise both ends first\n"
    "- `product_coords`: 3D coordinates in Angstroms of the product state\n"
    QUORIN_METHOD_DOC
    "- `max_cycles`: Maximum SADDLE macro stepping cycles (default: 60)\n"
    "- `step_size`: Distance decrement step size in Angstroms (default: 0.10)\n"
    "- `convergence_distance`: Endpoint convergence distance in Angstroms (default: 0.12)\n"
    "- `inner_max_steps`: Maximum transverse relaxation steps per cycle (default: 12)\n"
    "- `inner_grad_tol`: RMS gradient tolerance for transverse relaxation in kcal/(mol*A) (default: 3.0)\n"
    QUORIN_USE_NDDO_DOC "\n"
    "- `refine_with_ts`: Refine candidate TS with eigenvector-following Baker P-RFO (default: true); without it "
    "the transition state is the estimate interpolated between the two ends, not a stationary point (HONO cis to "
    "trans: two imaginary frequencies, 14.7 kcal/mol above the saddle point), and `converged` speaks of the path "
    "search only",
};

}  // namespace

PyObject* create_saddle_point_type() {
    return create_record_type<P>({"quorin_py.SaddlePointPy",
                                  "A discrete point along the two-ended reaction barrier ascent in SADDLE.", point_repr,
                                  point_getset, point_methods},
                                 point_type);
}

PyObject* create_saddle_result_type() {
    return create_record_type<S>({"quorin_py.SaddlePyResult", "Outcome of two-ended SADDLE transition state search.",
                                  result_repr, result_getset, result_methods},
                                 result_type);
}

PyMethodDef* saddle_method_def() { return &saddle_def; }

}  // namespace quorin::py
