// the AVX2 kernels of the fast mode: this unit alone is compiled for AVX2 (-mavx2, and
// no FMA), and is entered only on a processor that has it
#include "lanes_kernel.h"

const lane_kernels lane_kernels_avx2 = fast::kernel<4, fast::galaxy>::table();
