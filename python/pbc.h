#pragma once
// Periodic calculation from Python: input checks, the unit cell and settings,
// one periodic SCF with bands and density of states, and the class
// `PbcResultPy`.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/pbc/bloch_scf.h"
#include "python/py_support.h"

namespace quorin::py {

struct PbcRequest {
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> coordinates;          // angstrom, one unit cell
    std::vector<std::array<double, 3>> translation_vectors;  // angstrom, a1, a2, a3
    std::string method = "PM6";
    std::optional<std::array<std::uint64_t, 3>> mers;    // the cells within the default radius when absent
    std::optional<std::array<std::uint64_t, 3>> k_grid;  // default_k_grid of the cells kept when absent
    bool use_nddo = true;
    std::uint64_t max_iter = 100;
    std::uint64_t band_points = 40;
};

// Throws InputError for refused input (empty cell, length mismatch, vector
// count, non-finite numbers, counts below 1, unknown method, unsupported
// element, odd electron count, degenerate cell, a k_grid coarser than mers, atoms on
// periodic images, a run too large to hold); engine stops
// pass through. The band-path k-points are dropped from the result.
PbcResult run_pbc(const PbcRequest& request);

// Creates the class at import; returns a new reference to its type.
PyObject* create_pbc_result_type();

// A new PbcResultPy owning `result`. Throws PythonErrorSet on failure.
PyObject* new_pbc_result(PbcResult result);

// The pbc function of the module.
PyMethodDef* pbc_method_def();

}  // namespace quorin::py
