#include "support.h"

#include <limits>
#include <set>

namespace {

constexpr std::ptrdiff_t item = sizeof(double);
constexpr std::ptrdiff_t ptrdiff_max = std::numeric_limits<std::ptrdiff_t>::max();

// Views are only placed, never read: the tests give them made-up addresses.
char* address(std::uintptr_t a)
{
    return reinterpret_cast<char*>(a);
}

std::vector<std::uintptr_t> element_starts(const strided_matrix& m)
{
    std::vector<std::uintptr_t> starts;
    for (std::ptrdiff_t r = 0; r < m.rows; ++r)
        for (std::ptrdiff_t c = 0; c < m.cols; ++c)
            starts.push_back(reinterpret_cast<std::uintptr_t>(m.data) +
                             static_cast<std::uintptr_t>(r * m.row_stride + c * m.col_stride));
    return starts;
}

bool bytes_shared(const strided_matrix& a, const strided_matrix& b)
{
    std::set<std::uintptr_t> bytes;
    for (std::uintptr_t start : element_starts(a))
        for (std::ptrdiff_t k = 0; k < item; ++k)
            bytes.insert(start + k);
    for (std::uintptr_t start : element_starts(b))
        for (std::ptrdiff_t k = 0; k < item; ++k)
            if (bytes.count(start + k) != 0)
                return true;
    return false;
}

bool elements_collide(const strided_matrix& m)
{
    const std::vector<std::uintptr_t> starts = element_starts(m);
    for (std::size_t i = 0; i < starts.size(); ++i)
        for (std::size_t j = i + 1; j < starts.size(); ++j)
            if (starts[i] - starts[j] + (item - 1) < 2 * item - 1)  // |difference| < item
                return true;
    return false;
}

overlap expected(bool found)
{
    return found ? overlap::found : overlap::none;
}

// Small views around one address: strides of any sign, zero, multiples of 4
// and 8 (so that views interleave) or anything, bases 4-byte aligned or not.
strided_matrix random_view(std::mt19937_64& rng)
{
    const auto pick = [&rng](std::ptrdiff_t low, std::ptrdiff_t high) {
        return std::uniform_int_distribution<std::ptrdiff_t>(low, high)(rng);
    };
    const auto stride = [&]() {
        switch (pick(0, 3)) {
        case 0: return 8 * pick(-6, 6);
        case 1: return 4 * pick(-12, 12);
        case 2: return pick(-40, 40);
        default: return std::ptrdiff_t{0};
        }
    };
    const std::ptrdiff_t offset = pick(0, 3) == 0 ? pick(0, 127) : 4 * pick(0, 31);
    return {address(0x100000 + offset), pick(0, 5), pick(0, 5), stride(), stride()};
}

TEST(Overlap, MatchesByteEnumerationOnRandomLayouts)
{
    std::mt19937_64 rng(41);
    int shared = 0, colliding = 0;
    for (int n = 0; n < 100000; ++n) {
        const strided_matrix a = random_view(rng), b = random_view(rng);
        ASSERT_TRUE(is_addressable(a));
        const bool share = bytes_shared(a, b), collide = elements_collide(a);
        ASSERT_EQ(views_overlap(a, b), expected(share))
            << a.rows << "x" << a.cols << " (" << a.row_stride << ", " << a.col_stride << ") vs "
            << b.rows << "x" << b.cols << " (" << b.row_stride << ", " << b.col_stride
            << "), bases " << static_cast<void*>(a.data) << ", " << static_cast<void*>(b.data);
        ASSERT_EQ(views_overlap(b, a), expected(share));
        ASSERT_EQ(elements_overlap(a), expected(collide))
            << a.rows << "x" << a.cols << " (" << a.row_stride << ", " << a.col_stride << ")";
        shared += share;
        colliding += collide;
    }
    // Both answers are common, so neither side of the comparison is idle.
    EXPECT_GT(shared, 20000);
    EXPECT_LT(shared, 80000);
    EXPECT_GT(colliding, 20000);
    EXPECT_LT(colliding, 80000);
}

// Views of a large row-major buffer of rows x 2 * cols doubles.
struct buffer_views {
    static constexpr std::ptrdiff_t rows = 3000, cols = 2000;
    std::uintptr_t base = std::uintptr_t{1} << 40;

    strided_matrix view(std::ptrdiff_t first_col, std::ptrdiff_t col_step,
                        std::ptrdiff_t first_row = 0, std::ptrdiff_t row_step = 1) const
    {
        return {address(base + (first_row * 2 * cols + first_col) * item),
                (rows - first_row + row_step - 1) / row_step,
                (2 * cols - first_col + col_step - 1) / col_step, row_step * 2 * cols * item,
                col_step * item};
    }
};

TEST(Overlap, InterleavedAndSteppedViewsOfOneBuffer)
{
    const buffer_views b;
    const strided_matrix even = b.view(0, 2), odd = b.view(1, 2), every = b.view(0, 1);
    EXPECT_EQ(views_overlap(even, odd), overlap::none);
    EXPECT_EQ(views_overlap(even, every), overlap::found);
    EXPECT_EQ(views_overlap(odd, b.view(3, 2)), overlap::found);
    EXPECT_EQ(views_overlap(b.view(0, 3), b.view(1, 3)), overlap::none);
    EXPECT_EQ(views_overlap(b.view(0, 1, 0, 2), b.view(0, 1, 1, 2)), overlap::none);
    EXPECT_EQ(views_overlap(b.view(0, 2, 0, 2), b.view(1, 3, 1, 3)), overlap::found);
    EXPECT_EQ(views_overlap(b.view(0, 2, 0, 2), b.view(1, 2, 1, 3)), overlap::none);
    for (const strided_matrix& m : {even, odd, every, b.view(5, 7, 3, 11)})
        EXPECT_EQ(elements_overlap(m), overlap::none);
}

TEST(Overlap, TransposeAndHalvesOfASquare)
{
    constexpr std::ptrdiff_t n = 4000;
    const std::uintptr_t base = std::uintptr_t{1} << 40;
    const strided_matrix square{address(base), n, n, n * item, item};
    const strided_matrix transposed{address(base), n, n, item, n * item};
    const strided_matrix left{address(base), n, n / 2, n * item, item};
    const strided_matrix right{address(base + n / 2 * item), n, n / 2, n * item, item};
    EXPECT_EQ(views_overlap(square, transposed), overlap::found);
    EXPECT_EQ(views_overlap(left, right), overlap::none);
    EXPECT_EQ(views_overlap(left, transposed), overlap::found);
}

TEST(Overlap, ElementsOfDistinctButTangledLayouts)
{
    const std::uintptr_t base = std::uintptr_t{1} << 40;
    // Rows 16 bytes apart, columns 24: starts 0, 24, 16, 40, 32, 56.
    EXPECT_EQ(elements_overlap({address(base), 3, 2, 16, 24}), overlap::none);
    // Rows 8 bytes apart, columns 16: (0, 1) and (2, 0) both start at 16.
    EXPECT_EQ(elements_overlap({address(base), 3, 2, 8, 16}), overlap::found);
    // Negative strides and rows that fall between the columns of the row above.
    EXPECT_EQ(elements_overlap({address(base), 1000, 7, -24, 8 * 1000}), overlap::none);
    EXPECT_EQ(elements_overlap({address(base), 1000, 7, -24, -8 * 1000 + 4}), overlap::found);
}

TEST(Overlap, DimensionsOfOneElementAndEmptyViews)
{
    const std::uintptr_t base = std::uintptr_t{1} << 40;
    constexpr std::ptrdiff_t most_negative = std::numeric_limits<std::ptrdiff_t>::min();
    const strided_matrix row{address(base), 1, 6, most_negative, item};
    const strided_matrix column{address(base), 6, 1, item, 0};
    EXPECT_TRUE(is_addressable(row));
    EXPECT_EQ(elements_overlap(row), overlap::none);
    EXPECT_EQ(elements_overlap(column), overlap::none);
    EXPECT_EQ(views_overlap(row, column), overlap::found);
    EXPECT_EQ(views_overlap(row, {address(base + 6 * item), 1, 6, 0, item}), overlap::none);

    const strided_matrix empty{address(base), 0, 6, 0, 0};
    EXPECT_TRUE(is_addressable({address(base), 0, ptrdiff_max, ptrdiff_max, most_negative}));
    EXPECT_EQ(elements_overlap(empty), overlap::none);
    EXPECT_EQ(views_overlap(empty, row), overlap::none);
    EXPECT_EQ(elements_overlap({address(base), 2, 3, 0, item}), overlap::found);
}

TEST(Overlap, GivesUpOnlyOnIntricateLayouts)
{
    // Four unrelated large strides over long dimensions: too many sums to try.
    const std::uintptr_t base = std::uintptr_t{1} << 40;
    const strided_matrix a{address(base), 100000, 100000, 8 * 1000003, 8 * 7};
    const strided_matrix b{address(base + 4), 100000, 100000, 8 * 999983, 8 * 13};
    EXPECT_EQ(views_overlap(a, b), overlap::undecided);
}

struct extent_case {
    const char* name;
    std::uintptr_t base;
    std::ptrdiff_t rows, cols, row_stride, col_stride;
    bool addressable;
};

class Addressable : public ::testing::TestWithParam<extent_case> {};

TEST_P(Addressable, RefusesExtentsThatWrap)
{
    const extent_case e = GetParam();
    EXPECT_EQ(is_addressable({address(e.base), e.rows, e.cols, e.row_stride, e.col_stride}),
              e.addressable);
}

constexpr std::uintptr_t top = std::numeric_limits<std::uintptr_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Extents, Addressable,
    ::testing::Values(
        extent_case{"ordinary", 4096, 100, 100, 800, 8, true},
        extent_case{"product_overflows", 4096, std::ptrdiff_t{1} << 40, 2, std::ptrdiff_t{1} << 30,
                    8, false},
        extent_case{"sum_overflows", 4096, 2, 2, ptrdiff_max / 2, ptrdiff_max / 2, false},
        extent_case{"largest_extent", 0, 2, 1, ptrdiff_max - (item - 1), 0, true},
        extent_case{"one_byte_more", 0, 2, 1, ptrdiff_max - (item - 2), 0, false},
        extent_case{"below_address_zero", 4096, 1000, 1, -8, 8, false},
        extent_case{"down_to_address_zero", 4096, 513, 1, -8, 8, true},
        extent_case{"last_byte_at_the_top", top - 7, 1, 1, 8, 8, true},
        extent_case{"past_the_top", top - 15, 1, 3, 8, 8, false},
        extent_case{"unit_dimension_ignored", 4096, 1, 3,
                    std::numeric_limits<std::ptrdiff_t>::min(), 8, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
