// the scalar and SSE2 kernels of the fast mode, and its scalar mathematics
#include "lanes_kernel.h"

const lane_kernels lane_kernels_scalar = fast::kernel<1, fast::galaxy>::table();
const lane_kernels lane_kernels_sse2 = fast::kernel<2, fast::galaxy>::table();

double fast_log(double x) { return fast::fm_log(x); }
double fast_exp(double x) { return fast::fm_exp(x); }
void fast_sincos(double x, double& s, double& c) { fast::fm_sincos(x, s, c); }
double fast_atan2(double y, double x) { return fast::fm_atan2(y, x); }
double fast_pow(double x, double y) { return fast::fm_pow(x, y); }
