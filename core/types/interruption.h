#pragma once
// Lets the caller of a long request stop it. The caller installs a check for
// the calling thread; the engine asks it at safe points (once per SCF
// iteration and per cycle of a loop that runs no SCF) and abandons the
// request by throwing Interrupted when the check reports a pending stop.
// Everything the request owns is released on the way out, as for any other
// failure, so the next request starts afresh.

namespace quorin {

// Thrown when the caller's check asks the request to stop. It carries
// nothing (the caller knows why) and derives from no standard exception, so
// that no handler meant for engine failures mistakes it for one.
struct Interrupted {};

// A caller's check: returns true when the request should stop.
using InterruptionCheck = bool (*)(void* context);

// Installs `check` for the calling thread while it lives and restores the
// check that was installed before (none, usually). Requests on other threads
// see their own checks.
class InterruptionScope {
public:
    InterruptionScope(InterruptionCheck check, void* context);
    ~InterruptionScope();
    InterruptionScope(const InterruptionScope&) = delete;
    InterruptionScope& operator=(const InterruptionScope&) = delete;

private:
    InterruptionCheck previous_check_;
    void* previous_context_;
};

// Asks the calling thread's check, if one is installed; throws Interrupted
// when it reports a stop. Costs a thread-local read when none is installed.
void check_interruption();

}  // namespace quorin
