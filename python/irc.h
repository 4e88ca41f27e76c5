#pragma once
// Intrinsic reaction coordinate from Python: input checks, the path tracer,
// and the classes `IrcPyResult` and `IrcPointPy`.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/reactions/irc.h"
#include "python/py_support.h"

namespace quorin::py {

struct IrcRequest {
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> coordinates;  // angstrom, transition-state geometry
    std::string method = "PM6";
    double step_size = 0.1;  // amu^1/2 angstrom
    std::uint64_t max_points = 50;  // per direction
    std::string direction = "both";  // "both", "forward"/"fwd", "reverse"/"rev", any case
    bool use_nddo = true;
};

// Throws InputError for refused input (empty molecule, length mismatch,
// non-finite coordinates, unknown method or direction, unsupported element,
// odd electron count, a step size that is not positive and finite); engine
// stops pass through. Branches that end without reaching a minimum are
// reported in their flags.
IrcResult run_irc(const IrcRequest& request);

class BoundArguments;

// Converts step_size, max_points and direction, bound from position `first`
// on, into `request`.
void read_irc_options(const BoundArguments& bound, std::size_t first, IrcRequest& request);

// Create the classes at import; each returns a new reference to its type.
PyObject* create_irc_point_type();
PyObject* create_irc_result_type();

// A new IrcPyResult owning `result`. Throws PythonErrorSet on failure.
PyObject* new_irc_result(IrcResult result);

// The irc function of the module.
PyMethodDef* irc_method_def();

}  // namespace quorin::py
