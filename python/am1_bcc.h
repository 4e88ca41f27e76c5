#pragma once
// AM1-BCC charges from Python: input checks, one closed-shell SCF, Mulliken
// charges as the initial charges, bond charge corrections, and the class
// `Am1BccPyResult`.
#include <cstdint>
#include <string>
#include <vector>

#include "core/properties/am1_bcc.h"
#include "python/py_support.h"

namespace quorin::py {

struct Am1BccRequest {
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> coordinates;  // angstrom
    std::string method = "AM1";
    bool use_nddo = true;
};

// Throws InputError for refused input and a non-converged SCF; engine stops
// pass through.
Am1BccResult run_am1_bcc(const Am1BccRequest& request);

// Creates the class at import; returns a new reference to the type.
PyObject* create_am1_bcc_result_type();

// The am1_bcc function of the module.
PyMethodDef* am1_bcc_method_def();

}  // namespace quorin::py
