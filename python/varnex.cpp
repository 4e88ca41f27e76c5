#include "python/engine_call.h"
#include "python/varnex.h"

#include <memory>
#include <variant>

#include "core/properties/request_memory.h"
#include "core/corrections/dispersion.h"
#include "core/types/molecule.h"
#include "python/arguments.h"
#include "python/method_lookup.h"
#include "python/record_object.h"

namespace quorin::py {

VarnexResult run_varnex(const VarnexRequest& request) {
    const auto& numbers = request.atomic_numbers;
    const VarnexConfig& config = request.config;
    const CheckedMolecule checked =
        check_request(numbers, {{request.coordinates}}, request.method,
                      {{"energy_tol", config.energy_tol, ranges::kLocalizedEnergyTolerance},
                       {"jacobi_tol", config.jacobi_tol, ranges::kCouplingTolerance},
                       {"cutoff_distance", config.cutoff_distance, ranges::kPairCutoff},
                       {"damping", config.damping, ranges::kRotationDamping}},
                      {{"max_iter", config.max_iter, ranges::kLoopCount},
                       {"max_jacobi_sweeps", config.max_jacobi_sweeps, ranges::kLoopCount}});
    const ParameterModel& model = *checked.model;
    // Dispersion names read as calculate reads them; unknown ones refused.
    const DispersionModel dispersion = request.dispersion ? dispersion_argument(*request.dispersion) : kNoDispersion;

    const MolecularBatch molecule = MolecularBatch::new_for_model(numbers, request.coordinates, model);
    require_memory(localized_orbital_memory(molecule));
    auto outcome = run_varnex_scf(molecule, model, dispersion, request.config);
    if (auto* message = std::get_if<std::string>(&outcome)) throw InputError(*message);
    VarnexResult result = std::move(std::get<VarnexResult>(outcome));
    result.density = BlockMatrix();
    return result;
}

namespace {

// ---- VarnexLmoPy -----------------------------------------------------------

PyTypeObject* lmo_type = nullptr;

PyObject* get_lmo_type(PyObject* self, void*) {
    return guard([&] { return new_text(std::string(lmo_type_name(record_of<Lmo>(self).lmo_type))); });
}

PyGetSetDef lmo_getset[] = {
    attribute<&Lmo::index>("index", "0-indexed LMO identifier"),
    attribute<&Lmo::lmo_type>("lmo_type", get_lmo_type,
        "Orbital kind, e.g. BondingSigma, LonePair or AntibondingSigma"),
    attribute<&Lmo::occupied>("is_occupied", "Occupancy flag: true if occupied (2 electrons), false if virtual"),
    attribute<&Lmo::atom_indices>("atom_indices", "Indices of atoms on which this LMO is localized"),
    attribute<&Lmo::ao_indices>("ao_indices", "Participating atomic orbital basis function indices"),
    attribute<&Lmo::coefficients>("coeffs", "Expansion coefficients"),
    attribute<&Lmo::energy>("energy_ev", "Orbital expectation energy <phi | F | phi> in eV"),
    kEndOfAttributes,
};

PyObject* lmo_repr(PyObject* self) {
    return guard([&] {
        const Lmo& lmo = record_of<Lmo>(self);
        std::string atoms = "[";
        for (std::size_t k = 0; k < lmo.atom_indices.size(); ++k) {
            if (k > 0) atoms += ", ";
            atoms += std::to_string(lmo.atom_indices[k]);
        }
        atoms += "]";
        return new_text("<VarnexLmo index=" + std::to_string(lmo.index) + " type='" +
                        std::string(lmo_type_name(lmo.lmo_type)) + "' occ=" + (lmo.occupied ? "true" : "false") +
                        " atoms=" + atoms + " E=" + format_fixed(lmo.energy, 3) + " eV>");
    });
}

PyMethodDef lmo_methods[] = {
    {"to_dict", to_dict_of_table<lmo_getset>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- VarnexPyResult --------------------------------------------------------

PyTypeObject* result_type = nullptr;

using R = VarnexResult;

PyObject* get_lmos(PyObject* self, void*) {
    return guard([&] { return new_record_list<Lmo>(lmo_type, record_of<R>(self).lmos); });
}

PyGetSetDef result_getset[] = {
    attribute<&R::converged>("converged", "Whether Jacobi LMO rotation minimization converged"),
    attribute<&R::iterations>("iterations", "Number of completed SCF iterations"),
    attribute<&R::electronic_energy>("electronic_energy_ev", "Total electronic energy in eV"),
    attribute<&R::nuclear_repulsion>("nuclear_repulsion_ev", "Core-core nuclear repulsion energy in eV"),
    attribute<&R::total_energy>("total_energy_ev", "Total energy in eV (E_elec + E_nuc)"),
    attribute<&R::heat_of_formation>("heat_of_formation_kcal",
        "Standard heat of formation \\Delta H_f^\\circ in kcal/mol"),
    attribute<&R::atomic_charges>("atomic_charges", "Net Mulliken partial atomic charges (shape: [natoms])"),
    nested_attribute<&R::lmos, lmo_getset>("lmos", get_lmos, "Converged localized molecular orbitals"),
    kEndOfAttributes,
};

// Attribute values, with each orbital as its own dictionary.
PyObject* result_to_dict(PyObject* self, PyObject*) {
    return guard([&] {
        const R& r = record_of<R>(self);
        Ref dict(check(PyDict_New()));
        for (const PyGetSetDef* entry = result_getset; entry->name != nullptr; ++entry) {
            if (entry->get == get_lmos) continue;
            set_dict_item(dict.get(), entry->name, Ref(check(entry->get(self, entry->closure))));
        }
        set_dict_item(dict.get(), "lmos", Ref(new_dict_list<Lmo>(lmo_type, r.lmos, lmo_getset)));
        return dict.release();
    });
}

PyObject* result_repr(PyObject* self) {
    return guard([&] {
        const R& r = record_of<R>(self);
        return new_text(std::string("<VarnexPyResult converged=") + (r.converged ? "true" : "false") +
                        " iter=" + std::to_string(r.iterations) + " E_tot=" + format_fixed(r.total_energy, 6) +
                        " eV, dHf=" + format_fixed(r.heat_of_formation, 3) +
                        " kcal/mol, num_lmos=" + std::to_string(r.lmos.size()) + ">");
    });
}

PyMethodDef result_methods[] = {
    {"to_dict", result_to_dict, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- varnex ----------------------------------------------------------------

constexpr const char* kVarnexParameters[] = {
    "atomic_numbers", "coordinates", "method",          "dispersion", "max_iter", "max_jacobi_sweeps",
    "energy_tol",     "jacobi_tol",  "cutoff_distance", "damping",    "verbose",
};

PyObject* varnex(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("varnex", kVarnexParameters, 2, args, kwargs);
        VarnexRequest request;
        request.atomic_numbers = to_atomic_numbers(bound.given(0), bound.name(0));
        request.coordinates = to_coordinate_list(bound.given(1), bound.name(1));
        request.method = plain_or(bound, 2, to_name, std::string("PM6"));
        request.dispersion = optional_name(bound, 3);
        request.config.max_iter = plain_or(bound, 4, to_count, std::uint64_t{200});
        request.config.max_jacobi_sweeps = plain_or(bound, 5, to_count, std::uint64_t{50});
        request.config.energy_tol = plain_or(bound, 6, to_double, 1e-7);
        request.config.jacobi_tol = plain_or(bound, 7, to_double, 1e-4);
        request.config.cutoff_distance = plain_or(bound, 8, to_double, 8.5);
        request.config.damping = plain_or(bound, 9, to_double, 1.0);
        request.config.verbose = plain_or(bound, 10, to_switch, false);
        return new_record_object(result_type, engine_call([&] { return run_varnex(request); }));
    });
}

PyMethodDef varnex_def = {
    "varnex",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(varnex)),
    METH_VARARGS | METH_KEYWORDS,
    "varnex(atomic_numbers, coordinates, method=\"PM6\", dispersion=None, max_iter=200, max_jacobi_sweeps=50, "
    "energy_tol=1e-7, jacobi_tol=1e-4, cutoff_distance=8.5, damping=1.0, verbose=False)\n"
    "--\n"
    "\n"
    "Perform O(N) linear-scaling localized molecular orbital calculation via VARNEX.",
};

}  // namespace

PyObject* create_varnex_lmo_type() {
    return create_record_type<Lmo>({"quorin_py.VarnexLmoPy",
                                    "Localized Molecular Orbital (LMO) representation for Python.", lmo_repr,
                                    lmo_getset, lmo_methods},
                                   lmo_type);
}

PyObject* create_varnex_result_type() {
    return create_record_type<R>({"quorin_py.VarnexPyResult",
                                  "VARNEX O(N) linear-scaling localized molecular orbital SCF results for Python.",
                                  result_repr, result_getset, result_methods},
                                 result_type);
}

PyMethodDef* varnex_method_def() { return &varnex_def; }

}  // namespace quorin::py
