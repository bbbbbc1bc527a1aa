// The fast sweep works tile by tile: a rectangle of centres, a zero-padded
// contiguous copy of everything their windows read, and contiguous planes for
// the results, which the driver then copies out through the caller's strides.
// Where the caller's rows are contiguous, the kernel reads coeffs and writes
// the results in place instead.
// The kernels that estimate a tile are compiled once per instruction set from
// tile_kernel.h.
#pragma once

#include <cstddef>

constexpr std::ptrdiff_t lanes = 4;         // doubles per vector
constexpr std::ptrdiff_t group_width = 24;  // most centre columns a kernel sweeps together
constexpr std::ptrdiff_t max_half = 4;      // half of the widest window, 9

// Element (i, j) of a plane of doubles lies at data[i * stride + j].
struct plane {
    double* data;
    std::ptrdiff_t stride;

    double* at(std::ptrdiff_t i, std::ptrdiff_t j) const { return data + i * stride + j; }
};

struct tile_job {
    // Element (i, j) is coeffs(row_begin - max_half + i, col_begin - max_half + j),
    // or 0.0 where that column lies outside coeffs. Rows outside coeffs are never read.
    const double* input;
    std::ptrdiff_t input_stride;
    // Results for centre (row_begin + i, col_begin + j) at (i, j): the final
    // estimates, the width-9 estimates (all widths only), the shrunk coefficients.
    plane estimates, widest, shrunk;
    std::ptrdiff_t row_begin, row_end, col_begin, col_end;  // the centres
    std::ptrdiff_t rows, cols;                              // of coeffs, where windows clip
    double noise_var;
    bool all_widths;  // widths 3, 5, 7 and 9, not 3 alone
    // (Width 3 alone.) The arrays are column-major ones passed transposed, so
    // that they are read and written along contiguous rows; each window is
    // then added column by column, top to bottom, its own order before
    // transposing.
    bool by_columns;
};

using tile_kernel = void (*)(const tile_job& job);

void estimate_tile_portable(const tile_job& job);
void estimate_tile_avx2(const tile_job& job);
void estimate_tile_avx2_fma(const tile_job& job);
