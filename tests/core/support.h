// Helpers shared by the core tests: values with IEEE special cases and
// bit-for-bit comparison, besides the matrices of matrices.h.
#pragma once

#include "lawml.h"
#include "matrices.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

inline std::uint64_t bits(double x)
{
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

inline double from_bits(std::uint64_t u)
{
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

inline ::testing::AssertionResult same_bits(const std::vector<double>& actual,
                                            const std::vector<double>& expected)
{
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure()
               << "sizes differ: " << actual.size() << " vs " << expected.size();
    for (std::size_t i = 0; i < actual.size(); ++i)
        if (bits(actual[i]) != bits(expected[i])) {
            std::ostringstream hex;
            hex << std::hex << bits(actual[i]) << " vs 0x" << bits(expected[i]);
            return ::testing::AssertionFailure() << "first difference at index " << i << ": "
                                                 << actual[i] << " vs " << expected[i]
                                                 << " (0x" << hex.str() << ")";
        }
    return ::testing::AssertionSuccess();
}

// Mostly normal values, with NaN, infinities, signed zeros, subnormals and
// huge values sprinkled in at the given rate.
inline std::vector<double> random_values(std::size_t count, std::mt19937_64& rng,
                                         double special_rate = 0.02)
{
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double specials[] = {nan, inf, -inf, -0.0, 0.0, 4.9e-324, -2.2e-310, 1e300, -1e300};
    std::normal_distribution<double> normal(0.0, 3.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(specials) - 1);
    std::vector<double> out(count);
    for (double& x : out)
        x = unit(rng) < special_rate ? specials[pick(rng)] : normal(rng);
    return out;
}
