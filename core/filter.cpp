#include "lawml.h"
#include "minmax.h"
#include "sweep.h"

#include <algorithm>
#include <cstdint>

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

void merge_minimum(const strided_matrix& dst, const strided_matrix& other)
{
    for (std::ptrdiff_t i = 0; i < dst.rows; ++i)
        for (std::ptrdiff_t j = 0; j < dst.cols; ++j)
            element(dst, i, j) = fmin_exact(element(dst, i, j), element(other, i, j));
}

void shrink_coefficients(const strided_matrix& coeffs, const strided_matrix& variance,
                         const strided_matrix& denoised, double noise_var)
{
    for (std::ptrdiff_t r = 0; r < coeffs.rows; ++r)
        for (std::ptrdiff_t c = 0; c < coeffs.cols; ++c) {
            const double v = element(variance, r, c);
            const double a = element(coeffs, r, c);
            element(denoised, r, c) = (v * a) / (v + noise_var);
        }
}

namespace {

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

bool cpu_has_avx2()
{
#if MORVEKIN_AVX2_KERNEL
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

}  // namespace

bool kernel_supported(filter_kernel kernel)
{
    return kernel != filter_kernel::avx2 || cpu_has_avx2();
}

lawml_status lawml_filter(const strided_matrix& coeffs, const strided_matrix& variance,
                          const strided_matrix& scratch, const strided_matrix& denoised,
                          double noise_var, std::int32_t multiscale, filter_kernel kernel)
{
    if (kernel == filter_kernel::reference)
        return reference_filter(coeffs, variance, scratch, denoised, noise_var, multiscale);
    if (kernel == filter_kernel::automatic)
        kernel = cpu_has_avx2() ? filter_kernel::avx2 : filter_kernel::portable;
    tile_kernel estimate_tile = estimate_tile_portable;
#if MORVEKIN_AVX2_KERNEL
    if (kernel == filter_kernel::avx2)
        estimate_tile = estimate_tile_avx2;
#endif
    return sweep_filter(estimate_tile, coeffs, variance, scratch, denoised, noise_var,
                        multiscale == 1);
}
