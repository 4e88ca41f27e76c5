#pragma once
// `QuorinCalculator`: six stored settings and methods that run the module
// functions' bodies with them.
#include "python/py_support.h"

namespace quorin::py {

// Creates the class at import; returns a new reference to the type object.
PyObject* create_calculator_type();

}  // namespace quorin::py
