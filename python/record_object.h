#pragma once
// Result classes whose objects own one plain record: allocation, release,
// refusal of construction from Python, and dictionaries built from the
// class's attribute table.
#include <string>
#include <utility>

#include "python/py_support.h"

namespace quorin::py {

template <typename Record>
struct RecordObject {
    PyObject_HEAD
    Record* record;
};

template <typename Record>
const Record& record_of(PyObject* self) {
    return *reinterpret_cast<RecordObject<Record>*>(self)->record;
}

template <typename Record>
void dealloc_record_object(PyObject* self) {
    delete reinterpret_cast<RecordObject<Record>*>(self)->record;
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

// A new object of `type` owning `record`. Throws PythonErrorSet on failure.
template <typename Record>
PyObject* new_record_object(PyTypeObject* type, Record record) {
    if (type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "result type is not initialised");
        throw PythonErrorSet{};
    }
    auto* owned = new Record(std::move(record));
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
        delete owned;
        throw PythonErrorSet{};
    }
    reinterpret_cast<RecordObject<Record>*>(self)->record = owned;
    return self;
}

// The tp_new slot of a class that Python code cannot instantiate:
// TypeError "No constructor defined for <name>".
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Creates a type from `spec` and keeps one module-lifetime reference in
// `stored`; returns a new reference (null with the exception set).
PyObject* create_record_type(PyType_Spec& spec, PyTypeObject*& stored);

// A dict holding, for every entry of the null-terminated attribute table in
// order, what that attribute returns. Throws PythonErrorSet on failure.
PyObject* dict_from_getset(PyObject* self, const PyGetSetDef* table);

// Adds `value` (owned) under `key`; throws PythonErrorSet on failure.
void set_dict_item(PyObject* dict, const char* key, Ref value);

PyObject* new_text(const std::string& utf8);

}  // namespace quorin::py
