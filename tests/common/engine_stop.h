#pragma once
// The message of the engine stop a call raises, for tests of refusals.
#include <functional>
#include <string>

#include "core/types/errors.h"

namespace quorin::fixtures {

// The stop's message, or "no stop" when the call returns normally.
inline std::string stop_message(const std::function<void()>& body) {
    try {
        body();
    } catch (const EngineStop& stop) {
        return stop.what();
    }
    return "no stop";
}

}  // namespace quorin::fixtures
