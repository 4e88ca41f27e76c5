#include "python/engine_call.h"
#include "core/properties/request_memory.h"
#include "python/saddle.h"

#include <memory>

#include "python/arguments.h"
#include "python/driver_support.h"
#include "python/method_lookup.h"
#include "python/record_object.h"

namespace quorin::py {

SaddleRecord run_saddle_search(const SaddleRequest& request) {
    const auto& numbers = request.atomic_numbers;
    if (numbers.empty()) throw InputError("atomic_numbers cannot be empty");
    check_matching_lengths(numbers.size(), request.reactant_coords.size(), "reactant_coords");
    check_matching_lengths(numbers.size(), request.product_coords.size(), "product_coords");
    const std::unique_ptr<ParameterModel> model = get_model(request.method);
    // The checks of the final single point, made before the search spends its time.
    check_geometry(numbers, request.reactant_coords);
    check_geometry(numbers, request.product_coords);
    check_closed_shell_supported(numbers, *model, request.method);
    check_engine_options([&] { check_saddle_options(request.options); });
    require_memory(driver_memory(MolecularBatch::new_for_model(numbers, request.reactant_coords, *model),
                                 request.options.use_nddo, 3, 6, true));

    SaddleResult search =
        run_saddle(numbers, request.reactant_coords, request.product_coords, *model, request.options);

    SaddleRecord record;
    record.final_result = run_final_single_point(numbers, search.transition_state_coordinates, request.method,
                                                 request.options.use_nddo);
    record.converged = search.converged;
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
    {"cycle", get_field<&P::cycle>, nullptr, "Macro cycle iteration index", nullptr},
    {"moving_structure", get_field<&P::moving_structure>, nullptr,
     "Which structure was relaxed (1 = reactant side, 2 = product side)", nullptr},
    {"distance", get_field<&P::distance>, nullptr, "Inter-structure distance in Angstroms", nullptr},
    {"heat_of_formation_kcal", get_field<&P::heat_of_formation_kcal>, nullptr,
     "Standard heat of formation in kcal/mol", nullptr},
    {"total_energy_ev", get_field<&P::total_energy_ev>, nullptr, "Electronic total energy in eV", nullptr},
    {"grad_rms", get_field<&P::grad_rms>, nullptr, "RMS gradient norm in kcal/(mol * A)", nullptr},
    {"coordinates", get_field<&P::coordinates>, nullptr, "Cartesian coordinates", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
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
    {"converged", get_field<&S::converged>, nullptr,
     "Whether the two endpoints converged within the distance threshold, the refinement (when asked for) converged, "
     "and the transition state lies above both ends and leads down into both of their basins", nullptr},
    {"num_cycles", get_field<&S::num_cycles>, nullptr, "Number of completed SADDLE macro cycles", nullptr},
    {"final_distance", get_field<&S::final_distance>, nullptr,
     "Final distance between endpoint structures in Angstroms", nullptr},
    {"transition_state_coordinates", get_field<&S::transition_state_coordinates>, nullptr,
     "Transition state Cartesian coordinates in Angstroms", nullptr},
    {"transition_state_energy_ev", get_field<&S::transition_state_energy_ev>, nullptr,
     "Transition state total energy in eV", nullptr},
    {"transition_state_heat_of_formation_kcal", get_field<&S::transition_state_heat_of_formation_kcal>, nullptr,
     "Standard heat of formation at transition state in kcal/mol", nullptr},
    {"barrier_forward_kcal", get_field<&S::barrier_forward_kcal>, nullptr,
     "Forward reaction barrier height in kcal/mol (TS - Reactant)", nullptr},
    {"barrier_reverse_kcal", get_field<&S::barrier_reverse_kcal>, nullptr,
     "Reverse reaction barrier height in kcal/mol (TS - Product)", nullptr},
    {"trajectory", get_trajectory, nullptr, "Trajectory of SADDLE relaxation points", nullptr},
    {"final_result", get_final_result, nullptr, "Final single-point calculation result at the transition state",
     nullptr},
    {"ts_refinement", get_ts_refinement, nullptr, "Optional eigenvector-following refinement result", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
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
    "- `reactant_coords`: 3D coordinates in Angstroms of the reactant state\n"
    "- `product_coords`: 3D coordinates in Angstroms of the product state\n"
    "- `method`: Semi-empirical Hamiltonian (\"PM6\", \"AM1\", \"RM1\", \"PM3\", \"MNDO\"; default: \"PM6\")\n"
    "- `max_cycles`: Maximum SADDLE macro stepping cycles (default: 60)\n"
    "- `step_size`: Distance decrement step size in Angstroms (default: 0.10)\n"
    "- `convergence_distance`: Endpoint convergence distance in Angstroms (default: 0.12)\n"
    "- `inner_max_steps`: Maximum transverse relaxation steps per cycle (default: 12)\n"
    "- `inner_grad_tol`: RMS gradient tolerance for transverse relaxation in kcal/(mol*A) (default: 3.0)\n"
    "- `use_nddo`: Enable full NDDO multipole integrals (default: true)\n"
    "- `refine_with_ts`: Refine candidate TS with eigenvector-following Baker P-RFO (default: true)",
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
