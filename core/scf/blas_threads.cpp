#include "core/scf/blas_threads.h"

#include <cblas.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace quorin {

namespace {

using Clock = std::chrono::steady_clock;

// Calls closer together than this reuse the last count instead of looking
// at the machine again.
constexpr std::chrono::milliseconds kLookInterval{100};
// A look older than this says little about the machine now.
constexpr std::chrono::seconds kStaleLook{5};

bool set_in_environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && std::atoi(value) > 0;
}

// Busy time of all CPUs so far, in seconds: the user, nice, system, irq,
// softirq and steal ticks of the first line of /proc/stat ("cpu  u n s i w
// q sq st ..."). Negative when unreadable. Reads into a stack buffer: it runs
// between SCF iterations, which allocate nothing.
double machine_busy_seconds() {
    const int fd = open("/proc/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1.0;
    char text[256];
    const ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 4 || std::strncmp(text, "cpu ", 4) != 0) return -1.0;
    text[length] = '\0';
    std::uint64_t ticks[8] = {};
    const char* cursor = text + 4;
    for (std::uint64_t& tick : ticks) {
        char* end = nullptr;
        tick = std::strtoull(cursor, &end, 10);
        if (end == cursor) return -1.0;
        cursor = end;
    }
    const long ticks_per_second = sysconf(_SC_CLK_TCK);
    if (ticks_per_second <= 0) return -1.0;
    const std::uint64_t busy = ticks[0] + ticks[1] + ticks[2] + ticks[5] + ticks[6] + ticks[7];
    return static_cast<double>(busy) / static_cast<double>(ticks_per_second);
}

double process_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The calling thread's last look at the machine and the count it chose.
struct MachineLook {
    Clock::time_point when{};
    double machine_busy = -1.0;
    double own = 0.0;
    int threads = 0;
};

thread_local MachineLook last_look;

// Cores of the machine that other processes kept busy, on average since the
// calling thread last looked (the one-minute load average when it has not
// looked lately); `own_threads` is the count it ran with meanwhile, so that
// the library's busy threads are not taken for another process.
double cores_busy_elsewhere(int own_threads) {
    const Clock::time_point now = Clock::now();
    const double busy = machine_busy_seconds();
    const double own = process_cpu_seconds();
    const double wall = std::chrono::duration<double>(now - last_look.when).count();
    double elsewhere = 0.0;
    if (last_look.machine_busy < 0.0 || busy < 0.0 || now - last_look.when > kStaleLook || !(wall > 0.0)) {
        double load = 0.0;
        if (getloadavg(&load, 1) == 1) elsewhere = load;
    } else {
        const double all = (busy - last_look.machine_busy) / wall;
        const double ours = std::min((own - last_look.own) / wall, static_cast<double>(std::max(own_threads, 1)));
        elsewhere = std::max(all - ours, 0.0);
    }
    last_look.when = now;
    last_look.machine_busy = busy;
    last_look.own = own;
    return elsewhere;
}

}  // namespace

const BlasThreadPolicy& blas_thread_policy() {
    static const BlasThreadPolicy policy = [] {
        BlasThreadPolicy p;
        p.limit = std::max(scipy_openblas_get_num_threads(), 1);
        p.user_set = set_in_environment("OPENBLAS_NUM_THREADS") || set_in_environment("GOTO_NUM_THREADS") ||
                     set_in_environment("OMP_NUM_THREADS");
        return p;
    }();
    return policy;
}

void select_blas_threads(std::size_t order) {
    const BlasThreadPolicy& policy = blas_thread_policy();
    int wanted = 1;
    if (order >= kThreadedBlasMinOrder && policy.limit > 1) {
        if (policy.user_set) {
            wanted = policy.limit;
        } else if (last_look.threads > 0 && Clock::now() - last_look.when < kLookInterval) {
            wanted = last_look.threads;
        } else {
            const double cores = static_cast<double>(std::max(sysconf(_SC_NPROCESSORS_ONLN), 1L));
            const double free = cores - cores_busy_elsewhere(last_look.threads);
            wanted = std::clamp(static_cast<int>(std::lround(free)), 1, policy.limit);
            last_look.threads = wanted;
        }
    }
    if (scipy_openblas_get_num_threads() != wanted) scipy_openblas_set_num_threads(wanted);
}

}  // namespace quorin
