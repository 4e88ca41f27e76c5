#pragma once
// How many threads the BLAS library may use for one dense call.
//
// The library's thread count is one setting for the whole process (it has no
// per-thread one), so nothing saves and restores it: every dense call first
// sets the count it should run with. When requests on several threads race,
// a call may run with the count another one set; that changes its speed and
// at most the rounding of its results. The library's threaded build accepts
// calls from several threads at once and runs them on its one thread pool.
#include <cstddef>

namespace quorin {

// Square matrices of this order and larger are worth the library's threads;
// below it the threads cost more than they save, and a small request stays
// on the calling thread so that many of them in parallel processes scale.
inline constexpr std::size_t kThreadedBlasMinOrder = 600;

// Where the count of a large call comes from: OPENBLAS_NUM_THREADS (or
// GOTO_NUM_THREADS, OMP_NUM_THREADS) when the user set one, which large
// calls then use as given; otherwise the cores that other processes leave
// free, up to the library's default (all cores).
struct BlasThreadPolicy {
    int limit = 1;
    bool user_set = false;
};

// Read once, before the engine first changes the library's count.
const BlasThreadPolicy& blas_thread_policy();

// Sets the library's thread count for a dense call on matrices of order
// `order`: one below kThreadedBlasMinOrder; from it on the user's count, or
// the free cores up to the library's default.
void select_blas_threads(std::size_t order);

}  // namespace quorin
