#include "options.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "files.h"

#ifndef ORBKIT_VERSION
#define ORBKIT_VERSION "unknown"
#endif

command_line parse_command_line(int argc, char** argv) {
    command_line c;
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        c.action = command_line::help;
        return c;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        c.action = command_line::version;
        return c;
    }
    if (argc > 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "--version") == 0)) {
        const int extra = argc - 2;
        c.problem = std::string(argv[1]) + " takes no argument: " +
                    (extra == 1 ? "one argument" : std::to_string(extra) + " arguments") + " too many ('" +
                    argv[2] + "'" + (extra > 1 ? ", ..." : "") + ")";
        return c;
    }
    bool check = false;
    bool tol_given = false;
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {  // options come before SETUP
        if (std::strcmp(argv[i], "--") == 0) {  // the end of the options: SETUP may start with --
            ++i;
            break;
        }
        if (std::strcmp(argv[i], "--check") == 0) {
            check = true;
        } else if (std::strcmp(argv[i], "--integrator") == 0) {
            const std::string name = i + 1 < argc ? argv[++i] : "";
            if (name == "bs") {
                c.how.kind = method::bs;
            } else if (name == "dop853") {
                c.how.kind = method::dop853;
            } else {
                c.problem = "--integrator: expected bs or dop853, got '" + name + "'";
                return c;
            }
        } else if (std::strcmp(argv[i], "--tol") == 0) {
            const char* text = i + 1 < argc ? argv[++i] : "";
            char* end = nullptr;
            const double tol = std::strtod(text, &end);
            if (end == text || *end != '\0' || !(tol >= dop853_min_tol && tol < 1)) {
                c.problem = std::string("--tol: expected a number from 1e-16 to below 1, got '") + text + "'";
                return c;
            }
            c.how.tol = tol;
            tol_given = true;
        } else {
            c.problem = std::string("unknown option '") + argv[i] + "'";
            return c;
        }
    }
    if (argc - i != 1) {
        c.problem = argc - i == 0 ? "no setup file given"
                                  : "expected one setup file, got " + std::to_string(argc - i) + " arguments";
        return c;
    }
    if (tol_given && c.how.kind != method::dop853) {
        c.problem = "--tol sets the tolerance of --integrator dop853; the default integrator has none";
        return c;
    }
    c.setup = argv[i];
    c.action = check ? command_line::check : command_line::run;
    return c;
}

void print_version(std::FILE* out, const program_info& info) {
    std::fprintf(out, "%s (orbkit) %s\n", info.name, ORBKIT_VERSION);
}

void print_help(std::FILE* out, const program_info& info) {
    const char* n = info.name;
    std::fprintf(out,
                 "usage: %s SETUP\n"
                 "       %s --integrator dop853 [--tol T] SETUP\n"
                 "       %s --check SETUP\n"
                 "       %s --help | --version\n\n",
                 n, n, n, n);
    std::fputs(info.purpose, out);
    std::fputs("\noptions (before SETUP):\n"
               "  --integrator bs\n"
               "             the Bulirsch-Stoer extrapolation integrator, the default: the same digits\n"
               "             for every build and thread count, and on every machine with the same C\n"
               "             library and processor features\n"
               "  --integrator dop853\n"
               "             the eighth-order Dormand-Prince method with dense output: several times\n"
               "             faster, the same digits on every machine; the files are the same files,\n"
               "             their values differ from bs by about 100 times the tolerance (after 10\n"
               "             orbits at 1e-13: 1e-11 of the radius for the median star, up to 4e-9)\n"
               "  --tol T    relative and absolute error per step of dop853 (default 1e-13;\n"
               "             smaller is more accurate and slower)\n"
               "  --check    read SETUP as a run would and print every value with its line, name\n"
               "             and unit, and the warnings; run nothing, write nothing\n"
               "  --help     this text\n"
               "  --version  the version\n\n"
               "files written, named by the SETUP path as given plus a suffix:\n",
               out);
    std::fputs(info.writes, out);
    std::fputs("\nthe setup file: one value at the start of each line, anything after it a comment.\n"
               "There are no comment lines: a line that does not start with a number keeps its value\n"
               "(0) with a warning, and every later value is read one line off.\n",
               out);
    int line = 1;
    for (const setup_field& f : scalar_fields)
        std::fprintf(out, "  %2d  %-10s %-14s %s\n", line++, f.name, f.unit, f.meaning);
    for (const setup_field& f : block_fields)
        std::fprintf(out, "  +%-2d %-10s %-14s %s\n", line++ - scalar_count, f.name, f.unit, f.meaning);
    std::fputs("Lengths are in units of the radius where the circular speed is 1, speeds in units of\n"
               "that speed; an orbit is 2 pi model time units. Stars and patterns turn anticlockwise\n"
               "(the sense of increasing phi); the crests m phi + alpha ln r = const trail for\n"
               "alpha > 0.\n\n"
               "exit status:\n"
               "  1    a complete run (not 0: chain with ';' and test for 1, not '&&'); but 0\n"
               "       under an MPI launcher of more than one rank (mpirun -np N, N > 1), which\n"
               "       takes any other status for a failed job\n",
               out);
    std::fprintf(out, "  0    --help, --version, a --check that found no error%s\n",
                 info.status0 ? info.status0 : "");
    std::fputs("  2    a setup or output file refused, unreadable or unwritable (one line on\n"
               "       standard error names the file and line)\n"
               "  255  a wrong command line (standard output: \"args: setup_file  \")\n"
               "  129, 130, 143\n"
               "       stopped by SIGHUP, SIGINT (Ctrl-C), SIGTERM: 128 + the signal's number; one line\n"
               "       on standard error says how many rows of each table are whole\n",
               out);
}

int startup(int argc, char** argv, const program_info& info, run_start& run) {
    prepare_process(info.name, true);
    const command_line c = parse_command_line(argc, argv);
    switch (c.action) {
    case command_line::help:
        print_help(stdout, info);
        return flush_stdout(info.name) ? 0 : 2;
    case command_line::version:
        print_version(stdout, info);
        return flush_stdout(info.name) ? 0 : 2;
    case command_line::check: {
        const int status = check_setup(stdout, info, c.setup);
        return flush_stdout(info.name) ? status : 2;
    }
    case command_line::wrong:
        std::printf("args: setup_file  \n");
        std::fprintf(stderr, "%s: %s; %s --help tells more\n", info.name, printable(c.problem).c_str(), info.name);
        return 255;
    case command_line::run:
        break;
    }
    run.setup = c.setup;
    run.how = c.how;
    std::FILE* f = std::fopen(run.setup.c_str(), "r");
    if (!f) {
        std::fprintf(stderr, "%s: %s: cannot open: %s\n", info.name, printable(run.setup).c_str(),
                     std::strerror(errno));
        return 2;
    }
    std::vector<setup_value> read;
    const bool ok = readsetup(f, run.setup, run.p, run.g, stdout, stderr, info.name, &read);
    std::fclose(f);
    if (!ok) return 2;
    std::vector<setup_note> notes;
    program_notes(info, run.p, read, notes, true);
    print_notes(stderr, info.name, run.setup, notes);
    run.tmax = run_end(run.p, info.kind);
    std::printf("tmax(orbits) = %.2f\n", run.tmax / twopi);
    return flush_stdout(info.name) ? -1 : 2;
}
