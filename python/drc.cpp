#include "python/drc.h"

#include <memory>
#include <span>

#include "core/gradients/nuclear_gradients.h"
#include "core/properties/request_memory.h"
#include "core/scf/workspace.h"
#include "core/types/molecule.h"
#include "python/arguments.h"
#include "python/docstrings.h"
#include "python/engine_call.h"
#include "python/method_lookup.h"
#include "python/record_object.h"

namespace quorin::py {

void read_drc_options(const BoundArguments& bound, std::size_t first, DrcRequest& request) {
    request.time_step_fs = double_or(bound, first, 0.5);
    request.total_steps = count_or(bound, first + 1, 500);
    request.ensemble = name_or(bound, first + 2, "nve");
    request.temperature_k = double_or(bound, first + 3, 298.15);
    request.berendsen_tau_fs = double_or(bound, first + 4, 100.0);
    request.recording_interval = count_or(bound, first + 5, 1);
}

DrcResult run_drc(const DrcRequest& request) {
    const auto& numbers = request.atomic_numbers;
    const CheckedMolecule checked =
        check_request(numbers, {{request.coordinates}}, request.method,
                      {{"time_step_fs", request.time_step_fs, ranges::kMdTimeStep}},
                      {{"total_steps", request.total_steps, ranges::kLoopCount},
                       {"recording_interval", request.recording_interval, ranges::kRecordingInterval}});
    const ParameterModel& model = *checked.model;

    DrcOptions options;
    const std::string ensemble = to_lower(request.ensemble);
    if (ensemble == "nve") {
        options.initial_velocities.value = InitialVelocities::Zero{};
        options.nvt = false;
    } else if (ensemble == "nvt") {
        options.initial_velocities.value = InitialVelocities::MaxwellBoltzmann{std::nullopt, request.temperature_k};
        options.nvt = true;
        check_in_range("temperature_k", request.temperature_k, ranges::kThermostatTemperature);
        check_in_range("berendsen_tau_fs", request.berendsen_tau_fs, ranges::kThermostatCoupling);
        if (request.berendsen_tau_fs < request.time_step_fs) {
            refuse_argument("berendsen_tau_fs", "must be at least time_step_fs (" +
                                                    format_shortest(request.time_step_fs) +
                                                    " fs): a shorter coupling overshoots the bath temperature and "
                                                    "heats the system (got " +
                                                    format_shortest(request.berendsen_tau_fs) + ")");
        }
    } else {
        refuse_argument("ensemble", "unknown DRC ensemble '" + ensemble + "'; supported: 'nve', 'nvt'");
    }
    options.time_step_fs = request.time_step_fs;
    options.total_steps = static_cast<std::size_t>(request.total_steps);
    options.temperature_k = request.temperature_k;
    options.berendsen_tau_fs = request.berendsen_tau_fs;
    options.recording_interval = static_cast<std::size_t>(request.recording_interval);
    options.scf_energy_tolerance = 1e-8;
    options.scf_density_tolerance = 1e-7;
    options.use_nddo = request.use_nddo;
    if (const auto error = find_drc_option_error(options)) throw InputError(*error);

    MolecularBatch molecule = MolecularBatch::new_for_model(numbers, request.coordinates, model);
    require_memory(driver_memory(molecule, request.use_nddo, 1, 0, false,
                                 {.spare_scf_workspace = true, .walk_basis_matrices = 2, .walk_atom_triples = 4}));
    ScfWorkspace scf = ScfWorkspace::allocate(molecule.n_basis);
    GradientWorkspace gradient_workspace = GradientWorkspace::allocate(molecule.n_basis);
    DrcWorkspace workspace = DrcWorkspace::allocate(molecule);
    return run_dynamic_reaction_coordinate(molecule, model, scf, gradient_workspace, workspace, options);
}

namespace {

// ---- DrcFramePy ------------------------------------------------------------

PyTypeObject* frame_type = nullptr;

using F = DrcFrame;

PyGetSetDef frame_getset[] = {
    attribute<&F::step>("step", "Integration step index (0-indexed)"),
    attribute<&F::time_fs>("time_fs", "Elapsed simulation time in femtoseconds"),
    attribute<&F::potential_energy_ev>("potential_energy_ev",
        "Potential energy in eV, of the lowest SCF solution found (an SCF from the atomic guess checks the one "
        "followed every ten steps, at the last step, where the conserved energy jumps and wherever the solution has a "
        "soft orbital mode; where it finds a lower one the run integrates again from the last check, moving onto it "
        "where it appears)"),
    attribute<&F::kinetic_energy_ev>("kinetic_energy_ev", "Classical kinetic energy in eV"),
    attribute<&F::total_energy_ev>("total_energy_ev", "Total energy (potential + kinetic) in eV"),
    attribute<&F::temperature_k>("temperature_k", "Instantaneous kinetic temperature in Kelvin"),
    attribute<&F::coordinates>("coordinates", "Atomic Cartesian coordinates in \u00c5 (shape: [natoms, 3])"),
    attribute<&F::velocities>("velocities", "Atomic velocities in \u00c5 / fs (shape: [natoms, 3])"),
    attribute<&F::forces>("forces", "Cartesian forces in eV / \u00c5 (shape: [natoms, 3])"),
    kEndOfAttributes,
};

PyObject* frame_repr(PyObject* self) {
    return guard([&] {
        const F& f = record_of<F>(self);
        return new_text("<DrcFrame step=" + std::to_string(f.step) + " t=" + format_fixed(f.time_fs, 2) +
                        " fs, E_tot=" + format_fixed(f.total_energy_ev, 6) +
                        " eV, T=" + format_fixed(f.temperature_k, 1) + " K>");
    });
}

PyMethodDef frame_methods[] = {
    {"to_dict", to_dict_of_table<frame_getset>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- DrcPyResult -----------------------------------------------------------

PyTypeObject* result_type = nullptr;

using R = DrcResult;

PyObject* get_frames(PyObject* self, void*) {
    return guard([&] { return new_record_list(frame_type, std::span<const DrcFrame>(record_of<R>(self).frames)); });
}

PyGetSetDef result_getset[] = {
    nested_attribute<&R::frames, frame_getset>("frames", get_frames, "Recorded trajectory frames"),
    attribute<&R::initial_energy_ev>("initial_energy_ev", "Initial total energy in eV"),
    attribute<&R::final_energy_ev>("final_energy_ev", "Final total energy in eV"),
    attribute<&R::energy_drift_ev_per_ps>("energy_drift_ev_per_ps",
        "Linear energy drift in eV / ps of the conserved energy (total energy less the thermostat's heat)"),
    attribute<&R::max_energy_drift_ev>("max_energy_drift_ev",
        "Maximum absolute energy drift in eV of the conserved energy (total energy less the thermostat's heat)"),
    attribute<&R::average_temperature_k>("average_temperature_k", "Average trajectory temperature in Kelvin"),
    attribute<&R::thermostat_heat_ev>("thermostat_heat_ev",
        "Kinetic energy in eV the thermostat put in (negative: took out); 0 under nve"),
    attribute<&R::state_changes>("state_change_steps",
        "Steps at which the SCF solution followed changed: the run moved onto a lower solution found by an SCF from "
        "the atomic guess, or the conserved energy jumped in one step, by more than 5 meV and ten times its typical "
        "change (two solutions cross there)"),
    kEndOfAttributes,
};

PyObject* result_to_dict(PyObject* self, PyObject*) {
    return guard([&] {
        return dict_with_records_last(self, result_getset, frame_type,
                                      std::span<const DrcFrame>(record_of<R>(self).frames), frame_getset);
    });
}

PyObject* result_repr(PyObject* self) {
    return guard([&] {
        const R& r = record_of<R>(self);
        return new_text("<DrcPyResult frames=" + std::to_string(r.frames.size()) +
                        " drift=" + format_exponent(r.energy_drift_ev_per_ps, 3) +
                        " eV/ps, max_dev=" + format_exponent(r.max_energy_drift_ev, 3) +
                        " eV, avg_T=" + format_fixed(r.average_temperature_k, 1) + " K>");
    });
}

PyMethodDef result_methods[] = {
    {"to_dict", result_to_dict, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- drc ---------------------------------------------------------------------

constexpr const char* kDrcParameters[] = {
    "atomic_numbers", "coordinates",      "method",        "time_step_fs",       "total_steps",
    "ensemble",       "temperature_k",    "berendsen_tau_fs", "recording_interval", "use_nddo",
};

PyObject* drc(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("drc", kDrcParameters, 2, args, kwargs);
        DrcRequest request;
        request.atomic_numbers = to_atomic_numbers(bound.value(0), bound.name(0));
        request.coordinates = to_coordinate_list(bound.value(1), bound.name(1));
        request.method = name_or(bound, 2, "PM6");
        read_drc_options(bound, 3, request);
        request.use_nddo = switch_or(bound, 9, true);
        return new_drc_result(engine_call([&] { return run_drc(request); }));
    });
}

PyMethodDef drc_def = {
    "drc",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(drc)),
    METH_VARARGS | METH_KEYWORDS,
    "drc(atomic_numbers, coordinates, method=None, time_step_fs=None, total_steps=None, ensemble=None, "
    "temperature_k=None, berendsen_tau_fs=None, recording_interval=None, use_nddo=True)\n"
    "--\n"
    "\n"
    "Run Dynamic Reaction Coordinate (DRC) / Born-Oppenheimer Molecular Dynamics.\n"
    "\n"
    "Parameters:\n"
    "- `atomic_numbers`: list of integer atomic numbers (e.g. `[7, 7]`)\n"
    "- `coordinates`: 3D coordinates in \u00c5ngstr\u00f6ms\n"
    QUORIN_METHOD_DOC
    "- `time_step_fs`: Integrator time step in femtoseconds (default: 0.5 fs)\n"
    "- `total_steps`: Number of MD integration steps (default: 500)\n"
    "- `ensemble`: Thermodynamic ensemble: \"nve\" or \"nvt\" (default: \"nve\"); under \"nvt\" the energy "
    "drifts leave out the heat the thermostat put in, reported as `thermostat_heat_ev`\n"
    "- `temperature_k`: Target temperature in Kelvin for NVT ensemble (default: 298.15 K)\n"
    "- `berendsen_tau_fs`: Berendsen thermostat coupling constant in femtoseconds, at least time_step_fs (default: 100.0 fs)\n"
    "- `recording_interval`: Stride interval for saving trajectory frames (default: 1)\n"
    QUORIN_USE_NDDO_DOC,
};

}  // namespace

PyObject* create_drc_frame_type() {
    return create_record_type<F>({"quorin_py.DrcFramePy",
                                  "Recorded frame along Dynamic Reaction Coordinate Born-Oppenheimer Molecular "
                                  "Dynamics.",
                                  frame_repr, frame_getset, frame_methods},
                                 frame_type);
}

PyObject* create_drc_result_type() {
    return create_record_type<R>({"quorin_py.DrcPyResult",
                                  "Comprehensive result of Dynamic Reaction Coordinate simulation.", result_repr,
                                  result_getset, result_methods},
                                 result_type);
}

PyObject* new_drc_result(DrcResult result) { return new_record_object(result_type, std::move(result)); }

PyMethodDef* drc_method_def() { return &drc_def; }

}  // namespace quorin::py
