// The module's runtime: errors and warnings, the worker thread that runs the work off
// the GIL while Ctrl-C and progress are watched, and the one warning of failed stars.
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include "bindings.h"

PyObject* setup_error = nullptr;
PyObject* setup_warning = nullptr;
PyObject* integration_warning = nullptr;

void make_exceptions(py::module_& mod) {
    setup_error = PyErr_NewExceptionWithDoc(
        "orbkit.SetupError", "A setup the programs refuse; the message is their 'path:line: ...' line.",
        PyExc_ValueError, nullptr);
    mod.attr("SetupError") = py::handle(setup_error);
    setup_warning = PyErr_NewExceptionWithDoc(
        "orbkit.SetupWarning", "A setup value the programs run with a warning; the message is theirs.",
        PyExc_RuntimeWarning, nullptr);
    mod.attr("SetupWarning") = py::handle(setup_warning);
    integration_warning = PyErr_NewExceptionWithDoc(
        "orbkit.IntegrationWarning",
        "Stars whose integration failed or whose state was not finite (their values are nan), or phases "
        "that were not given; one per call.",
        PyExc_RuntimeWarning, nullptr);
    mod.attr("IntegrationWarning") = py::handle(integration_warning);
}

std::string shown_time(double t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", t);
    return buf;
}

void warn(const std::string& message, PyObject* category, int stacklevel) {
    if (PyErr_WarnEx(category, message.c_str(), stacklevel) != 0) throw py::error_already_set();
}

void refuse_setup(const std::string& message) {
    PyErr_SetString(setup_error, message.c_str());
    throw py::error_already_set();
}

void raise_file_error(const std::string& path) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
}

void raise_notes(const std::string& where, const std::vector<setup_note>& notes, int stacklevel) {
    for (const setup_note& n : notes) {
        if (n.kind == setup_note::warning)
            warn(note_message(where, n), setup_warning, stacklevel);
        else
            refuse_setup(note_message(where, n));
    }
}

// ---- the worker

namespace {

inline constexpr auto signal_poll = std::chrono::milliseconds(50);  // Ctrl-C and progress are seen this often

// One thread that runs the module's work for the life of the process: OpenMP keeps a
// team of threads per thread that starts parallel regions, so work started from one
// long-lived thread reuses its team instead of creating one per call (10-17 ms).
// Never freed: a detached thread may still wait on it while the process ends. After a
// fork the child makes its own.
struct job_thread {
    std::mutex mutex;
    std::condition_variable cv;
    std::function<void()> job;  // the job to run, empty when none is waiting
    bool done = false;          // the last job has ended
    std::mutex busy;            // held by the caller whose job runs
    pid_t pid = getpid();

    job_thread() {
        std::thread([this] {
            for (;;) {
                std::function<void()> work;
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    cv.wait(lock, [&] { return bool(job); });
                    work = std::move(job);
                    job = nullptr;
                }
                work();
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    done = true;
                }
                cv.notify_all();
            }
        }).detach();
    }
};

job_thread* jobs = nullptr;  // the module's worker; created at its first job

// Waits, without the GIL, until *done, checking for Ctrl-C and showing progress
// meanwhile; an interrupt sets stop and the wait goes on until the work has ended.
// True when interrupted. A progress callback that raises ends the call the same way.
bool wait_for_job(std::mutex& mutex, std::condition_variable& cv, const bool& done, work_state& state,
                  const py::object& progress, std::optional<py::error_already_set>* raised) {
    bool interrupted = false;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (cv.wait_for(lock, signal_poll, [&] { return done; })) return interrupted;
        }
        py::gil_scoped_acquire gil;
        if (!interrupted && PyErr_CheckSignals() != 0) {
            interrupted = true;
            state.stop = true;
        }
        if (!interrupted && !progress.is_none()) try {
                progress(state.completed.load(std::memory_order_relaxed));
            } catch (py::error_already_set& e) {
                raised->emplace(std::move(e));
                interrupted = true;
                state.stop = true;
            }
    }
}

}  // namespace

void run_work(const std::function<void(work_state&)>& work, bool inline_ok, const py::object& progress) {
    work_state state;
    bool interrupted = false;
    std::optional<py::error_already_set> raised;
    if (inline_ok) {  // a small call: on this thread, no team wakes up
        py::gil_scoped_release nogil;
        work(state);
    } else {
        if (!jobs || jobs->pid != getpid()) jobs = new job_thread();  // under the GIL: made once
        py::gil_scoped_release nogil;
        std::unique_lock<std::mutex> mine(jobs->busy, std::try_to_lock);
        if (mine.owns_lock()) {
            {
                std::lock_guard<std::mutex> lock(jobs->mutex);
                jobs->done = false;
                jobs->job = [&] { work(state); };
            }
            jobs->cv.notify_all();
            interrupted = wait_for_job(jobs->mutex, jobs->cv, jobs->done, state, progress, &raised);
        } else {  // another Python thread's job runs: this call gets a thread of its own
            std::mutex mutex;
            std::condition_variable cv;
            bool done = false;
            std::thread worker([&] {
                work(state);
                std::lock_guard<std::mutex> lock(mutex);
                done = true;
                cv.notify_one();
            });
            interrupted = wait_for_job(mutex, cv, done, state, progress, &raised);
            worker.join();
        }
    }
    if (raised) throw std::move(*raised);
    if (interrupted) throw py::error_already_set();
    if (!progress.is_none()) progress(state.completed.load());
}

// ---- failures

namespace {

inline constexpr int failures_named = 5;               // a warning names the first few failed stars
inline constexpr double centre_radius = 1e-3;          // a failure this near the centre is the centre's
inline constexpr double rotating_limit = 800 * twopi;  // runs under a rotating pattern fail beyond this

// The likely cause of a failure and what helps, from where it happened.
const char* failure_cause(const params& p, const integrator& how, const failure& f) {
    if (f.nonfinite)
        return "non-finite input: the state given holds nan or inf, so the star was not integrated; check "
               "the states passed in (a failed star's nan rows, say)";
    if (f.r < centre_radius)  // NaN: the radius is not known
        return "near the centre, where the background's force is singular: start the stars away from r = 0";
    bool rotating = false;
    for (int k = 0; k < p.npatterns; ++k) rotating = rotating || p.Omegas[k] != 0;
    if (how.kind == method::bs && rotating && std::fabs(f.t) > rotating_limit)
        return "a run beyond about 800 orbits under a rotating pattern, where the step's relative accuracy of "
               "1e-14 is finer than the rounding of the pattern's phase: use method=\"dop853\" for such runs";
    return "the work budget of an advance ran out (2000 steps plus 2000 per time unit): a star very near the "
           "centre, or a pattern of extreme speed or arm count; check the model, or try method=\"dop853\"";
}

}  // namespace

double radius_of(const orbit_state& s) { return std::hypot(s.w[0], s.w[1]); }

void warn_failures(const char* call, const params& p, const integrator& how, long total, const char* things,
                   const std::vector<failure>& failed, int stacklevel) {
    if (failed.empty()) return;
    std::string text = std::string(call) + ": " + std::to_string(failed.size()) + " of " + std::to_string(total) +
                       " " + things + " failed; their values from the failure on are nan: ";
    std::vector<const char*> causes;
    for (std::size_t i = 0; i < failed.size() && i < std::size_t(failures_named); ++i) {
        char where[96];
        if (failed[i].nonfinite)
            std::snprintf(where, sizeof where, " (non-finite input)");
        else
            std::snprintf(where, sizeof where, " at t = %s (r = %.3g)", shown_time(failed[i].t).c_str(), failed[i].r);
        text += (i ? ", " : "") + failed[i].who + where;
        const char* cause = failure_cause(p, how, failed[i]);
        if (std::find(causes.begin(), causes.end(), cause) == causes.end()) causes.push_back(cause);
    }
    if (failed.size() > std::size_t(failures_named)) text += ", ...";
    text += ". Cause: ";
    for (std::size_t i = 0; i < causes.size(); ++i) text += (i ? "; or " : "") + std::string(causes[i]);
    warn(text, integration_warning, stacklevel);
}
