#include "core/types/memory_plan.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>

#include "core/types/memory_budget.h"

namespace quorin {

namespace {

constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();

std::string gib_text(std::uint64_t bytes) {
    if (bytes == kSaturated) return "more than 16 EiB";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f GiB", static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0));
    return text;
}

// A "Name:   123 kB" line of /proc/self/status, in bytes; none when missing.
std::uint64_t status_bytes(const std::string& name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(name + ":", 0) != 0) continue;
        std::istringstream fields(line.substr(name.size() + 1));
        std::uint64_t kib = 0;
        if (fields >> kib) return saturating_product(kib, 1024);
    }
    return kSaturated;
}

// Room under a resource limit of the process: its soft limit minus what the
// process already holds of that resource (`used_name` of /proc/self/status).
std::uint64_t room_under_limit(int resource, const char* used_name) {
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kSaturated;
    const std::uint64_t used = status_bytes(used_name);
    if (used == kSaturated) return kSaturated;
    return limit.rlim_cur > used ? limit.rlim_cur - used : 0;
}

}  // namespace

std::uint64_t saturating_sum(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? kSaturated : sum;
}

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? kSaturated : product;
}

MemoryShortfall::MemoryShortfall(std::uint64_t needed_bytes, std::uint64_t available_bytes)
    : needed_bytes_(needed_bytes),
      available_bytes_(available_bytes),
      message_("Not enough memory for this request: it needs " + gib_text(needed_bytes) + " (" +
               std::to_string(needed_bytes) + " bytes) but only " + gib_text(available_bytes) + " (" +
               std::to_string(available_bytes) + " bytes) are available to this process") {}

MemoryPlan& MemoryPlan::add_bytes(std::uint64_t bytes) {
    bytes_ = saturating_sum(bytes_, bytes);
    return *this;
}

MemoryPlan& MemoryPlan::add_items(std::uint64_t count, std::uint64_t bytes_each) {
    return add_bytes(saturating_product(count, bytes_each));
}

MemoryPlan& MemoryPlan::add_matrices(std::uint64_t count, std::uint64_t rows, std::uint64_t cols) {
    return add_doubles(saturating_product(count, saturating_product(rows, cols)));
}

std::uint64_t memory_left_for_requests() {
    std::uint64_t left = available_memory_bytes();
    left = std::min(left, room_under_limit(RLIMIT_AS, "VmSize"));
    left = std::min(left, room_under_limit(RLIMIT_DATA, "VmData"));
    return left;
}

void require_memory(const MemoryPlan& plan) {
    const std::uint64_t left = memory_left_for_requests();
    if (plan.bytes() > left) throw MemoryShortfall(plan.bytes(), left);
}

}  // namespace quorin
