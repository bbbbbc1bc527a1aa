// The fast kernels against the direct restatement, bit for bit: shapes that
// hit every remainder of the column groups and tiles, every memory layout,
// special values, thread counts and in-place use.
#include "direct_filter.h"
#include "support.h"

#ifdef _OPENMP
#include <omp.h>
#endif

#include <cmath>

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

const char* kernel_name(filter_kernel k)
{
    switch (k) {
    case filter_kernel::automatic: return "automatic";
    case filter_kernel::reference: return "reference";
    case filter_kernel::portable: return "portable";
    case filter_kernel::avx2: return "avx2";
    case filter_kernel::avx2_fma: return "avx2_fma";
    }
    return "?";
}

// Runs the kernel and the direct restatement on the same input and outputs
// in the given layouts, and compares all four arrays.
void expect_same_as_direct(filter_kernel kernel, const std::vector<double>& values,
                           std::ptrdiff_t rows, std::ptrdiff_t cols, double noise_var,
                           int multiscale, layout coeffs_layout = layout::row_major,
                           layout outputs_layout = layout::row_major)
{
    test_matrix coeffs(rows, cols, coeffs_layout), variance(rows, cols, outputs_layout, 1.5),
        scratch(rows, cols, outputs_layout, 2.5), denoised(rows, cols, outputs_layout, 3.5);
    test_matrix direct_coeffs(rows, cols), direct_variance(rows, cols, layout::row_major, 1.5),
        direct_scratch(rows, cols, layout::row_major, 2.5),
        direct_denoised(rows, cols, layout::row_major, 3.5);
    coeffs.assign(values);
    direct_coeffs.assign(values);

    ASSERT_EQ(lawml_filter(coeffs.view, variance.view, scratch.view, denoised.view, noise_var,
                           multiscale, kernel),
              lawml_status::ok);
    direct_filter(direct_coeffs.view, direct_variance.view, direct_scratch.view,
                  direct_denoised.view, noise_var, multiscale);

    const auto where = [&] {
        return ::testing::Message() << kernel_name(kernel) << " " << rows << "x" << cols
                                    << " noise " << noise_var << " multiscale " << multiscale
                                    << " " << layout_name(coeffs_layout) << "/"
                                    << layout_name(outputs_layout);
    };
    EXPECT_TRUE(same_bits(variance.values(), direct_variance.values())) << where();
    EXPECT_TRUE(same_bits(scratch.values(), direct_scratch.values())) << where();
    EXPECT_TRUE(same_bits(denoised.values(), direct_denoised.values())) << where();
    EXPECT_TRUE(same_bits(coeffs.values(), values)) << where();
}

class FastKernel : public ::testing::TestWithParam<filter_kernel> {
protected:
    void SetUp() override
    {
        if (!kernel_supported(GetParam()))
            GTEST_SKIP() << kernel_name(GetParam()) << " is not supported on this CPU";
    }
};

// Row-major input is cut into wide tiles and column-major input into tall
// ones; these shapes hit every remainder of the column groups and of both
// kinds of tile, and tiles far enough from every edge to be read and
// written without copies.
std::vector<std::pair<std::ptrdiff_t, std::ptrdiff_t>> remainder_shapes()
{
    std::vector<std::pair<std::ptrdiff_t, std::ptrdiff_t>> shapes;
    for (std::ptrdiff_t cols = 1; cols <= 50; ++cols)
        shapes.emplace_back(1 + cols % 11, cols);
    for (std::ptrdiff_t rows = 1; rows <= 40; ++rows)
        shapes.emplace_back(rows, 29);
    for (std::ptrdiff_t cols : {71, 72, 73, 95, 97, 239, 240, 241, 263, 264, 265, 479, 481})
        shapes.emplace_back(3 + cols % 5, cols);
    for (std::ptrdiff_t rows : {255, 256, 257, 511, 513})
        shapes.emplace_back(rows, 3 + rows % 7);
    shapes.emplace_back(65, 64);
    shapes.emplace_back(97, 33);
    shapes.emplace_back(100, 530);  // inner tiles read coeffs and write outputs in place
    shapes.emplace_back(530, 100);  // the same for column-major arrays, swept transposed
    return shapes;
}

TEST_P(FastKernel, EveryRemainderOfGroupsAndTiles)
{
    const double noise_vars[] = {0.5, 0.0, -1.0, 3.0};
    std::mt19937_64 rng(21);
    int index = 0;
    for (const auto& [rows, cols] : remainder_shapes()) {
        const std::vector<double> values = random_values(rows * cols, rng, 0.01);
        for (layout in : {layout::row_major, layout::column_major})
            for (int multiscale : {1, 0})
                expect_same_as_direct(GetParam(), values, rows, cols, noise_vars[index % 4],
                                      multiscale, in, in);
        ++index;
    }
}

TEST_P(FastKernel, EveryLayoutOfInputAndOutputs)
{
    constexpr std::ptrdiff_t rows = 37, cols = 53;
    std::mt19937_64 rng(22);
    const std::vector<double> values = random_values(rows * cols, rng);
    for (layout in : {layout::row_major, layout::column_major, layout::reversed, layout::stepped})
        for (layout out :
             {layout::row_major, layout::column_major, layout::reversed, layout::stepped})
            expect_same_as_direct(GetParam(), values, rows, cols, 0.25, 1, in, out);
}

TEST_P(FastKernel, NoiseVariances)
{
    constexpr std::ptrdiff_t rows = 19, cols = 45;
    std::mt19937_64 rng(23);
    const std::vector<double> values = random_values(rows * cols, rng);
    for (double noise_var : {0.0, -0.0, 1e-300, 2.0, -3.0, 1e300, nan, inf, -inf})
        for (int multiscale : {1, 0})
            expect_same_as_direct(GetParam(), values, rows, cols, noise_var, multiscale);
}

TEST_P(FastKernel, SpecialInputs)
{
    constexpr std::ptrdiff_t rows = 14, cols = 31;
    std::mt19937_64 rng(24);
    std::vector<std::vector<double>> inputs;
    for (double constant : {5.0, 0.1, -0.0, 0.0, 4.9e-324, 1e300, -1e300, nan, inf})
        inputs.emplace_back(rows * cols, constant);
    inputs.push_back(random_values(rows * cols, rng, 0.5));  // half of them special
    std::vector<double> tiny = random_values(rows * cols, rng, 0.0);
    for (double& x : tiny)
        x *= 1e-310;  // subnormal
    inputs.push_back(tiny);
    std::vector<double> huge = random_values(rows * cols, rng, 0.0);
    for (double& x : huge)
        x *= 1e160;  // squares overflow
    inputs.push_back(huge);

    for (const std::vector<double>& values : inputs)
        for (int multiscale : {1, 0})
            expect_same_as_direct(GetParam(), values, rows, cols, 0.5, multiscale);
}

TEST_P(FastKernel, SameBitsOnAnyNumberOfThreads)
{
#ifdef _OPENMP
    constexpr std::ptrdiff_t rows = 211, cols = 307;  // large enough to be split
    std::mt19937_64 rng(25);
    const std::vector<double> values = random_values(rows * cols, rng);
    const int previous = omp_get_max_threads();
    for (int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        expect_same_as_direct(GetParam(), values, rows, cols, 0.5, 1, layout::column_major);
        expect_same_as_direct(GetParam(), values, rows, cols, 0.5, 0);
    }
    omp_set_num_threads(previous);
#else
    GTEST_SKIP() << "built without OpenMP";
#endif
}

// In place on a large, multithreaded call: every window must be read before
// any shrunk value lands in coeffs.
TEST_P(FastKernel, DenoisedMayBeCoeffs)
{
    constexpr std::ptrdiff_t rows = 230, cols = 260;
    std::mt19937_64 rng(26);
    const std::vector<double> values = random_values(rows * cols, rng);
    test_matrix separate(rows, cols), variance(rows, cols), scratch(rows, cols),
        denoised(rows, cols), in_place(rows, cols, layout::column_major);
    separate.assign(values);
    in_place.assign(values);
    ASSERT_EQ(lawml_filter(separate.view, variance.view, scratch.view, denoised.view, 0.5, 1,
                           GetParam()),
              lawml_status::ok);
    ASSERT_EQ(lawml_filter(in_place.view, variance.view, scratch.view, in_place.view, 0.5, 1,
                           GetParam()),
              lawml_status::ok);
    EXPECT_TRUE(same_bits(in_place.values(), denoised.values()));
}

TEST_P(FastKernel, LargerOutputsAndEmptyInputs)
{
    std::mt19937_64 rng(27);
    for (auto [rows, cols] : {std::pair{30, 40}, std::pair{0, 6}, std::pair{5, 0}})
        for (int multiscale : {1, 0}) {
            test_matrix coeffs(rows, cols), variance(33, 47), scratch(35, 47), denoised(31, 41);
            coeffs.assign(random_values(rows * cols, rng));
            for (test_matrix* m : {&variance, &scratch, &denoised})
                m->assign(random_values(m->storage.size(), rng, 0.3));
            test_matrix expected_variance(33, 47), expected_scratch(35, 47),
                expected_denoised(31, 41);
            expected_variance.assign(variance.values());
            expected_scratch.assign(scratch.values());
            expected_denoised.assign(denoised.values());

            ASSERT_EQ(lawml_filter(coeffs.view, variance.view, scratch.view, denoised.view, 0.5,
                                   multiscale, GetParam()),
                      lawml_status::ok);
            direct_filter(coeffs.view, expected_variance.view, expected_scratch.view,
                          expected_denoised.view, 0.5, multiscale);
            EXPECT_TRUE(same_bits(variance.values(), expected_variance.values()));
            EXPECT_TRUE(same_bits(scratch.values(), expected_scratch.values()));
            EXPECT_TRUE(same_bits(denoised.values(), expected_denoised.values()));
        }
}

// Every instruction set and the reference path agree with one another.
TEST(Kernels, AgreeOnTheSameInput)
{
    constexpr std::ptrdiff_t rows = 41, cols = 77;
    std::mt19937_64 rng(28);
    const std::vector<double> values = random_values(rows * cols, rng, 0.05);
    std::vector<std::vector<double>> results;
    for (filter_kernel kernel :
         {filter_kernel::reference, filter_kernel::portable, filter_kernel::avx2,
          filter_kernel::avx2_fma}) {
        if (!kernel_supported(kernel))
            continue;
        test_matrix coeffs(rows, cols), variance(rows, cols), scratch(rows, cols),
            denoised(rows, cols);
        coeffs.assign(values);
        ASSERT_EQ(lawml_filter(coeffs.view, variance.view, scratch.view, denoised.view, 0.5, 1,
                               kernel),
                  lawml_status::ok);
        std::vector<double> all = variance.values();
        for (const test_matrix* m : {&scratch, &denoised})
            all.insert(all.end(), m->storage.begin(), m->storage.end());
        results.push_back(all);
    }
    ASSERT_GE(results.size(), 2u);
    for (std::size_t i = 1; i < results.size(); ++i)
        EXPECT_TRUE(same_bits(results[i], results[0]));
}

INSTANTIATE_TEST_SUITE_P(Sweep, FastKernel,
                         ::testing::Values(filter_kernel::portable, filter_kernel::avx2,
                                           filter_kernel::avx2_fma),
                         [](const auto& info) { return std::string(kernel_name(info.param)); });

}  // namespace
