// Exact overlap tests for strided views of doubles.
//
// Element (i, j) starts at data + i * row_stride + j * col_stride. Turning
// every stride positive (index i becomes rows - 1 - i) and moving one view's
// indices to the other side makes "do these share a byte?" the question
// whether a sum of terms step_k * x_k, each x_k in [0, bound_k], lies in a
// given interval of 15 values (two elements overlap when their starts are
// less than 8 bytes apart). Up to two terms are settled in closed form with
// Euclid's algorithm; with more, the terms are split into two such groups and
// the sums of one group that could matter, all multiples of its steps'
// greatest common divisor, are tried one by one.
#include "lawml.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

namespace {

using u64 = std::uint64_t;
constexpr u64 item = sizeof(double);
constexpr u64 ptrdiff_max = std::numeric_limits<std::ptrdiff_t>::max();
// Sums tried before giving up: a few milliseconds at most. Pairs of views of
// one buffer by slicing, stepping and transposing stay far below it.
constexpr u64 work_limit = u64{1} << 14;

u64 magnitude(std::ptrdiff_t stride)
{
    return stride < 0 ? u64{0} - static_cast<u64>(stride) : static_cast<u64>(stride);
}

u64 ceil_div(u64 a, u64 b)
{
    return a / b + (a % b != 0);
}

u64 gcd(u64 a, u64 b)
{
    while (b != 0)
        a = std::exchange(b, a % b);
    return a;
}

// The first multiple of g (> 0) in [lo, hi], or hi + 1 when there is none.
// (Every hi here lies well below 2^64.)
u64 first_multiple(u64 g, u64 lo, u64 hi)
{
    if (lo > hi)
        return hi + 1;
    if (lo % g == 0)
        return lo;
    const u64 gap = g - lo % g;
    return gap > hi - lo ? hi + 1 : lo + gap;
}

// step * x for some x in [0, bound].
struct term {
    u64 step, bound;
};

// Up to four terms, no two with the same step.
struct terms {
    term t[4];
    int count = 0;

    // The term of one dimension of `length` elements; dimensions that
    // address a single place add nothing.
    void add(std::ptrdiff_t length, std::ptrdiff_t stride)
    {
        if (length < 2 || stride == 0)
            return;
        const u64 step = magnitude(stride), bound = static_cast<u64>(length) - 1;
        for (int k = 0; k < count; ++k)
            if (t[k].step == step) {
                t[k].bound += bound;
                return;
            }
        t[count++] = {step, bound};
    }

    u64 reach() const
    {
        u64 most = 0;
        for (int k = 0; k < count; ++k)
            most += t[k].step * t[k].bound;
        return most;
    }

    u64 divisor() const
    {
        u64 g = 0;
        for (int k = 0; k < count; ++k)
            g = gcd(g, t[k].step);
        return g;
    }
};

// (a * b) mod m for a, b < m <= 2^63, without overflow.
u64 times_modulo(u64 a, u64 b, u64 m)
{
    u64 product = 0;
    for (; b != 0; b >>= 1) {
        if (b & 1) {
            product += a;
            if (product >= m)
                product -= m;
        }
        a += a;
        if (a >= m)
            a -= m;
    }
    return product;
}

// The x in [0, m) with a * x = 1 modulo m, for a coprime to m (m <= 2^63).
u64 inverse_modulo(u64 a, u64 m)
{
    // Extended Euclid; the coefficients stay within m in magnitude.
    std::int64_t t = 0, next_t = 1;
    u64 r = m, next_r = a % m;
    while (next_r != 0) {
        const u64 q = r / next_r;
        t = std::exchange(next_t, t - static_cast<std::int64_t>(q) * next_t);
        r = std::exchange(next_r, r - q * next_r);
    }
    return t < 0 ? static_cast<u64>(t + static_cast<std::int64_t>(m)) : static_cast<u64>(t);
}

// Whether a.step * x + b.step * y lies in [lo, hi] for some x and y within
// their bounds. For each multiple z of g = gcd(a.step, b.step) in the
// interval, the x solving the equation are those congruent to one residue
// modulo b.step / g; one must fall where y = (z - a.step * x) / b.step lies
// within [0, b.bound].
bool two_terms_reach(term a, term b, u64 lo, u64 hi)
{
    const u64 g = gcd(a.step, b.step), period = b.step / g;
    const u64 inverse = inverse_modulo(a.step / g, period);
    const u64 b_most = b.step * b.bound;
    u64 z = first_multiple(g, lo, hi);
    if (z > hi)
        return false;
    const u64 last = z + (hi - z) / g * g;
    u64 residue = times_modulo(z / g % period, inverse, period);
    for (;; z += g) {
        const u64 x_lo = z > b_most ? ceil_div(z - b_most, a.step) : 0;
        const u64 x_hi = std::min(a.bound, z / a.step);
        if (x_lo <= x_hi && x_lo + (residue + period - x_lo % period) % period <= x_hi)
            return true;
        if (z == last)
            return false;
        residue += inverse;
        if (residue >= period)
            residue -= period;
    }
}

// Whether at most two terms can sum to a value in [lo, hi].
bool settles(const terms& s, u64 lo, u64 hi)
{
    switch (s.count) {
    case 0: return lo == 0;
    case 1: return ceil_div(lo, s.t[0].step) <= std::min(s.t[0].bound, hi / s.t[0].step);
    default: return two_terms_reach(s.t[0], s.t[1], lo, hi);
    }
}

// Whether the terms can sum to a value in [lo, hi].
overlap reaches(const terms& all, u64 lo, u64 hi)
{
    if (lo > all.reach() || (all.count > 0 && first_multiple(all.divisor(), lo, hi) > hi))
        return overlap::none;
    if (all.count <= 2)
        return settles(all, lo, hi) ? overlap::found : overlap::none;

    // Of the splits into a tried group and a settled group of at most two
    // terms each, the one with the fewest sums to try: the multiples of the
    // tried group's divisor up to its reach that leave the settled group a
    // remainder within its own reach.
    terms tried, settled;
    u64 first = 0, step = 0, sums = std::numeric_limits<u64>::max();
    for (unsigned mask = 1; mask + 1 < 1u << all.count; ++mask) {
        terms a, b;
        for (int k = 0; k < all.count; ++k) {
            terms& group = (mask >> k & 1) ? a : b;
            group.t[group.count++] = all.t[k];
        }
        if (a.count > 2 || b.count > 2)
            continue;
        const u64 g = a.divisor(), rest = b.reach(), top = std::min(hi, a.reach());
        const u64 z = first_multiple(g, lo > rest ? lo - rest : 0, top);
        const u64 n = z > top ? 0 : (top - z) / g + 1;
        if (n < sums) {
            tried = a;
            settled = b;
            first = z;
            step = g;
            sums = n;
        }
    }
    if (sums > work_limit)
        return overlap::undecided;
    for (u64 n = 0, z = first; n < sums; ++n, z += step)
        if (settles(tried, z, z) && settles(settled, lo > z ? lo - z : 0, hi - z))
            return overlap::found;
    return overlap::none;
}

bool is_empty(const strided_matrix& m)
{
    return m.rows <= 0 || m.cols <= 0;
}

// The lowest address of a non-empty view's elements, and how far beyond it
// the element furthest from it starts.
struct placement {
    std::uintptr_t low;
    u64 last;
};

placement place(const strided_matrix& m)
{
    u64 below = 0, above = 0;
    for (auto [length, stride] : {std::pair{m.rows, m.row_stride}, std::pair{m.cols, m.col_stride}})
        if (length > 1)
            (stride < 0 ? below : above) += magnitude(stride) * static_cast<u64>(length - 1);
    return {reinterpret_cast<std::uintptr_t>(m.data) - below, below + above};
}

}  // namespace

bool is_addressable(const strided_matrix& m)
{
    if (is_empty(m))
        return true;
    u64 below = 0, above = 0;
    for (auto [length, stride] : {std::pair{m.rows, m.row_stride}, std::pair{m.cols, m.col_stride}})
        if (length > 1) {
            const u64 steps = static_cast<u64>(length - 1);
            if (magnitude(stride) > ptrdiff_max / steps)
                return false;
            (stride < 0 ? below : above) += magnitude(stride) * steps;
        }
    const auto base = reinterpret_cast<std::uintptr_t>(m.data);
    return below + above <= ptrdiff_max - (item - 1) && below <= base &&
           above + (item - 1) <= std::numeric_limits<std::uintptr_t>::max() - base;
}

overlap views_overlap(const strided_matrix& a, const strided_matrix& b)
{
    if (is_empty(a) || is_empty(b))
        return overlap::none;
    const placement pa = place(a), pb = place(b);
    // Last bytes compared, as the byte after may lie beyond the address space.
    if (pa.low + pa.last + (item - 1) < pb.low || pb.low + pb.last + (item - 1) < pa.low)
        return overlap::none;
    // a's element at offset X from pa.low and b's element at offset pb.last - Y
    // from pb.low overlap when X + Y is within item - 1 of pb.low + pb.last - pa.low.
    terms all;
    all.add(a.rows, a.row_stride);
    all.add(a.cols, a.col_stride);
    all.add(b.rows, b.row_stride);
    all.add(b.cols, b.col_stride);
    const u64 hi = pb.low + pb.last + (item - 1) - pa.low;
    return reaches(all, hi > 2 * (item - 1) ? hi - 2 * (item - 1) : 0, hi);
}

overlap elements_overlap(const strided_matrix& m)
{
    if (is_empty(m))
        return overlap::none;
    const bool tall = m.rows > 1, wide = m.cols > 1;
    if ((tall && magnitude(m.row_stride) < item) || (wide && magnitude(m.col_stride) < item))
        return overlap::found;  // neighbours along that dimension
    if (!tall || !wide)
        return overlap::none;
    // With both steps at least an item, only elements i >= 1 rows and e >= 1
    // columns apart in opposite directions of the two positive steps s and t
    // can come closer than an item: |i s - e t| < item. In y = i - 1 in
    // [0, rows - 2] and x = cols - 1 - e in [0, cols - 2], that is y s + x t
    // within item - 1 of (cols - 1) t - s.
    const u64 s = magnitude(m.row_stride), t = magnitude(m.col_stride);
    const u64 farthest = t * static_cast<u64>(m.cols - 1) + (item - 1);
    if (farthest < s)
        return overlap::none;
    terms both;
    both.add(m.rows - 1, m.row_stride);
    both.add(m.cols - 1, m.col_stride);
    const u64 hi = farthest - s;
    return reaches(both, hi > 2 * (item - 1) ? hi - 2 * (item - 1) : 0, hi);
}
