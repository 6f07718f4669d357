#include "state.h"

#include <cstdint>

void cpstate(orbit_state& dst, const orbit_state& src) {
    dst.t = src.t;
    for (int i = 0; i < 6; ++i) dst.w[i] = src.w[i];
}

void pack_xy(const orbit_state& s, int bodies, double* y) {
    for (int b = 0; b < bodies; ++b) {
        y[4 * b] = s.w[6 * b];
        y[4 * b + 1] = s.w[6 * b + 1];
        y[4 * b + 2] = s.w[6 * b + 3];
        y[4 * b + 3] = s.w[6 * b + 4];
    }
}

void unpack_xy(const double* y, int bodies, orbit_state& dst) {
    for (int b = 0; b < bodies; ++b) {
        dst.w[6 * b] = y[4 * b];
        dst.w[6 * b + 1] = y[4 * b + 1];
        dst.w[6 * b + 3] = y[4 * b + 2];
        dst.w[6 * b + 4] = y[4 * b + 3];
    }
}

orbit_state state_xy(const double* xyv, double t) {
    orbit_state s;
    s.t = t;
    unpack_xy(xyv, 1, s);
    return s;
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
