"""Times morvekin.lawmlNC beside the one-window-at-a-time reference path and a SciPy peer.

    python bench/bench_lawml.py [--sizes 512 1024 2048] [--rounds 5] [--time-filter PATH]

Every measurement of one size is interleaved round by round, so all of them
see the same machine. The reference path is the C++ core's own per-window
kernel, run by bench/time_filter (built here with CMake unless --time-filter
names one). The SciPy peer computes the same kind of estimate the usual way:
uniform_filter means of x and x*x over each width (zero padding, one pass),
np.minimum over widths, then the Wiener step; it is a speed peer, not an
exact one. Prints medians in milliseconds, the ratios, and the fraction of the
arithmetic limit: 4 flops per window value (164 values per element over the
four widths, 9 for width 3 alone) at 8 double-precision flops per cycle per
core at the clock measured in the same run.
"""

import argparse
import importlib.metadata
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import scipy
from scipy import ndimage
from threadpoolctl import threadpool_limits

import morvekin

ROOT = Path(__file__).resolve().parent.parent
WINDOW_VALUES = {1: 9 + 25 + 49 + 81, 0: 9}


def build_time_filter():
    build = ROOT / "build" / "bench"
    configure = ["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF"]
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run(["cmake", "--build", build, "--target", "time_filter", "-j"], check=True, capture_output=True)
    return build / "time_filter"


def scipy_peer(coeffs, noise_var, multiscale):
    squares = coeffs * coeffs
    estimate = None
    for width in (3, 5, 7, 9) if multiscale == 1 else (3,):
        mean = ndimage.uniform_filter(coeffs, width, mode="constant")
        variance = ndimage.uniform_filter(squares, width, mode="constant") - mean * mean
        width_estimate = np.maximum(variance - noise_var, 0.0)
        estimate = width_estimate if estimate is None else np.minimum(estimate, width_estimate)
    return estimate * coeffs / (estimate + noise_var)


def seconds(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def machine(time_filter):
    model = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    clock = float(subprocess.run([time_filter, "clock"], check=True, capture_output=True, text=True).stdout)
    return model, clock


def measure(size, multiscale, rounds, time_filter):
    rng = np.random.default_rng(size)
    coeffs = rng.normal(0.0, 3.0, (size, size))
    fortran = np.asfortranarray(coeffs)
    outputs = [np.empty_like(coeffs) for _ in range(3)]
    fortran_outputs = [np.empty_like(fortran) for _ in range(3)]
    times = {key: [] for key in ("one", "two", "fortran", "scipy", "reference")}
    reference_rounds = max(1, rounds if size <= 1024 else rounds // 2)
    for limit in (1, 2):  # warm up: thread pools, page faults, caches
        with threadpool_limits(limits=limit, user_api="openmp"):
            morvekin.lawmlNC(coeffs, *outputs, 4.0, multiscale)
            morvekin.lawmlNC(fortran, *fortran_outputs, 4.0, multiscale)
    for round_ in range(rounds):
        with threadpool_limits(limits=1, user_api="openmp"):
            times["one"].append(seconds(lambda: morvekin.lawmlNC(coeffs, *outputs, 4.0, multiscale)))
        with threadpool_limits(limits=2, user_api="openmp"):
            times["two"].append(seconds(lambda: morvekin.lawmlNC(coeffs, *outputs, 4.0, multiscale)))
            times["fortran"].append(seconds(lambda: morvekin.lawmlNC(fortran, *fortran_outputs, 4.0, multiscale)))
        times["scipy"].append(seconds(lambda: scipy_peer(coeffs, 4.0, multiscale)))
        if round_ < reference_rounds:
            run = [time_filter, str(size), str(size), str(multiscale), "reference", "1"]
            out = subprocess.run(run, check=True, capture_output=True, text=True).stdout
            times["reference"].append(float(out) / 1e3)
    return {key: 1e3 * float(np.median(value)) for key, value in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[512, 1024, 2048])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--time-filter", type=Path, help="a built bench/time_filter")
    args = parser.parse_args()

    time_filter = args.time_filter or build_time_filter()
    model, clock = machine(time_filter)
    versions = ", ".join(
        f"{name} {version}"
        for name, version in (
            ("Python", platform.python_version()),
            ("NumPy", np.__version__),
            ("SciPy", scipy.__version__),
            ("morvekin", importlib.metadata.version("morvekin")),
        )
    )
    print(f"{model}, {os.cpu_count()} cores, clock measured at {clock:.2f} GHz; {versions}; {platform.platform()}")
    print(f"medians of {args.rounds} interleaved rounds, milliseconds; module on 1 and 2 OpenMP threads\n")
    print("| size | widths | module 1 thr | module 2 thr | 2 thr speed-up | reference | × reference | SciPy | × SciPy | of limit | Fortran / C |")
    print("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for size in args.sizes:
        for multiscale in (1, 0):
            t = measure(size, multiscale, args.rounds, time_filter)
            limit = size * size * WINDOW_VALUES[multiscale] * 4 / (8 * clock * 1e9) * 1e3
            print(
                f"| {size}² | {'3–9' if multiscale == 1 else '3'} | {t['one']:.1f} | {t['two']:.1f} | "
                f"{t['one'] / t['two']:.2f} | {t['reference']:.0f} | {t['reference'] / t['one']:.0f} | "
                f"{t['scipy']:.1f} | {t['scipy'] / t['one']:.1f} | {limit / t['one']:.0%} | "
                f"{t['fortran'] / t['two']:.2f} |",
                flush=True,
            )


if __name__ == "__main__":
    sys.exit(main())
