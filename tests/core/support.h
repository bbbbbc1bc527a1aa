// Helpers shared by the core tests: matrices in several memory layouts,
// values with IEEE special cases, and bit-for-bit comparison.
#pragma once

#include "lawml.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

enum class layout { row_major, column_major, reversed, stepped };

inline const char* layout_name(layout l)
{
    switch (l) {
    case layout::row_major: return "row_major";
    case layout::column_major: return "column_major";
    case layout::reversed: return "reversed";
    case layout::stepped: return "stepped";
    }
    return "?";
}

// Owns its storage; view addresses the logical rows x cols matrix in the
// chosen layout. Storage that the view skips keeps the fill value.
struct test_matrix {
    std::vector<double> storage;
    strided_matrix view;

    test_matrix(std::ptrdiff_t rows, std::ptrdiff_t cols, layout l = layout::row_major,
                double fill = 0.0)
    {
        constexpr std::ptrdiff_t d = sizeof(double);
        switch (l) {
        case layout::row_major:
            storage.assign(rows * cols, fill);
            view = {bytes(0), rows, cols, cols * d, d};
            break;
        case layout::column_major:
            storage.assign(rows * cols, fill);
            view = {bytes(0), rows, cols, d, rows * d};
            break;
        case layout::reversed:
            storage.assign(rows * cols, fill);
            view = {bytes(rows * cols - 1), rows, cols, -cols * d, -d};
            break;
        case layout::stepped:  // every second row and every third column
            storage.assign(2 * rows * 3 * cols, fill);
            view = {bytes(0), rows, cols, 2 * 3 * cols * d, 3 * d};
            break;
        }
    }
    test_matrix(const test_matrix&) = delete;
    test_matrix& operator=(const test_matrix&) = delete;

    char* bytes(std::ptrdiff_t index) { return reinterpret_cast<char*>(storage.data() + index); }

    void assign(const std::vector<double>& values)  // logical row-major order
    {
        for (std::ptrdiff_t r = 0; r < view.rows; ++r)
            for (std::ptrdiff_t c = 0; c < view.cols; ++c)
                element(view, r, c) = values[r * view.cols + c];
    }

    std::vector<double> values() const
    {
        std::vector<double> out;
        for (std::ptrdiff_t r = 0; r < view.rows; ++r)
            for (std::ptrdiff_t c = 0; c < view.cols; ++c)
                out.push_back(element(view, r, c));
        return out;
    }
};

inline std::uint64_t bits(double x)
{
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
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
