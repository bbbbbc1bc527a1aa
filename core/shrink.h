// The shrunk coefficient (v × a) / (v + noise_var), the same bits on every CPU.
// A NaN that the arithmetic creates (0/0 where v and noise_var are 0, 0 × ∞
// for an infinite coefficient, ∞/∞ for an overflowing variance) has its sign
// bit set on x86-64 and clear on Arm; it is written the x86-64 way everywhere.
// A NaN passed on from a or noise_var keeps its own bits, as both do already.
#pragma once

#include <limits>

constexpr double created_nan = -std::numeric_limits<double>::quiet_NaN();

inline double shrunk_coefficient(double v, double a, double noise_var)
{
    const double shrunk = (v * a) / (v + noise_var);
    const bool created = shrunk != shrunk && a == a && noise_var == noise_var;
    return created ? created_nan : shrunk;
}
