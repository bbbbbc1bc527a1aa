// Window estimates for one tile, written once with GCC vector extensions and
// compiled per instruction set by the file that includes it.
//
// Each lane of a vector is a different centre column and adds up its own
// window in row-major order, so every lane performs exactly the additions,
// subtractions, products and quotients of the one-window-at-a-time
// definition, in the same order, and produces the same bits (for a transposed
// tile of width 3 alone, each lane adds its window column by column). All widths are
// swept together: each value loaded from the tile feeds every accumulator
// that needs it, and an accumulator still receives its window's values row by
// row, left to right. Columns outside coeffs are zeros in the tile buffer:
// adding +0.0 leaves a running sum unchanged (it starts at +0.0 and so is
// never -0.0), and their squared deviations are masked to +0.0.
//
// How each addition and subtraction is carried out is a parameter: the plain
// operators here, or, in the AVX2+FMA kernel, fused operations with the
// multiplier 1.0 (exact, so the bits stay the same) that run on the multiply
// units. Everything here has internal linkage, so the copies compiled for
// different instruction sets never stand in for each other.
#include "shrink.h"
#include "tiles.h"

#include <cstdint>
#include <type_traits>

namespace {

typedef double vec __attribute__((vector_size(lanes * sizeof(double))));
typedef std::int64_t mask __attribute__((vector_size(lanes * sizeof(double))));

inline vec load(const double* p)
{
    vec v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline void store(double* p, vec v)
{
    __builtin_memcpy(p, &v, sizeof v);
}

inline vec splat(double x)
{
    return vec{} + x;
}

// The window arithmetic as written. Widths says how many widths are swept
// and w which one, for kernels that place operations by width.
struct plain_arithmetic {
    template <int Widths, int w>
    static vec add(vec sum, vec x)
    {
        return sum + x;
    }
    template <int Widths, int w>
    static vec subtract(vec x, vec mean)
    {
        return x - mean;
    }
    template <int Widths, int w>
    static vec add_square(vec total, vec square)
    {
        return total + square;
    }
};

// Calls f(integral_constant<int, i>) for i = Begin .. End - 1, so that indices
// into accumulator arrays are constants and the arrays stay in registers.
template <int Begin, int End, typename F>
[[gnu::always_inline]] inline void unroll(F&& f)
{
    if constexpr (Begin < End) {
        f(std::integral_constant<int, Begin>{});
        unroll<Begin + 1, End>(f);
    }
}

// Whether lanes c + offset .. c + offset + 3 are columns of coeffs.
inline mask columns_inside(const tile_job& t, std::ptrdiff_t c, int offset)
{
    const vec column = splat(static_cast<double>(c + offset)) + vec{0, 1, 2, 3};
    return (column >= 0.0) & (column < static_cast<double>(t.cols));
}

// Estimates of the centres c .. c + lanes * V - 1 of row r for the widths
// 3, 5, ..., 2 * Widths + 1; stores their minimum, the widest one and the
// shrunk coefficients. Edge: some window of the group crosses a border of coeffs.
template <typename Arithmetic, int Widths, int V, bool ByColumns, bool Edge>
[[gnu::flatten]] void estimate_group(const tile_job& t, std::ptrdiff_t r, std::ptrdiff_t c)
{
    constexpr int reach = Widths;  // half of the widest window
    constexpr int positions = lanes * (V - 1) + 2 * reach + 1;
    const std::ptrdiff_t stride = t.input_stride;
    const double* centre = t.input + (r - t.row_begin + max_half) * stride + (c - t.col_begin + max_half);

    bool row_inside[2 * reach + 1];
    for (int di = -reach; di <= reach; ++di)
        row_inside[di + reach] = r + di >= 0 && r + di < t.rows;

    // Values in each window: clipped rows times clipped columns, per lane.
    vec count[Widths][V];
    unroll<0, Widths>([&](auto w) {
        constexpr int half = w + 1;
        int nrows = 0;
        for (int di = -half; di <= half; ++di)
            nrows += row_inside[di + reach];
        unroll<0, V>([&](auto v) {
            vec ncols = splat(2 * half + 1);
            if constexpr (Edge) {
                ncols = vec{};
                for (int j = -half; j <= half; ++j)
                    ncols += columns_inside(t, c, lanes * v + j) ? splat(1.0) : vec{};
            }
            count[w][v] = ncols * static_cast<double>(nrows);
        });
    });

    // Calls add(w, v, p, x) for each vector x of window values, row by row and
    // left to right (column by column and top to bottom for ByColumns), where
    // w is the width index, v the vector of centres and p the position of x
    // relative to the group's first centre column.
    auto sweep = [&](auto&& add) {
        // Feeds x to vector `only`, or to every vector if it is -1.
        const auto feed = [&](const double* row, auto di, auto p, auto only) {
            const vec x = load(row + p);
            unroll<0, Widths>([&](auto w) {
                constexpr int half = w + 1;
                if constexpr (-half <= di && di <= half)
                    unroll<0, V>([&](auto v) {
                        constexpr int j = p - lanes * v;
                        if constexpr (-half <= j && j <= half && (only < 0 || v == only))
                            add(w, v, p, x);
                    });
            });
        };
        const auto inside = [&](int di) { return !Edge || row_inside[di + reach]; };
        const std::integral_constant<int, -1> every;
        if constexpr (!ByColumns)
            // Each value loaded feeds every vector whose windows hold it.
            unroll<-reach, reach + 1>([&](auto di) {
                if (inside(di)) {
                    const double* row = centre + di * stride;
                    unroll<-reach, positions - reach>([&](auto p) { feed(row, di, p, every); });
                }
            });
        else
            // Column j of every vector's windows in turn, so that the vectors'
            // chains start together.
            unroll<-reach, reach + 1>([&](auto j) {
                unroll<-reach, reach + 1>([&](auto di) {
                    if (inside(di))
                        unroll<0, V>([&](auto v) {
                            feed(centre + di * stride, di, std::integral_constant<int, lanes * v + j>{}, v);
                        });
                });
            });
    };

    vec sum[Widths][V] = {};
    sweep([&](auto w, auto v, auto, vec x) { sum[w][v] = Arithmetic::template add<Widths, w>(sum[w][v], x); });
    // Widest first: the second sweep starts on values only the widest window has.
    vec mean[Widths][V];
    unroll<0, Widths>([&](auto narrower) {
        constexpr int w = Widths - 1 - narrower;
        unroll<0, V>([&](auto v) { mean[w][v] = sum[w][v] / count[w][v]; });
    });

    // The second sweep loads the window values again: left to itself the
    // compiler keeps the first sweep's loads for it, spilled to the stack.
    asm volatile("" ::: "memory");
    vec total[Widths][V] = {};
    sweep([&](auto w, auto v, auto p, vec x) {
        const vec deviation = Arithmetic::template subtract<Widths, w>(x, mean[w][v]);
        vec square = deviation * deviation;
        if constexpr (Edge)
            square = (vec)((mask)square & columns_inside(t, c, p));
        total[w][v] = Arithmetic::template add_square<Widths, w>(total[w][v], square);
    });

    // Estimates are never NaN and never -0.0, so a plain minimum is fmin.
    vec best[V], widest[V];
    unroll<0, Widths>([&](auto w) {
        unroll<0, V>([&](auto v) {
            const vec difference = total[w][v] / count[w][v] - t.noise_var;
            const vec estimate = difference > 0.0 ? difference : vec{};
            if constexpr (w == 0)
                best[v] = estimate;
            else
                best[v] = estimate < best[v] ? estimate : best[v];
            widest[v] = estimate;
        });
    });

    const std::ptrdiff_t i = r - t.row_begin, j = c - t.col_begin;
    const vec noise = splat(t.noise_var);
    for (int v = 0; v < V; ++v) {
        const vec coefficient = load(centre + lanes * v);
        store(t.estimates.at(i, j + lanes * v), best[v]);
        const vec shrunk = (best[v] * coefficient) / (best[v] + noise);
        const mask created = (shrunk != shrunk) & (coefficient == coefficient) & (noise == noise);
        store(t.shrunk.at(i, j + lanes * v), created ? splat(created_nan) : shrunk);
        if (Widths > 1)
            store(t.widest.at(i, j + lanes * v), widest[v]);
    }
}

// Row by row, groups start every lanes * V columns; a last group that would
// run past the tile is moved left to end with it, recomputing a few columns.
template <typename Arithmetic, int Widths, int V, bool ByColumns>
void estimate_groups(const tile_job& t)
{
    constexpr std::ptrdiff_t width = lanes * V;
    for (std::ptrdiff_t r = t.row_begin; r < t.row_end; ++r)
        for (std::ptrdiff_t start = t.col_begin; start < t.col_end; start += width) {
            const std::ptrdiff_t moved = t.col_end - width < start ? t.col_end - width : start;
            const std::ptrdiff_t c = moved > t.col_begin ? moved : t.col_begin;
            if (c - Widths < 0 || c + width + Widths > t.cols || r - Widths < 0 || r + Widths >= t.rows)
                estimate_group<Arithmetic, Widths, V, ByColumns, true>(t, r, c);
            else
                estimate_group<Arithmetic, Widths, V, ByColumns, false>(t, r, c);
        }
}

// Three vectors of centres give twelve independent sums per pass over all
// four widths; width 3 alone needs six vectors for as many.
template <typename Arithmetic = plain_arithmetic>
void estimate_tile(const tile_job& t)
{
    if (t.all_widths)
        estimate_groups<Arithmetic, 4, 3, false>(t);
    else if (t.by_columns)
        estimate_groups<Arithmetic, 1, 6, true>(t);
    else
        estimate_groups<Arithmetic, 1, 6, false>(t);
}

}  // namespace
