#pragma once
// The single-point result record and its Python class `CalculationResult`:
// read-only attributes that return fresh values on every read, to_dict and
// __repr__.
#include <array>
#include <cstdint>
#include <vector>

#include "core/properties/single_point.h"
#include "python/record_object.h"

namespace quorin::py {

// The attribute table of CalculationResult, for results that hold one.
extern PyGetSetDef calculation_result_attributes[];

// Creates the class at import; returns a new reference to the type object.
PyObject* create_calculation_result_type();

// A new CalculationResult owning `record`. Throws PythonErrorSet on failure.
PyObject* new_calculation_result(CalculationRecord record);
// The same, not checked for non-finite numbers: for the final result inside
// another result, which is checked as a whole.
PyObject* new_unchecked_calculation_result(CalculationRecord record);

// What CalculationResult.to_dict returns for `record`. Throws PythonErrorSet.
PyObject* calculation_result_dict(const CalculationRecord& record);

}  // namespace quorin::py
