#pragma once
// Shared plumbing of the extension module: the interpreter header under the
// stable ABI, owned references, the failure types that cross the module
// boundary and the one guard that turns them into Python exceptions.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/types/errors.h"

namespace quorin::py {

// One owned (strong) reference, released on scope exit.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : ptr_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    PyObject* get() const { return ptr_; }
    PyObject* release() { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

// Thrown after a Python exception has been set; the guard only returns null.
struct PythonErrorSet {};

// A refused input: reaches Python as ValueError with exactly this message,
// like the engine's own refusals (RequestError).
class InputError : public RequestError {
public:
    explicit InputError(const std::string& message) : RequestError(message) {}
};

// Throws PythonErrorSet when `object` is null (the call that made it failed).
inline PyObject* check(PyObject* object) {
    if (object == nullptr) throw PythonErrorSet{};
    return object;
}

// Creates the exception type that carries engine stops (a BaseException
// subclass, so `except Exception` does not swallow it). Called once at import.
PyObject* create_engine_stop_type();

// Sets the engine-stop exception with `message` (written nowhere else).
void raise_engine_stop(const char* message);

// Maps every C++ failure escaping `body` to a Python exception: input errors
// and engine refusals to ValueError, engine stops to the engine-stop exception, exhausted memory
// and impossible sizes to MemoryError. Returns null with the exception set.
void set_python_error_from_current_exception() noexcept;

template <typename Body>
PyObject* guard(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

// Fresh Python values from plain data; each throws PythonErrorSet on failure.
PyObject* new_float_list(std::span<const double> values);
PyObject* new_triple_list(std::span<const std::array<double, 3>> rows);

// "123.456000" style fixed-point text with `decimals` digits; non-finite
// values read "NaN", "inf" and "-inf".
std::string format_fixed(double value, int decimals);

// The shortest text that reads back to `value`, with a decimal point on
// integral values ("2.0") and exponent form when the magnitude is non-zero
// and below 1e-4 or from 1e16 on ("1e-5", "2.5e20", "1e308"); non-finite
// values as in format_fixed.
std::string format_shortest(double value);

// format_fixed with a sign always written ("+0.1000", "-0.2000").
std::string format_signed_fixed(double value, int decimals);

// "1.234e-3" style exponent notation with `decimals` mantissa digits and an
// unpadded exponent without plus sign ("0.000e0"); non-finite values as in
// format_fixed.
std::string format_exponent(double value, int decimals);

}  // namespace quorin::py
