#include "python/record_object.h"

#include <cmath>
#include <optional>
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

bool is_record_class(PyTypeObject* type) {
    return PyType_GetSlot(type, Py_tp_new) == reinterpret_cast<void*>(refuse_construction);
}

std::string type_name(PyObject* object) {
    Ref name(check(PyType_GetName(Py_TYPE(object))));
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (text == nullptr) throw PythonErrorSet{};
    return text;
}

// The first non-finite float in `value` (a float, a list, or a result object
// read attribute by attribute) and the path to it from `value` (".name" and
// "[index]" steps); none when every float is finite. The path is only built
// on the way back from a find.
struct NonFinite {
    std::string path;
    double value;
};
std::optional<NonFinite> first_non_finite(PyObject* value) {
    if (PyFloat_Check(value)) {
        const double x = PyFloat_AsDouble(value);
        if (std::isfinite(x)) return std::nullopt;
        return NonFinite{std::string(), x};
    }
    if (PyList_Check(value)) {
        const Py_ssize_t n = PyList_Size(value);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (auto found = first_non_finite(PyList_GetItem(value, i))) {
                found->path.insert(0, "[" + std::to_string(i) + "]");
                return found;
            }
        }
    } else if (is_record_class(Py_TYPE(value))) {
        const auto* table = static_cast<const PyGetSetDef*>(PyType_GetSlot(Py_TYPE(value), Py_tp_getset));
        for (const PyGetSetDef* entry = table; entry != nullptr && entry->name != nullptr; ++entry) {
            Ref attribute(check(entry->get(value, entry->closure)));
            if (auto found = first_non_finite(attribute.get())) {
                found->path.insert(0, std::string(".") + entry->name);
                return found;
            }
        }
    }
    return std::nullopt;
}

}  // namespace

void check_finite_result(PyObject* result) {
    if (const auto found = first_non_finite(result)) {
        throw RequestError("Non-finite result: " + type_name(result) + found->path + " is " +
                           format_shortest(found->value) + "; the computation overflowed and gives no result");
    }
}

PyObject* create_class(const RecordClass& description, int basic_size, destructor dealloc, PyTypeObject*& stored) {
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
