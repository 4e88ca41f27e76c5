#include "python/embedded_script.h"

namespace quorin::py {

// Converters and framework bridges are defined here as plain Python.
const char* const kEmbeddedScript = R"PY(
)PY";

}  // namespace quorin::py
