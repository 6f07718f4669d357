// output files that grow by whole lines, standard streams, progress: what a command-line program needs around its tables
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

// "PROGRAM: PATH: cannot create: REASON" and "PROGRAM: PATH: cannot write: REASON" on standard error.
void cannot_create(const char* program, const std::string& path, int error);
void cannot_write(const char* program, const std::string& path, int error);

// An output table that grows by whole lines. Lines are written to `f`; `commit`
// then flushes them. A failed write says "PROGRAM: PATH: cannot write: REASON"
// and cuts the file back to its last committed line, so that a full disc leaves
// every row written before it whole and no partial one.
//
// One run owns the table: `open` takes an advisory write lock on it before it
// empties it, so a second run of the same setup in the same folder is refused
// (and the first run's rows stay as they are) instead of splicing its rows into
// the same file. A table is never opened through a symbolic link of another user
// (the attack of a shared sticky folder such as /tmp) nor through a second name
// (a hard link). A stop signal cuts the file back to its committed lines too.
struct line_file {
    const char* program = nullptr;
    std::string path;
    std::FILE* f = nullptr;
    long kept = 0;   // bytes of committed lines; -1 when the file cannot be measured (a device)
    long rows = 0;   // committed rows (what a row is: `unit`)
    const char* unit = "rows";  // of a stop signal's line: "s.lxy holds 12 whole rows"
    int error = 0;   // reason of the first failed write
    int slot = -1;   // where a stop signal finds it (see prepare_process)

    bool open(const char* prog, const std::string& name);  // false after one line on standard error
    void note();      // after each line: keeps the reason of a failed write while errno holds it
    bool commit(long added = 1);  // `added` rows more; false after "cannot write", the file then closed
    bool close();     // commit and close; false after "cannot write"
    void abandon();   // close, keeping only the committed lines; says nothing
};

// Start-up of every process of a run: standard streams guarded, SIGXFSZ ignored
// (a file past `ulimit -f` fails its write, which the tables report, instead of
// killing the process mid-row), and SIGINT, SIGTERM and SIGHUP caught: the open
// tables are cut back to their committed lines, the reporter (the writer of a
// job, or the process alone) says on standard error which signal stopped the run
// and how many rows of each table are whole, and the process ends with status
// 128 + the signal's number. Other ranks end with that status silently.
void prepare_process(const char* program, bool reporter);
// The run has its status: a signal from here on (mpirun ending the other ranks of a
// failed job while this one leaves it) takes its default action and says nothing.
void release_stop_signals();

// The orbit files now being written, by their final names (all in one folder):
// a stop signal removes their temporaries (NAME.XXXXXX.part, see save_one), which
// no other run writes while this run holds the table. Empty: none.
void watch_orbit_files(const std::vector<std::string>& names);

// Flushes standard output; false after "PROGRAM: standard output: cannot write: REASON".
bool flush_stdout(const char* program);

// Standard input, output and error that are closed at start are opened on
// /dev/null, so that no file opened later takes their numbers and receives the
// lines meant for them. Run before anything is opened.
void guard_standard_streams();

// A self-updating line on standard error when it is a terminal; silent otherwise.
class progress {
public:
    progress(const char* program, long total, const char* unit);
    void update(long done);
    void finish();

private:
    const char* program_;
    long total_;
    const char* unit_;
    bool on_;
    std::chrono::steady_clock::time_point start_, last_;
};
