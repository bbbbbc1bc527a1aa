// The elementwise steps every path shares.
#include "lawml.h"
#include "minmax.h"
#include "shrink.h"

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
            element(denoised, r, c) =
                shrunk_coefficient(element(variance, r, c), element(coeffs, r, c), noise_var);
        }
}
