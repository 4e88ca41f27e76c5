#include "python/calculator.h"

#include <cstddef>
#include <new>
#include <optional>
#include <string>

#include "python/arguments.h"
#include "python/drc.h"
#include "python/engine_call.h"
#include "python/frequencies.h"
#include "python/irc.h"
#include "python/meci.h"
#include "python/optimize.h"
#include "python/pbc.h"
#include "python/record_object.h"
#include "python/single_point.h"
#include "python/transition_state.h"
#include "python/uv_vis.h"

namespace quorin::py {

namespace {

struct CalculatorSettings {
    std::string method = "PM6";
    bool use_nddo = true;
    std::optional<double> cosmo_eps;
    std::optional<std::string> dispersion;
    bool h_bonds = false;
    std::uint64_t max_iter = 60;
};

struct CalculatorObject {
    PyObject_HEAD
    CalculatorSettings* settings;
};

CalculatorSettings& settings_of(PyObject* self) { return *reinterpret_cast<CalculatorObject*>(self)->settings; }

// ---- construction and release -------------------------------------------

// A stored dielectric constant or iteration cap is refused at once when it
// is out of range, rather than at every later calculation.
std::optional<double> checked_dielectric(std::optional<double> cosmo_eps) {
    if (cosmo_eps) check_in_range("cosmo_eps", *cosmo_eps, ranges::kDielectricConstant);
    return cosmo_eps;
}

std::uint64_t checked_max_iter(std::uint64_t max_iter) {
    check_count_in_range("max_iter", max_iter, ranges::kLoopCount);
    return max_iter;
}

constexpr const char* kSettingNames[] = {"method", "use_nddo", "cosmo_eps", "dispersion", "h_bonds", "max_iter"};

PyObject* calculator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        const BoundArguments bound("QuorinCalculator", kSettingNames, 0, args, kwargs);
        CalculatorSettings settings;
        settings.method = name_or(bound, 0, "PM6");
        settings.use_nddo = switch_or(bound, 1, true);
        settings.cosmo_eps = checked_dielectric(optional_double(bound, 2));
        settings.dispersion = optional_name(bound, 3);
        settings.h_bonds = switch_or(bound, 4, false);
        settings.max_iter = checked_max_iter(count_or(bound, 5, 60));

        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = check(alloc(type, 0));
        reinterpret_cast<CalculatorObject*>(self)->settings = new (std::nothrow) CalculatorSettings(std::move(settings));
        if (reinterpret_cast<CalculatorObject*>(self)->settings == nullptr) {
            Py_DECREF(self);
            throw std::bad_alloc();
        }
        return self;
    });
}

void calculator_dealloc(PyObject* self) {
    delete reinterpret_cast<CalculatorObject*>(self)->settings;
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

// ---- settings -------------------------------------------------------------

PyObject* new_optional_float(const std::optional<double>& value) {
    if (!value) Py_RETURN_NONE;
    return PyFloat_FromDouble(*value);
}

PyObject* new_optional_text(const std::optional<std::string>& value) {
    if (!value) Py_RETURN_NONE;
    return new_text(*value);
}

// Runs a setter body: refuses deletion, converts and stores; 0 or -1.
template <typename Store>
int set_setting(PyObject* value, Store&& store) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    return guard([&]() -> PyObject* {
               store(value);
               return Py_None;
           }) == nullptr
               ? -1
               : 0;
}

PyObject* get_method(PyObject* self, void*) { return guard([&] { return new_text(settings_of(self).method); }); }
int set_method(PyObject* self, PyObject* value, void*) {
    return set_setting(value, [&](PyObject* v) { settings_of(self).method = to_name(v, "method"); });
}
PyObject* get_use_nddo(PyObject* self, void*) { return PyBool_FromLong(settings_of(self).use_nddo ? 1 : 0); }
int set_use_nddo(PyObject* self, PyObject* value, void*) {
    return set_setting(value, [&](PyObject* v) { settings_of(self).use_nddo = to_switch(v, "use_nddo"); });
}
PyObject* get_cosmo_eps(PyObject* self, void*) { return new_optional_float(settings_of(self).cosmo_eps); }
int set_cosmo_eps(PyObject* self, PyObject* value, void*) {
    return set_setting(value, [&](PyObject* v) {
        settings_of(self).cosmo_eps =
            v == Py_None ? std::nullopt : checked_dielectric(to_double(v, "cosmo_eps"));
    });
}
PyObject* get_dispersion(PyObject* self, void*) {
    return guard([&] { return new_optional_text(settings_of(self).dispersion); });
}
int set_dispersion(PyObject* self, PyObject* value, void*) {
    return set_setting(value, [&](PyObject* v) {
        settings_of(self).dispersion = v == Py_None ? std::nullopt : std::optional(to_name(v, "dispersion"));
    });
}
PyObject* get_h_bonds(PyObject* self, void*) { return PyBool_FromLong(settings_of(self).h_bonds ? 1 : 0); }
int set_h_bonds(PyObject* self, PyObject* value, void*) {
    return set_setting(value, [&](PyObject* v) { settings_of(self).h_bonds = to_switch(v, "h_bonds"); });
}
PyObject* get_max_iter(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(settings_of(self).max_iter); }
int set_max_iter(PyObject* self, PyObject* value, void*) {
    return set_setting(value,
                       [&](PyObject* v) { settings_of(self).max_iter = checked_max_iter(to_count(v, "max_iter")); });
}

PyGetSetDef getset_table[] = {
    {"method", get_method, set_method, nullptr, nullptr},
    {"use_nddo", get_use_nddo, set_use_nddo, nullptr, nullptr},
    {"cosmo_eps", get_cosmo_eps, set_cosmo_eps, nullptr, nullptr},
    {"dispersion", get_dispersion, set_dispersion, nullptr, nullptr},
    {"h_bonds", get_h_bonds, set_h_bonds, nullptr, nullptr},
    {"max_iter", get_max_iter, set_max_iter, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- methods ----------------------------------------------------------------

// cosmo_eps, dispersion and h_bonds enter calculate only: every other method
// runs the gas-phase SCF energy and gradient without them. A calculator that
// holds one refuses those methods rather than return a result without it;
// `alternative` (or null) says how to do the same work with the setting
// applied, through the ASE calculator, whose forces are calculate's.
void refuse_calculate_only_settings(const CalculatorSettings& settings, const char* method,
                                    const char* alternative) {
    std::string setting, value, cleared;
    if (settings.cosmo_eps) {
        setting = "cosmo_eps", value = format_shortest(*settings.cosmo_eps), cleared = "None";
    } else if (settings.dispersion) {
        setting = "dispersion", value = "'" + *settings.dispersion + "'", cleared = "None";
    } else if (settings.h_bonds) {
        setting = "h_bonds", value = "True", cleared = "False";
    } else {
        return;
    }
    std::string message = std::string("QuorinCalculator.") + method + " cannot apply " + setting + "=" + value +
                          ": only calculate adds the solvent, dispersion and hydrogen-bond terms, and " + method +
                          " would run without them. Set calc." + setting + " = " + cleared + " to run it without";
    if (alternative != nullptr) {
        message += ", or " + std::string(alternative) + " on the forces of QuorinASECalculator(" + setting + "=" +
                   value + "), which include it";
    }
    throw InputError(message);
}

// Each method binds its own arguments, converts the molecule exactly as the
// module function does, fills the function's request from the stored
// settings and runs the function's body.
template <typename Request>
Request molecule_request(const BoundArguments& bound, const CalculatorSettings& settings) {
    Request request;
    request.atomic_numbers = to_atomic_numbers(bound.value(0), bound.name(0));
    request.coordinates = to_coordinate_list(bound.value(1), bound.name(1));
    request.method = settings.method;
    request.use_nddo = settings.use_nddo;
    return request;
}

constexpr const char* kCalculateParameters[] = {"atomic_numbers", "coordinates"};

PyObject* method_calculate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const CalculatorSettings& settings = settings_of(self);
        const BoundArguments bound("calculate", kCalculateParameters, 2, args, kwargs);
        auto request = molecule_request<SinglePointRequest>(bound, settings);
        request.cosmo_eps = settings.cosmo_eps;
        request.dispersion = settings.dispersion;
        request.h_bonds = settings.h_bonds;
        request.max_iter = settings.max_iter;
        return new_calculation_result(engine_call([&] { return run_calculation_internal(request); }));
    });
}

constexpr const char* kOptimizeParameters[] = {"atomic_numbers", "coordinates", "max_cycles"};

PyObject* method_optimize(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("optimize", kOptimizeParameters, 2, args, kwargs);
        refuse_calculate_only_settings(settings_of(self), "optimize",
                                       "optimise with an ASE optimiser (ase.optimize.BFGS)");
        auto request = molecule_request<OptimizeRequest>(bound, settings_of(self));
        request.max_cycles = count_or(bound, 2, 100);
        request.grad_rms_tol = 1.0;
        request.grad_max_tol = 2.0;
        return new_optimization_result(engine_call([&] { return run_optimization(request); }));
    });
}

constexpr const char* kFrequenciesParameters[] = {"atomic_numbers",   "coordinates",
                                                  "temperature_k",    "pressure_atm",
                                                  "rotational_symmetry_number", "custom_masses"};

PyObject* method_frequencies(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("frequencies", kFrequenciesParameters, 2, args, kwargs);
        refuse_calculate_only_settings(settings_of(self), "frequencies",
                                       "compute the modes with ase.vibrations.Vibrations");
        auto request = molecule_request<FrequenciesRequest>(bound, settings_of(self));
        request.temperature_k = double_or(bound, 2, 298.15);
        request.pressure_atm = double_or(bound, 3, 1.0);
        request.rotational_symmetry_number = double_or(bound, 4, 1.0);
        if (bound.value(5) != nullptr) request.custom_masses = to_float_list(bound.value(5), bound.name(5));
        request.step_size_angstrom = 0.005;
        request.project_external = true;
        return new_vibrational_result(engine_call([&] { return run_frequencies(request); }));
    });
}

constexpr const char* kTransitionStateParameters[] = {"atomic_numbers", "coordinates",  "max_cycles",
                                                     "grad_rms_tol",   "grad_max_tol", "trust_radius",
                                                     "target_mode"};

PyObject* method_transition_state(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("transition_state", kTransitionStateParameters, 2, args, kwargs);
        refuse_calculate_only_settings(settings_of(self), "transition_state", nullptr);
        auto request = molecule_request<TransitionStateRequest>(bound, settings_of(self));
        read_transition_state_options(bound, 2, request);
        return new_transition_state_result(engine_call([&] { return run_transition_state(request); }));
    });
}

constexpr const char* kIrcParameters[] = {"atomic_numbers", "coordinates", "step_size", "max_points", "direction"};

PyObject* method_irc(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("irc", kIrcParameters, 2, args, kwargs);
        refuse_calculate_only_settings(settings_of(self), "irc", nullptr);
        auto request = molecule_request<IrcRequest>(bound, settings_of(self));
        read_irc_options(bound, 2, request);
        return new_irc_result(engine_call([&] { return run_irc(request); }));
    });
}

constexpr const char* kDrcParameters[] = {"atomic_numbers",   "coordinates",      "time_step_fs",
                                          "total_steps",      "ensemble",         "temperature_k",
                                          "berendsen_tau_fs", "recording_interval"};

PyObject* method_drc(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("drc", kDrcParameters, 2, args, kwargs);
        refuse_calculate_only_settings(settings_of(self), "drc",
                                       "run the dynamics with an ASE integrator (ase.md.verlet.VelocityVerlet)");
        auto request = molecule_request<DrcRequest>(bound, settings_of(self));
        read_drc_options(bound, 2, request);
        return new_drc_result(engine_call([&] { return run_drc(request); }));
    });
}

constexpr const char* kMeciParameters[] = {"atomic_numbers", "coordinates", "active_orbitals", "target_root"};

PyObject* method_meci(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("meci", kMeciParameters, 2, args, kwargs);
        refuse_calculate_only_settings(settings_of(self), "meci", nullptr);
        auto request = molecule_request<MeciRequest>(bound, settings_of(self));
        request.active_orbitals = count_or(bound, 2, 2);
        request.target_root = count_or(bound, 3, 1);
        return new_meci_result(engine_call([&] { return run_meci_request(request); }));
    });
}

constexpr const char* kSpectrumParameters[] = {"atomic_numbers",    "coordinates",       "active_orbitals",
                                               "min_wavelength_nm", "max_wavelength_nm", "step_nm",
                                               "fwhm_nm"};

PyObject* method_uv_vis_spectrum(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const BoundArguments bound("uv_vis_spectrum", kSpectrumParameters, 2, args, kwargs);
        refuse_calculate_only_settings(settings_of(self), "uv_vis_spectrum", nullptr);
        auto request = molecule_request<MeciRequest>(bound, settings_of(self));
        request.active_orbitals = count_or(bound, 2, 2);
        const UvVisGrid grid{double_or(bound, 3, 100.0), double_or(bound, 4, 800.0), double_or(bound, 5, 1.0),
                             double_or(bound, 6, 20.0)};
        return new_uv_vis_spectrum(engine_call([&] { return run_uv_vis_request(std::move(request), grid); }));
    });
}

constexpr const char* kPbcParameters[] = {"atomic_numbers", "coordinates", "translation_vectors",
                                          "mers",           "k_grid",      "band_points"};

PyObject* method_pbc(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const CalculatorSettings& settings = settings_of(self);
        const BoundArguments bound("pbc", kPbcParameters, 3, args, kwargs);
        refuse_calculate_only_settings(settings_of(self), "pbc", nullptr);
        auto request = molecule_request<PbcRequest>(bound, settings);
        request.translation_vectors = to_coordinate_list(bound.value(2), bound.name(2));
        if (bound.value(3) != nullptr) request.mers = to_count_triple(bound.value(3), bound.name(3));
        if (bound.value(4) != nullptr) request.k_grid = to_count_triple(bound.value(4), bound.name(4));
        request.band_points = count_or(bound, 5, 40);
        request.max_iter = settings.max_iter;
        return new_pbc_result(engine_call([&] { return run_pbc(request); }));
    });
}

template <PyObject* (*Method)(PyObject*, PyObject*, PyObject*)>
constexpr PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

PyMethodDef method_table[] = {
    {"calculate", as_cfunction<method_calculate>(), METH_VARARGS | METH_KEYWORDS,
     "calculate($self, atomic_numbers, coordinates)\n--\n\n"
     "Calculate energy, gradients, dipole, and charges for a given molecule."},
    {"optimize", as_cfunction<method_optimize>(), METH_VARARGS | METH_KEYWORDS,
     "optimize($self, atomic_numbers, coordinates, max_cycles=100)\n--\n\n"
     "Optimize geometry for a given molecule."},
    {"frequencies", as_cfunction<method_frequencies>(), METH_VARARGS | METH_KEYWORDS,
     "frequencies($self, atomic_numbers, coordinates, temperature_k=298.15, pressure_atm=1.0, "
     "rotational_symmetry_number=1.0, custom_masses=None)\n--\n\n"
     "Compute harmonic vibrational frequencies, normal modes, and thermodynamics."},
    {"transition_state", as_cfunction<method_transition_state>(), METH_VARARGS | METH_KEYWORDS,
     "transition_state($self, atomic_numbers, coordinates, max_cycles=100, grad_rms_tol=0.1, grad_max_tol=0.2, "
     "trust_radius=0.1, target_mode=None)\n--\n\n"
     "Locate transition state using Eigenvector Following (P-RFO Baker)."},
    {"irc", as_cfunction<method_irc>(), METH_VARARGS | METH_KEYWORDS,
     "irc($self, atomic_numbers, coordinates, step_size=0.1, max_points=50, direction=\"both\")\n--\n\n"
     "Trace Intrinsic Reaction Coordinate (IRC) path from a transition state."},
    {"drc", as_cfunction<method_drc>(), METH_VARARGS | METH_KEYWORDS,
     "drc($self, atomic_numbers, coordinates, time_step_fs=0.5, total_steps=500, ensemble=\"nve\", "
     "temperature_k=298.15, berendsen_tau_fs=100.0, recording_interval=1)\n--\n\n"
     "Propagate Dynamic Reaction Coordinate (DRC) / Born-Oppenheimer Molecular Dynamics."},
    {"meci", as_cfunction<method_meci>(), METH_VARARGS | METH_KEYWORDS,
     "meci($self, atomic_numbers, coordinates, active_orbitals=2, target_root=1)\n--\n\n"
     "Run MECI excited state calculation."},
    {"uv_vis_spectrum", as_cfunction<method_uv_vis_spectrum>(), METH_VARARGS | METH_KEYWORDS,
     "uv_vis_spectrum($self, atomic_numbers, coordinates, active_orbitals=2, min_wavelength_nm=100.0, "
     "max_wavelength_nm=800.0, step_nm=1.0, fwhm_nm=20.0)\n--\n\n"
     "Simulate UV-Vis absorption spectrum."},
    {"pbc", as_cfunction<method_pbc>(), METH_VARARGS | METH_KEYWORDS,
     "pbc($self, atomic_numbers, coordinates, translation_vectors, mers=None, k_grid=None, band_points=40)\n--\n\n"
     "Calculate periodic boundary conditions Bloch SCF and band structure."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* create_calculator_type() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(
                        "QuorinCalculator(method=\"PM6\", use_nddo=True, cosmo_eps=None, dispersion=None, "
                        "h_bonds=False, max_iter=60)\n--\n\n"
                        "Object-oriented QUORIN Calculator class compatible with PyTorch / RDKit / ASE workflows.\n"
                        "\n"
                        "Every method runs with the stored method and use_nddo (see calculate). cosmo_eps, "
                        "dispersion and h_bonds apply to calculate only: the other methods compute the gas phase "
                        "without corrections, so a calculator holding one of them refuses them with ValueError "
                        "(QuorinASECalculator carries them into ASE optimisers, vibrations and dynamics).")},
        {Py_tp_new, reinterpret_cast<void*>(calculator_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(calculator_dealloc)},
        {Py_tp_getset, getset_table},
        {Py_tp_methods, method_table},
        {0, nullptr},
    };
    PyType_Spec spec = {"quorin_py.QuorinCalculator", static_cast<int>(sizeof(CalculatorObject)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return PyType_FromSpec(&spec);
}

}  // namespace quorin::py
