#include "python/engine_call.h"
#include "python/irc.h"

#include <memory>
#include <span>

#include "core/gradients/nuclear_gradients.h"
#include "core/properties/request_memory.h"
#include "core/scf/workspace.h"
#include "core/types/molecule.h"
#include "python/arguments.h"
#include "python/docstrings.h"
#include "python/method_lookup.h"
#include "python/record_object.h"

namespace quorin::py {

void read_irc_options(const BoundArguments& bound, std::size_t first, IrcRequest& request) {
    request.step_size = double_or(bound, first, 0.1);
    request.max_points = count_or(bound, first + 1, 50);
    request.direction = name_or(bound, first + 2, "both");
}

IrcResult run_irc(const IrcRequest& request) {
    const auto& numbers = request.atomic_numbers;
    const CheckedMolecule checked = check_request(numbers, {{request.coordinates}}, request.method,
                                                  {{"step_size", request.step_size, ranges::kPathStep}},
                                                  {{"max_points", request.max_points, ranges::kLoopCount}});
    const ParameterModel& model = *checked.model;

    IrcOptions options;
    const std::string direction = to_lower(request.direction);
    if (direction == "forward" || direction == "fwd") {
        options.direction = kIrcForward;
    } else if (direction == "reverse" || direction == "rev") {
        options.direction = kIrcReverse;
    } else if (direction == "both") {
        options.direction = kIrcBoth;
    } else {
        refuse_argument("direction",
                        "unknown IRC direction '" + direction + "'; supported: 'both', 'forward', 'reverse'");
    }
    options.step_size = request.step_size;
    options.max_points = static_cast<std::size_t>(request.max_points);
    options.max_corrector_iterations = 25;
    options.corrector_tol = 1e-4;
    options.min_gradient = 0.05;
    options.use_nddo = request.use_nddo;
    if (const auto error = find_irc_option_error(options)) throw InputError(*error);

    MolecularBatch molecule = MolecularBatch::new_for_model(numbers, request.coordinates, model);
    require_memory(driver_memory(molecule, request.use_nddo, 1, 6, false,
                                 {.spare_scf_workspace = true, .walk_basis_matrices = 2}));
    ScfWorkspace scf = ScfWorkspace::allocate(molecule.n_basis);
    GradientWorkspace gradient_workspace = GradientWorkspace::allocate(molecule.n_basis);
    IrcWorkspace workspace = IrcWorkspace::allocate(molecule);
    return trace_intrinsic_reaction_coordinate(molecule, model, scf, gradient_workspace, workspace, options);
}

namespace {

// What a converged branch end is, in both branches' flags.
#define QUORIN_IRC_MINIMUM_DOC                                                                                      \
    ": its gradient vanished well below the transition state with the energy curving up along the path (or a "     \
    "tight minimisation took over once the steps had shrunk to 1/1024 of step_size), an SCF from the atomic guess " \
    "finds no lower solution there, and no vibration lies below -10 cm^-1, at any size, by a search for the lowest " \
    "mode with Hessian-vector products from gradient differences (from a stationary point with such a mode, the "   \
    "path steps off along it and a minimisation goes on down to its last point). Every point of a branch lies at "  \
    "or below the one before"

// ---- IrcPointPy ------------------------------------------------------------

PyTypeObject* point_type = nullptr;

using P = IrcPoint;

PyGetSetDef point_getset[] = {
    attribute<&P::path_coordinate>("path_coordinate",
        "Integrated reaction coordinate s in amu^(1/2) * \u00c5 (0 at TS, >0 forward, <0 reverse)"),
    attribute<&P::energy_ev>("energy_ev", "Total electronic energy in eV"),
    attribute<&P::heat_of_formation_kcal>("heat_of_formation_kcal", "Standard heat of formation in kcal/mol"),
    attribute<&P::coordinates>("coordinates", "Cartesian coordinates in \u00c5 (shape: [natoms, 3])"),
    attribute<&P::cartesian_gradient_rms>("cartesian_gradient_rms",
        "Cartesian gradient RMS in kcal / (mol * \u00c5)"),
    attribute<&P::mass_weighted_gradient_rms>("mass_weighted_gradient_rms",
        "Mass-weighted gradient RMS in kcal / (mol * \u00c5 * amu^(1/2))"),
    kEndOfAttributes,
};

PyObject* point_repr(PyObject* self) {
    return guard([&] {
        const P& p = record_of<P>(self);
        return new_text("<IrcPoint s=" + format_signed_fixed(p.path_coordinate, 4) +
                        " E=" + format_fixed(p.energy_ev, 6) + " eV, dHf=" + format_fixed(p.heat_of_formation_kcal, 3) +
                        " kcal/mol, grad_rms=" + format_fixed(p.cartesian_gradient_rms, 4) + ">");
    });
}

PyMethodDef point_methods[] = {
    {"to_dict", to_dict_of_table<point_getset>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- IrcPyResult -----------------------------------------------------------

PyTypeObject* result_type = nullptr;

using R = IrcResult;

PyObject* get_points(PyObject* self, void*) {
    return guard([&] { return new_record_list(point_type, std::span<const IrcPoint>(record_of<R>(self).points)); });
}

PyGetSetDef result_getset[] = {
    nested_attribute<&R::points, point_getset>("points", get_points,
        "Sequence of reaction path points ordered monotonically along reaction coordinate s"),
    attribute<&R::ts_point_index>("ts_point_index", "Index of transition state point in the points list (s = 0.0)"),
    attribute<&R::forward_converged>("forward_converged",
        "Whether forward reaction branch converged to a local minimum" QUORIN_IRC_MINIMUM_DOC),
    attribute<&R::reverse_converged>("reverse_converged",
        "Whether reverse reaction branch converged to a local minimum" QUORIN_IRC_MINIMUM_DOC),
    kEndOfAttributes,
};

PyObject* result_to_dict(PyObject* self, PyObject*) {
    return guard([&] {
        return dict_with_records_last(self, result_getset, point_type,
                                      std::span<const IrcPoint>(record_of<R>(self).points), point_getset);
    });
}

PyObject* result_repr(PyObject* self) {
    return guard([&] {
        const R& r = record_of<R>(self);
        return new_text("<IrcPyResult points=" + std::to_string(r.points.size()) +
                        " ts_idx=" + std::to_string(r.ts_point_index) +
                        " fwd_conv=" + (r.forward_converged ? "true" : "false") +
                        " rev_conv=" + (r.reverse_converged ? "true" : "false") + ">");
    });
}

PyMethodDef result_methods[] = {
    {"to_dict", result_to_dict, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- irc ---------------------------------------------------------------------

constexpr const char* kIrcParameters[] = {
    "atomic_numbers", "coordinates", "method", "step_size", "max_points", "direction", "use_nddo",
};

PyObject* irc(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("irc", kIrcParameters, 2, args, kwargs);
        IrcRequest request;
        request.atomic_numbers = to_atomic_numbers(bound.value(0), bound.name(0));
        request.coordinates = to_coordinate_list(bound.value(1), bound.name(1));
        request.method = name_or(bound, 2, "PM6");
        read_irc_options(bound, 3, request);
        request.use_nddo = switch_or(bound, 6, true);
        return new_irc_result(engine_call([&] { return run_irc(request); }));
    });
}

PyMethodDef irc_def = {
    "irc",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(irc)),
    METH_VARARGS | METH_KEYWORDS,
    "irc(atomic_numbers, coordinates, method=None, step_size=None, max_points=None, direction=None, "
    "use_nddo=True)\n"
    "--\n"
    "\n"
    "Trace Intrinsic Reaction Coordinate (IRC) path from a transition state.\n"
    "\n"
    "Parameters:\n"
    "- `atomic_numbers`: list of integer atomic numbers (e.g. `[7, 1, 1, 1]`)\n"
    "- `coordinates`: 3D coordinates in \u00c5ngstr\u00f6ms of the transition state\n"
    QUORIN_METHOD_DOC
    "- `step_size`: Path arc length step size in amu^(1/2) * \u00c5 (default: 0.1)\n"
    "- `max_points`: Maximum number of reaction path points per direction (default: 50)\n"
    "- `direction`: Path direction: \"both\", \"forward\", or \"reverse\" (default: \"both\")\n"
    QUORIN_USE_NDDO_DOC,
};

}  // namespace

PyObject* create_irc_point_type() {
    return create_record_type<P>({"quorin_py.IrcPointPy",
                                  "Single reaction path point along an Intrinsic Reaction Coordinate.", point_repr,
                                  point_getset, point_methods},
                                 point_type);
}

PyObject* create_irc_result_type() {
    return create_record_type<R>({"quorin_py.IrcPyResult",
                                  "Comprehensive result of Intrinsic Reaction Coordinate path tracing.", result_repr,
                                  result_getset, result_methods},
                                 result_type);
}

PyObject* new_irc_result(IrcResult result) { return new_record_object(result_type, std::move(result)); }

PyMethodDef* irc_method_def() { return &irc_def; }

}  // namespace quorin::py
