#include "python/arguments.h"

#include <cmath>
#include <cstring>

#include "python/engine_call.h"

namespace quorin::py {

namespace {

std::string type_name_of(PyObject* value) {
    Ref name(PyType_GetName(Py_TYPE(value)));
    if (!name) {
        PyErr_Clear();
        return "object";
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) {
        PyErr_Clear();
        return "object";
    }
    return std::string(text, static_cast<std::size_t>(size));
}

[[noreturn]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonErrorSet{};
}

// "'<type>' object cannot be converted to '<target>'".
[[noreturn]] void raise_cannot_convert(PyObject* value, const char* target) {
    const std::string type_name = type_name_of(value);
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name.c_str(), target);
    throw PythonErrorSet{};
}

// Re-raises a pending conversion error as "argument '<name>': <message>": a
// TypeError (a value of the wrong type) as TypeError, a ValueError or an
// OverflowError (a value of the right type that is not accepted) as
// ValueError. Any other pending exception (MemoryError) passes unchanged.
// Always throws.
[[noreturn]] void fail_argument(const char* name) {
    const bool wrong_type = PyErr_ExceptionMatches(PyExc_TypeError);
    if (wrong_type || PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        Ref owned_type(type), owned_value(value), owned_traceback(traceback);
        std::string message;
        if (value != nullptr) {
            Ref text(PyObject_Str(value));
            const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
            if (utf8 != nullptr) message = utf8;
            PyErr_Clear();
        }
        PyErr_Format(wrong_type ? PyExc_TypeError : PyExc_ValueError, "argument '%s': %s", name, message.c_str());
    }
    throw PythonErrorSet{};
}

// Sets ValueError "<what> (got <str(value)>)" and throws.
[[noreturn]] void refuse_value(const std::string& what, PyObject* value) {
    Ref text(PyObject_Str(value));
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (utf8 == nullptr) throw PythonErrorSet{};
    PyErr_Format(PyExc_ValueError, "%s (got %s)", what.c_str(), utf8);
    throw PythonErrorSet{};
}

// Runs `convert`, which throws PythonErrorSet on failure, and gives a failing
// TypeError the argument's name.
template <typename Convert>
auto with_argument_name(const char* name, Convert&& convert) {
    try {
        return convert();
    } catch (const PythonErrorSet&) {
        fail_argument(name);
    }
}

bool is_sequence(PyObject* value) { return PySequence_Check(value) && !PyUnicode_Check(value); }

// NumPy's boolean scalar (numpy.bool_, named numpy.bool from NumPy 2): what
// a flag taken from an array is. Told by its type's module and name, so that
// NumPy need not be imported; integers stay refused as switches.
bool is_numpy_bool(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    Ref name(PyType_GetName(type));
    if (!module || !name || !PyUnicode_Check(module.get())) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0);
}

// The kind letter of the NumPy dtype of `value` ('b' boolean, 'c' complex,
// 'f' floating, ...), or 0 for a value without one. Read through the value's
// `dtype` attribute, so that NumPy need not be imported.
char dtype_kind(PyObject* value) {
    Ref dtype(PyObject_GetAttrString(value, "dtype"));
    Ref kind(dtype ? PyObject_GetAttrString(dtype.get(), "kind") : nullptr);
    const char* text = kind && PyUnicode_Check(kind.get()) ? PyUnicode_AsUTF8AndSize(kind.get(), nullptr) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return 0;
    }
    return text[0];
}

// Booleans (Python's and NumPy's) convert silently to 1 and 0, and NumPy's
// complex numbers to their real part: where a number or a count is expected
// both are values of the wrong type, refused as converting to `target`.
void refuse_boolean_or_complex(PyObject* value, const char* target) {
    if (PyBool_Check(value) || PyComplex_Check(value)) raise_cannot_convert(value, target);
    const char kind = dtype_kind(value);
    if (kind == 'b' || kind == 'c') raise_cannot_convert(value, target);
}

// An integer by the interpreter's index conversion; booleans and complex
// numbers refused.
Ref index_of(PyObject* value) {
    if (!PyLong_CheckExact(value)) refuse_boolean_or_complex(value, "int");
    return Ref(check(PyNumber_Index(value)));
}

Py_ssize_t sequence_length(PyObject* value) {
    const Py_ssize_t n = PySequence_Size(value);
    if (n < 0) throw PythonErrorSet{};
    return n;
}

// Refuses anything but a sequence (not a string) of exactly three items;
// `where` starts the refusal ("row 2 ", or nothing for the argument itself).
void require_triple(PyObject* value, const std::string& where) {
    if (!is_sequence(value)) raise_cannot_convert(value, "Sequence");
    const Py_ssize_t len = sequence_length(value);
    if (len != 3) {
        PyErr_Format(PyExc_ValueError, "%smust be a sequence of 3 numbers (got length %zd)", where.c_str(), len);
        throw PythonErrorSet{};
    }
}

std::uint64_t count_of(PyObject* value) {
    const Ref index = index_of(value);
    const unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonErrorSet{};
        PyErr_Clear();
        refuse_value("must be a whole number from 0 to 18446744073709551615", index.get());
    }
    return static_cast<std::uint64_t>(n);
}

double float_of(PyObject* value) {
    if (!PyFloat_Check(value) && !PyLong_CheckExact(value)) refuse_boolean_or_complex(value, "float");
    const double x = PyFloat_AsDouble(value);
    if (x == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
    return x;
}

// A sequence of numbers (not a string) as doubles; throws PythonErrorSet.
std::vector<double> float_values(PyObject* value) {
    if (!is_sequence(value)) raise_cannot_convert(value, "Sequence");
    const Py_ssize_t n = sequence_length(value);
    std::vector<double> values;
    values.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item(check(PySequence_GetItem(value, i)));
        values.push_back(float_of(item.get()));
    }
    return values;
}

}  // namespace

BoundArguments::BoundArguments(const char* function, std::span<const char* const> names,
                               std::size_t required, PyObject* args, PyObject* kwargs)
    : names_(names), required_(required), values_(names.size(), nullptr) {
    const std::size_t n_params = names.size();
    const Py_ssize_t n_positional = args != nullptr ? PyTuple_Size(args) : 0;
    if (n_positional < 0) throw PythonErrorSet{};
    if (static_cast<std::size_t>(n_positional) > n_params) {
        const std::string takes = required == n_params
                                      ? std::to_string(n_params)
                                      : "from " + std::to_string(required) + " to " + std::to_string(n_params);
        raise_type_error(std::string(function) + "() takes " + takes + " positional argument" +
                         (n_params == 1 && required == n_params ? "" : "s") + " but " +
                         std::to_string(n_positional) + (n_positional == 1 ? " was" : " were") + " given");
    }
    std::vector<bool> given(n_params, false);
    for (Py_ssize_t i = 0; i < n_positional; ++i) {
        values_[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
        given[static_cast<std::size_t>(i)] = true;
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &item)) {
            if (!PyUnicode_Check(key)) raise_type_error(std::string(function) + "() keywords must be strings");
            const char* key_text = PyUnicode_AsUTF8AndSize(key, nullptr);
            if (key_text == nullptr) throw PythonErrorSet{};
            std::size_t index = n_params;
            for (std::size_t p = 0; p < n_params; ++p) {
                if (std::strcmp(names[p], key_text) == 0) {
                    index = p;
                    break;
                }
            }
            if (index == n_params) {
                raise_type_error(std::string(function) + "() got an unexpected keyword argument '" + key_text + "'");
            }
            if (given[index]) {
                raise_type_error(std::string(function) + "() got multiple values for argument '" + key_text + "'");
            }
            values_[index] = item;
            given[index] = true;
        }
    }
    std::vector<const char*> missing;
    for (std::size_t p = 0; p < required; ++p) {
        if (!given[p]) missing.push_back(names[p]);
    }
    if (!missing.empty()) {
        std::string list;
        for (std::size_t k = 0; k < missing.size(); ++k) {
            if (k > 0) list += missing.size() == 2 ? " and " : (k + 1 == missing.size() ? ", and " : ", ");
            list.append("'").append(missing[k]).append("'");
        }
        raise_type_error(std::string(function) + "() missing " + std::to_string(missing.size()) +
                         " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " + list);
    }
}

std::vector<std::uint8_t> to_atomic_numbers(PyObject* value, const char* name) {
    return with_argument_name(name, [&] {
        if (!is_sequence(value)) raise_cannot_convert(value, "Sequence");
        const Py_ssize_t n = sequence_length(value);
        std::vector<std::uint8_t> numbers;
        numbers.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref item(check(PySequence_GetItem(value, i)));
            const Ref index = index_of(item.get());
            const long z = PyLong_AsLong(index.get());
            if (z == -1 && PyErr_Occurred()) PyErr_Clear();
            if (z < kFirstElement || z > kLastElement) {
                refuse_value("item " + std::to_string(i) + " is no atomic number: atomic numbers run from " +
                                 std::to_string(kFirstElement) + " to " + std::to_string(kLastElement),
                             index.get());
            }
            numbers.push_back(static_cast<std::uint8_t>(z));
        }
        return numbers;
    });
}

std::vector<std::array<double, 3>> to_coordinate_list(PyObject* value, const char* name) {
    return with_argument_name(name, [&] {
        if (!is_sequence(value)) raise_cannot_convert(value, "Sequence");
        const Py_ssize_t n = sequence_length(value);
        std::vector<std::array<double, 3>> rows;
        rows.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref row(check(PySequence_GetItem(value, i)));
            require_triple(row.get(), "row " + std::to_string(i) + " ");
            std::array<double, 3> xyz{};
            for (Py_ssize_t k = 0; k < 3; ++k) {
                Ref component(check(PySequence_GetItem(row.get(), k)));
                xyz[static_cast<std::size_t>(k)] = float_of(component.get());
            }
            rows.push_back(xyz);
        }
        return rows;
    });
}

std::vector<double> to_float_list(PyObject* value, const char* name) {
    return with_argument_name(name, [&] { return float_values(value); });
}

double to_double(PyObject* value, const char* name) {
    return with_argument_name(name, [&] { return float_of(value); });
}

std::uint64_t to_count(PyObject* value, const char* name) {
    return with_argument_name(name, [&] { return count_of(value); });
}

std::array<std::uint64_t, 3> to_count_triple(PyObject* value, const char* name) {
    return with_argument_name(name, [&] {
        require_triple(value, "");
        std::array<std::uint64_t, 3> counts{};
        for (Py_ssize_t k = 0; k < 3; ++k) {
            Ref item(check(PySequence_GetItem(value, k)));
            counts[static_cast<std::size_t>(k)] = count_of(item.get());
        }
        return counts;
    });
}

bool to_switch(PyObject* value, const char* name) {
    return with_argument_name(name, [&] {
        if (PyBool_Check(value)) return value == Py_True;
        if (!is_numpy_bool(value)) raise_cannot_convert(value, "bool");
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) throw PythonErrorSet{};
        return truth == 1;
    });
}

std::string to_name(PyObject* value, const char* name) {
    return with_argument_name(name, [&] {
        if (!PyUnicode_Check(value)) raise_cannot_convert(value, "str");
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value, &size);
        if (text == nullptr) throw PythonErrorSet{};
        // Engine messages are C strings: a NUL would cut off the rest of any
        // message that quotes the name.
        if (std::memchr(text, '\0', static_cast<std::size_t>(size)) != nullptr) {
            PyErr_SetString(PyExc_ValueError, "embedded null character");
            throw PythonErrorSet{};
        }
        return std::string(text, static_cast<std::size_t>(size));
    });
}

double double_or(const BoundArguments& args, std::size_t i, double fallback) {
    return args.value(i) != nullptr ? to_double(args.value(i), args.name(i)) : fallback;
}

std::uint64_t count_or(const BoundArguments& args, std::size_t i, std::uint64_t fallback) {
    return args.value(i) != nullptr ? to_count(args.value(i), args.name(i)) : fallback;
}

bool switch_or(const BoundArguments& args, std::size_t i, bool fallback) {
    return args.value(i) != nullptr ? to_switch(args.value(i), args.name(i)) : fallback;
}

std::string name_or(const BoundArguments& args, std::size_t i, const char* fallback) {
    return args.value(i) != nullptr ? to_name(args.value(i), args.name(i)) : std::string(fallback);
}

std::optional<double> optional_double(const BoundArguments& args, std::size_t i) {
    if (args.value(i) == nullptr) return std::nullopt;
    return to_double(args.value(i), args.name(i));
}

std::optional<std::string> optional_name(const BoundArguments& args, std::size_t i) {
    if (args.value(i) == nullptr) return std::nullopt;
    return to_name(args.value(i), args.name(i));
}

void refuse_argument(const std::string& name, const std::string& what) {
    throw InputError("argument '" + name + "': " + what);
}

namespace {

// "must lie in [<low>, <high>] <unit> (got <value>)" for a value outside
// `range`, nothing for one inside.
std::optional<std::string> range_refusal(double value, const Range& range) {
    const bool above_low = range.low_open ? value > range.low : value >= range.low;
    const bool below_high = range.high_open ? value < range.high : value <= range.high;
    if (above_low && below_high && std::isfinite(value)) return std::nullopt;
    const std::string unit = *range.unit != '\0' ? std::string(" ") + range.unit : std::string();
    std::string accepted;
    if (std::isinf(range.high)) {
        accepted = std::string("be a finite number ") + (range.low_open ? "above " : "of at least ") +
                   format_shortest(range.low) + unit;
    } else {
        accepted = std::string("lie in ") + (range.low_open ? "(" : "[") + format_shortest(range.low) + ", " +
                   format_shortest(range.high) + (range.high_open ? ")" : "]") + unit;
    }
    return "must " + accepted + " (got " + format_shortest(value) + ")";
}

std::optional<std::string> count_range_refusal(std::uint64_t value, const CountRange& range) {
    if (value >= range.low && value <= range.high) return std::nullopt;
    const std::string got = " (got " + std::to_string(value) + ")";
    if (range.high == std::numeric_limits<std::uint64_t>::max()) {
        return "must be at least " + std::to_string(range.low) + got;
    }
    return "must lie in [" + std::to_string(range.low) + ", " + std::to_string(range.high) + "]" + got;
}

std::string item(std::size_t i) { return "item " + std::to_string(i) + " "; }

}  // namespace

void check_in_range(const char* name, double value, const Range& range) {
    if (const auto refusal = range_refusal(value, range)) refuse_argument(name, *refusal);
}

void check_each_in_range(const char* name, std::span<const double> values, const Range& range) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (const auto refusal = range_refusal(values[i], range)) refuse_argument(name, item(i) + *refusal);
    }
}

void check_count_in_range(const char* name, std::uint64_t value, const CountRange& range) {
    if (const auto refusal = count_range_refusal(value, range)) refuse_argument(name, *refusal);
}

void check_each_count_in_range(const char* name, std::span<const std::uint64_t> values, const CountRange& range) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (const auto refusal = count_range_refusal(values[i], range)) refuse_argument(name, item(i) + *refusal);
    }
}

namespace {

// The text after the interpreter's str method `method` ("upper", "lower").
std::string change_case(const std::string& utf8, const char* method) {
    const PythonLock lock;  // the method name is checked inside the engine call
    Ref text(check(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()))));
    Ref changed(check(PyObject_CallMethod(text.get(), method, nullptr)));
    Py_ssize_t size = 0;
    const char* result = PyUnicode_AsUTF8AndSize(changed.get(), &size);
    if (result == nullptr) throw PythonErrorSet{};
    return std::string(result, static_cast<std::size_t>(size));
}

}  // namespace

std::string to_upper(const std::string& utf8) { return change_case(utf8, "upper"); }

std::string to_lower(const std::string& utf8) { return change_case(utf8, "lower"); }

}  // namespace quorin::py
