#pragma once
// The memory a request will hold at its peak, added up before anything large
// is allocated, and the refusal of a request that does not fit in what the
// process has left.
#include <cstdint>
#include <new>
#include <string>

namespace quorin {

// A request that needs more memory than the process has left. A bad_alloc,
// so that every handler of exhausted memory treats it as one; the message
// names the need and the limit.
class MemoryShortfall : public std::bad_alloc {
public:
    MemoryShortfall(std::uint64_t needed_bytes, std::uint64_t available_bytes);
    // An allocation that failed while the request ran: the message names the
    // request's plan and the memory available to the process.
    static MemoryShortfall during_run(std::uint64_t planned_bytes, std::uint64_t available_bytes);
    const char* what() const noexcept override { return message_.c_str(); }
    std::uint64_t needed_bytes() const { return needed_bytes_; }
    std::uint64_t available_bytes() const { return available_bytes_; }

private:
    MemoryShortfall(std::uint64_t needed_bytes, std::uint64_t available_bytes, std::string message);

    std::uint64_t needed_bytes_;
    std::uint64_t available_bytes_;
    std::string message_;
};

// Sum and product that stay at the largest value when they overflow.
std::uint64_t saturating_sum(std::uint64_t a, std::uint64_t b);
std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b);

// A byte count added up in saturating 64-bit arithmetic: a sum or product
// that overflows stays at the largest value, which no machine can meet.
class MemoryPlan {
public:
    MemoryPlan& add_bytes(std::uint64_t bytes);
    MemoryPlan& add_items(std::uint64_t count, std::uint64_t bytes_each);
    MemoryPlan& add_doubles(std::uint64_t count) { return add_items(count, sizeof(double)); }
    // `count` dense rows x cols matrices of doubles.
    MemoryPlan& add_matrices(std::uint64_t count, std::uint64_t rows, std::uint64_t cols);
    MemoryPlan& add(const MemoryPlan& other) { return add_bytes(other.bytes_); }
    std::uint64_t bytes() const { return bytes_; }

private:
    std::uint64_t bytes_ = 0;
};

// Plans below this size are not checked: looking up the memory left takes
// longer than a request of that size computes.
inline constexpr std::uint64_t kUncheckedPlanBytes = std::uint64_t{64} << 20;

// Throws MemoryShortfall when `plan` needs more than available_memory_bytes()
// (core/types/memory_budget.h) reports; plans below kUncheckedPlanBytes pass.
// Records the plan in the calling thread's PlannedMemoryScope, if any.
void require_memory(const MemoryPlan& plan);

// Keeps, while it lives, the plan that require_memory last saw on the
// calling thread, so that an allocation failing later in the same request
// can be reported with it (MemoryShortfall::during_run). Scopes nest.
class PlannedMemoryScope {
public:
    PlannedMemoryScope();
    ~PlannedMemoryScope();
    PlannedMemoryScope(const PlannedMemoryScope&) = delete;
    PlannedMemoryScope& operator=(const PlannedMemoryScope&) = delete;

    // The shortfall to report for a failed allocation: the plan (0 when
    // none was made) and the memory available to the process now.
    MemoryShortfall shortfall() const;

private:
    friend void require_memory(const MemoryPlan& plan);
    std::uint64_t planned_bytes_ = 0;
    PlannedMemoryScope* previous_;
};

}  // namespace quorin
