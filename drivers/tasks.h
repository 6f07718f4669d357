// the one loop over independent tasks (stars, bodies, ensemble members) on all threads
#pragma once

#include <omp.h>

#include <atomic>

// Runs work(i) for every i in [0, n) on `threads` threads (0: OpenMP's default
// count), each task taken by the first idle thread: stars differ several times in
// cost, so a fixed split would leave threads waiting. Which thread runs a task
// never changes its result.
template <class Work>
void for_tasks(long n, int threads, Work&& work) {
    const int team = threads > 0 ? threads : omp_get_max_threads();
#pragma omp parallel for schedule(dynamic, 1) num_threads(team)
    for (long i = 0; i < n; ++i) work(i);
}

// The same tasks for workers that take several at once (the fast mode's vector
// lanes): body(take) runs on every thread of the team and calls take() for task after
// task until it returns -1.
template <class Body>
void for_taken(long n, int threads, Body&& body) {
    std::atomic<long> next{0};
    const int team = threads > 0 ? threads : omp_get_max_threads();
#pragma omp parallel num_threads(team)
    body([&]() -> long {
        const long i = next.fetch_add(1, std::memory_order_relaxed);
        return i < n ? i : -1;
    });
}
