// the survey programs and the spread program: start-up, the experiment, the tables
#pragma once

#include <cstdio>

#include "options.h"
#include "survey.h"

// A survey program: every star (and, for orbtwin, its twin) integrated to the end of
// the run, one table row per star, orbit files for the stars inside the window.
struct survey_program {
    program_info info;
    const survey_kind& kind;
    const char* table_suffix;  // the table: setup path + this
    const char* orbit_suffix;  // orbit files: setup path + "_N" + this
    const char* row_format;    // printf format of a table row, kind.columns values
};
// The whole run of a survey program; returns the exit status.
int run_survey(int argc, char** argv, const survey_program& prog);

// The whole run of orbspread; returns the exit status.
int run_spread(int argc, char** argv);
