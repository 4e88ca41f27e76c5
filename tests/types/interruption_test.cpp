#include "core/types/interruption.h"

#include <gtest/gtest.h>

#include <thread>

namespace quorin {
namespace {

// Reports a stop from the `stop_at`-th question on.
struct CountingCheck {
    int asked = 0;
    int stop_at = 0;
    static bool ask(void* self) {
        auto& check = *static_cast<CountingCheck*>(self);
        return ++check.asked >= check.stop_at;
    }
};

TEST(Interruption, StopsOnlyWhenTheCallingThreadsCheckSaysSo) {
    EXPECT_NO_THROW(check_interruption());  // nothing installed
    CountingCheck outer{0, 3};
    {
        const InterruptionScope scope(&CountingCheck::ask, &outer);
        EXPECT_NO_THROW(check_interruption());
        EXPECT_NO_THROW(check_interruption());
        {
            // A nested scope replaces the check and gives it back afterwards.
            CountingCheck inner{0, 1};
            const InterruptionScope nested(&CountingCheck::ask, &inner);
            EXPECT_THROW(check_interruption(), Interrupted);
        }
        // Another thread has no check of its own.
        bool other_thread_stopped = false;
        std::thread([&] {
            try {
                check_interruption();
            } catch (const Interrupted&) {
                other_thread_stopped = true;
            }
        }).join();
        EXPECT_FALSE(other_thread_stopped);
        EXPECT_THROW(check_interruption(), Interrupted);
        EXPECT_EQ(outer.asked, 3);
    }
    EXPECT_NO_THROW(check_interruption());
}

}  // namespace
}  // namespace quorin
