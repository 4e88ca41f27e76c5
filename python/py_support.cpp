#include "python/py_support.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <new>

#include "core/types/errors.h"

namespace quorin::py {

namespace {

// Created once at import; the module can only be initialised once per process.
PyObject* engine_stop_type = nullptr;

}  // namespace

PyObject* create_engine_stop_type() {
    if (engine_stop_type == nullptr) {
        engine_stop_type = PyErr_NewExceptionWithDoc(
            "quorin_py.EngineStop",
            "A precondition of the engine failed; the argument is the engine's message.",
            PyExc_BaseException, nullptr);
    }
    return engine_stop_type;
}

void raise_engine_stop(const char* message) {
    // Not also written to stderr: it would show twice above the traceback.
    PyObject* type = engine_stop_type != nullptr ? engine_stop_type : PyExc_RuntimeError;
    PyErr_SetString(type, message);
}

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const RequestError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const EngineStop& e) {
        raise_engine_stop(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more elements than can exist.
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_engine_stop(e.what());
    } catch (...) {
        raise_engine_stop("internal error of unknown kind");
    }
}

PyObject* new_float_list(std::span<const double> values) {
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(values.size()))));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = check(PyFloat_FromDouble(values[i]));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

PyObject* new_triple_list(std::span<const std::array<double, 3>> rows) {
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(rows.size()))));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyObject* row = new_float_list(rows[i]);
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), row);
    }
    return list.release();
}

std::string format_fixed(double value, int decimals) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // The largest finite double has 309 integer digits.
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals < 0 ? 0 : (decimals > 40 ? 40 : decimals), value);
    return buffer;
}

std::string format_shortest(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[64];
    const double magnitude = std::abs(value);
    if (magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16)) {
        const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
        std::string text(buffer, end);
        const std::size_t e = text.find('e');
        std::string exponent = text.substr(e + 1);
        const bool negative = exponent[0] == '-';
        if (exponent[0] == '-' || exponent[0] == '+') exponent.erase(0, 1);
        exponent.erase(0, std::min(exponent.find_first_not_of('0'), exponent.size() - 1));
        return text.substr(0, e) + "e" + (negative ? "-" : "") + exponent;
    }
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed).ptr;
    std::string text(buffer, end);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

std::string format_signed_fixed(double value, int decimals) {
    const std::string text = format_fixed(value, decimals);
    return std::isnan(value) || std::signbit(value) ? text : "+" + text;
}

std::string format_exponent(double value, int decimals) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*e", decimals < 0 ? 0 : (decimals > 40 ? 40 : decimals), value);
    const std::string text(buffer);
    const std::size_t e = text.find('e');
    return text.substr(0, e + 1) + std::to_string(std::stoi(text.substr(e + 1)));
}

}  // namespace quorin::py
