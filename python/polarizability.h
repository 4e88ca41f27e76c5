#pragma once
// Finite-field polarisability and hyperpolarisabilities from Python: the
// `polarizability` function and its result class `PolarizabilityPyResult`.
#include "python/py_support.h"

namespace quorin::py {

// Creates the result class at import; returns a new reference to its type.
PyObject* create_polarizability_result_type();

// The polarizability function of the module.
PyMethodDef* polarizability_method_def();

}  // namespace quorin::py
