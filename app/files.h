// output files that grow by whole lines, standard streams, progress: what a command-line program needs around its tables
#pragma once

#include <chrono>
#include <cstdio>
#include <string>


// Creates an output file; on failure says so on standard error and returns null.
std::FILE* open_output(const char* program, const std::string& path);

// "PROGRAM: PATH: cannot create: REASON" and "PROGRAM: PATH: cannot write: REASON" on standard error.
void cannot_create(const char* program, const std::string& path, int error);
void cannot_write(const char* program, const std::string& path, int error);

// An output table that grows by whole lines. Lines are written to `f`; `commit`
// then flushes them. A failed write says "PROGRAM: PATH: cannot write: REASON"
// and cuts the file back to its last committed line, so that a full disc leaves
// every row written before it whole and no partial one.
struct line_file {
    const char* program = nullptr;
    std::string path;
    std::FILE* f = nullptr;
    long kept = 0;   // bytes of committed lines; -1 when the file cannot be measured (a device)
    int error = 0;   // reason of the first failed write

    bool open(const char* prog, const std::string& name);  // false after "cannot create"
    void note();      // after each line: keeps the reason of a failed write while errno holds it
    bool commit();    // false after "cannot write"; the file is then closed
    bool close();     // commit and close; false after "cannot write"
    void abandon();   // close, keeping only the committed lines; says nothing
};

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
