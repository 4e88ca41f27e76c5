#include "core/types/memory_plan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace quorin {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(MemoryPlan, SumsSaturateAndOversizedPlansAreRefusedWithNeedAndLimit) {
    // Hand sums: two 1000 x 1000 matrices of doubles and 24 bytes.
    MemoryPlan plan;
    plan.add_matrices(2, 1000, 1000).add_bytes(24);
    EXPECT_EQ(plan.bytes(), 16'000'024u);
    EXPECT_NO_THROW(require_memory(plan));

    // 2^32 x 2^32 doubles overflow 64 bits: the plan stays at the largest
    // value instead of wrapping to a small one.
    MemoryPlan huge;
    huge.add_matrices(1, std::uint64_t{1} << 32, std::uint64_t{1} << 32).add_bytes(1);
    EXPECT_EQ(huge.bytes(), kMax);
    EXPECT_EQ(saturating_sum(kMax - 1, 2), kMax);
    try {
        require_memory(huge);
        FAIL() << "an impossible plan was accepted";
    } catch (const MemoryShortfall& shortfall) {
        EXPECT_EQ(shortfall.needed_bytes(), kMax);
        EXPECT_LT(shortfall.available_bytes(), kMax);
        const std::string message = shortfall.what();
        EXPECT_NE(message.find("needs more than 16 EiB"), std::string::npos) << message;
        EXPECT_NE(message.find(std::to_string(shortfall.available_bytes()) + " bytes"), std::string::npos) << message;
    }
}

}  // namespace
}  // namespace quorin
