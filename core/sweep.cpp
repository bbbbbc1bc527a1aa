// The fast sweep: all window widths of a tile at once, vectorised across
// columns, tiles shared among the threads of the pool. Each thread works in
// buffers of its own, allocated together once per call before anything is
// written.
#include "allocation.h"
#include "pool.h"
#include "sweep.h"
#include "tiles.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Tiles are wide when the kernels read rows of L1-resident input, and tall
// when coeffs is stored column by column and copied, so that copying in and
// out moves long runs of contiguous memory.
struct tile_shape {
    std::ptrdiff_t rows, cols;

    // doubles between rows of a tile's buffers; a last tile narrower than a
    // group joins its neighbour, so they leave room for it
    std::ptrdiff_t stride() const { return cols + group_width + 2 * max_half; }
    std::ptrdiff_t input_size() const { return (rows + 2 * max_half) * stride(); }
    std::ptrdiff_t plane_size() const { return rows * stride(); }
    std::ptrdiff_t buffer_size() const { return input_size() + 3 * plane_size(); }
};

constexpr tile_shape wide_tile{32, 10 * group_width}, tall_tile{128, 2 * group_width};

// Window values (over all widths) worth starting a thread for, about 0.1 ms
// of work: smaller calls use fewer threads, the smallest just one.
constexpr std::ptrdiff_t work_per_thread = std::ptrdiff_t{1} << 19;

// Splits [0, extent) into spans of `step`; a last span shorter than `least`
// joins the one before it.
struct spans {
    std::ptrdiff_t extent, step, count;

    spans(std::ptrdiff_t extent_, std::ptrdiff_t step_, std::ptrdiff_t least)
        : extent(extent_), step(step_), count((extent_ + step_ - 1) / step_)
    {
        if (count > 1 && extent - (count - 1) * step < least)
            --count;
    }
    std::ptrdiff_t begin(std::ptrdiff_t k) const { return k * step; }
    std::ptrdiff_t end(std::ptrdiff_t k) const { return k + 1 == count ? extent : (k + 1) * step; }
};

// Copies rows x cols elements between m, from (r0, c0) on, and a contiguous
// plane, walking m along its shorter stride.
template <bool into_matrix>
void transfer(const strided_matrix& m, std::ptrdiff_t r0, std::ptrdiff_t c0, std::ptrdiff_t rows,
              std::ptrdiff_t cols, double* plane, std::ptrdiff_t stride)
{
    const auto move = [&](std::ptrdiff_t i, std::ptrdiff_t j) {
        double& x = element(m, r0 + i, c0 + j);
        double& y = plane[i * stride + j];
        if constexpr (into_matrix)
            x = y;
        else
            y = x;
    };
    if (std::abs(m.col_stride) > std::abs(m.row_stride)) {
        // Down a few columns at a time: runs along m's columns, whole cache
        // lines along the plane's rows.
        constexpr std::ptrdiff_t columns_at_once = 8;
        for (std::ptrdiff_t j0 = 0; j0 < cols; j0 += columns_at_once)
            for (std::ptrdiff_t i = 0; i < rows; ++i)
                for (std::ptrdiff_t j = j0; j < std::min(cols, j0 + columns_at_once); ++j)
                    move(i, j);
    } else if (m.col_stride == sizeof(double)) {
        for (std::ptrdiff_t i = 0; i < rows; ++i) {
            double* x = &element(m, r0 + i, c0);
            double* y = plane + i * stride;
            into_matrix ? std::memcpy(x, y, cols * sizeof(double))
                        : std::memcpy(y, x, cols * sizeof(double));
        }
    } else {
        for (std::ptrdiff_t i = 0; i < rows; ++i)
            for (std::ptrdiff_t j = 0; j < cols; ++j)
                move(i, j);
    }
}

// Whether the kernel can read or write the job's part of m as it stands: m's
// rows are runs of adjacent doubles, and the tile is at least a group wide
// (a narrower one is swept by a whole group, which the buffers leave room for).
bool in_place_for(const strided_matrix& m, const tile_job& job)
{
    return m.col_stride == sizeof(double) && m.row_stride % std::ptrdiff_t{sizeof(double)} == 0 &&
           job.col_end - job.col_begin >= group_width;
}

// Where the kernel reads the tile: coeffs itself when every window of the
// tile lies inside it and its rows are contiguous, else the buffer, filled
// with the rows of coeffs within reach and zeros for columns beyond coeffs.
void place_input(const strided_matrix& coeffs, tile_job& job, double* buffer,
                 std::ptrdiff_t buffer_stride)
{
    const std::ptrdiff_t row0 = job.row_begin - max_half, col0 = job.col_begin - max_half;
    if (in_place_for(coeffs, job) && row0 >= 0 && col0 >= 0 && job.row_end + max_half <= coeffs.rows &&
        job.col_end + max_half <= coeffs.cols) {
        job.input = &element(coeffs, row0, col0);
        job.input_stride = coeffs.row_stride / std::ptrdiff_t{sizeof(double)};
        return;
    }
    const std::ptrdiff_t first_row = std::max<std::ptrdiff_t>(0, row0);
    const std::ptrdiff_t last_row = std::min(coeffs.rows, job.row_end + max_half);
    const std::ptrdiff_t first_col = std::max<std::ptrdiff_t>(0, col0);
    const std::ptrdiff_t width = std::max(job.col_end - job.col_begin, group_width) + 2 * max_half;
    const std::ptrdiff_t last_col = std::min(coeffs.cols, col0 + width);

    for (std::ptrdiff_t r = first_row; r < last_row; ++r) {
        double* row = buffer + (r - row0) * buffer_stride;
        std::fill(row, row + (first_col - col0), 0.0);
        std::fill(row + (last_col - col0), row + width, 0.0);
    }
    transfer<false>(coeffs, first_row, first_col, last_row - first_row, last_col - first_col,
                    buffer + (first_row - row0) * buffer_stride + (first_col - col0), buffer_stride);
    job.input = buffer;
    job.input_stride = buffer_stride;
}

// Where the kernel writes results meant for m: m itself when its rows are
// contiguous, else the staging plane, copied out by copy_out.
plane place_output(const strided_matrix& m, const tile_job& job, plane staging, bool written)
{
    if (written && in_place_for(m, job))
        return {&element(m, job.row_begin, job.col_begin),
                m.row_stride / std::ptrdiff_t{sizeof(double)}};
    return staging;
}

void copy_out(const plane& results, const strided_matrix& m, const tile_job& job)
{
    if (results.data != &element(m, job.row_begin, job.col_begin))
        transfer<true>(m, job.row_begin, job.col_begin, job.row_end - job.row_begin,
                       job.col_end - job.col_begin, results.data, results.stride);
}

// The part of m from (r0, c0) on, at most max_rows rows of it.
strided_matrix part(const strided_matrix& m, std::ptrdiff_t r0, std::ptrdiff_t c0,
                    std::ptrdiff_t max_rows = PTRDIFF_MAX)
{
    const std::ptrdiff_t rows = std::min(std::max<std::ptrdiff_t>(0, m.rows - r0), max_rows);
    const std::ptrdiff_t cols = std::max<std::ptrdiff_t>(0, m.cols - c0);
    char* data = rows > 0 && cols > 0 ? m.data + r0 * m.row_stride + c0 * m.col_stride : nullptr;
    return {data, rows, cols, m.row_stride, m.col_stride};
}

strided_matrix transposed(const strided_matrix& m)
{
    return {m.data, m.cols, m.rows, m.col_stride, m.row_stride};
}

int threads_for(std::ptrdiff_t work, std::ptrdiff_t most)
{
    return static_cast<int>(std::max<std::ptrdiff_t>(1, std::min(most, work / work_per_thread)));
}

// The shrink step once every window has been read. Rows are independent when
// denoised holds coeffs' own elements, so they are shared among threads;
// any other overlap keeps the one order of the reference path.
void shrink_in_place(const strided_matrix& coeffs, const strided_matrix& variance,
                     const strided_matrix& denoised, double noise_var, int limit)
{
    const bool same_elements = denoised.data == coeffs.data &&
                               denoised.row_stride == coeffs.row_stride &&
                               denoised.col_stride == coeffs.col_stride;
    const std::ptrdiff_t band = same_elements ? 16 : coeffs.rows;  // rows per task
    const std::ptrdiff_t bands = (coeffs.rows + band - 1) / band;
    auto shrink = [&](std::ptrdiff_t k, int) {
        const std::ptrdiff_t r0 = k * band;
        shrink_coefficients(part(coeffs, r0, 0, band), part(variance, r0, 0, band),
                            part(denoised, r0, 0, band), noise_var);
    };
    // A shrink costs about as much as 16 window values.
    const int threads = threads_for(16 * coeffs.rows * coeffs.cols, std::min<std::ptrdiff_t>(limit, bands));
    run_tasks(bands, threads, limit, shrink);
}

}  // namespace

lawml_status sweep_filter(tile_kernel kernel, const strided_matrix& coeffs,
                          const strided_matrix& variance, const strided_matrix& scratch,
                          const strided_matrix& denoised, double noise_var, bool all_widths)
{
    const std::ptrdiff_t rows = coeffs.rows, cols = coeffs.cols;
    if (rows > 0 && cols > 0) {
        // (The stride of a dimension of one element says nothing.)
        const bool by_columns =
            cols == 1 || (rows > 1 && std::abs(coeffs.row_stride) < std::abs(coeffs.col_stride));
        // Width 3 alone sweeps such arrays transposed, reading and writing
        // them in place; all widths copy them through tall tiles, which costs
        // them less than the transposed sweep's order of additions.
        const bool transpose = by_columns && !all_widths;
        const tile_shape tile = by_columns && all_widths ? tall_tile : wide_tile;
        const auto swept = [&](const strided_matrix& m) { return transpose ? transposed(m) : m; };
        const strided_matrix in = swept(coeffs), estimates = swept(variance),
                             widest = swept(scratch), shrunk = swept(denoised);
        const spans row_spans(in.rows, tile.rows, 1), col_spans(in.cols, tile.cols, group_width);
        const std::ptrdiff_t tiles = row_spans.count * col_spans.count;
        const std::ptrdiff_t work = rows * cols * (all_widths ? 9 + 25 + 49 + 81 : 9);
        const int limit = thread_limit();
        const int threads = threads_for(work, std::min<std::ptrdiff_t>(limit, tiles));

        auto* buffers =
            static_cast<double*>(core_allocate(threads * tile.buffer_size() * sizeof(double)));
        if (buffers == nullptr)
            return lawml_status::out_of_memory;

        // denoised may be coeffs itself; then it is written only after every
        // window has been read.
        const bool shrink_in_tiles = views_overlap(denoised, coeffs) == overlap::none;
        auto estimate = [&](std::ptrdiff_t k, int slot) {
            double* own = buffers + slot * tile.buffer_size();
            const std::ptrdiff_t stride = tile.stride();
            const auto staging = [&](int n) {
                return plane{own + tile.input_size() + n * tile.plane_size(), stride};
            };
            const std::ptrdiff_t kr = k / col_spans.count, kc = k % col_spans.count;
            tile_job job{nullptr, 0, {}, {}, {}, row_spans.begin(kr), row_spans.end(kr),
                         col_spans.begin(kc), col_spans.end(kc), in.rows, in.cols, noise_var,
                         all_widths, transpose};
            place_input(in, job, own, stride);
            job.estimates = place_output(estimates, job, staging(0), true);
            job.widest = place_output(widest, job, staging(1), all_widths);
            job.shrunk = place_output(shrunk, job, staging(2), shrink_in_tiles);
            kernel(job);
            copy_out(job.estimates, estimates, job);
            if (all_widths)
                copy_out(job.widest, widest, job);
            if (shrink_in_tiles)
                copy_out(job.shrunk, shrunk, job);
        };
        run_tasks(tiles, threads, limit, estimate);
        core_release(buffers);

        if (!shrink_in_tiles)
            shrink_in_place(coeffs, variance, denoised, noise_var, limit);
    }

    // The minimum over widths also sweeps whatever of variance lies beyond
    // coeffs (once is enough: fmin is idempotent).
    if (all_widths) {
        merge_minimum(part(variance, rows, 0), part(scratch, rows, 0));
        merge_minimum(part(variance, 0, cols, rows), part(scratch, 0, cols, rows));
    }
    return lawml_status::ok;
}
