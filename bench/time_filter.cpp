// Times lawml_filter on random row-major input with one kernel, for the
// benchmark script (which runs it beside the module) and for kernel work.
//   time_filter rows cols multiscale reference|portable|avx2|avx2_fma|automatic repeats [C|F]
//       prints the median wall time of the repeats in milliseconds, for arrays
//       in C order (the default) or Fortran order;
//   time_filter clock
//       prints the core clock in GHz, timed over a chain of dependent integer
//       additions (one cycle each).
#include "lawml.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

double clock_ghz()
{
    constexpr long additions = 400'000'000;
    double best = 0.0;
    for (int round = 0; round < 5; ++round) {
        long x = 0;
        const auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < additions; i += 4) {
            // Four per iteration, so loop overhead runs beside the chain.
            x += 1;
            asm volatile("" : "+r"(x));  // keeps each addition, dependent on the last
            x += 1;
            asm volatile("" : "+r"(x));
            x += 1;
            asm volatile("" : "+r"(x));
            x += 1;
            asm volatile("" : "+r"(x));
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::max(best, additions / took.count() / 1e9);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "clock") == 0) {
        std::printf("%.3f\n", clock_ghz());
        return 0;
    }
    const bool fortran = argc == 7 && std::strcmp(argv[6], "F") == 0;
    if (argc != 6 && !(argc == 7 && (fortran || std::strcmp(argv[6], "C") == 0))) {
        std::fprintf(stderr, "usage: %s rows cols multiscale kernel repeats [C|F]\n", argv[0]);
        return 2;
    }
    const std::ptrdiff_t rows = std::atol(argv[1]), cols = std::atol(argv[2]);
    const int multiscale = std::atoi(argv[3]), repeats = std::atoi(argv[5]);
    const char* names[] = {"automatic", "reference", "portable", "avx2", "avx2_fma"};
    const filter_kernel kernels[] = {filter_kernel::automatic, filter_kernel::reference,
                                     filter_kernel::portable, filter_kernel::avx2,
                                     filter_kernel::avx2_fma};
    const auto found = std::find_if(std::begin(names), std::end(names),
                                    [&](const char* n) { return std::strcmp(n, argv[4]) == 0; });
    if (found == std::end(names) || !kernel_supported(kernels[found - names])) {
        std::fprintf(stderr, "unknown or unsupported kernel %s\n", argv[4]);
        return 2;
    }
    const filter_kernel kernel = kernels[found - names];

    std::vector<double> data(4 * rows * cols);
    std::mt19937_64 rng(1);
    std::normal_distribution<double> normal(0.0, 3.0);
    for (std::ptrdiff_t i = 0; i < rows * cols; ++i)
        data[i] = normal(rng);
    const auto view = [&](int k) {
        char* first = reinterpret_cast<char*>(data.data() + k * rows * cols);
        const std::ptrdiff_t along = sizeof(double);
        return fortran ? strided_matrix{first, rows, cols, along, rows * along}
                       : strided_matrix{first, rows, cols, cols * along, along};
    };

    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (lawml_filter(view(0), view(1), view(2), view(3), 0.5, multiscale, kernel) !=
            lawml_status::ok)
            return 1;
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::nth_element(times.begin(), times.begin() + repeats / 2, times.end());
    std::printf("%.3f\n", times[repeats / 2]);
    return 0;
}
