#pragma once

#include "lawml.h"

// lawml_filter with the reference kernel: variance_pass for each width, one
// allocated window at a time, then the shared elementwise steps.
lawml_status reference_filter(const strided_matrix& coeffs, const strided_matrix& variance,
                              const strided_matrix& scratch, const strided_matrix& denoised,
                              double noise_var, std::int32_t multiscale);
