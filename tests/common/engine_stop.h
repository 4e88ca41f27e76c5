#pragma once
// The message of the engine stop a call raises, or "no stop".
#include <functional>
#include <string>

#include "core/types/errors.h"

namespace quorin::fixtures {

inline std::string stop_message(const std::function<void()>& f) {
    try {
        f();
    } catch (const EngineStop& e) {
        return e.what();
    }
    return "no stop";
}

}  // namespace quorin::fixtures
