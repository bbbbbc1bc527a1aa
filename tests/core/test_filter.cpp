#include "direct_filter.h"
#include "shrink.h"
#include "support.h"

#include <cmath>
#include <tuple>

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double sentinel = -12345.678;

// The four arrays of one call, square and row-major unless told otherwise.
struct filter_arrays {
    test_matrix coeffs, variance, scratch, denoised;

    filter_arrays(std::ptrdiff_t rows, std::ptrdiff_t cols, const std::vector<double>& values)
        : coeffs(rows, cols), variance(rows, cols, layout::row_major, sentinel),
          scratch(rows, cols, layout::row_major, sentinel),
          denoised(rows, cols, layout::row_major, sentinel)
    {
        coeffs.assign(values);
    }

    lawml_status run(double noise_var, int multiscale)
    {
        return lawml_filter(coeffs.view, variance.view, scratch.view, denoised.view, noise_var,
                            multiscale);
    }
};

TEST(Filter, WorkedThreeByThreeExample)
{
    filter_arrays a(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    ASSERT_EQ(a.run(1.0, 1), lawml_status::ok);

    const double whole = 60.0 / 9.0 - 1.0;
    EXPECT_EQ(element(a.variance.view, 0, 0), 1.5);
    EXPECT_EQ(element(a.variance.view, 1, 1), whole);
    EXPECT_EQ(element(a.denoised.view, 0, 0), 0.6);
    EXPECT_EQ(element(a.denoised.view, 1, 1), 4.25);
    // Every width-9 window covers the whole matrix.
    EXPECT_TRUE(same_bits(a.scratch.values(), std::vector<double>(9, whole)));
}

TEST(Filter, NoiseAboveEveryVarianceGivesSignedZeros)
{
    const std::vector<double> values = {1.5, -2.0, -0.0, 0.0, 3.0, -1e-3, 7.0, -8.0, 0.25};
    filter_arrays a(3, 3, values);
    ASSERT_EQ(a.run(1e6, 1), lawml_status::ok);

    std::vector<double> signed_zeros;
    for (double x : values)
        signed_zeros.push_back(std::signbit(x) ? -0.0 : 0.0);
    EXPECT_TRUE(same_bits(a.variance.values(), std::vector<double>(9, 0.0)));
    EXPECT_TRUE(same_bits(a.denoised.values(), signed_zeros));
}

TEST(Filter, ConstantInputWithNoiseGivesZeros)
{
    filter_arrays a(6, 5, std::vector<double>(30, 5.0));
    ASSERT_EQ(a.run(0.5, 1), lawml_status::ok);
    EXPECT_TRUE(same_bits(a.variance.values(), std::vector<double>(30, 0.0)));
    EXPECT_TRUE(same_bits(a.denoised.values(), std::vector<double>(30, 0.0)));
}

TEST(Filter, NaNNoiseVarianceZeroesEstimatesAndPoisonsShrinkage)
{
    std::mt19937_64 rng(11);
    filter_arrays a(7, 9, random_values(63, rng, 0.0));
    ASSERT_EQ(a.run(nan, 1), lawml_status::ok);
    EXPECT_TRUE(same_bits(a.variance.values(), std::vector<double>(63, 0.0)));
    for (double x : a.denoised.values())
        EXPECT_TRUE(std::isnan(x));
}

TEST(Filter, ZeroNoiseWidthThreeOnlyKeepsCoefficientsWherePositive)
{
    std::mt19937_64 rng(5);
    const std::vector<double> values = random_values(8 * 6, rng, 0.0);
    filter_arrays a(8, 6, values);
    ASSERT_EQ(a.run(0.0, 0), lawml_status::ok);
    const std::vector<double> v = a.variance.values(), d = a.denoised.values();
    for (std::size_t i = 0; i < values.size(); ++i) {
        ASSERT_GT(v[i], 0.0);
        EXPECT_EQ(bits(d[i]), bits((v[i] * values[i]) / v[i]));
        EXPECT_NEAR(d[i], values[i], 1e-15 * std::fabs(values[i]));
    }
}

// A NaN coefficient zeroes every estimate whose window holds it: with all
// four widths, everything within four rows and four columns.
TEST(Filter, NaNCoefficientZeroesEstimatesWithinReach)
{
    constexpr std::ptrdiff_t n = 20, at_r = 10, at_c = 6;
    std::mt19937_64 rng(9);
    std::vector<double> values = random_values(n * n, rng, 0.0);
    values[at_r * n + at_c] = nan;
    filter_arrays a(n, n, values);
    ASSERT_EQ(a.run(0.0, 1), lawml_status::ok);

    for (std::ptrdiff_t r = 0; r < n; ++r)
        for (std::ptrdiff_t c = 0; c < n; ++c) {
            const double v = element(a.variance.view, r, c);
            if (std::abs(r - at_r) <= 4 && std::abs(c - at_c) <= 4)
                EXPECT_EQ(bits(v), bits(0.0)) << r << "," << c;
            else
                EXPECT_GT(v, 0.0) << r << "," << c;
        }
    EXPECT_TRUE(std::isnan(element(a.denoised.view, at_r, at_c)));
}

TEST(Filter, SingleElementEstimatesZero)
{
    for (int multiscale : {0, 1}) {
        filter_arrays a(1, 1, {-3.5});
        ASSERT_EQ(a.run(0.0, multiscale), lawml_status::ok);
        EXPECT_EQ(bits(element(a.variance.view, 0, 0)), bits(0.0));
        EXPECT_EQ(bits(element(a.denoised.view, 0, 0)), bits(created_nan));  // 0 * a / 0
    }
}

// NaNs made by the shrinkage have the same bits on every CPU; NaNs from the
// input are passed on as they are, payload included.
TEST(Filter, ShrinkageNaNsAreTheSameBitsEverywhere)
{
    const double payload = from_bits(0x7FF8'0000'0000'0123);
    struct {
        std::vector<double> values;
        double noise_var, expected;
    } cases[] = {
        {std::vector<double>(12, 2.0), 0.0, created_nan},  // 0 / 0
        {{1.0, 2.0, inf, 4.0, -inf, 6.0, 7.0, 8.0, 9.0, 1.0, 2.0, 3.0}, 1.0, created_nan},  // 0 * inf
        {{1.0, 2.0, payload, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 1.0, 2.0, 3.0}, 1.0, payload},
        {std::vector<double>(12, 2.0), payload, payload},
    };
    for (const auto& c : cases) {
        filter_arrays a(3, 4, c.values);
        ASSERT_EQ(a.run(c.noise_var, 1), lawml_status::ok);
        EXPECT_EQ(bits(element(a.denoised.view, 0, 2)), bits(c.expected));
    }
}

class NotMultiscale : public ::testing::TestWithParam<int> {};

TEST_P(NotMultiscale, UsesWidthThreeAloneAndLeavesScratch)
{
    std::mt19937_64 rng(13);
    const std::vector<double> values = random_values(10 * 12, rng);
    filter_arrays a(10, 12, values), expected(10, 12, values);
    ASSERT_EQ(a.run(0.75, GetParam()), lawml_status::ok);
    direct_filter(expected.coeffs.view, expected.variance.view, expected.scratch.view,
                  expected.denoised.view, 0.75, 0);

    EXPECT_TRUE(same_bits(a.variance.values(), expected.variance.values()));
    EXPECT_TRUE(same_bits(a.denoised.values(), expected.denoised.values()));
    EXPECT_TRUE(same_bits(a.scratch.storage, std::vector<double>(120, sentinel)));
}

INSTANTIATE_TEST_SUITE_P(Filter, NotMultiscale, ::testing::Values(0, 2, -1));

TEST(Filter, EmptyShapesTouchNothing)
{
    // Null data: any read or write would crash.
    for (auto [rows, cols] : {std::pair{0, 0}, std::pair{0, 5}, std::pair{4, 0}}) {
        const strided_matrix empty{nullptr, rows, cols, 8 * cols, 8};
        for (int multiscale : {0, 1})
            EXPECT_EQ(lawml_filter(empty, empty, empty, empty, 1.0, multiscale), lawml_status::ok);
    }
}

TEST(Filter, DenoisedMayBeCoeffs)
{
    std::mt19937_64 rng(17);
    const std::vector<double> values = random_values(15 * 13, rng);
    filter_arrays separate(15, 13, values), in_place(15, 13, values);
    ASSERT_EQ(separate.run(0.3, 1), lawml_status::ok);
    ASSERT_EQ(lawml_filter(in_place.coeffs.view, in_place.variance.view, in_place.scratch.view,
                           in_place.coeffs.view, 0.3, 1),
              lawml_status::ok);
    EXPECT_TRUE(same_bits(in_place.coeffs.values(), separate.denoised.values()));
    EXPECT_TRUE(same_bits(in_place.variance.values(), separate.variance.values()));
}

// Outputs larger than coeffs keep what lies beyond coeffs, except that the
// minimum sweeps all of variance against scratch.
TEST(Filter, LargerOutputsKeepValuesBeyondCoeffs)
{
    constexpr std::ptrdiff_t rows = 5, cols = 6;
    std::mt19937_64 rng(19);
    for (int multiscale : {0, 1}) {
        test_matrix coeffs(rows, cols), variance(7, 9), scratch(8, 10), denoised(6, 7);
        coeffs.assign(random_values(rows * cols, rng));
        variance.assign(random_values(7 * 9, rng, 0.3));
        scratch.assign(random_values(8 * 10, rng, 0.3));
        denoised.assign(random_values(6 * 7, rng, 0.3));
        const std::vector<double> scratch_before = scratch.values(),
                                  denoised_before = denoised.values();

        test_matrix expected_variance(7, 9), expected_scratch(8, 10), expected_denoised(6, 7);
        expected_variance.assign(variance.values());
        expected_scratch.assign(scratch_before);
        expected_denoised.assign(denoised_before);
        direct_filter(coeffs.view, expected_variance.view, expected_scratch.view,
                      expected_denoised.view, 0.5, multiscale);

        ASSERT_EQ(lawml_filter(coeffs.view, variance.view, scratch.view, denoised.view, 0.5,
                               multiscale),
                  lawml_status::ok);
        EXPECT_TRUE(same_bits(variance.values(), expected_variance.values()));
        EXPECT_TRUE(same_bits(scratch.values(), expected_scratch.values()));
        EXPECT_TRUE(same_bits(denoised.values(), expected_denoised.values()));
        // Beyond coeffs, denoised is never written.
        for (std::ptrdiff_t r = 0; r < 6; ++r) {
            for (std::ptrdiff_t c = 0; c < 7; ++c) {
                if (r >= rows || c >= cols) {
                    EXPECT_EQ(bits(element(denoised.view, r, c)), bits(denoised_before[r * 7 + c]));
                }
            }
        }
    }
}

// The library against the direct restatement, bit for bit, over shapes,
// layouts of each array, noise variances and both modes.
layout next(layout l)
{
    return static_cast<layout>((static_cast<int>(l) + 1) % 4);
}

using comparison_case = std::tuple<std::pair<int, int>, layout, double>;
class AgainstDirect : public ::testing::TestWithParam<comparison_case> {};

TEST_P(AgainstDirect, BitForBit)
{
    const auto [shape, lay, noise_var] = GetParam();
    const auto [rows, cols] = shape;
    std::mt19937_64 rng(rows * 1000 + cols);
    const std::vector<double> values = random_values(rows * cols, rng, 0.03);

    for (int multiscale : {0, 1}) {
        test_matrix coeffs(rows, cols, lay), variance(rows, cols, next(lay), sentinel),
            scratch(rows, cols, next(next(lay)), sentinel), denoised(rows, cols, lay, sentinel);
        filter_arrays expected(rows, cols, values);
        coeffs.assign(values);
        ASSERT_EQ(lawml_filter(coeffs.view, variance.view, scratch.view, denoised.view,
                               noise_var, multiscale),
                  lawml_status::ok);
        direct_filter(expected.coeffs.view, expected.variance.view, expected.scratch.view,
                      expected.denoised.view, noise_var, multiscale);
        EXPECT_TRUE(same_bits(variance.values(), expected.variance.values()))
            << "multiscale " << multiscale;
        EXPECT_TRUE(same_bits(scratch.values(), expected.scratch.values()))
            << "multiscale " << multiscale;
        EXPECT_TRUE(same_bits(denoised.values(), expected.denoised.values()))
            << "multiscale " << multiscale;
        EXPECT_TRUE(same_bits(coeffs.values(), values));
    }
}

std::string comparison_name(const ::testing::TestParamInfo<comparison_case>& info)
{
    const auto [shape, lay, noise_var] = info.param;
    const std::string noise = std::isnan(noise_var)   ? "nan"
                              : std::isinf(noise_var) ? "inf"
                              : noise_var < 0         ? "minus" + std::to_string(int(-noise_var * 10))
                                                      : std::to_string(int(noise_var * 10));
    return std::to_string(shape.first) + "x" + std::to_string(shape.second) + "_" +
           layout_name(lay) + "_noise_" + noise;
}

INSTANTIATE_TEST_SUITE_P(
    Filter, AgainstDirect,
    ::testing::Combine(::testing::Values(std::pair{1, 1}, std::pair{1, 17}, std::pair{13, 1},
                                         std::pair{2, 50}, std::pair{9, 9}, std::pair{23, 31}),
                       ::testing::Values(layout::row_major, layout::column_major,
                                         layout::reversed, layout::stepped),
                       ::testing::Values(0.0, 0.5, -1.0, nan, inf)),
    comparison_name);

}  // namespace
