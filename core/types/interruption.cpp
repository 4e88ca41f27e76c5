#include "core/types/interruption.h"

namespace quorin {

namespace {

// The check of the request running on this thread; each thread has its own.
thread_local InterruptionCheck installed_check = nullptr;
thread_local void* installed_context = nullptr;

}  // namespace

InterruptionScope::InterruptionScope(InterruptionCheck check, void* context)
    : previous_check_(installed_check), previous_context_(installed_context) {
    installed_check = check;
    installed_context = context;
}

InterruptionScope::~InterruptionScope() {
    installed_check = previous_check_;
    installed_context = previous_context_;
}

void check_interruption() {
    if (installed_check != nullptr && installed_check(installed_context)) throw Interrupted{};
}

}  // namespace quorin
