#pragma once

#include "lawml.h"
#include "tiles.h"

// lawml_filter's fast path: every width of every window in one sweep of
// tiles, each estimated by kernel. Allocates one buffer per thread, before
// writing anything.
lawml_status sweep_filter(tile_kernel kernel, const strided_matrix& coeffs,
                          const strided_matrix& variance, const strided_matrix& scratch,
                          const strided_matrix& denoised, double noise_var, bool all_widths);
