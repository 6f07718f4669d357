// Fuzz target of the setup reader: any bytes as a setup file. The reader must end
// without a fault of memory or of undefined behaviour, whatever it reads; a setup it
// accepts must give a run length and a first star that the core can measure and print.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "galaxy.h"
#include "output.h"
#include "params.h"

namespace {
std::FILE* sink() {  // one stream for every input: opening /dev/null per input costs more than the reading
    static std::FILE* null = std::fopen("/dev/null", "w");
    return null;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* f = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    if (!f) return 0;  // fmemopen refuses an empty buffer
    params p;
    rand48 g;
    const bool ok = readsetup(f, "fuzz.setup", p, g, sink(), sink(), "fuzz");
    std::fclose(f);
    if (!ok) return 0;
    (void)run_end(p, run_length::spread);
    (void)run_end(p, run_length::surveys);
    orbit_state s;
    do_one(s, p, g);
    orbit_state d;
    eqn(p, s, d);
    print_stuff(sink(), p, s);
    print_stuff(sink(), p, 0, s);
    return 0;
}
