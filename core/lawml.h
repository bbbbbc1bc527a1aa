// Local-variance (LAWML) estimation and Wiener shrinkage of 2-D coefficient
// arrays addressed through byte strides. No dependency on Python.
#pragma once

#include <cstddef>
#include <cstdint>

// A non-owning view of a 2-D array of doubles. Element (r, c) lies at
// data + r * row_stride + c * col_stride; strides are in bytes and may be
// negative or describe any non-contiguous layout.
struct strided_matrix {
    char* data;
    std::ptrdiff_t rows;
    std::ptrdiff_t cols;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t col_stride;
};

inline double& element(const strided_matrix& m, std::ptrdiff_t r, std::ptrdiff_t c)
{
    return *reinterpret_cast<double*>(m.data + r * m.row_stride + c * m.col_stride);
}

// Whether the bytes of m's elements all have addresses, lowest to highest no
// further apart than a ptrdiff_t reaches. Views of real memory always are;
// the overlap tests below assume it. Strides of dimensions of one element
// address nothing and are ignored.
bool is_addressable(const strided_matrix& m);

// The answer of an overlap test: undecided when settling it would take more
// than a bounded amount of work, which views of one buffer by slicing,
// stepping and transposing never need.
enum class overlap { none, found, undecided };

// Whether some byte belongs to an element of a and to an element of b.
// Empty matrices share nothing.
overlap views_overlap(const strided_matrix& a, const strided_matrix& b);

// Whether two different elements of m share a byte.
overlap elements_overlap(const strided_matrix& m);

// A copied window: nrows buffers of ncols doubles, reached through row_ptrs.
struct window_block {
    double** row_ptrs;
    std::int32_t nrows;
    std::int32_t ncols;
};

enum class lawml_status { ok, out_of_memory };

// Copies the width x width window centred on (r, c), clipped to src, into a
// freshly allocated block. On failure nothing stays allocated and block is
// left as it was.
lawml_status extract_window(const strided_matrix& src, int width, std::ptrdiff_t r,
                            std::ptrdiff_t c, window_block& block);

// Frees the row buffers in order, then the pointer array.
void release_window(const window_block& block);

// Population variance of the block by the two-pass formula; leaves each value
// replaced by its squared deviation from the mean.
double block_variance(double* const* row_ptrs, std::int32_t nrows, std::int32_t ncols);

// dst(r, c) = max(0, variance of the clipped width-window around coeffs(r, c)
// - noise_var) for every element of coeffs, one allocated window at a time.
lawml_status variance_pass(const strided_matrix& coeffs, int width, double noise_var,
                           const strided_matrix& dst);

// dst = fmin(dst, other) elementwise over dst's whole extent.
void merge_minimum(const strided_matrix& dst, const strided_matrix& other);

// denoised = variance * coeffs / (variance + noise_var) over coeffs' extent.
void shrink_coefficients(const strided_matrix& coeffs, const strided_matrix& variance,
                         const strided_matrix& denoised, double noise_var);

// Which implementation lawml_filter runs. All give the same bits; automatic
// picks the fastest the CPU supports, the others let tests and benchmarks pin
// one. reference allocates and measures one window at a time, as
// variance_pass does; avx2_fma moves additions onto the multiply units as
// fused operations with the multiplier 1.0, which round exactly as the
// additions do.
enum class filter_kernel { automatic, reference, portable, avx2, avx2_fma };

bool kernel_supported(filter_kernel kernel);

// The whole estimator. variance receives the final estimates (width 3, or the
// minimum over widths 3, 5, 7 and 9 when multiscale is 1), scratch the width-9
// estimates (untouched unless multiscale is 1), denoised the shrunk
// coefficients variance * coeffs / (variance + noise_var). Except with the
// reference kernel, out of memory is reported before anything is written.
lawml_status lawml_filter(const strided_matrix& coeffs, const strided_matrix& variance,
                          const strided_matrix& scratch, const strided_matrix& denoised,
                          double noise_var, std::int32_t multiscale,
                          filter_kernel kernel = filter_kernel::automatic);
