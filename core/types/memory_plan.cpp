#include "core/types/memory_plan.h"

#include <cstdio>
#include <limits>
#include <utility>

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
    : MemoryShortfall(needed_bytes, available_bytes,
                      "Not enough memory for this request: it needs " + gib_text(needed_bytes) + " (" +
                          std::to_string(needed_bytes) + " bytes) but only " + gib_text(available_bytes) + " (" +
                          std::to_string(available_bytes) + " bytes) are available to this process") {}

MemoryShortfall::MemoryShortfall(std::uint64_t needed_bytes, std::uint64_t available_bytes, std::string message)
    : needed_bytes_(needed_bytes), available_bytes_(available_bytes), message_(std::move(message)) {}

MemoryShortfall MemoryShortfall::during_run(std::uint64_t planned_bytes, std::uint64_t available_bytes) {
    return MemoryShortfall(planned_bytes, available_bytes,
                           "Not enough memory for this request: an allocation failed while it ran; it was planned "
                           "at " + gib_text(planned_bytes) + " (" + std::to_string(planned_bytes) +
                               " bytes) and " + gib_text(available_bytes) + " (" +
                               std::to_string(available_bytes) + " bytes) are available to this process");
}

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

namespace {

// The innermost PlannedMemoryScope of this thread; each thread has its own.
thread_local PlannedMemoryScope* current_scope = nullptr;

}  // namespace

PlannedMemoryScope::PlannedMemoryScope() : previous_(current_scope) { current_scope = this; }

PlannedMemoryScope::~PlannedMemoryScope() { current_scope = previous_; }

MemoryShortfall PlannedMemoryScope::shortfall() const {
    return MemoryShortfall::during_run(planned_bytes_, available_memory_bytes());
}

void require_memory(const MemoryPlan& plan) {
    if (current_scope != nullptr) current_scope->planned_bytes_ = plan.bytes();
    // Reading the limits costs more than a small request could go wrong by.
    if (plan.bytes() < kUncheckedPlanBytes) return;
    const std::uint64_t left = available_memory_bytes();
    if (plan.bytes() > left) throw MemoryShortfall(plan.bytes(), left);
}

}  // namespace quorin
