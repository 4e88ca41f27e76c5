#pragma once
// The localized-orbital SCF from Python: input checks, the engine run, and
// the classes `VarnexPyResult` and `VarnexLmoPy`.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/varnex/solver.h"
#include "python/py_support.h"

namespace quorin::py {

struct VarnexRequest {
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> coordinates;  // angstrom
    std::string method = "PM6";
    std::optional<std::string> dispersion;  // as calculate names them; none: no dispersion
    VarnexConfig config;
};

// The engine's result without its density matrix, which the class does not
// show. Throws InputError for refused input (no atoms, an unknown dispersion
// name) and the engine's refusals; engine stops pass through.
VarnexResult run_varnex(const VarnexRequest& request);

// Create the classes at import; each returns a new reference to its type.
PyObject* create_varnex_lmo_type();
PyObject* create_varnex_result_type();

// The varnex function of the module.
PyMethodDef* varnex_method_def();

}  // namespace quorin::py
