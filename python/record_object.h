#pragma once
// Result classes whose objects own one plain record: allocation, release,
// refusal of construction from Python, attribute getters that read one field,
// and dictionaries built from the class's attribute table.
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
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

// Refuses a record of class `type` holding a NaN or an infinity in any
// attribute, nested results included: a computation that overflowed has no
// result to give. Reads the record's numbers through the scans of the class's
// attribute table; throws RequestError naming the first such attribute.
void check_finite_record(PyTypeObject* type, const void* record);

// A new object of `type` owning `record`, refused by check_finite_record when
// any of its numbers is not finite. Every result reaches Python through here.
template <typename Record>
PyObject* new_record_object(PyTypeObject* type, Record record) {
    check_finite_record(type, &record);
    return new_unchecked_record_object(type, std::move(record));
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

// ---- attributes and the numbers behind them ---------------------------------
//
// Every entry of a result class's attribute table carries, as its closure, a
// scan of the record field behind the attribute: check_finite_record reads the
// record's numbers through these scans, without building any Python value.

// A NaN or infinity found in a record, and the path to it (".name" and
// "[index]" steps), built only on the way back from a find.
struct NonFinite {
    std::string path;
    double value;
};
using NonFiniteFind = std::optional<NonFinite>;

// Puts "[index]" in front of the path of a find (built without a temporary
// string sum, which GCC 12 misreads as an overlapping copy).
inline NonFiniteFind with_index(NonFiniteFind found, std::size_t index) {
    if (found) {
        std::string step(1, '[');
        step.append(std::to_string(index)).push_back(']');
        found->path.insert(0, step);
    }
    return found;
}

// The scan an attribute table entry carries: the first non-finite number in
// its field of `record` (the record of the class the table belongs to).
struct FieldScan {
    NonFiniteFind (*first_non_finite)(const void* record);
};

inline NonFiniteFind first_non_finite_in(double value) {
    if (std::isfinite(value)) return std::nullopt;
    return NonFinite{std::string(), value};
}
template <typename T>
    requires std::is_integral_v<T> || std::is_enum_v<T>
NonFiniteFind first_non_finite_in(T) {
    return std::nullopt;
}
inline NonFiniteFind first_non_finite_in(const std::string&) { return std::nullopt; }
template <typename T, std::size_t N>
NonFiniteFind first_non_finite_in(const std::array<T, N>& values);
template <typename T>
NonFiniteFind first_non_finite_in(const std::vector<T>& values);
NonFiniteFind first_non_finite_in(const Matrix& m);

// The first non-finite number of `values`, its index put in front of the path.
template <typename Range>
NonFiniteFind first_non_finite_of_each(const Range& values) {
    std::size_t i = 0;
    for (const auto& item : values) {
        if (auto found = first_non_finite_in(item)) return with_index(std::move(found), i);
        ++i;
    }
    return std::nullopt;
}
template <typename T, std::size_t N>
NonFiniteFind first_non_finite_in(const std::array<T, N>& values) {
    return first_non_finite_of_each(values);
}
template <typename T>
NonFiniteFind first_non_finite_in(const std::vector<T>& values) {
    return first_non_finite_of_each(values);
}

// The first non-finite number of a record of the class whose attribute table
// is `table`, through the scans of its entries.
NonFiniteFind first_non_finite_in_record(const void* record, const PyGetSetDef* table);

// A nested result: a record (one, an optional one or a list of them) shown as
// objects of the class whose attribute table is `Table`.
template <const PyGetSetDef* Table, typename Nested>
NonFiniteFind first_non_finite_in_nested(const Nested& nested) {
    if constexpr (requires { nested.has_value(); }) {
        return nested ? first_non_finite_in_nested<Table>(*nested) : std::nullopt;
    } else if constexpr (requires { nested.begin(); }) {
        std::size_t i = 0;
        for (const auto& item : nested) {
            if (auto found = first_non_finite_in_record(&item, Table)) return with_index(std::move(found), i);
            ++i;
        }
        return std::nullopt;
    } else {
        return first_non_finite_in_record(&nested, Table);
    }
}

template <auto Field>
inline constexpr FieldScan kFieldScan{[](const void* record) {
    using Record = typename FieldOf<decltype(Field)>::record;
    return first_non_finite_in(static_cast<const Record*>(record)->*Field);
}};

template <auto Field, const PyGetSetDef* Table>
inline constexpr FieldScan kNestedScan{[](const void* record) {
    using Record = typename FieldOf<decltype(Field)>::record;
    return first_non_finite_in_nested<Table>(static_cast<const Record*>(record)->*Field);
}};

// A read-only attribute showing record field `Field` (get_field), e.g.
// attribute<&CalculationRecord::converged>("converged", "Whether SCF converged").
template <auto Field>
constexpr PyGetSetDef attribute(const char* name, const char* doc) {
    return {name, get_field<Field>, nullptr, doc, const_cast<FieldScan*>(&kFieldScan<Field>)};
}

// A read-only attribute whose getter `get` builds the value of field `Field`
// another way (the name of an enumeration, a text).
template <auto Field>
constexpr PyGetSetDef attribute(const char* name, getter get, const char* doc) {
    return {name, get, nullptr, doc, const_cast<FieldScan*>(&kFieldScan<Field>)};
}

// A read-only attribute whose getter `get` shows field `Field` as objects of
// the class with attribute table `Table` (see first_non_finite_in_nested).
template <auto Field, const PyGetSetDef* Table>
constexpr PyGetSetDef nested_attribute(const char* name, getter get, const char* doc) {
    return {name, get, nullptr, doc, const_cast<FieldScan*>(&kNestedScan<Field, Table>)};
}

inline constexpr PyGetSetDef kEndOfAttributes = {nullptr, nullptr, nullptr, nullptr, nullptr};

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
// reference (null with the exception set). Every attribute must carry the
// scan of its field (made by attribute or nested_attribute): a table entry
// without one is refused with SystemError.
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
