#include "allocation.h"
#include "support.h"

#include <cmath>
#include <cstdlib>
#include <tuple>

namespace {

// Encodes a source position in its value so a block shows where it came from.
double position_value(std::ptrdiff_t r, std::ptrdiff_t c)
{
    return 1000.0 * static_cast<double>(r) + static_cast<double>(c);
}

void fill_with_positions(test_matrix& m)
{
    for (std::ptrdiff_t r = 0; r < m.view.rows; ++r)
        for (std::ptrdiff_t c = 0; c < m.view.cols; ++c)
            element(m.view, r, c) = position_value(r, c);
}

std::vector<double> block_values(const window_block& block)
{
    std::vector<double> out;
    for (std::int32_t i = 0; i < block.nrows; ++i)
        out.insert(out.end(), block.row_ptrs[i], block.row_ptrs[i] + block.ncols);
    return out;
}

struct clip_case {
    std::ptrdiff_t rows, cols;
    int width;
    std::ptrdiff_t r, c;
    std::ptrdiff_t row_start, nrows, col_start, ncols;
};

class WindowClipping : public ::testing::TestWithParam<clip_case> {};

TEST_P(WindowClipping, CopiesTheClippedNeighbourhood)
{
    const clip_case k = GetParam();
    test_matrix m(k.rows, k.cols);
    fill_with_positions(m);

    window_block block{};
    ASSERT_EQ(extract_window(m.view, k.width, k.r, k.c, block), lawml_status::ok);
    ASSERT_EQ(block.nrows, k.nrows);
    ASSERT_EQ(block.ncols, k.ncols);
    for (std::int32_t i = 0; i < block.nrows; ++i)
        for (std::int32_t j = 0; j < block.ncols; ++j)
            EXPECT_EQ(block.row_ptrs[i][j], position_value(k.row_start + i, k.col_start + j))
                << "block element " << i << "," << j;
    release_window(block);
}

INSTANTIATE_TEST_SUITE_P(
    Extraction, WindowClipping,
    ::testing::Values(clip_case{6, 7, 3, 2, 3, 1, 3, 2, 3},          // interior, centred
                      clip_case{100, 100, 9, 0, 0, 0, 5, 0, 5},      // corner, width 9
                      clip_case{100, 100, 5, 99, 99, 97, 3, 97, 3},  // far corner
                      clip_case{1, 1, 1, 0, 0, 0, 1, 0, 1},          // 1 x 1, any width
                      clip_case{1, 1, 3, 0, 0, 0, 1, 0, 1},
                      clip_case{1, 1, 9, 0, 0, 0, 1, 0, 1},
                      clip_case{2, 50, 7, 1, 25, 0, 2, 22, 7},       // fewer rows than the width
                      clip_case{9, 1, 5, 4, 0, 2, 5, 0, 1},
                      clip_case{20, 20, 7, 10, 19, 7, 7, 16, 4}),
    [](const auto& info) {
        const clip_case& k = info.param;
        return std::to_string(k.rows) + "x" + std::to_string(k.cols) + "_width" +
               std::to_string(k.width) + "_at_" + std::to_string(k.r) + "_" + std::to_string(k.c);
    });

class WindowLayouts : public ::testing::TestWithParam<layout> {};

// A transposed, reversed or stepped view yields the blocks of a contiguous
// copy of the same logical matrix.
TEST_P(WindowLayouts, MatchContiguousCopy)
{
    constexpr std::ptrdiff_t rows = 11, cols = 7;
    std::mt19937_64 rng(7);
    const std::vector<double> values = random_values(rows * cols, rng, 0.2);
    test_matrix strided(rows, cols, GetParam());
    test_matrix contiguous(rows, cols);
    strided.assign(values);
    contiguous.assign(values);

    for (int width = 1; width <= 9; width += 2)
        for (std::ptrdiff_t r = 0; r < rows; ++r)
            for (std::ptrdiff_t c = 0; c < cols; ++c) {
                window_block a{}, b{};
                ASSERT_EQ(extract_window(strided.view, width, r, c, a), lawml_status::ok);
                ASSERT_EQ(extract_window(contiguous.view, width, r, c, b), lawml_status::ok);
                ASSERT_EQ(a.nrows, b.nrows);
                ASSERT_EQ(a.ncols, b.ncols);
                EXPECT_TRUE(same_bits(block_values(a), block_values(b)))
                    << "width " << width << " at " << r << "," << c;
                release_window(a);
                release_window(b);
            }
}

INSTANTIATE_TEST_SUITE_P(Extraction, WindowLayouts,
                         ::testing::Values(layout::column_major, layout::reversed,
                                           layout::stepped),
                         [](const auto& info) { return layout_name(info.param); });

TEST(Extraction, CopiesSpecialValuesBitForBit)
{
    double signalling_nan, payload_nan;
    const std::uint64_t snan_bits = 0x7ff0000000000123ull, qnan_bits = 0xfff8000000abcdefull;
    std::memcpy(&signalling_nan, &snan_bits, sizeof signalling_nan);
    std::memcpy(&payload_nan, &qnan_bits, sizeof payload_nan);
    const std::vector<double> values = {signalling_nan, -0.0, payload_nan,
                                        -std::numeric_limits<double>::infinity()};
    test_matrix m(2, 2, layout::column_major);
    m.assign(values);

    window_block block{};
    ASSERT_EQ(extract_window(m.view, 3, 0, 0, block), lawml_status::ok);
    EXPECT_TRUE(same_bits(block_values(block), values));
    release_window(block);
}

// Allocation hooks that record what was allocated and freed, and can make the
// n-th allocation fail.
struct allocation_log {
    static inline std::vector<void*> allocated, freed;
    static inline int fail_at = -1;  // index of the allocation that fails

    static void* allocate(std::size_t bytes)
    {
        if (static_cast<int>(allocated.size()) == fail_at) {
            fail_at = -1;
            return nullptr;
        }
        void* p = std::malloc(bytes);
        allocated.push_back(p);
        return p;
    }
    static void release(void* p)
    {
        freed.push_back(p);
        std::free(p);
    }
};

class Allocation : public ::testing::Test {
protected:
    void SetUp() override
    {
        allocation_log::allocated.clear();
        allocation_log::freed.clear();
        allocation_log::fail_at = -1;
        previous_ = set_allocation_hooks({allocation_log::allocate, allocation_log::release});
    }
    void TearDown() override { set_allocation_hooks(previous_); }

    allocation_hooks previous_{};
};

TEST_F(Allocation, ReleaseFreesEveryRowThenThePointerArray)
{
    test_matrix m(100, 100);
    window_block block{};
    ASSERT_EQ(extract_window(m.view, 9, 50, 0, block), lawml_status::ok);
    ASSERT_EQ(block.nrows, 9);
    EXPECT_EQ(allocation_log::allocated.size(), 10u);

    std::vector<void*> expected(block.row_ptrs, block.row_ptrs + block.nrows);
    expected.push_back(block.row_ptrs);
    release_window(block);
    EXPECT_EQ(allocation_log::freed, expected);
}

// Whichever allocation fails, extraction reports it, frees what it already
// had and leaves the caller's block alone.
TEST_F(Allocation, FailedExtractionFreesWhatItHad)
{
    test_matrix m(10, 10);
    for (int failing = 0; failing < 6; ++failing) {  // a 5 x 3 block needs 6
        allocation_log::allocated.clear();
        allocation_log::freed.clear();
        allocation_log::fail_at = failing;
        double* sentinel_rows[1] = {nullptr};
        window_block block{sentinel_rows, -7, -9};

        EXPECT_EQ(extract_window(m.view, 5, 4, 9, block), lawml_status::out_of_memory);
        EXPECT_EQ(block.row_ptrs, sentinel_rows);
        EXPECT_EQ(block.nrows, -7);
        EXPECT_EQ(block.ncols, -9);
        EXPECT_EQ(allocation_log::allocated.size(), static_cast<std::size_t>(failing));
        EXPECT_EQ(allocation_log::freed.size(), allocation_log::allocated.size());
    }
}

TEST_F(Allocation, ReferenceFilterReportsOutOfMemoryAndLeaksNothing)
{
    constexpr std::ptrdiff_t n = 12;
    test_matrix coeffs(n, n), variance(n, n), scratch(n, n), denoised(n, n);
    std::mt19937_64 rng(3);
    coeffs.assign(random_values(n * n, rng));
    for (int failing : {0, 1, 2, 500, 2000}) {
        allocation_log::allocated.clear();
        allocation_log::freed.clear();
        allocation_log::fail_at = failing;
        EXPECT_EQ(lawml_filter(coeffs.view, variance.view, scratch.view, denoised.view, 1.0, 1,
                               filter_kernel::reference),
                  lawml_status::out_of_memory)
            << "failing allocation " << failing;
        EXPECT_EQ(allocation_log::freed.size(), allocation_log::allocated.size());
    }
}

// The fast kernels allocate once per call, before writing anything.
TEST_F(Allocation, FastFilterFailsBeforeWritingAnything)
{
    constexpr std::ptrdiff_t n = 40;
    constexpr double sentinel = 99.0;
    std::mt19937_64 rng(4);
    for (filter_kernel kernel :
         {filter_kernel::portable, filter_kernel::avx2, filter_kernel::avx2_fma}) {
        if (!kernel_supported(kernel))
            continue;
        test_matrix coeffs(n, n), variance(n, n, layout::row_major, sentinel),
            scratch(n, n, layout::row_major, sentinel), denoised(n, n, layout::row_major, sentinel);
        coeffs.assign(random_values(n * n, rng));
        allocation_log::fail_at = 0;
        EXPECT_EQ(lawml_filter(coeffs.view, variance.view, scratch.view, denoised.view, 1.0, 1,
                               kernel),
                  lawml_status::out_of_memory);
        for (const test_matrix* m : {&variance, &scratch, &denoised})
            EXPECT_TRUE(same_bits(m->storage, std::vector<double>(n * n, sentinel)));

        EXPECT_EQ(lawml_filter(coeffs.view, variance.view, scratch.view, denoised.view, 1.0, 1,
                               kernel),
                  lawml_status::ok);
        EXPECT_EQ(allocation_log::allocated.size(), 1u);
        EXPECT_EQ(allocation_log::freed, allocation_log::allocated);
        allocation_log::allocated.clear();
        allocation_log::freed.clear();
    }
}

struct variance_case {
    const char* name;
    std::int32_t nrows, ncols;
    std::vector<double> values;
    double variance;
    std::vector<double> squared_deviations;
};

class BlockVariance : public ::testing::TestWithParam<variance_case> {};

TEST_P(BlockVariance, TwoPassPopulationVariance)
{
    variance_case k = GetParam();
    std::vector<double*> rows;
    for (std::int32_t i = 0; i < k.nrows; ++i)
        rows.push_back(k.values.data() + i * k.ncols);

    const double result = block_variance(rows.data(), k.nrows, k.ncols);
    EXPECT_EQ(bits(result), bits(k.variance)) << result << " vs " << k.variance;
    EXPECT_TRUE(same_bits(k.values, k.squared_deviations));
}

INSTANTIATE_TEST_SUITE_P(
    Variance, BlockVariance,
    ::testing::Values(
        variance_case{"single", 1, 1, {7.5}, 0.0, {0.0}},
        variance_case{"two_by_two", 2, 2, {1, 2, 3, 4}, 1.25, {2.25, 0.25, 0.25, 2.25}},
        variance_case{"equal_fives", 3, 3, std::vector<double>(9, 5.0), 0.0,
                      std::vector<double>(9, 0.0)},
        variance_case{"equal_halves", 2, 2, std::vector<double>(4, -0.5), 0.0,
                      std::vector<double>(4, 0.0)},
        variance_case{"one_to_nine", 3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9}, 60.0 / 9.0,
                      {16, 9, 4, 1, 0, 1, 4, 9, 16}},
        variance_case{"row", 1, 3, {-1, 0, 4}, 14.0 / 3.0, {4, 1, 9}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Variance, NaNOrInfinityGivesNaN)
{
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (std::vector<double> values : {std::vector<double>{1, nan, 2, 3},
                                       std::vector<double>{inf, 1, 2, 3},
                                       std::vector<double>{-inf, 1, 2, 3},
                                       std::vector<double>{inf, -inf, 0, 0}}) {
        double* rows[2] = {values.data(), values.data() + 2};
        EXPECT_TRUE(std::isnan(block_variance(rows, 2, 2)));
    }
}

// Under double arithmetic, equal values whose sum is inexact leave a tiny
// positive variance; that is the defined result, not zero.
TEST(Variance, InexactSumOfEqualValues)
{
    std::vector<double> values(9, 0.1);
    double* rows[3] = {values.data(), values.data() + 3, values.data() + 6};
    double sum = 0.0;
    for (int i = 0; i < 9; ++i)
        sum += 0.1;
    const double deviation = 0.1 - sum / 9.0;
    double total = 0.0;
    for (int i = 0; i < 9; ++i)
        total += deviation * deviation;
    const double result = block_variance(rows, 3, 3);
    EXPECT_GT(result, 0.0);
    EXPECT_EQ(bits(result), bits(total / 9.0));
}

}  // namespace
