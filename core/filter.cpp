// lawml_filter: picks the path and, for the fast sweep, the tile kernel the
// CPU can run.
#include "cpu.h"
#include "lawml.h"
#include "sweep.h"
#include "window.h"

#include <initializer_list>

namespace {

const cpu_features& cpu()
{
    static const cpu_features features = detect_cpu_features();
    return features;
}

tile_kernel kernel_for(filter_kernel kernel)
{
    switch (kernel) {
#if MORVEKIN_AVX2_KERNELS
    case filter_kernel::avx2_fma: return estimate_tile_avx2_fma;
    case filter_kernel::avx2: return estimate_tile_avx2;
#endif
    default: return estimate_tile_portable;
    }
}

}  // namespace

bool kernel_supported(filter_kernel kernel)
{
#if MORVEKIN_AVX2_KERNELS
    const bool built = true;
#else
    const bool built = false;
#endif
    switch (kernel) {
    case filter_kernel::avx2: return built && cpu().avx2;
    case filter_kernel::avx2_fma: return built && cpu().avx2 && cpu().fma;
    default: return true;
    }
}

lawml_status lawml_filter(const strided_matrix& coeffs, const strided_matrix& variance,
                          const strided_matrix& scratch, const strided_matrix& denoised,
                          double noise_var, std::int32_t multiscale, filter_kernel kernel)
{
    if (kernel == filter_kernel::reference)
        return reference_filter(coeffs, variance, scratch, denoised, noise_var, multiscale);
    if (kernel == filter_kernel::automatic)
        for (filter_kernel fastest : {filter_kernel::avx2_fma, filter_kernel::avx2,
                                      filter_kernel::portable})
            if (kernel_supported(fastest)) {
                kernel = fastest;
                break;
            }
    return sweep_filter(kernel_for(kernel), coeffs, variance, scratch, denoised, noise_var,
                        multiscale == 1);
}
