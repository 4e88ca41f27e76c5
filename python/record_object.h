#pragma once
// Result classes whose objects own one plain record: allocation, release,
// refusal of construction from Python, attribute getters that read one field,
// and dictionaries built from the class's attribute table.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/types/aligned.h"
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

// Refuses a result holding a NaN or an infinity in any attribute, nested
// result objects and lists included: a computation that overflowed has no
// result to give. Throws RequestError naming the first such attribute.
void check_finite_result(PyObject* result);

// A new object of `type` owning `record`, not checked: for the parts of a
// result that is checked as a whole. Throws PythonErrorSet on failure.
template <typename Record>
PyObject* new_unchecked_record_object(PyTypeObject* type, Record record) {
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

// A new object of `type` owning `record`, refused by check_finite_result when
// any of its numbers is not finite. Every result reaches Python through here.
template <typename Record>
PyObject* new_record_object(PyTypeObject* type, Record record) {
    Ref object(new_unchecked_record_object(type, std::move(record)));
    check_finite_result(object.get());
    return object.release();
}

// A new list of new objects of `type`, one owning a copy of each record.
template <typename Record>
PyObject* new_record_list(PyTypeObject* type, std::span<const Record> records) {
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(records.size()))));
    for (std::size_t i = 0; i < records.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), new_unchecked_record_object(type, records[i]));
    }
    return list.release();
}

// Fresh Python values of the field types that result records hold.
inline PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
inline PyObject* to_python(bool value) { return PyBool_FromLong(value ? 1 : 0); }
inline PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
inline PyObject* to_python(std::span<const double> values) { return new_float_list(values); }
inline PyObject* to_python(std::span<const std::uint64_t> values) {
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(values.size()))));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromUnsignedLongLong(values[i])));
    }
    return list.release();
}
inline PyObject* to_python(std::span<const std::array<double, 3>> rows) { return new_triple_list(rows); }
inline PyObject* to_python(const Matrix& m) {
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(m.rows()))));
    for (std::size_t i = 0; i < m.rows(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), new_float_list({m.row(i), m.cols()}));
    }
    return list.release();
}
inline PyObject* to_python(std::span<const std::vector<double>> rows) {
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(rows.size()))));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), new_float_list(rows[i]));
    }
    return list.release();
}

template <typename>
struct FieldOf;
template <typename Record, typename Value>
struct FieldOf<Value Record::*> {
    using record = Record;
};

// The getter of a read-only attribute: a new Python value of one record
// field on every read, e.g. `get_field<&CalculationRecord::converged>`.
template <auto Field>
PyObject* get_field(PyObject* self, void*) {
    using Record = typename FieldOf<decltype(Field)>::record;
    return guard([&] { return to_python(record_of<Record>(self).*Field); });
}

// The description of a result class. Python code cannot instantiate it
// (TypeError "No constructor defined for <name>"); `methods` may be null.
struct RecordClass {
    const char* qualified_name;  // "quorin_py.<name>"
    const char* doc;
    reprfunc repr;
    PyGetSetDef* getset;
    PyMethodDef* methods;
};

// Creates the class of objects of `basic_size` bytes released by `dealloc`,
// keeps one module-lifetime reference in `stored` and returns a new
// reference (null with the exception set).
PyObject* create_class(const RecordClass& description, int basic_size, destructor dealloc, PyTypeObject*& stored);

template <typename Record>
PyObject* create_record_type(const RecordClass& description, PyTypeObject*& stored) {
    return create_class(description, static_cast<int>(sizeof(RecordObject<Record>)), dealloc_record_object<Record>,
                        stored);
}

// A dict holding, for every entry of the null-terminated attribute table in
// order, what that attribute returns. Throws PythonErrorSet on failure.
PyObject* dict_from_getset(PyObject* self, const PyGetSetDef* table);

// The to_dict method of a class whose dictionary is its attribute table.
template <const PyGetSetDef* Table>
PyObject* to_dict_of_table(PyObject* self, PyObject*) {
    return guard([&] { return dict_from_getset(self, Table); });
}

// The to_dict of a temporary object of `type` owning a copy of `record`.
template <typename Record>
PyObject* dict_of_record(PyTypeObject* type, const Record& record, const PyGetSetDef* table) {
    Ref object(new_unchecked_record_object(type, record));
    return dict_from_getset(object.get(), table);
}

// A new list holding the to_dict of each record, as objects of `type` with
// attribute table `table` give it.
template <typename Record>
PyObject* new_dict_list(PyTypeObject* type, std::span<const Record> records, const PyGetSetDef* table) {
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(records.size()))));
    for (std::size_t i = 0; i < records.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), dict_of_record(type, records[i], table));
    }
    return list.release();
}

// The to_dict of a result whose first attribute lists records: the other
// attributes in table order, then under the first attribute's name the
// records' dictionaries (objects of `item_type` with table `item_table`).
template <typename Item>
PyObject* dict_with_records_last(PyObject* self, const PyGetSetDef* table, PyTypeObject* item_type,
                                 std::span<const Item> items, const PyGetSetDef* item_table);

// Adds `value` (owned) under `key`; throws PythonErrorSet on failure.
void set_dict_item(PyObject* dict, const char* key, Ref value);

PyObject* new_text(const std::string& utf8);

template <typename Item>
PyObject* dict_with_records_last(PyObject* self, const PyGetSetDef* table, PyTypeObject* item_type,
                                 std::span<const Item> items, const PyGetSetDef* item_table) {
    Ref dict(check(PyDict_New()));
    for (const PyGetSetDef* entry = table + 1; entry->name != nullptr; ++entry) {
        set_dict_item(dict.get(), entry->name, Ref(check(entry->get(self, entry->closure))));
    }
    set_dict_item(dict.get(), table->name, Ref(new_dict_list(item_type, items, item_table)));
    return dict.release();
}

}  // namespace quorin::py
