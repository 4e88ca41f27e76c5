#pragma once
// The Python source that module initialisation runs in the module's own
// namespace, so that every name it binds becomes a module attribute.

namespace quorin::py {

extern const char* const kEmbeddedScript;

}  // namespace quorin::py
