"""Times lawmlNC beside the previous kernel, on an idle machine, under load and from several threads.

    python bench/bench_lawml.py [--rounds 5] [--landed aacb296] [--sizes 512 1024 2048]

Builds bench/time_filter twice, from this tree and from the revision given by
--landed (its source taken with git archive), and runs the two alternately,
round by round, so that both see the same machine; every figure is a median
over the rounds, each round itself the median of a few calls. Tables:

  kernels     one thread, C order: milliseconds, ratio, cycles per element (at
              the clock measured in the same run); for width 3 alone also a
              copy of the same bytes (coeffs read, two outputs written) as the
              memory-speed yardstick; Fortran / C of this tree's module.
  threads     default thread count (2 here) against one thread, idle machine.
  under load  the same while another process spins on one core.
  concurrent  four Python threads calling the module at once against the same
              calls one after another, with the CPU time the process used.
"""

import argparse
import io
import os
import platform
import statistics
import subprocess
import sys
import tarfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
from threadpoolctl import threadpool_limits

import morvekin

import performance_doc

ROOT = Path(__file__).resolve().parent.parent
MODES = {1: "3–9", 0: "3"}


def build_time_filter(source, build):
    configure = ["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF"]
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run(["cmake", "--build", build, "--target", "time_filter", "-j"], check=True, capture_output=True)
    return build / "time_filter"


def build_landed(revision):
    source = ROOT / "build" / "bench-landed" / revision / "src"
    if not source.exists():
        archive = subprocess.run(["git", "-C", ROOT, "archive", revision], check=True, capture_output=True).stdout
        source.mkdir(parents=True)
        with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
            tar.extractall(source)
    return build_time_filter(source, source.parent / "build")


def time_filter_ms(binary, size, multiscale, threads=None, repeats=5):
    env = dict(os.environ)
    env.pop("OMP_NUM_THREADS", None)
    if threads is not None:
        env["OMP_NUM_THREADS"] = str(threads)
    run = [binary, str(size), str(size), str(multiscale), "automatic", str(repeats)]
    return float(subprocess.run(run, check=True, capture_output=True, text=True, env=env).stdout)


def median_ms(call, repeats=5):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return 1e3 * statistics.median(times)


def interleaved(rounds, runs):
    """runs: name -> callable returning milliseconds; medians over rounds."""
    samples = {name: [] for name in runs}
    for _ in range(rounds):
        for name, run in runs.items():
            samples[name].append(run())
    return {name: statistics.median(values) for name, values in samples.items()}


def module_arrays(size, order="C"):
    coeffs = np.asarray(np.random.default_rng(size).normal(0.0, 3.0, (size, size)), order=order)
    return coeffs, [np.empty_like(coeffs) for _ in range(3)]


def kernels_table(sizes, rounds, new, landed, clock):
    print("\n| size | widths | landed ms | new ms | × landed | landed cyc/elem | new cyc/elem | copy ms | new / copy | Fortran / C |")
    print("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for size in sizes:
        c_arrays, f_arrays = module_arrays(size), module_arrays(size, "F")
        for multiscale in (1, 0):
            def module_ms(arrays):
                coeffs, outputs = arrays
                with threadpool_limits(limits=1, user_api="openmp"):
                    return median_ms(lambda: morvekin.lawmlNC(coeffs, *outputs, 4.0, multiscale))

            def copy_ms():
                coeffs, outputs = c_arrays
                return median_ms(lambda: (np.copyto(outputs[0], coeffs), np.copyto(outputs[2], coeffs)))

            t = interleaved(rounds, {
                "landed": lambda: time_filter_ms(landed, size, multiscale, 1),
                "new": lambda: time_filter_ms(new, size, multiscale, 1),
                "C": lambda: module_ms(c_arrays),
                "F": lambda: module_ms(f_arrays),
                "copy": copy_ms,
            })
            cycles = clock * 1e6 / (size * size)  # per millisecond and element
            print(f"| {size}² | {MODES[multiscale]} | {t['landed']:.2f} | {t['new']:.2f} | {t['landed'] / t['new']:.2f} | "
                  f"{t['landed'] * cycles:.1f} | {t['new'] * cycles:.1f} | {t['copy']:.2f} | {t['new'] / t['copy']:.2f} | "
                  f"{t['F'] / t['C']:.2f} |", flush=True)


def threads_table(title, sizes, rounds, new, landed):
    print(f"\n{title}\n")
    print("| size | widths | landed 1 thr ms | landed default ms | landed default / 1 | new 1 thr ms | new default ms | new default / 1 |")
    print("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: |")
    for size in sizes:
        for multiscale in (1, 0):
            repeats = 21 if size <= 1024 else 7
            t = interleaved(rounds, {
                (binary, threads): (lambda b=binary, n=threads: time_filter_ms(b, size, multiscale, n, repeats))
                for binary in (landed, new) for threads in (1, None)
            })
            print(f"| {size}² | {MODES[multiscale]} | {t[landed, 1]:.2f} | {t[landed, None]:.2f} | "
                  f"{t[landed, None] / t[landed, 1]:.2f} | {t[new, 1]:.2f} | {t[new, None]:.2f} | "
                  f"{t[new, None] / t[new, 1]:.2f} |", flush=True)


def concurrent_table(rounds, callers=4, calls=6):
    print(f"\n{callers} Python threads × {calls} calls each, at once against one after another (default thread limit)\n")
    print("| size | widths | one after another ms | at once ms | throughput at once / serial | CPU s per wall s at once |")
    print("| --- | --- | ---: | ---: | ---: | ---: |")
    for size in (512, 1024):
        work = [module_arrays(size + i) for i in range(callers)]
        for multiscale in (1, 0):
            def call(arrays):
                coeffs, outputs = arrays
                morvekin.lawmlNC(coeffs, *outputs, 4.0, multiscale)

            def serial():
                start = time.perf_counter()
                for _ in range(calls):
                    for arrays in work:
                        call(arrays)
                return 1e3 * (time.perf_counter() - start)

            cpu_ratios = []

            def at_once():
                start, cpu = time.perf_counter(), time.process_time()
                with ThreadPoolExecutor(max_workers=callers) as pool:
                    list(pool.map(call, work * calls))
                wall = time.perf_counter() - start
                cpu_ratios.append((time.process_time() - cpu) / wall)
                return 1e3 * wall

            t = interleaved(rounds, {"serial": serial, "at once": at_once})
            print(f"| {size}² | {MODES[multiscale]} | {t['serial']:.1f} | {t['at once']:.1f} | "
                  f"{t['serial'] / t['at once']:.2f} | {statistics.median(cpu_ratios):.2f} |", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[512, 1024, 2048])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--doc", action="store_true", help=performance_doc.HELP)
    parser.add_argument("--landed", default="aacb296", help="revision to compare with")
    args = parser.parse_args()

    new = build_time_filter(ROOT, ROOT / "build" / "bench")
    landed = build_landed(args.landed)
    clock = float(subprocess.run([new, "clock"], check=True, capture_output=True, text=True).stdout)
    model = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    compiler = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.split("\n")[0]
    print(f"{model}, {os.cpu_count()} cores, clock measured at {clock:.2f} GHz; Python {platform.python_version()}, "
          f"NumPy {np.__version__}, {compiler}; {platform.platform()}")
    print(f"landed = {args.landed}; medians of {args.rounds} interleaved rounds")

    for limit in (1, 2):  # warm up: helper threads, page faults
        with threadpool_limits(limits=limit, user_api="openmp"):
            coeffs, outputs = module_arrays(256)
            morvekin.lawmlNC(coeffs, *outputs, 4.0, 1)

    kernels_table(args.sizes, args.rounds, new, landed, clock)
    threads_table("Default thread count against one thread, idle machine", [1024, 2048], args.rounds, new, landed)
    spinner = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    try:
        threads_table("The same while another process spins on one core", [512, 1024], args.rounds, new, landed)
    finally:
        spinner.kill()
        spinner.wait()
    concurrent_table(args.rounds)


if __name__ == "__main__":
    with performance_doc.recorded("bench_lawml"):
        status = main()
    sys.exit(status)
