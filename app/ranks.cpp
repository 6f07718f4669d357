#include "ranks.h"

#include <cstdlib>
#include <cstdio>

#ifdef ORBKIT_MPI
#include <mpi.h>

#include <ctime>
#include <vector>
#endif

namespace {
// The first of the variables that is set, as an integer; -1 when none is.
int first_set(std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (const char* v = std::getenv(name); v && *v) return std::atoi(v);
    return -1;
}
}  // namespace

launch launched() {
    // Open MPI's mpirun; PMIx launchers (srun --mpi=pmix); PMI launchers (MPICH's
    // and Intel's mpiexec, srun --mpi=pmi2)
    const int rank = first_set({"OMPI_COMM_WORLD_RANK", "PMIX_RANK", "PMI_RANK"});
    if (rank < 0) return {};
    const int size = first_set({"OMPI_COMM_WORLD_SIZE", "PMI_SIZE"});
    return {rank, size < 0 ? 0 : size};
}

int complete_status(int ranks) { return ranks > 1 || launched().size > 1 ? 0 : 1; }

bool run_alone(const char* program, const char* why) {
    const launch here = launched();
    if (here.rank != 0) return false;
    if (here.size > 1)
        std::fprintf(stderr, "%s: started as %d ranks: %s; rank 0 runs alone, the others stop\n", program,
                     here.size, why);
    return true;
}

#ifdef ORBKIT_MPI

namespace {
// Waits for a collective without spinning: a rank that has run out of work sleeps
// in steps of 200 us rather than taking a core from a rank (or another job) that
// still computes. The delay is nothing beside one star's integration.
void finish(MPI_Request& request) {
    const timespec nap = {0, 200000};
    for (int done = 0;;) {
        MPI_Test(&request, &done, MPI_STATUS_IGNORE);
        if (done) return;
        nanosleep(&nap, nullptr);
    }
}
}  // namespace

struct job::mpi {
    MPI_Win counter;  // one long on rank 0: the next task number of the whole job
    long* base;
};

job::job() {
    const launch here = launched();
    if (here.size == 1) return;  // started by hand, or a job of one rank: nothing to share
    int provided = MPI_THREAD_SINGLE;
    MPI_Init_thread(nullptr, nullptr, MPI_THREAD_SERIALIZED, &provided);
    MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
    MPI_Comm_size(MPI_COMM_WORLD, &size_);
    threads_call_ = provided >= MPI_THREAD_SERIALIZED;
    mpi_ = std::make_unique<mpi>();
    MPI_Win_allocate(rank_ == 0 ? MPI_Aint(sizeof(long)) : 0, sizeof(long), MPI_INFO_NULL, MPI_COMM_WORLD,
                     &mpi_->base, &mpi_->counter);
    if (rank_ == 0) {  // a local store into the window needs an exclusive epoch
        MPI_Win_lock(MPI_LOCK_EXCLUSIVE, 0, 0, mpi_->counter);
        *mpi_->base = 0;
        MPI_Win_unlock(0, mpi_->counter);
    }
    MPI_Barrier(MPI_COMM_WORLD);
    MPI_Win_lock_all(0, mpi_->counter);  // one passive epoch for the whole run
}

job::~job() {
    if (!mpi_) return;
    MPI_Win_unlock_all(mpi_->counter);
    MPI_Win_free(&mpi_->counter);
    MPI_Finalize();
}

bool job::distributes() { return true; }

long job::take() {
    const long one = 1;
    long got = 0;
    MPI_Fetch_and_op(&one, &got, MPI_LONG, 0, 0, MPI_SUM, mpi_->counter);
    MPI_Win_flush(0, mpi_->counter);
    return got;
}

void job::end_round(long n, long past) {
    // every take beyond the round moved the counter too: the next round starts
    // after all of them, a number every rank learns here
    long all = 0;
    MPI_Request request;
    MPI_Iallreduce(&past, &all, 1, MPI_LONG, MPI_SUM, MPI_COMM_WORLD, &request);
    finish(request);
    round_ += n + all;
}

void job::merge(void* data, std::size_t bytes) const {
    if (size_ == 1) return;
    // each byte is set by one rank and zero on every other: or-ing gives it exactly
    constexpr std::size_t piece = 1 << 30;
    for (std::size_t at = 0; at < bytes; at += piece) {
        const std::size_t n = bytes - at < piece ? bytes - at : piece;
        MPI_Request request;
        MPI_Iallreduce(MPI_IN_PLACE, static_cast<char*>(data) + at, int(n), MPI_BYTE, MPI_BOR, MPI_COMM_WORLD,
                       &request);
        finish(request);
    }
}

void job::broadcast(void* data, std::size_t bytes) const {
    if (size_ == 1) return;
    MPI_Request request;
    MPI_Ibcast(data, int(bytes), MPI_BYTE, 0, MPI_COMM_WORLD, &request);
    finish(request);
}

int job::agree(int status) const {
    if (size_ == 1) return status;
    std::vector<int> all(size_);
    MPI_Request request;
    MPI_Iallgather(&status, 1, MPI_INT, all.data(), 1, MPI_INT, MPI_COMM_WORLD, &request);
    finish(request);
    if (all[0] != -1) return all[0];
    for (int s : all)
        if (s != -1) return 2;
    return -1;
}

#else  // built without MPI: always the process alone

struct job::mpi {};
job::job() = default;
job::~job() = default;
bool job::distributes() { return false; }
long job::take() { return 0; }
void job::end_round(long, long) {}
void job::merge(void*, std::size_t) const {}
void job::broadcast(void*, std::size_t) const {}
int job::agree(int status) const { return status; }

#endif
