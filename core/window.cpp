// The one-window-at-a-time path: each window copied into buffers of its own,
// measured and freed; the reference the fast sweep is checked against.
#include "allocation.h"
#include "minmax.h"
#include "window.h"

#include <algorithm>

lawml_status extract_window(const strided_matrix& src, int width, std::ptrdiff_t r,
                            std::ptrdiff_t c, window_block& block)
{
    const std::ptrdiff_t half = width / 2;
    const std::ptrdiff_t row_start = std::max<std::ptrdiff_t>(0, r - half);
    const std::ptrdiff_t col_start = std::max<std::ptrdiff_t>(0, c - half);
    const std::ptrdiff_t row_end = std::min(src.rows - 1, r + half);
    const std::ptrdiff_t col_end = std::min(src.cols - 1, c + half);
    const auto nrows = static_cast<std::int32_t>(row_end - row_start + 1);
    const auto ncols = static_cast<std::int32_t>(col_end - col_start + 1);

    auto** row_ptrs = static_cast<double**>(core_allocate(nrows * sizeof(double*)));
    if (row_ptrs == nullptr)
        return lawml_status::out_of_memory;
    for (std::int32_t i = 0; i < nrows; ++i) {
        row_ptrs[i] = static_cast<double*>(core_allocate(ncols * sizeof(double)));
        if (row_ptrs[i] == nullptr) {
            release_window({row_ptrs, i, ncols});
            return lawml_status::out_of_memory;
        }
    }

    for (std::ptrdiff_t row = row_start; row <= row_end; ++row)
        for (std::ptrdiff_t col = col_start; col <= col_end; ++col)
            row_ptrs[row - row_start][col - col_start] = element(src, row, col);

    block = {row_ptrs, nrows, ncols};
    return lawml_status::ok;
}

void release_window(const window_block& block)
{
    for (std::int32_t i = 0; i < block.nrows; ++i)
        core_release(block.row_ptrs[i]);
    core_release(block.row_ptrs);
}

double block_variance(double* const* row_ptrs, std::int32_t nrows, std::int32_t ncols)
{
    const double n = static_cast<double>(nrows * ncols);

    double sum = 0.0;
    for (std::int32_t i = 0; i < nrows; ++i)
        for (std::int32_t j = 0; j < ncols; ++j)
            sum += row_ptrs[i][j];
    const double mean = sum / n;

    for (std::int32_t i = 0; i < nrows; ++i)
        for (std::int32_t j = 0; j < ncols; ++j) {
            const double deviation = row_ptrs[i][j] - mean;
            row_ptrs[i][j] = deviation * deviation;
        }

    double total = 0.0;
    for (std::int32_t i = 0; i < nrows; ++i)
        for (std::int32_t j = 0; j < ncols; ++j)
            total += row_ptrs[i][j];
    return total / n;
}

lawml_status variance_pass(const strided_matrix& coeffs, int width, double noise_var,
                           const strided_matrix& dst)
{
    for (std::ptrdiff_t r = 0; r < coeffs.rows; ++r)
        for (std::ptrdiff_t c = 0; c < coeffs.cols; ++c) {
            window_block block;
            if (extract_window(coeffs, width, r, c, block) != lawml_status::ok)
                return lawml_status::out_of_memory;
            const double difference = block_variance(block.row_ptrs, block.nrows, block.ncols) - noise_var;
            element(dst, r, c) = fmax_exact(0.0, difference);
            release_window(block);
        }
    return lawml_status::ok;
}

lawml_status reference_filter(const strided_matrix& coeffs, const strided_matrix& variance,
                              const strided_matrix& scratch, const strided_matrix& denoised,
                              double noise_var, std::int32_t multiscale)
{
    if (variance_pass(coeffs, 3, noise_var, variance) != lawml_status::ok)
        return lawml_status::out_of_memory;
    if (multiscale == 1)
        for (int width = 5; width <= 9; width += 2) {
            if (variance_pass(coeffs, width, noise_var, scratch) != lawml_status::ok)
                return lawml_status::out_of_memory;
            merge_minimum(variance, scratch);
        }
    shrink_coefficients(coeffs, variance, denoised, noise_var);
    return lawml_status::ok;
}
