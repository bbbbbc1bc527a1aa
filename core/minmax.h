// fmax and fmin with the C library's NaN rule (a NaN operand yields the other
// operand) and, for equal operands such as +0.0 and -0.0, the first operand.
// The C standard leaves the zero's sign open and it varies: glibc 2.36 returns
// the second operand, clang 14 inlines them to return the first, and GCC,
// taking them as commutative, may swap the operands. Spelled out so every
// platform, compiler and kernel gives the same bits.
#pragma once

inline double fmax_exact(double a, double b)
{
    return (a >= b || b != b) ? a : b;
}

inline double fmin_exact(double a, double b)
{
    return (a <= b || b != b) ? a : b;
}
