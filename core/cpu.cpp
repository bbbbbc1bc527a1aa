#include "cpu.h"

#if defined(__x86_64__) || defined(_M_X64)
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif

#include <cstdint>

namespace {

struct cpuid_registers {
    unsigned eax, ebx, ecx, edx;
};

cpuid_registers cpuid(unsigned leaf, unsigned subleaf)
{
#if defined(_MSC_VER)
    int r[4];
    __cpuidex(r, static_cast<int>(leaf), static_cast<int>(subleaf));
    return {static_cast<unsigned>(r[0]), static_cast<unsigned>(r[1]),
            static_cast<unsigned>(r[2]), static_cast<unsigned>(r[3])};
#else
    cpuid_registers r{};
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
    return r;
#endif
}

// XCR0, the state components the OS saves; only to be read once CPUID
// reports OSXSAVE.
std::uint64_t enabled_state()
{
#if defined(_MSC_VER)
    return _xgetbv(0);
#else
    unsigned low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (std::uint64_t{high} << 32) | low;
#endif
}

}  // namespace

cpu_features detect_cpu_features()
{
    constexpr unsigned osxsave = 1u << 27, avx = 1u << 28, fma = 1u << 12;  // leaf 1, ECX
    constexpr unsigned avx2 = 1u << 5;                                        // leaf 7, EBX
    constexpr std::uint64_t xmm_and_ymm_state = 0x6;

    if (cpuid(0, 0).eax < 7)
        return {false, false};
    const unsigned features = cpuid(1, 0).ecx;
    // Without the OS saving the YMM registers, 256-bit code would corrupt
    // other threads' state or fault.
    const bool ymm_usable = (features & osxsave) && (features & avx) &&
                            (enabled_state() & xmm_and_ymm_state) == xmm_and_ymm_state;
    if (!ymm_usable)
        return {false, false};
    return {(cpuid(7, 0).ebx & avx2) != 0, (features & fma) != 0};
}

#else

cpu_features detect_cpu_features()
{
    return {false, false};
}

#endif
