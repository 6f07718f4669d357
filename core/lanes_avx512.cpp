// the AVX-512 kernels of the fast mode: this unit alone is compiled for AVX-512
// (-mavx512f, and no FMA), and is entered only on a processor that has it
#include "lanes_kernel.h"

const lane_kernels lane_kernels_avx512 = fast::kernel<8, fast::galaxy>::table();
