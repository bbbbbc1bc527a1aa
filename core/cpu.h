// What the tile kernels may use: instruction sets the CPU has and the
// operating system saves across context switches.
#pragma once

struct cpu_features {
    bool avx2;
    bool fma;
};

cpu_features detect_cpu_features();
