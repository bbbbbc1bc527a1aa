// fmax and fmin with the C library's NaN rule (a NaN operand yields the other
// operand) and, for equal operands such as +0.0 and -0.0, the first operand,
// as glibc on x86-64 returns (on AArch64 it returns -0.0). Spelled out so every
// platform and kernel gives the same bits.
#pragma once

inline double fmax_exact(double a, double b)
{
    return (a >= b || b != b) ? a : b;
}

inline double fmin_exact(double a, double b)
{
    return (a <= b || b != b) ? a : b;
}
