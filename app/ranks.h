// the ranks of an MPI job sharing a survey; one process alone when no launcher started it
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

#include "tasks.h"

// Where this process stands in a job started by an MPI launcher (mpirun, srun),
// read from the launcher's environment without joining the job: rank 0 of size 1
// for a process started by hand. size is 0 when the launcher does not say.
struct launch {
    int rank = 0;
    int size = 1;
};
launch launched();

// The exit status of a complete run: 1, as scripts of a single process expect; 0
// under a launcher of more than one rank, which takes any other status for a failed
// job (Open MPI then waits before killing the ranks and prints a note of failure).
// `ranks`: the size of the job the process joined, when it joined one (a launcher
// that does not say its size, srun --mpi=pmix, still has one).
int complete_status(int ranks = 1);

// For a program that runs in one process only: under a launcher of several ranks,
// rank 0 says so on standard error (`why` gives the reason) and runs alone;
// false on every other rank, which then stops at once.
bool run_alone(const char* program, const char* why);

// The processes that share one survey. A build with MPI joins the job when a
// launcher started the process; otherwise, and for a job of one rank, this is the
// process alone and nothing below communicates. Rank 0 is the writer: it alone
// writes the table and standard output. Every rank runs the same control flow and
// calls the collective operations (share, merge, agree) in the same order.
class job {
public:
    job();
    ~job();  // leaves the job
    job(const job&) = delete;
    job& operator=(const job&) = delete;

    int rank() const { return rank_; }
    int size() const { return size_; }
    bool writer() const { return rank_ == 0; }
    static bool distributes();  // false in a build without MPI

    // Tasks 0 .. n-1, each taken by the first idle thread of any rank (stars differ
    // several times in cost, so a fixed split would leave ranks waiting); work(i)
    // runs here for the tasks this rank takes. Collective.
    template <class Work>
    void share(long n, Work&& work);
    // The same tasks for workers that take several at once (the fast mode's lanes):
    // body(take) runs once on every thread that takes part and calls take() for task
    // after task, until it returns -1. Collective.
    template <class Body>
    void share_taken(long n, Body&& body);

    // Every rank passes the same buffer layout in which it has set the bytes of the
    // tasks it ran and left zeros elsewhere; afterwards every rank holds every
    // task's bytes. Collective.
    void merge(void* data, std::size_t bytes) const;

    // The writer's bytes of `data` on every rank. Collective.
    void broadcast(void* data, std::size_t bytes) const;

    // The status the whole job goes on with: -1 (go on) when every rank passes -1;
    // else the writer's own when it is not -1 (the writer has said why), else 2.
    // Collective.
    int agree(int status) const;

private:
    long take();                       // the next task number of the whole job
    void end_round(long n, long past);  // past: takes that found the round over
    struct mpi;                        // the window that holds the job's task counter
    std::unique_ptr<mpi> mpi_;
    int rank_ = 0;
    int size_ = 1;
    bool threads_call_ = false;  // threads of one rank may take tasks, one at a time
    long round_ = 0;             // the first task number of the current round
};

template <class Work>
void job::share(long n, Work&& work) {
    if (size_ == 1) return for_tasks(n, 0, work);
    long past = 0;
#pragma omp parallel if (threads_call_) reduction(+ : past)
    for (;;) {
        long i;
#pragma omp critical(orbkit_job_take)
        i = take() - round_;
        if (i >= n) {  // every thread ends on one take beyond the round
            ++past;
            break;
        }
        work(i);
    }
    end_round(n, past);
}

template <class Body>
void job::share_taken(long n, Body&& body) {
    if (size_ == 1) return for_taken(n, 0, body);
    long past = 0;
#pragma omp parallel if (threads_call_) reduction(+ : past)
    {
        bool over = false;
        body([&]() -> long {
            if (over) return -1;
            long i;
#pragma omp critical(orbkit_job_take)
            i = take() - round_;
            if (i >= n) {  // every thread ends on one take beyond the round
                over = true;
                ++past;
                return -1;
            }
            return i;
        });
        if (!over) {  // a body that stopped taking early still ends on one take beyond
            long i;
#pragma omp critical(orbkit_job_take)
            i = take() - round_;
            ++past;
            (void)i;
        }
    }
    end_round(n, past);
}

