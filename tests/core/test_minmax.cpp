#include "minmax.h"
#include "support.h"

namespace {

// Ties (+0.0 and -0.0) give the first operand, whatever the C library's fmin
// and fmax would give; a NaN gives the other operand.
TEST(MinMax, TiesGiveTheFirstOperandAndNaNTheOther)
{
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double a, b, expected;
    } pairs[] = {{0.0, -0.0, 0.0}, {-0.0, 0.0, -0.0}, {nan, -0.0, -0.0}, {-0.0, nan, -0.0}};
    for (const auto& p : pairs) {
        EXPECT_EQ(bits(fmin_exact(p.a, p.b)), bits(p.expected)) << p.a << ", " << p.b;
        EXPECT_EQ(bits(fmax_exact(p.a, p.b)), bits(p.expected)) << p.a << ", " << p.b;
    }
    EXPECT_EQ(fmin_exact(1.0, -2.0), -2.0);
    EXPECT_EQ(fmax_exact(1.0, -2.0), 1.0);
    EXPECT_TRUE(std::isnan(fmin_exact(nan, nan)) && std::isnan(fmax_exact(nan, nan)));
}

}  // namespace
