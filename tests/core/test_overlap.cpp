#include "support.h"

#include <limits>
#include <set>

namespace {

constexpr std::ptrdiff_t most = std::numeric_limits<std::ptrdiff_t>::max();
constexpr std::ptrdiff_t least = std::numeric_limits<std::ptrdiff_t>::min();

// Views are only placed, never read: the tests give them made-up addresses.
strided_matrix view(std::uintptr_t address, std::ptrdiff_t rows, std::ptrdiff_t cols,
                    std::ptrdiff_t row_stride, std::ptrdiff_t col_stride)
{
    return {reinterpret_cast<char*>(address), rows, cols, row_stride, col_stride};
}

// Every byte of every element, element after element.
std::vector<std::uintptr_t> bytes_of(const strided_matrix& m)
{
    std::vector<std::uintptr_t> bytes;
    for (std::ptrdiff_t r = 0; r < m.rows; ++r)
        for (std::ptrdiff_t c = 0; c < m.cols; ++c)
            for (std::ptrdiff_t k = 0; k < std::ptrdiff_t{sizeof(double)}; ++k)
                bytes.push_back(reinterpret_cast<std::uintptr_t>(m.data) +
                                static_cast<std::uintptr_t>(r * m.row_stride +
                                                            c * m.col_stride + k));
    return bytes;
}

TEST(Overlap, MatchesByteEnumerationOnRandomLayouts)
{
    std::mt19937_64 rng(41);
    const auto pick = [&rng](std::ptrdiff_t low, std::ptrdiff_t high) {
        return std::uniform_int_distribution<std::ptrdiff_t>(low, high)(rng);
    };
    // Multiples of 8 interleave, of 4 meet half-way; zero and odd strides too.
    const auto stride = [&] { return pick(0, 1) ? 4 * pick(-12, 12) : pick(-40, 40); };
    const auto random_view = [&] {
        const std::ptrdiff_t offset = pick(0, 3) ? 4 * pick(0, 31) : pick(0, 127);
        return view(0x100000 + offset, pick(0, 5), pick(0, 5), stride(), stride());
    };
    int found[2] = {0, 0};
    for (int n = 0; n < 50000; ++n) {
        const strided_matrix a = random_view(), b = random_view();
        const std::vector<std::uintptr_t> in_a = bytes_of(a), in_b = bytes_of(b);
        const std::set<std::uintptr_t> distinct(in_a.begin(), in_a.end());
        bool shared = false;
        for (std::uintptr_t byte : in_b)
            shared = shared || distinct.count(byte) != 0;
        const overlap between = shared ? overlap::found : overlap::none;
        const overlap within = distinct.size() < in_a.size() ? overlap::found : overlap::none;
        ASSERT_EQ(views_overlap(a, b), between) << "case " << n;
        ASSERT_EQ(views_overlap(b, a), between) << "case " << n;
        ASSERT_EQ(elements_overlap(a), within) << "case " << n;
        found[0] += shared;
        found[1] += within == overlap::found;
    }
    // Both answers are common, so neither side of the comparison is idle.
    for (int count : found) {
        EXPECT_GT(count, 10000);
        EXPECT_LT(count, 40000);
    }
}

TEST(Overlap, LargeViewsOfOneBuffer)
{
    // Columns of a 3000 x 4000 row-major buffer: every second from 0 and 1,
    // every third from 0 on every row and from 1 on every second row.
    constexpr std::uintptr_t base = std::uintptr_t{1} << 40;
    constexpr std::ptrdiff_t row = 4000 * 8;
    EXPECT_EQ(views_overlap(view(base, 3000, 2000, row, 16), view(base + 8, 3000, 2000, row, 16)),
              overlap::none);
    EXPECT_EQ(views_overlap(view(base, 3000, 1333, row, 24),
                            view(base + 8, 1500, 1333, 2 * row, 24)),
              overlap::none);
    EXPECT_EQ(views_overlap(view(base, 3000, 4000, row, 8), view(base, 3000, 3000, 8, row)),
              overlap::found);
    EXPECT_EQ(elements_overlap(view(base, 1000, 7, -24, 8 * 1000)), overlap::none);
    EXPECT_EQ(elements_overlap(view(base, 1000, 7, -24, -8 * 1000 + 4)), overlap::found);
    // Dimensions of one element address nothing, whatever their stride.
    EXPECT_EQ(elements_overlap(view(base, 1, 6, least, 8)), overlap::none);
    // Four unrelated strides over long dimensions: too many sums to try.
    EXPECT_EQ(views_overlap(view(base, 100000, 100000, 8 * 1000003, 8 * 7),
                            view(base + 4, 100000, 100000, 8 * 999983, 8 * 13)),
              overlap::undecided);
}

TEST(Overlap, AddressableViewsStayWithinTheAddressSpace)
{
    constexpr std::uintptr_t top = std::numeric_limits<std::uintptr_t>::max();
    constexpr std::ptrdiff_t big = std::ptrdiff_t{1} << 32;
    EXPECT_TRUE(is_addressable(view(0, 2, 1, most - 7, 0)));
    EXPECT_TRUE(is_addressable(view(4096, 513, 1, -8, 0)));
    EXPECT_TRUE(is_addressable(view(top - 7, 1, 2, least, 0)));
    EXPECT_TRUE(is_addressable(view(4096, 0, most, most, least)));
    EXPECT_FALSE(is_addressable(view(0, 2, 1, most - 6, 0)));
    EXPECT_FALSE(is_addressable(view(4096, big, 2, big, 8)));
    EXPECT_FALSE(is_addressable(view(4096, 514, 1, -8, 0)));
    EXPECT_FALSE(is_addressable(view(top - 15, 1, 3, 0, 8)));
}

}  // namespace
