#pragma once
// Engine stops: a precondition of the engine failed. The message is fixed
// text that the Python layer passes on unchanged.
#include <stdexcept>
#include <string>

namespace quorin {

class EngineStop : public std::runtime_error {
public:
    explicit EngineStop(const std::string& message) : std::runtime_error(message) {}
};

// A request refused with a formatted message: options the computation
// cannot use, or a computation that cannot deliver a trustworthy result.
// Unlike an EngineStop it reaches Python as ValueError.
class RequestError : public std::runtime_error {
public:
    explicit RequestError(const std::string& message) : std::runtime_error(message) {}
};

// Equality-assertion stop: "message" followed by the two values, the way a
// failed assert_eq reports them.
[[noreturn]] void stop_assert_eq(const char* message, std::size_t left, std::size_t right);

}  // namespace quorin
