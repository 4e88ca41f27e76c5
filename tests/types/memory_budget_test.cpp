#include "core/types/memory_budget.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace quorin {
namespace {

namespace fs = std::filesystem;

// A throw-away directory tree standing in for /proc and /sys.
class FakeRoot {
public:
    explicit FakeRoot(const std::map<std::string, std::string>& files)
        : root_(fs::temp_directory_path() / ("quorin_memory_budget_" + std::to_string(getpid()))) {
        fs::remove_all(root_);
        for (const auto& [name, text] : files) {
            fs::create_directories((root_ / name).parent_path());
            std::ofstream(root_ / name) << text;
        }
    }
    ~FakeRoot() { fs::remove_all(root_); }
    const fs::path& path() const { return root_; }

private:
    fs::path root_;
};

constexpr const char* kMeminfo = "MemTotal:       4000 kB\nMemFree:         900 kB\nMemAvailable:    1000 kB\n";
constexpr std::uint64_t kPhysical = 1000 * 1024;

// Expected values are hand sums of the fake files: the physical 1000 kB,
// or the smallest limit minus usage over the cgroup and its ancestors.
TEST(MemoryBudget, PhysicalMemoryCappedByEveryCgroupLimit) {
    const struct {
        const char* what;
        std::map<std::string, std::string> files;
        std::uint64_t expected;
    } cases[] = {
        {"no cgroup", {{"proc/meminfo", kMeminfo}}, kPhysical},
        {"v2 group and its ancestors",
         {{"proc/meminfo", kMeminfo},
          {"proc/self/cgroup", "0::/job/step\n"},
          {"sys/fs/cgroup/job/step/memory.max", "500000\n"},
          {"sys/fs/cgroup/job/step/memory.current", "100000\n"},
          {"sys/fs/cgroup/job/memory.max", "max\n"},
          {"sys/fs/cgroup/memory.max", "300000\n"},
          {"sys/fs/cgroup/memory.current", "250000\n"}},
         50000},
        {"v2 beside v1, over its limit",
         {{"proc/meminfo", kMeminfo},
          {"proc/self/cgroup", "4:memory:/\n0::/a\n"},
          {"sys/fs/cgroup/unified/a/memory.max", "1000\n"},
          {"sys/fs/cgroup/unified/a/memory.current", "4096\n"}},
         0},
        {"v1 without limit",
         {{"proc/meminfo", kMeminfo},
          {"proc/self/cgroup", "8:pids:/\n4:memory:/job\n"},
          {"sys/fs/cgroup/memory/job/memory.limit_in_bytes", "9223372036854771712\n"},
          {"sys/fs/cgroup/memory/job/memory.usage_in_bytes", "4096\n"}},
         kPhysical},
        {"v1 limit",
         {{"proc/meminfo", kMeminfo},
          {"proc/self/cgroup", "4:memory:/job\n"},
          {"sys/fs/cgroup/memory/job/memory.limit_in_bytes", "600000\n"},
          {"sys/fs/cgroup/memory/job/memory.usage_in_bytes", "200000\n"}},
         400000},
    };
    for (const auto& c : cases) {
        const FakeRoot root(c.files);
        EXPECT_EQ(available_memory_bytes(root.path()), c.expected) << c.what;
    }
    // This machine: something, and never more than it has.
    const std::uint64_t here = available_memory_bytes();
    EXPECT_GT(here, 0u);
    EXPECT_LE(here, static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE));
}

}  // namespace
}  // namespace quorin
