#include "minmax.h"
#include "support.h"

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct pair_case {
    double a, b, min, max;
};

class MinMax : public ::testing::TestWithParam<pair_case> {};

TEST_P(MinMax, FollowsTheLibraryRule)
{
    const pair_case p = GetParam();
    EXPECT_EQ(bits(fmin_exact(p.a, p.b)), bits(p.min));
    EXPECT_EQ(bits(fmax_exact(p.a, p.b)), bits(p.max));
}

// Ties give the first operand, whatever the C library's fmin would give;
// a NaN gives the other operand.
INSTANTIATE_TEST_SUITE_P(
    Pairs, MinMax,
    ::testing::Values(pair_case{0.0, -0.0, 0.0, 0.0}, pair_case{-0.0, 0.0, -0.0, -0.0},
                      pair_case{1.0, -2.0, -2.0, 1.0}, pair_case{-2.0, 1.0, -2.0, 1.0},
                      pair_case{nan, -0.0, -0.0, -0.0}, pair_case{-0.0, nan, -0.0, -0.0},
                      pair_case{nan, 3.0, 3.0, 3.0}, pair_case{3.0, nan, 3.0, 3.0}));

TEST(MinMax, BothNaNGiveNaN)
{
    EXPECT_TRUE(std::isnan(fmin_exact(nan, nan)));
    EXPECT_TRUE(std::isnan(fmax_exact(nan, nan)));
}

}  // namespace
