// orbspread: follows an ensemble of neighbouring orbits started from one star and
// records how fast it spreads in position and in angular momentum.
#include "programs.h"

int main(int argc, char** argv) { return run_spread(argc, argv); }
