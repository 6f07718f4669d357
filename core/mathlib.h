// pow, atan2 and log of the maths library, called without their errno wrappers
#pragma once

// The same functions as std::pow, std::atan2 and std::log, to the bit. With the
// GNU C library on x86-64 they enter the library's implementations directly: the
// exported names only wrap those to set errno on overflow or at a pole, which
// nothing here reads (we compile with -fno-math-errno).
double libm_pow(double x, double y);
double libm_atan2(double y, double x);
double libm_log(double x);
