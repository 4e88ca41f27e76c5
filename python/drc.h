#pragma once
// Dynamic reaction coordinate from Python: input checks, the dynamics run, and
// the classes `DrcPyResult` and `DrcFramePy`.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/reactions/drc.h"
#include "python/py_support.h"

namespace quorin::py {

struct DrcRequest {
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> coordinates;  // angstrom, starting geometry
    std::string method = "PM6";
    double time_step_fs = 0.5;
    std::uint64_t total_steps = 500;
    std::string ensemble = "nve";  // "nve": start at rest, no thermostat; "nvt": Maxwell-Boltzmann start, thermostat
    double temperature_k = 298.15;   // thermostat target and starting temperature under "nvt"
    double berendsen_tau_fs = 100.0;
    std::uint64_t recording_interval = 1;
    bool use_nddo = true;
};

// Throws InputError for refused input (empty molecule, length mismatch,
// non-finite coordinates, unknown method or ensemble, unsupported element, odd
// electron count, a time step, or under "nvt" a temperature or coupling time,
// the dynamics cannot use); engine stops pass through.
DrcResult run_drc(const DrcRequest& request);

class BoundArguments;

// Converts time_step_fs, total_steps, ensemble, temperature_k,
// berendsen_tau_fs and recording_interval, bound from position `first` on,
// into `request`.
void read_drc_options(const BoundArguments& bound, std::size_t first, DrcRequest& request);

// Create the classes at import; each returns a new reference to its type.
PyObject* create_drc_frame_type();
PyObject* create_drc_result_type();

// A new DrcPyResult owning `result`. Throws PythonErrorSet on failure.
PyObject* new_drc_result(DrcResult result);

// The drc function of the module.
PyMethodDef* drc_method_def();

}  // namespace quorin::py
