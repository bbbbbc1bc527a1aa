// The elementwise steps every path shares, and the overlap test the fast sweep
// uses to decide when to shrink.
#include "lawml.h"
#include "minmax.h"

#include <algorithm>
#include <cstdint>

bool may_share_memory(const strided_matrix& a, const strided_matrix& b)
{
    struct span {
        std::uintptr_t low, high;
    };
    const auto span_of = [](const strided_matrix& m) {
        const std::ptrdiff_t rows = (m.rows - 1) * m.row_stride, cols = (m.cols - 1) * m.col_stride;
        const auto base = reinterpret_cast<std::uintptr_t>(m.data);
        return span{base + std::min<std::ptrdiff_t>(0, rows) + std::min<std::ptrdiff_t>(0, cols),
                    base + std::max<std::ptrdiff_t>(0, rows) + std::max<std::ptrdiff_t>(0, cols) +
                        sizeof(double)};
    };
    if (a.rows == 0 || a.cols == 0 || b.rows == 0 || b.cols == 0)
        return false;
    const span x = span_of(a), y = span_of(b);
    return x.low < y.high && y.low < x.high;
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
