// what the three programs share around the physics: output files, progress, stars in batches
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "output.h"
#include "params.h"
#include "state.h"

// Stars are drawn, integrated and written in batches of this many, so memory
// does not grow with nstars; large enough that threads rarely wait for each other.
inline constexpr int survey_batch = 256;

// Creates an output file; on failure says so on standard error and returns null.
std::FILE* open_output(const char* program, const std::string& path);

// A star as drawn: its initial state and the pattern phases in force for it.
struct drawn_star {
    orbit_state init;
    double phi0[max_patterns];
};
void draw_star(params& p, rand48& g, drawn_star& d);  // do_one, then remember the phases
params star_params(const params& base, const drawn_star& d);

// An orbit file to write for a saved star (or its twin).
struct save_task {
    std::string name;
    const params* model;
    orbit_state init;
    saved_orbit result;
};
// Writes the orbit files in parallel, then reports them in order: the summary
// line on standard output, failures on standard error. False when a file could
// not be created (the run must stop).
bool run_saves(const char* program, std::vector<save_task>& tasks);

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
