// libFuzzer target: decodes one lawml_filter call from the input (shapes,
// memory layouts, larger outputs, in-place use, noise variance, multiscale and
// every value), runs it with each kernel and aborts when any array differs in
// a single bit from what the reference kernel leaves. Built with clang and
// -DMORVEKIN_FUZZ=ON, under AddressSanitizer and UndefinedBehaviorSanitizer,
// which report any memory fault or undefined behaviour on the way.
#include "matrices.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <vector>

namespace {

// Hands out the input's bytes in order, then zeros.
class byte_source {
public:
    byte_source(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    template <typename T>
    T take()
    {
        T value{};
        const std::size_t n = std::min(sizeof(T), size_);
        std::memcpy(&value, data_, n);
        data_ += n;
        size_ -= n;
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

constexpr double specials[] = {0.0,  -0.0, 1.0,     0.5,    -1.0,
                               3.0,  0.1,  1e-300,  1e300,  -1e300,
                               5e-324, std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN()};

// Values drawn in one of several styles: any bit pattern, small integers
// (exact sums and ties), special values, or short decimals.
double draw(byte_source& in, std::uint8_t style)
{
    switch (style % 4) {
    case 0: return in.take<double>();
    case 1: return static_cast<double>(in.take<std::int8_t>());
    case 2: return specials[in.take<std::uint8_t>() % std::size(specials)];
    default: return in.take<std::int16_t>() * 0.01;
    }
}

// One array of the call: its shape, memory layout and logical values.
struct array_spec {
    std::ptrdiff_t rows, cols;
    layout lay;
    std::vector<double> values;

    std::unique_ptr<test_matrix> make() const
    {
        auto m = std::make_unique<test_matrix>(rows, cols, lay, -99.0);
        m->assign(values);
        return m;
    }
};

array_spec draw_array(byte_source& in, std::ptrdiff_t rows, std::ptrdiff_t cols)
{
    array_spec a{rows, cols, static_cast<layout>(in.take<std::uint8_t>() % 4), {}};
    const std::uint8_t style = in.take<std::uint8_t>();
    for (std::ptrdiff_t i = 0; i < rows * cols; ++i)
        a.values.push_back(draw(in, style));
    return a;
}

struct decoded_call {
    array_spec coeffs, variance, scratch, denoised;
    bool in_place;  // denoised is coeffs itself
    double noise_var;
    std::int32_t multiscale;
};

decoded_call decode(byte_source& in)
{
    // Mostly small; now and then long in one direction, across several tiles.
    const std::uint8_t size_style = in.take<std::uint8_t>();
    std::ptrdiff_t rows = in.take<std::uint8_t>() % 40, cols = in.take<std::uint8_t>() % 40;
    if (size_style % 8 == 0)
        rows = in.take<std::uint16_t>() % 300;
    else if (size_style % 8 == 1)
        cols = in.take<std::uint16_t>() % 520;

    const std::uint8_t extra = in.take<std::uint8_t>();  // outputs larger than coeffs
    const std::ptrdiff_t variance_rows = rows + extra % 3, variance_cols = cols + extra / 3 % 3;
    decoded_call call;
    call.coeffs = draw_array(in, rows, cols);
    call.variance = draw_array(in, variance_rows, variance_cols);
    call.scratch = draw_array(in, variance_rows + extra / 9 % 2, variance_cols + extra / 18 % 2);
    call.denoised = draw_array(in, rows + extra / 36 % 2, cols + extra / 72 % 2);
    const std::uint8_t flags = in.take<std::uint8_t>();
    call.in_place = flags % 5 == 0;
    call.multiscale = flags & 1 ? 1 : in.take<std::int32_t>();
    call.noise_var = draw(in, in.take<std::uint8_t>());
    return call;
}

// The arrays one kernel runs on, made afresh from the decoded call.
struct run_arrays {
    std::unique_ptr<test_matrix> coeffs, variance, scratch, denoised;

    explicit run_arrays(const decoded_call& call)
        : coeffs(call.coeffs.make()), variance(call.variance.make()),
          scratch(call.scratch.make()), denoised(call.denoised.make())
    {
    }

    lawml_status run(const decoded_call& call, filter_kernel kernel)
    {
        const strided_matrix& out = call.in_place ? coeffs->view : denoised->view;
        return lawml_filter(coeffs->view, variance->view, scratch->view, out, call.noise_var,
                            call.multiscale, kernel);
    }

    bool same_bits(const run_arrays& other) const
    {
        const auto same = [](const test_matrix& a, const test_matrix& b) {
            return a.storage.empty() || std::memcmp(a.storage.data(), b.storage.data(),
                                                    a.storage.size() * sizeof(double)) == 0;
        };
        return same(*coeffs, *other.coeffs) && same(*variance, *other.variance) &&
               same(*scratch, *other.scratch) && same(*denoised, *other.denoised);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    byte_source in(data, size);
    const decoded_call call = decode(in);

    run_arrays reference(call);
    if (reference.run(call, filter_kernel::reference) != lawml_status::ok)
        std::abort();
    for (filter_kernel kernel :
         {filter_kernel::portable, filter_kernel::avx2, filter_kernel::avx2_fma}) {
        if (!kernel_supported(kernel))
            continue;
        run_arrays fast(call);
        if (fast.run(call, kernel) != lawml_status::ok || !fast.same_bits(reference)) {
            std::fprintf(stderr, "kernel %d differs from the reference on a %td x %td call\n",
                         static_cast<int>(kernel), call.coeffs.rows, call.coeffs.cols);
            std::abort();
        }
    }
    return 0;
}
