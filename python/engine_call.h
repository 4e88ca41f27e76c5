#pragma once
// The one way every module function and calculator method runs the engine:
// with the interpreter lock released, so that other Python threads run
// meanwhile, and with a check the engine asks once per SCF iteration and
// driver cycle, so that Ctrl-C (any signal whose handler raises) stops the
// request within about one iteration. Conversion of arguments and results
// happens outside, with the lock held.
#include <chrono>

#include "core/types/interruption.h"
#include "core/types/memory_plan.h"
#include "python/py_support.h"

namespace quorin::py {

// Releases the interpreter lock for its lifetime and installs the signal
// check for the calling thread. Constructed with the lock held: a signal
// already pending raises its exception (PythonErrorSet) before anything runs.
class EngineSection {
public:
    EngineSection();
    ~EngineSection();
    EngineSection(const EngineSection&) = delete;
    EngineSection& operator=(const EngineSection&) = delete;

private:
    static bool signal_pending(void* section);

    PyThreadState* saved_state_ = nullptr;
    // Signal handlers run on the main thread only; other threads never wait
    // for the lock to ask.
    bool main_thread_ = false;
    std::chrono::steady_clock::time_point next_check_;
    InterruptionScope interruption_;
};

// Holds the interpreter lock while it lives, whether or not the calling
// thread held it already: for the few Python services (such as Unicode case
// mapping) that input checks inside an engine call use.
class PythonLock {
public:
    PythonLock() : state_(PyGILState_Ensure()) {}
    ~PythonLock() { PyGILState_Release(state_); }
    PythonLock(const PythonLock&) = delete;
    PythonLock& operator=(const PythonLock&) = delete;

private:
    PyGILState_STATE state_;
};

// Sets MemoryError with the shortfall's message (lock held).
void raise_memory_error(const MemoryShortfall& shortfall);

// Runs `body` -- engine work that touches no Python object -- inside an
// EngineSection and returns its result with the lock held again. A stop by
// a signal ends in the exception its handler raised (KeyboardInterrupt for
// Ctrl-C), a request larger than the memory left in MemoryError, as does an
// allocation that fails while it runs; every other failure passes on
// unchanged.
template <typename Body>
auto engine_call(Body&& body) -> decltype(body()) {
    const PlannedMemoryScope planned;
    try {
        const EngineSection section;
        return body();
    } catch (const Interrupted&) {
        throw PythonErrorSet{};
    } catch (const MemoryShortfall& shortfall) {
        raise_memory_error(shortfall);
        throw PythonErrorSet{};
    } catch (const std::bad_alloc&) {
        // The plan did not foresee it; the message names the plan and what
        // the process has left.
        raise_memory_error(planned.shortfall());
        throw PythonErrorSet{};
    }
}

}  // namespace quorin::py
