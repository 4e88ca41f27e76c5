#include "python/engine_call.h"
#include "python/optimize.h"

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

OptimizationRecord run_optimization(const OptimizeRequest& request) {
    const auto& numbers = request.atomic_numbers;
    const CheckedMolecule checked =
        check_request(numbers, {{request.coordinates}}, request.method,
                      {{"grad_rms_tol", request.grad_rms_tol, ranges::kGradientRmsTolerance},
                       {"grad_max_tol", request.grad_max_tol, ranges::kGradientMaxTolerance}},
                      {{"max_cycles", request.max_cycles, ranges::kLoopCount}});
    const ParameterModel& model = *checked.model;

    OptimizationOptions options;
    options.max_cycles = static_cast<std::size_t>(request.max_cycles);
    options.grad_rms_tol = request.grad_rms_tol;
    options.grad_max_tol = request.grad_max_tol;
    options.energy_tol = 1e-5;
    options.max_step = 0.2;
    options.memory = 6;
    options.use_nddo = request.use_nddo;
    check_engine_options([&] { check_optimization_options(options, numbers.size()); });

    MolecularBatch molecule = MolecularBatch::new_for_model(numbers, request.coordinates, model);
    require_memory(driver_memory(molecule, request.use_nddo, 1, 0, true, {.spare_scf_workspace = true}));
    ScfWorkspace scf = ScfWorkspace::allocate(molecule.n_basis);
    GradientWorkspace gradient_workspace = GradientWorkspace::allocate(molecule.n_basis);
    const OptimizationResult minimum = optimize_geometry_lbfgs(molecule, model, scf, gradient_workspace, options);

    OptimizationRecord record;
    record.coordinates = coordinate_triples(molecule);
    record.final_result =
        run_final_single_point(numbers, record.coordinates, model, request.use_nddo, followed_state(scf));

    // The final energy is that of the single point, on the state the search
    // followed; a search is converged only where that SCF converged.
    record.converged = minimum.converged && record.final_result.converged;
    record.cycles = minimum.cycles;
    record.initial_energy_ev = minimum.initial_energy;
    record.final_energy_ev = record.final_result.total_energy_ev;
    record.final_heat_of_formation_kcal = record.final_result.heat_of_formation_kcal;
    record.final_grad_rms = minimum.final_grad_rms;
    record.final_grad_max = minimum.final_grad_max;
    return record;
}

namespace {

using R = OptimizationRecord;

PyTypeObject* result_type = nullptr;  // created once at import

PyObject* get_final_result(PyObject* self, void*) {
    return guard([&] { return new_unchecked_calculation_result(record_of<R>(self).final_result); });
}

PyGetSetDef getset_table[] = {
    attribute<&R::converged>("converged",
        "Whether geometry optimization converged: the RMS and the largest atom gradient below their thresholds (or "
        "an energy change below 1e-5 eV in the last cycle with the RMS below twice grad_rms_tol, whatever the "
        "largest), and the final single point converged on the SCF solution the search followed, where an SCF from "
        "the atomic guess finds no lower one (where it does, the search goes on from that one)"),
    attribute<&R::cycles>("cycles", "Number of quasi-Newton L-BFGS cycles executed"),
    attribute<&R::initial_energy_ev>("initial_energy_ev", "Initial total energy in eV"),
    attribute<&R::final_energy_ev>("final_energy_ev", "Final total energy in eV, that of final_result"),
    attribute<&R::final_heat_of_formation_kcal>("final_heat_of_formation_kcal",
        "Final heat of formation in kcal/mol"),
    attribute<&R::final_grad_rms>("final_grad_rms",
        "Final root mean square of the atoms' gradient lengths in kcal / (mol * \\AA)"),
    attribute<&R::final_grad_max>("final_grad_max", "Final largest atom gradient length in kcal / (mol * \\AA)"),
    attribute<&R::coordinates>("coordinates", "Optimized Cartesian coordinates in \\AA (shape: [natoms, 3])"),
    nested_attribute<&R::final_result, calculation_result_attributes>("final_result", get_final_result,
        "Final calculation result at optimized geometry"),
    kEndOfAttributes,
};

PyObject* repr(PyObject* self) {
    return guard([&] {
        const R& r = record_of<R>(self);
        return new_text("<OptimizationPyResult converged=" + std::string(r.converged ? "true" : "false") +
                        " cycles=" + std::to_string(r.cycles) + " E_final=" + format_fixed(r.final_energy_ev, 6) +
                        " eV, dHf=" + format_fixed(r.final_heat_of_formation_kcal, 3) +
                        " kcal/mol, grad_rms=" + format_fixed(r.final_grad_rms, 4) + ">");
    });
}

constexpr const char* kOptimizeParameters[] = {
    "atomic_numbers", "coordinates", "method", "max_cycles", "grad_rms_tol", "grad_max_tol", "use_nddo",
};

PyObject* optimize(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("optimize", kOptimizeParameters, 2, args, kwargs);
        OptimizeRequest request;
        request.atomic_numbers = to_atomic_numbers(bound.value(0), bound.name(0));
        request.coordinates = to_coordinate_list(bound.value(1), bound.name(1));
        request.method = name_or(bound, 2, "PM6");
        request.max_cycles = count_or(bound, 3, 100);
        request.grad_rms_tol = double_or(bound, 4, 1.0);
        request.grad_max_tol = double_or(bound, 5, 2.0);
        request.use_nddo = switch_or(bound, 6, true);
        return new_optimization_result(engine_call([&] { return run_optimization(request); }));
    });
}

PyMethodDef optimize_def = {
    "optimize",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(optimize)),
    METH_VARARGS | METH_KEYWORDS,
    "optimize(atomic_numbers, coordinates, method=\"PM6\", max_cycles=100, grad_rms_tol=1.0, grad_max_tol=2.0, "
    "use_nddo=True)\n"
    "--\n"
    "\n"
    "Optimize molecular geometry using quasi-Newton L-BFGS optimizer.\n"
    "\n"
    "Parameters:\n"
    "- `atomic_numbers`: list of integer atomic numbers\n"
    "- `coordinates`: initial 3D coordinates in \u00c5ngstr\u00f6ms; a start that keeps a symmetry (linear water, "
    "eclipsed ethane) keeps it, and the search can stop on a saddle point of that symmetry: check the result with "
    "`frequencies` (a minimum has no imaginary frequency)\n"
    QUORIN_METHOD_DOC
    "- `max_cycles`: Maximum L-BFGS optimization cycles (default: 100)\n"
    "- `grad_rms_tol`: RMS gradient convergence threshold in kcal / (mol \u00b7 \u00c5) (default: 1.0)\n"
    "- `grad_max_tol`: Maximum gradient norm threshold in kcal / (mol \u00b7 \u00c5) (default: 2.0)\n"
    QUORIN_USE_NDDO_DOC,
};

}  // namespace

PyObject* create_optimization_result_type() {
    return create_record_type<R>(
        {"quorin_py.OptimizationPyResult", "Result of molecular geometry optimization.", repr, getset_table, nullptr},
        result_type);
}

PyObject* new_optimization_result(OptimizationRecord record) {
    return new_record_object(result_type, std::move(record));
}

PyMethodDef* optimize_method_def() { return &optimize_def; }

}  // namespace quorin::py
