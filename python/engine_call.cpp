#include "python/engine_call.h"

namespace quorin::py {

namespace {

// Shortest time between two looks for a pending signal. A look takes the
// interpreter lock, which can mean waiting out another Python thread's
// switch interval (5 ms by default); looking at most this often bounds that
// cost to a tenth of the run at worst, while a Ctrl-C lands within this time
// and one SCF iteration.
constexpr std::chrono::milliseconds kSignalCheckInterval{50};

bool on_main_thread() {
    Ref threading(PyImport_ImportModule("threading"));
    Ref main_thread(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    Ref ident(main_thread ? PyObject_GetAttrString(main_thread.get(), "ident") : nullptr);
    if (!ident) {
        // Without an answer, look for signals as the main thread would.
        PyErr_Clear();
        return true;
    }
    const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return true;
    }
    return main_ident == PyThread_get_thread_ident();
}

}  // namespace

EngineSection::EngineSection()
    : main_thread_(on_main_thread()),
      next_check_(std::chrono::steady_clock::now() + kSignalCheckInterval),
      interruption_(&EngineSection::signal_pending, this) {
    if (main_thread_ && PyErr_CheckSignals() != 0) throw PythonErrorSet{};
    saved_state_ = PyEval_SaveThread();
}

EngineSection::~EngineSection() { PyEval_RestoreThread(saved_state_); }

bool EngineSection::signal_pending(void* context) {
    auto& section = *static_cast<EngineSection*>(context);
    if (!section.main_thread_) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now < section.next_check_) return false;
    section.next_check_ = now + kSignalCheckInterval;
    PyEval_RestoreThread(section.saved_state_);
    const bool raised = PyErr_CheckSignals() != 0;
    section.saved_state_ = PyEval_SaveThread();
    return raised;
}

void raise_memory_error(const MemoryShortfall& shortfall) { PyErr_SetString(PyExc_MemoryError, shortfall.what()); }

}  // namespace quorin::py
