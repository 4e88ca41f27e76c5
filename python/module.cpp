// quorin_py: the CPython extension module, written against the stable ABI.
// Initialisation creates the module, adds the classes and then the functions
// (each name also appended to __all__), and finally runs the embedded script
// in the module's namespace.
#include "python/am1_bcc.h"
#include "python/calculation_result.h"
#include "python/calculator.h"
#include "python/drc.h"
#include "python/embedded_script.h"
#include "python/esp_charges.h"
#include "python/frequencies.h"
#include "python/irc.h"
#include "python/meci.h"
#include "python/optimize.h"
#include "python/pbc.h"
#include "python/polarizability.h"
#include "python/py_support.h"
#include "python/saddle.h"
#include "python/single_point.h"
#include "python/transition_state.h"
#include "python/uv_vis.h"
#include "python/varnex.h"

namespace quorin::py {

namespace {

PyModuleDef quorin_module = {
    PyModuleDef_HEAD_INIT,
    "quorin_py",
    "QUORIN_RS Python Module",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Set once the module object exists; a second initialisation is refused.
bool module_created = false;

struct ClassEntry {
    const char* name;
    PyObject* (*create)();
};

// Classes in their order of addition.
constexpr ClassEntry kClasses[] = {
    {"Am1BccPyResult", create_am1_bcc_result_type},
    {"CalculationResult", create_calculation_result_type},
    {"OptimizationPyResult", create_optimization_result_type},
    {"TransitionStatePyResult", create_transition_state_result_type},
    {"NormalModePy", create_normal_mode_type},
    {"ThermodynamicsPy", create_thermodynamics_type},
    {"VibrationalResultPy", create_vibrational_result_type},
    {"IrcPointPy", create_irc_point_type},
    {"IrcPyResult", create_irc_result_type},
    {"DrcFramePy", create_drc_frame_type},
    {"DrcPyResult", create_drc_result_type},
    {"SaddlePointPy", create_saddle_point_type},
    {"SaddlePyResult", create_saddle_result_type},
    {"CiStatePy", create_ci_state_type},
    {"MeciPyResult", create_meci_result_type},
    {"UvVisSpectrumPy", create_uv_vis_spectrum_type},
    {"PbcResultPy", create_pbc_result_type},
    {"EspResultPy", create_esp_result_type},
    {"PolarizabilityPyResult", create_polarizability_result_type},
    {"VarnexLmoPy", create_varnex_lmo_type},
    {"VarnexPyResult", create_varnex_result_type},
    {"QuorinCalculator", create_calculator_type},
};

// Functions in their order of addition.
PyMethodDef* (*const kFunctions[])() = {
    calculate_method_def,
    optimize_method_def,
    transition_state_method_def,
    frequencies_method_def,
    esp_charges_method_def,
    irc_method_def,
    drc_method_def,
    saddle_method_def,
    meci_method_def,
    uv_vis_spectrum_method_def,
    pbc_method_def,
    polarizability_method_def,
    varnex_method_def,
    am1_bcc_method_def,
};

void add_to_module(PyObject* module, PyObject* all, const char* name, Ref value) {
    if (PyModule_AddObjectRef(module, name, value.get()) < 0) throw PythonErrorSet{};
    Ref name_text(check(PyUnicode_FromString(name)));
    if (PyList_Append(all, name_text.get()) < 0) throw PythonErrorSet{};
}

void run_embedded_script(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    if (globals == nullptr) throw PythonErrorSet{};
    const int has_builtins = PyDict_Contains(globals, Ref(check(PyUnicode_FromString("__builtins__"))).get());
    if (has_builtins < 0) throw PythonErrorSet{};
    if (has_builtins == 0) {
        if (PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0) throw PythonErrorSet{};
    }
    Ref code(check(Py_CompileString(kEmbeddedScript, "<string>", Py_file_input)));
    Ref result(check(PyEval_EvalCode(code.get(), globals, globals)));
}

PyObject* initialise() {
    if (module_created) {
        PyErr_SetString(PyExc_ImportError,
                        "quorin_py: the extension module may only be initialized once per interpreter process");
        return nullptr;
    }
    PyObject* engine_stop = create_engine_stop_type();
    if (engine_stop == nullptr) return nullptr;
    Ref module(check(PyModule_Create(&quorin_module)));
    module_created = true;
    Ref all(check(PyList_New(0)));
    if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) throw PythonErrorSet{};
    // Catchable by name (`except quorin_py.EngineStop`); not one of the
    // registered classes, so not in __all__.
    if (PyModule_AddObjectRef(module.get(), "EngineStop", engine_stop) < 0) throw PythonErrorSet{};

    for (const ClassEntry& entry : kClasses) {
        add_to_module(module.get(), all.get(), entry.name, Ref(check(entry.create())));
    }
    Ref module_name(check(PyUnicode_FromString("quorin_py")));
    for (PyMethodDef* (*definition)() : kFunctions) {
        PyMethodDef* def = definition();
        Ref function(check(PyCFunction_NewEx(def, module.get(), module_name.get())));
        add_to_module(module.get(), all.get(), def->ml_name, std::move(function));
    }
    run_embedded_script(module.get());
    return module.release();
}

}  // namespace

}  // namespace quorin::py

PyMODINIT_FUNC PyInit_quorin_py(void) {
    return quorin::py::guard([] { return quorin::py::initialise(); });
}
