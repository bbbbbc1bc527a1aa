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

// (The fused-add check allows fused operations in this struct's functions and
// in estimate_tile_avx2_fma only.)
//
// Which additions run on the multiply pipes, chosen so that no window's chain
// of dependent additions gets longer than width 9's (a fused operation takes
// 5 cycles on Zen 2, an addition 3) while the two kinds of pipe share the
// work. First sweep: widths 3 and 5 fused (width 7's 49 fused sums would
// outlast width 9's 81 additions). Second sweep, three operations per value:
// widths 5 and 7 fused, which leaves about 1.5 per value on each kind of pipe.
// Width 3 alone waits on its three divisions per centre instead, so it keeps
// the plain operations.
struct unit_fused_arithmetic {
    static vec fused_add(vec x, vec y)  // x + y
    {
        return _mm256_fmadd_pd(x, _mm256_set1_pd(1.0), y);
    }
    template <int Widths, int w>
    static vec add(vec sum, vec x)
    {
        if constexpr (Widths > 1 && w < 2)
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
        if constexpr (Widths > 1 && (w == 1 || w == 2))
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
