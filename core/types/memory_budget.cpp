#include "core/types/memory_budget.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace quorin {

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kUnknown = std::numeric_limits<std::uint64_t>::max();

// The first word of a cgroup file as a number; none for a missing file,
// "max" (no limit) or anything else that is not a number.
std::optional<std::uint64_t> read_number(const fs::path& file) {
    std::ifstream in(file);
    std::string word;
    if (!(in >> word)) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size()) return std::nullopt;
    return value;
}

std::uint64_t physical_available(const fs::path& root) {
    std::ifstream meminfo(root / "proc/meminfo");
    std::string line;
    while (std::getline(meminfo, line)) {
        if (line.rfind("MemAvailable:", 0) != 0) continue;
        std::istringstream fields(line.substr(13));
        std::uint64_t kib = 0;
        if (fields >> kib) return kib * 1024;
    }
    const long pages = sysconf(_SC_AVPHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
    if (pages < 0 || page_size <= 0) return kUnknown;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

// Smallest room (limit minus usage) over the cgroup at `relative` below
// `mount` and its ancestors up to the mount; directories without a limit
// file do not count.
std::uint64_t room_under(const fs::path& mount, const std::string& relative, const char* limit_file,
                         const char* usage_file) {
    std::vector<std::string> parts;
    std::istringstream path(relative);
    for (std::string part; std::getline(path, part, '/');) {
        if (!part.empty()) parts.push_back(part);
    }
    std::uint64_t room = kUnknown;
    for (std::size_t depth = 0; depth <= parts.size(); ++depth) {
        fs::path dir = mount;
        for (std::size_t k = 0; k < depth; ++k) dir /= parts[k];
        const auto limit = read_number(dir / limit_file);
        if (!limit) continue;
        const std::uint64_t usage = read_number(dir / usage_file).value_or(0);
        room = std::min(room, *limit > usage ? *limit - usage : 0);
    }
    return room;
}

// Room under a resource limit of the process: its soft limit minus what the
// process holds of that resource ("VmSize" or "VmData" of /proc/self/status).
std::uint64_t room_under_process_limit(int resource, const std::string& held_field) {
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnknown;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(held_field + ":", 0) != 0) continue;
        std::istringstream fields(line.substr(held_field.size() + 1));
        std::uint64_t kib = 0;
        if (!(fields >> kib)) break;
        const std::uint64_t held = kib * 1024;
        return limit.rlim_cur > held ? limit.rlim_cur - held : 0;
    }
    return kUnknown;
}

}  // namespace

std::uint64_t available_memory_bytes(const fs::path& root) {
    std::uint64_t available = physical_available(root);
    // Lines "id:controllers:path"; id 0 with no controllers is the unified
    // (v2) hierarchy, mounted at sys/fs/cgroup or, beside v1, at its unified/.
    std::ifstream groups(root / "proc/self/cgroup");
    std::string line;
    while (std::getline(groups, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string relative = line.substr(second + 1);
        const fs::path mounts = root / "sys/fs/cgroup";
        if (controllers.empty()) {
            for (const fs::path& mount : {mounts, mounts / "unified"}) {
                available = std::min(available, room_under(mount, relative, "memory.max", "memory.current"));
            }
            continue;
        }
        std::istringstream names(controllers);
        for (std::string name; std::getline(names, name, ',');) {
            if (name != "memory") continue;
            available = std::min(available, room_under(mounts / controllers, relative, "memory.limit_in_bytes",
                                                       "memory.usage_in_bytes"));
        }
    }
    return available;
}

std::uint64_t available_memory_bytes() {
    return std::min({available_memory_bytes("/"), room_under_process_limit(RLIMIT_AS, "VmSize"),
                     room_under_process_limit(RLIMIT_DATA, "VmData")});
}

}  // namespace quorin
