#include "python/am1_bcc.h"

#include <memory>
#include <variant>

#include "core/gradients/mulliken.h"
#include "core/properties/request_memory.h"
#include "core/scf/scf_loop.h"
#include "core/scf/workspace.h"
#include "core/types/molecule.h"
#include "python/arguments.h"
#include "python/engine_call.h"
#include "python/method_lookup.h"
#include "python/record_object.h"

namespace quorin::py {

Am1BccResult run_am1_bcc(const Am1BccRequest& request) {
    const auto& numbers = request.atomic_numbers;
    const CheckedMolecule checked = check_request(numbers, {{request.coordinates}}, request.method);
    const ParameterModel& model = *checked.model;

    MolecularBatch molecule = MolecularBatch::new_for_model(numbers, request.coordinates, model);
    require_memory(charges_memory(molecule, request.use_nddo));
    ScfWorkspace workspace = ScfWorkspace::allocate(molecule.n_basis);
    ScfOptions options;
    options.max_iterations = 100;
    options.energy_tolerance = 1e-8;
    options.density_tolerance = 1e-7;
    options.level_shift = 0.0;
    options.damping = 0.5;
    options.use_nddo = request.use_nddo;
    if (!run_rhf_scf_with_options(molecule, model, workspace, options).converged) {
        throw InputError("SCF failed to converge during AM1-BCC calculation");
    }
    const MullikenResult mulliken =
        compute_mulliken_population(molecule, model, workspace.coefficients, checked.valence_electrons / 2);
    auto corrected = compute_am1_bcc_charges(molecule, std::span<const double>(mulliken.charges.data(), mulliken.charges.size()));
    if (auto* message = std::get_if<std::string>(&corrected)) throw InputError(*message);
    return std::get<Am1BccResult>(std::move(corrected));
}

namespace {

PyTypeObject* am1_bcc_result_type = nullptr;

using B = Am1BccResult;

PyGetSetDef am1_bcc_getset[] = {
    attribute<&B::initial_charges>("initial_charges", "Initial Mulliken population charges before BCC corrections"),
    attribute<&B::bond_charge_corrections>("bond_charge_corrections",
        "Net bond charge corrections applied to each atom"),
    attribute<&B::bcc_charges>("bcc_charges", "Final AM1-BCC charges"),
    attribute<&B::total_charge>("total_charge", "Total net charge of the molecular system"),
    kEndOfAttributes,
};

PyMethodDef am1_bcc_methods[] = {
    {"to_dict", to_dict_of_table<am1_bcc_getset>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kAm1BccParameters[] = {"atomic_numbers", "coordinates", "method", "use_nddo"};

PyObject* am1_bcc(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("am1_bcc", kAm1BccParameters, 2, args, kwargs);
        Am1BccRequest request;
        request.atomic_numbers = to_atomic_numbers(bound.given(0), bound.name(0));
        request.coordinates = to_coordinate_list(bound.given(1), bound.name(1));
        request.method = plain_or(bound, 2, to_name, std::string("AM1"));
        request.use_nddo = plain_or(bound, 3, to_switch, true);
        return new_record_object(am1_bcc_result_type, engine_call([&] { return run_am1_bcc(request); }));
    });
}

PyMethodDef am1_bcc_def = {
    "am1_bcc",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(am1_bcc)),
    METH_VARARGS | METH_KEYWORDS,
    "am1_bcc(atomic_numbers, coordinates, method=\"AM1\", use_nddo=True)\n"
    "--\n"
    "\n"
    "Calculate AM1-BCC atomic partial charges.",
};

}  // namespace

PyObject* create_am1_bcc_result_type() {
    return create_record_type<B>({"quorin_py.Am1BccPyResult", "AM1-BCC Atomic Partial Charges result.", nullptr,
                                  am1_bcc_getset, am1_bcc_methods},
                                 am1_bcc_result_type);
}

PyMethodDef* am1_bcc_method_def() { return &am1_bcc_def; }

}  // namespace quorin::py
