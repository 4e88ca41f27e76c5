#include "python/record_object.h"

#include <string>

namespace quorin::py {

namespace {

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    return guard([&]() -> PyObject* {
        Ref name(check(PyType_GetName(type)));
        PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
        return nullptr;
    });
}

std::string type_name(PyTypeObject* type) {
    Ref name(check(PyType_GetName(type)));
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (text == nullptr) throw PythonErrorSet{};
    return text;
}

}  // namespace

NonFiniteFind first_non_finite_in(const Matrix& m) {
    for (std::size_t i = 0; i < m.rows(); ++i) {
        if (auto found = first_non_finite_of_each(std::span<const double>(m.row(i), m.cols()))) {
            return with_index(std::move(found), i);
        }
    }
    return std::nullopt;
}

NonFiniteFind first_non_finite_in_record(const void* record, const PyGetSetDef* table) {
    for (const PyGetSetDef* entry = table; entry->name != nullptr; ++entry) {
        if (auto found = static_cast<const FieldScan*>(entry->closure)->first_non_finite(record)) {
            found->path.insert(0, entry->name).insert(0, 1, '.');
            return found;
        }
    }
    return std::nullopt;
}

void check_finite_record(PyTypeObject* type, const void* record) {
    const auto* table = static_cast<const PyGetSetDef*>(PyType_GetSlot(type, Py_tp_getset));
    if (const auto found = first_non_finite_in_record(record, table)) {
        throw RequestError("Non-finite result: " + type_name(type) + found->path + " is " +
                           format_shortest(found->value) + "; the computation overflowed and gives no result");
    }
}

PyObject* create_class(const RecordClass& description, int basic_size, destructor dealloc, PyTypeObject*& stored) {
    for (const PyGetSetDef* entry = description.getset; entry->name != nullptr; ++entry) {
        if (entry->closure == nullptr) {
            PyErr_Format(PyExc_SystemError, "%s.%s has no scan of its numbers", description.qualified_name,
                         entry->name);
            return nullptr;
        }
    }
    // The interpreter copies the slots, so they may live on the stack.
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(description.doc)},
        {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(description.repr)},
        {Py_tp_getset, description.getset},
        {Py_tp_methods, description.methods},
        {0, nullptr},
    };
    if (description.methods == nullptr) slots[5] = {0, nullptr};
    PyType_Spec spec = {description.qualified_name, basic_size, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                        slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return nullptr;
    Py_XDECREF(reinterpret_cast<PyObject*>(stored));
    stored = reinterpret_cast<PyTypeObject*>(type);
    Py_INCREF(type);
    return type;
}

PyObject* dict_from_getset(PyObject* self, const PyGetSetDef* table) {
    Ref dict(check(PyDict_New()));
    for (const PyGetSetDef* entry = table; entry->name != nullptr; ++entry) {
        set_dict_item(dict.get(), entry->name, Ref(check(entry->get(self, entry->closure))));
    }
    return dict.release();
}

void set_dict_item(PyObject* dict, const char* key, Ref value) {
    if (PyDict_SetItemString(dict, key, value.get()) < 0) throw PythonErrorSet{};
}

PyObject* new_text(const std::string& utf8) {
    return check(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

}  // namespace quorin::py
