// Matrices in several memory layouts over storage they own, for the core's
// tests and fuzz target.
#pragma once

#include "lawml.h"

#include <cstddef>
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

    // An empty matrix has no storage to point into; its data is never read.
    char* bytes(std::ptrdiff_t index)
    {
        return storage.empty() ? nullptr : reinterpret_cast<char*>(storage.data() + index);
    }

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
