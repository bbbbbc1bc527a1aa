// An allocation-free restatement of the estimator, reading each clipped window
// straight from the strided input, for comparing the library against.
#pragma once

#include "lawml.h"

#include <algorithm>
#include <cmath>
#include <limits>

// The library's minimum and maximum: a NaN yields the other operand, equal
// operands (+0.0 and -0.0) the first. Written out rather than std::fmin and
// std::fmax, whose choice on a tie depends on the C library and the compiler.
inline double min_of(double a, double b)
{
    return std::isnan(b) ? a : std::isnan(a) ? b : b < a ? b : a;
}

inline double max_of(double a, double b)
{
    return std::isnan(b) ? a : std::isnan(a) ? b : b > a ? b : a;
}

inline double direct_estimate(const strided_matrix& m, int width, std::ptrdiff_t r,
                              std::ptrdiff_t c, double noise_var)
{
    const std::ptrdiff_t half = width / 2;
    const std::ptrdiff_t r0 = std::max<std::ptrdiff_t>(0, r - half);
    const std::ptrdiff_t r1 = std::min(m.rows - 1, r + half);
    const std::ptrdiff_t c0 = std::max<std::ptrdiff_t>(0, c - half);
    const std::ptrdiff_t c1 = std::min(m.cols - 1, c + half);
    const double n = static_cast<double>((r1 - r0 + 1) * (c1 - c0 + 1));

    double sum = 0.0;
    for (std::ptrdiff_t i = r0; i <= r1; ++i)
        for (std::ptrdiff_t j = c0; j <= c1; ++j)
            sum += element(m, i, j);
    const double mean = sum / n;
    double total = 0.0;
    for (std::ptrdiff_t i = r0; i <= r1; ++i)
        for (std::ptrdiff_t j = c0; j <= c1; ++j) {
            const double deviation = element(m, i, j) - mean;
            const double square = deviation * deviation;
            total += square;
        }
    const double difference = total / n - noise_var;
    return max_of(0.0, difference);
}

inline void direct_filter(const strided_matrix& coeffs, const strided_matrix& variance,
                          const strided_matrix& scratch, const strided_matrix& denoised,
                          double noise_var, int multiscale)
{
    for (std::ptrdiff_t r = 0; r < coeffs.rows; ++r)
        for (std::ptrdiff_t c = 0; c < coeffs.cols; ++c) {
            double v = direct_estimate(coeffs, 3, r, c, noise_var);
            if (multiscale == 1)
                for (int width = 5; width <= 9; width += 2) {
                    element(scratch, r, c) = direct_estimate(coeffs, width, r, c, noise_var);
                    v = min_of(v, element(scratch, r, c));
                }
            element(variance, r, c) = v;
            const double a = element(coeffs, r, c);
            const double product = v * a;
            const double sum = v + noise_var;
            const double shrunk = product / sum;
            // A NaN the arithmetic makes is written with its sign bit set, as x86-64 makes it.
            const bool made = std::isnan(shrunk) && !std::isnan(a) && !std::isnan(noise_var);
            element(denoised, r, c) = made ? -std::numeric_limits<double>::quiet_NaN() : shrunk;
        }
    if (multiscale != 1)
        return;
    // The minimum also sweeps the part of variance that lies beyond coeffs.
    for (std::ptrdiff_t i = 0; i < variance.rows; ++i)
        for (std::ptrdiff_t j = 0; j < variance.cols; ++j)
            if (i >= coeffs.rows || j >= coeffs.cols)
                element(variance, i, j) = min_of(element(variance, i, j), element(scratch, i, j));
}
