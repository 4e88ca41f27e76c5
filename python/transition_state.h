#pragma once
// Transition-state search from Python: input checks, eigenvector following,
// and a final single point at the saddle geometry; the record and its class
// `TransitionStatePyResult`, which the two-ended search also fills.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/opt/eigenvector_following.h"
#include "python/calculation_result.h"

namespace quorin::py {

struct TransitionStateRequest {
    std::vector<std::uint8_t> atomic_numbers;
    std::vector<std::array<double, 3>> coordinates;  // angstrom, starting geometry
    std::string method = "PM6";
    std::uint64_t max_cycles = 100;
    double grad_rms_tol = 0.1;  // kcal/(mol angstrom)
    double grad_max_tol = 0.2;  // kcal/(mol angstrom)
    double trust_radius = 0.1;  // angstrom
    std::optional<std::uint64_t> target_mode;  // none: the lowest mode
    bool use_nddo = true;
};

struct TransitionStateRecord {
    bool converged = false;
    std::uint64_t cycles = 0;
    double final_energy_ev = 0.0;
    double final_heat_of_formation_kcal = 0.0;
    double initial_grad_rms = 0.0;  // kcal/(mol angstrom)
    double final_grad_rms = 0.0;
    double final_grad_max = 0.0;
    double ts_mode_eigenvalue = 0.0;  // kcal/(mol angstrom^2)
    std::uint64_t ts_mode_index = 0;
    std::vector<std::array<double, 3>> coordinates;  // angstrom
    CalculationRecord final_result;
};

// The search's own figures (its heat of formation included) with
// `coordinates` and `final_result` left for the caller to fill.
TransitionStateRecord transition_state_record_of(const TransitionStateResult& search);

// Throws InputError for refused input, before any SCF; engine stops pass
// through. A search that runs out of cycles is reported in `converged`.
TransitionStateRecord run_transition_state(const TransitionStateRequest& request);

class BoundArguments;

// Converts max_cycles, grad_rms_tol, grad_max_tol, trust_radius and
// target_mode, bound from position `first` on, into `request`.
void read_transition_state_options(const BoundArguments& bound, std::size_t first, TransitionStateRequest& request);

// Creates the class at import; returns a new reference to the type object.
// The attribute table of TransitionStatePyResult, for results that hold one.
extern PyGetSetDef transition_state_attributes[];

PyObject* create_transition_state_result_type();

// A new TransitionStatePyResult owning `record`; the same not checked for
// non-finite numbers (for a refinement inside another result, which is
// checked as a whole); its to_dict. All throw PythonErrorSet on failure.
PyObject* new_transition_state_result(TransitionStateRecord record);
PyObject* new_unchecked_transition_state_result(TransitionStateRecord record);
PyObject* transition_state_result_dict(const TransitionStateRecord& record);

// The transition_state function of the module.
PyMethodDef* transition_state_method_def();

}  // namespace quorin::py
