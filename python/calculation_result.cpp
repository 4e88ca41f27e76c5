#include "python/calculation_result.h"

#include <string>

namespace quorin::py {

namespace {

constexpr const char* kClassName = "CalculationResult";

PyTypeObject* result_type = nullptr;  // created once at import

struct CalculationResultObject {
    PyObject_HEAD
    CalculationRecord* record;
};

const CalculationRecord& record_of(PyObject* self) {
    return *reinterpret_cast<CalculationResultObject*>(self)->record;
}

template <double CalculationRecord::*Field>
PyObject* get_float(PyObject* self, void*) {
    return PyFloat_FromDouble(record_of(self).*Field);
}

template <std::vector<std::array<double, 3>> CalculationRecord::*Field>
PyObject* get_triples(PyObject* self, void*) {
    return guard([&] { return new_triple_list(record_of(self).*Field); });
}

template <std::vector<double> CalculationRecord::*Field>
PyObject* get_floats(PyObject* self, void*) {
    return guard([&] { return new_float_list(record_of(self).*Field); });
}

PyObject* get_dipole(PyObject* self, void*) {
    return guard([&] { return new_float_list(record_of(self).dipole_debye); });
}

PyObject* get_converged(PyObject* self, void*) { return PyBool_FromLong(record_of(self).converged ? 1 : 0); }

PyObject* get_scf_iterations(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(record_of(self).scf_iterations);
}

using R = CalculationRecord;

PyGetSetDef getset_table[] = {
    {"total_energy_ev", get_float<&R::total_energy_ev>, nullptr, "Total SCF energy in electron-volts (eV)",
     nullptr},
    {"electronic_energy_ev", get_float<&R::electronic_energy_ev>, nullptr,
     "Electronic energy in electron-volts (eV)", nullptr},
    {"nuclear_repulsion_ev", get_float<&R::nuclear_repulsion_ev>, nullptr,
     "Core-core nuclear repulsion energy in electron-volts (eV)", nullptr},
    {"binding_energy_ev", get_float<&R::binding_energy_ev>, nullptr,
     "Molecular binding energy relative to isolated atoms in electron-volts (eV)", nullptr},
    {"heat_of_formation_kcal", get_float<&R::heat_of_formation_kcal>, nullptr,
     "Standard heat of formation \\Delta H_f^\\circ in kcal/mol", nullptr},
    {"gradients_ev_angstrom", get_triples<&R::gradients_ev_angstrom>, nullptr,
     "Cartesian analytical energy gradients in eV / \\AA (shape: [natoms, 3])", nullptr},
    {"gradients_kcal_mol_angstrom", get_triples<&R::gradients_kcal_mol_angstrom>, nullptr,
     "Cartesian analytical energy gradients in kcal / (mol * \\AA) (shape: [natoms, 3])", nullptr},
    {"dipole_debye", get_dipole, nullptr,
     "Electric dipole moment components and magnitude [dx, dy, dz, total] in Debye", nullptr},
    {"atomic_charges", get_floats<&R::atomic_charges>, nullptr,
     "Diagonal density atomic partial charges (shape: [natoms])", nullptr},
    {"mulliken_charges", get_floats<&R::mulliken_charges>, nullptr,
     "Mulliken net partial atomic charges (shape: [natoms])", nullptr},
    {"converged", get_converged, nullptr, "Whether SCF converged", nullptr},
    {"scf_iterations", get_scf_iterations, nullptr, "Number of SCF iterations executed", nullptr},
    {"homo_energy_ev", get_float<&R::homo_energy_ev>, nullptr, "Highest Occupied Molecular Orbital energy in eV",
     nullptr},
    {"lumo_energy_ev", get_float<&R::lumo_energy_ev>, nullptr, "Lowest Unoccupied Molecular Orbital energy in eV",
     nullptr},
    {"homo_lumo_gap_ev", get_float<&R::homo_lumo_gap_ev>, nullptr, "Fundamental HOMO-LUMO gap in eV", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The dictionary holds, key by key, exactly what the attributes return.
PyObject* to_dict(PyObject* self, PyObject*) {
    return guard([&] {
        Ref dict(check(PyDict_New()));
        for (const PyGetSetDef* entry = getset_table; entry->name != nullptr; ++entry) {
            Ref value(check(entry->get(self, entry->closure)));
            if (PyDict_SetItemString(dict.get(), entry->name, value.get()) < 0) throw PythonErrorSet{};
        }
        return dict.release();
    });
}

PyObject* repr(PyObject* self) {
    return guard([&] {
        const CalculationRecord& r = record_of(self);
        const std::string text = "<CalculationResult E=" + format_fixed(r.total_energy_ev, 6) +
                                 " eV, dHf=" + format_fixed(r.heat_of_formation_kcal, 3) +
                                 " kcal/mol, dipole=" + format_fixed(r.dipole_debye[3], 3) +
                                 " D, converged=" + (r.converged ? "true" : "false") + ">";
        return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
    return guard([]() -> PyObject* {
        PyErr_SetString(PyExc_TypeError, (std::string("No constructor defined for ") + kClassName).c_str());
        return nullptr;
    });
}

void dealloc(PyObject* self) {
    delete reinterpret_cast<CalculationResultObject*>(self)->record;
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyMethodDef method_table[] = {
    {"to_dict", to_dict, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Calculation results containing quantum chemical properties and analytical "
                                  "gradients.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getset_table},
    {Py_tp_methods, method_table},
    {0, nullptr},
};

PyType_Spec spec = {
    "quorin_py.CalculationResult",
    static_cast<int>(sizeof(CalculationResultObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyObject* create_calculation_result_type() {
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return nullptr;
    Py_XDECREF(reinterpret_cast<PyObject*>(result_type));
    result_type = reinterpret_cast<PyTypeObject*>(type);
    Py_INCREF(type);  // the module-lifetime reference kept here
    return type;
}

PyObject* new_calculation_result(CalculationRecord record) {
    if (result_type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "CalculationResult type is not initialised");
        throw PythonErrorSet{};
    }
    auto* owned = new CalculationRecord(std::move(record));
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(result_type, Py_tp_alloc));
    PyObject* self = alloc(result_type, 0);
    if (self == nullptr) {
        delete owned;
        throw PythonErrorSet{};
    }
    reinterpret_cast<CalculationResultObject*>(self)->record = owned;
    return self;
}

}  // namespace quorin::py
