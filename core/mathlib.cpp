#include "mathlib.h"

#include <cmath>

#if defined(__GLIBC__) && defined(__x86_64__)
extern "C" double __pow_finite(double, double);
extern "C" double __atan2_finite(double, double);
extern "C" double __log_finite(double);
// The implementations behind pow, atan2 and log (the CPU-specific variant is
// chosen at load time, as for the wrapped names), exported under these names.
__asm__(".symver __pow_finite,__pow_finite@GLIBC_2.15");
__asm__(".symver __atan2_finite,__atan2_finite@GLIBC_2.15");
__asm__(".symver __log_finite,__log_finite@GLIBC_2.15");

double libm_pow(double x, double y) { return __pow_finite(x, y); }
double libm_atan2(double y, double x) { return __atan2_finite(y, x); }
double libm_log(double x) { return __log_finite(x); }
#else
double libm_pow(double x, double y) { return std::pow(x, y); }
double libm_atan2(double y, double x) { return std::atan2(y, x); }
double libm_log(double x) { return std::log(x); }
#endif
