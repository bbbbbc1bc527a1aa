// The tile kernel for CPUs with AVX2 and FMA (this file alone gets -mfma).
// Three of the four operations per window value are additions or
// subtractions, which only two of the four floating-point pipes of such CPUs
// execute; the other two execute multiplications and fused multiply-adds. A
// fused multiply-add whose multiplier is exactly 1.0 rounds the exact sum once,
// just as the addition does, so fma(x, 1.0, y) is x + y bit for bit, signed
// zeros, infinities and NaNs included. Written out with intrinsics, such
// operations move part of the additions onto the multiply pipes. No product
// of two values is ever fused with a sum: the build keeps -ffp-contract=off.
#include "tile_kernel.h"

#include <immintrin.h>

namespace {

// Which additions run on the multiply pipes. Over all widths: the sums of
// widths 3 to 7, about half of all values; width 9's long chains stay on the
// adders, whose latency is shorter. Width 3 alone: the first sweep's sums,
// which leaves its subtraction, product and sum two per kind of pipe.
// (The fused-add check allows fused operations in this struct's functions and
// estimate_tile_avx2_fma only.)
struct unit_fused_arithmetic {
    static vec fused_add(vec x, vec y)  // x + y
    {
        return _mm256_fmadd_pd(x, _mm256_set1_pd(1.0), y);
    }

    template <int Widths, int w>
    static vec add(vec sum, vec x)
    {
        if constexpr (Widths == 1 || w < 3)
            return fused_add(x, sum);
        else
            return sum + x;
    }
    template <int Widths, int w>
    static vec subtract(vec x, vec mean)
    {
        return x - mean;
    }
    template <int Widths, int w>
    static vec add_square(vec total, vec square)
    {
        if constexpr (Widths > 1 && w < 3)
            return fused_add(square, total);
        else
            return total + square;
    }
};

}  // namespace

void estimate_tile_avx2_fma(const tile_job& job)
{
    estimate_tile<unit_fused_arithmetic>(job);
}
