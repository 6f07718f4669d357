#include "state.h"

#include <cstdint>

void cpstate(orbit_state& dst, const orbit_state& src) {
    dst.t = src.t;
    for (int i = 0; i < 6; ++i) dst.w[i] = src.w[i];
}

int write_system_state(std::FILE* file, int index, orbit_state state) {
    if (index < 0) return 0;
    // the index is widened before the multiplication so large files address correctly
    std::fseek(file, static_cast<long>(std::int64_t(sizeof(orbit_state)) * index), SEEK_SET);
    std::fwrite(&state, sizeof(orbit_state), 1, file);
    std::fflush(file);
    return 1;
}

int read_system_state(std::FILE* file, int index, orbit_state& state) {
    if (index < 0) return 0;
    std::fseek(file, static_cast<long>(std::int64_t(sizeof(orbit_state)) * index), SEEK_SET);
    if (std::fread(&state, sizeof(orbit_state), 1, file) != 1) {
        std::printf("# read failed.\n");
        return 0;
    }
    return 1;
}
