#pragma once
// How much memory a request may still claim: the machine's available
// physical memory, capped by the room left under every memory limit of the
// control groups the process belongs to (a container or a job slot usually
// has one far below the machine's memory).
#include <cstdint>
#include <filesystem>

namespace quorin {

// Bytes the process can still allocate without being killed or swapping:
// MemAvailable of /proc/meminfo (the free pages when it is missing), capped
// for its cgroup and each ancestor by limit minus usage (v2 memory.max and
// memory.current, v1 memory.limit_in_bytes and memory.usage_in_bytes), and
// by the room left under the process's own address-space and data-size
// limits (setrlimit RLIMIT_AS and RLIMIT_DATA) when they are set.
std::uint64_t available_memory_bytes();

// The same, without the process's own limits, with /proc and /sys read
// below `root` instead of "/".
std::uint64_t available_memory_bytes(const std::filesystem::path& root);

}  // namespace quorin
