// The tile kernel compiled for AVX2 (this file alone gets -mavx2); called only
// on CPUs that have it. FMA stays off, so no product is fused with a sum.
#include "tile_kernel.h"

void estimate_tile_avx2(const tile_job& job)
{
    estimate_tile(job);
}
