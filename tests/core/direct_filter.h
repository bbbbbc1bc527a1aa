// An allocation-free restatement of the estimator, reading each clipped window
// straight from the strided input, for comparing the library against.
#pragma once

#include "lawml.h"

#include <algorithm>
#include <cmath>

// The minimum the estimator takes: a NaN yields the other operand, and of two
// equal values (+0.0 and -0.0) the first. Not std::fmin, which leaves the sign
// of that zero to the platform (glibc on AArch64 returns -0.0 either way).
inline double first_minimum(double a, double b)
{
    if (std::isnan(a))
        return b;
    if (std::isnan(b))
        return a;
    return b < a ? b : a;
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
    return std::fmax(0.0, difference);
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
                    v = first_minimum(v, element(scratch, r, c));
                }
            element(variance, r, c) = v;
            const double a = element(coeffs, r, c);
            const double product = v * a;
            const double sum = v + noise_var;
            element(denoised, r, c) = product / sum;
        }
    if (multiscale != 1)
        return;
    // The minimum also sweeps the part of variance that lies beyond coeffs.
    for (std::ptrdiff_t i = 0; i < variance.rows; ++i)
        for (std::ptrdiff_t j = 0; j < variance.cols; ++j)
            if (i >= coeffs.rows || j >= coeffs.cols)
                element(variance, i, j) = first_minimum(element(variance, i, j), element(scratch, i, j));
}
