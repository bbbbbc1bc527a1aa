// The tile kernel for the baseline instruction set of the build.
#include "tile_kernel.h"

void estimate_tile_portable(const tile_job& job)
{
    estimate_tile(job);
}
