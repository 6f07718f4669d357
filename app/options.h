// command line and start-up of the three programs: options, --help, --version, --check
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "follow.h"
#include "params.h"

// What --help says of one program, beside what the three share.
struct program_info {
    const char* name;     // "orbmigrate"
    run_length kind;
    const char* purpose;  // what a run does; lines end in "\n"
    const char* writes;   // the files a run writes and the lines it prints; lines end in "\n"
    const char* status0;  // when a run ends with status 0 (a line of the exit status list), or null
};

// The command line: options first, then the one setup file.
struct command_line {
    enum action_t { run, help, version, check, wrong } action = wrong;
    std::string setup;    // run, check: the setup file's path as given
    integrator how;       // run: --integrator and --tol
    std::string problem;  // wrong: what is wrong with it, for standard error
};
command_line parse_command_line(int argc, char** argv);

void print_help(std::FILE* out, const program_info& info);
void print_version(std::FILE* out, const program_info& info);

// Reads the setup file as a run would and prints every value with its line, name
// and unit, the warnings, and the lines that look shifted; runs and writes
// nothing. Returns the exit status: 0 when the file reads, 2 when it is refused.
int check_setup(std::FILE* out, const program_info& info, const std::string& path);

// What a run of this program says or refuses beyond the reader's notes (p in
// model units): at start-up only (`start_only`), or everything, for --check.
void program_notes(const program_info& info, const params& p, const std::vector<setup_value>& read,
                   std::vector<setup_note>& notes, bool start_only);

// What the start-up hands to a program's run.
struct run_start {
    params p;
    rand48 g;
    double tmax = 0;    // run length, model time units
    std::string setup;  // the setup file's path as given: every output name starts with it
    integrator how;     // the extrapolation integrator unless --integrator dop853
};

// The start-up every program runs: command line, open, read, run length.
// Returns -1 when the program should go on with its run; otherwise the exit
// status to end with (--help, --version and --check end here too).
int startup(int argc, char** argv, const program_info& info, run_start& run);
