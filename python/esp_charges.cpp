#include "python/engine_call.h"
#include "python/esp_charges.h"

#include <memory>
#include <variant>

#include "core/properties/request_memory.h"
#include "core/scf/scf_loop.h"
#include "core/scf/workspace.h"
#include "core/types/molecule.h"
#include "python/arguments.h"
#include "python/docstrings.h"
#include "python/method_lookup.h"
#include "python/record_object.h"

namespace quorin::py {

EspResult run_esp_charges(const EspRequest& request) {
    const auto& numbers = request.atomic_numbers;
    const CheckedMolecule checked = check_request(numbers, {{request.coordinates}}, request.method);
    const ParameterModel& model = *checked.model;
    // The SCF is always that of the neutral molecule; charges constrained to
    // another sum would be fitted to a potential they cannot describe.
    if (request.net_charge != 0.0) {
        refuse_argument("net_charge", "must be 0 (got " + format_shortest(request.net_charge) +
                                          "): the molecule is always computed neutral, so its fitted charges sum "
                                          "to zero");
    }
    check_count_in_range("points_per_shell", request.points_per_shell, ranges::kEspPointsPerShell);

    MolecularBatch molecule = MolecularBatch::new_for_model(numbers, request.coordinates, model);
    require_memory(esp_memory(molecule, 4, request.points_per_shell));
    ScfWorkspace workspace = ScfWorkspace::allocate(molecule.n_basis);
    ScfOptions options;
    options.max_iterations = 60;
    options.energy_tolerance = 1e-7;
    options.density_tolerance = 1e-6;
    options.level_shift = 0.0;
    options.damping = 0.5;
    options.use_nddo = true;
    if (!run_rhf_scf_with_options(molecule, model, workspace, options).converged) {
        throw InputError("Base SCF failed to converge for ESP calculation");
    }
    auto fitted = compute_esp_charges(molecule, model, workspace.density,
                                      {{1.4, 1.6, 1.8, 2.0}, request.points_per_shell, request.net_charge});
    if (auto* message = std::get_if<std::string>(&fitted)) throw InputError(*message);
    return std::get<EspResult>(std::move(fitted));
}

namespace {

PyTypeObject* esp_result_type = nullptr;

using E = EspResult;

PyGetSetDef esp_result_getset[] = {
    attribute<&E::charges>("charges", "Fitted atom-centered partial charges in atomic units (e)"),
    attribute<&E::dipole>("dipole_debye",
        "Cartesian electric dipole moment computed from fitted ESP charges in Debye [x, y, z]"),
    attribute<&E::dipole_magnitude>("dipole_magnitude_debye", "Total dipole moment magnitude in Debye"),
    attribute<&E::rms_error>("rms_error_ev", "Root-mean-square fitting error of the electrostatic potential in eV"),
    attribute<&E::num_grid_points>("num_grid_points",
        "Total number of grid points retained on the solvent-accessible envelope"),
    kEndOfAttributes,
};

PyObject* esp_result_repr(PyObject* self) {
    return guard([&] {
        const E& r = record_of<E>(self);
        std::string charges = "[";
        for (std::size_t a = 0; a < r.charges.size(); ++a) {
            if (a > 0) charges += ", ";
            charges += format_shortest(r.charges[a]);
        }
        charges += "]";
        return new_text("<EspResult charges=" + charges + ", dipole=" + format_fixed(r.dipole_magnitude, 3) +
                        " D, rms_err=" + format_fixed(r.rms_error, 4) +
                        " eV, grid_pts=" + std::to_string(r.num_grid_points) + ">");
    });
}

PyMethodDef esp_result_methods[] = {
    {"to_dict", to_dict_of_table<esp_result_getset>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kEspParameters[] = {"atomic_numbers", "coordinates", "method", "net_charge",
                                          "points_per_shell"};

PyObject* esp_charges(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("esp_charges", kEspParameters, 2, args, kwargs);
        EspRequest request;
        request.atomic_numbers = to_atomic_numbers(bound.value(0), bound.name(0));
        request.coordinates = to_coordinate_list(bound.value(1), bound.name(1));
        request.method = name_or(bound, 2, "PM6");
        request.net_charge = double_or(bound, 3, 0.0);
        request.points_per_shell = count_or(bound, 4, 64);
        return new_record_object(esp_result_type, engine_call([&] { return run_esp_charges(request); }));
    });
}

PyMethodDef esp_charges_def = {
    "esp_charges",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(esp_charges)),
    METH_VARARGS | METH_KEYWORDS,
    "esp_charges(atomic_numbers, coordinates, method=\"PM6\", net_charge=0.0, points_per_shell=64)\n"
    "--\n"
    "\n"
    "Compute Merz-Singh-Kollman atom-centered Electrostatic Potential (ESP) partial charges.\n"
    "\n"
    "Parameters:\n"
    "- `atomic_numbers`: list of integer atomic numbers\n"
    "- `coordinates`: 3D Cartesian coordinates in Angstroms\n"
    QUORIN_METHOD_DOC
    "- `net_charge`: Molecular net charge constraint (default: 0.0)\n"
    "- `points_per_shell`: Fibonacci sampling points per atom per radial shell (default: 64)",
};

}  // namespace

PyObject* create_esp_result_type() {
    return create_record_type<E>({"quorin_py.EspResultPy",
                                  "Merz-Singh-Kollman Electrostatic Potential (ESP) fitting result.", esp_result_repr,
                                  esp_result_getset, esp_result_methods},
                                 esp_result_type);
}

PyMethodDef* esp_charges_method_def() { return &esp_charges_def; }

}  // namespace quorin::py
