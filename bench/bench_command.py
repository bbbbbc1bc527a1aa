"""Times the morvekin command's jobs here and on a Dask cluster, and --workers as threads or processes.

    python bench/bench_command.py [--shots 40] [--rows 2000 --columns 3000] [--rounds 1]

Needs ``pip install ".[dask]"``. Synthesises ``--shots`` colour JPEG photographs
(PyWavelets' "camera" picture tiled to the size, shifted, tinted and noised
per shot, quality 92) in a temporary folder, starts the pools and a
``dask.distributed.LocalCluster`` (loopback only) before any timing, then
times, round by round in turn so that every road sees the same machine:

- ``fingerprint`` of all shots: here with 1 worker, with 2 threads
  (``workers=2``), with 2 processes (a spawned ``ProcessPoolExecutor`` as the
  executor: each process sums whole blocks, as a cluster worker does), and on
  the cluster of 2 worker processes of 1 thread each;
- ``morvekin match`` of all shots against that fingerprint: here with 1 and
  2 threads, and on the cluster.

Every road must give the same fingerprint bits and the same PCE; the script
checks it. Run it alone on the machine (CPU-heavy).
"""

import argparse
import contextlib
import importlib.metadata
import io
import os
import platform
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import get_context

import numpy as np
import pywt
from distributed import Client, LocalCluster
from PIL import Image

import morvekin_prnu
from morvekin_prnu import command

import performance_doc


def write_shots(folder, count, rows, columns):
    rng = np.random.default_rng(0)
    tiles = -(-rows // 512), -(-columns // 512)
    grey = np.tile(pywt.data.camera().astype(np.float32), tiles)[:rows, :columns]
    pattern = rng.normal(0.0, 0.01, (rows, columns)).astype(np.float32)
    paths = []
    for k in range(count):
        scene = np.roll(grey, (37 * k, 101 * k), axis=(0, 1))[..., None] * rng.uniform(0.6, 1.0, 3).astype(np.float32)
        noisy = scene * (1 + pattern[..., None]) + rng.normal(0.0, 2.0, scene.shape).astype(np.float32)
        path = os.path.join(folder, f"shot{k:03d}.jpg")
        Image.fromarray(np.clip(np.round(noisy), 0, 255).astype(np.uint8)).save(path, quality=92)
        paths.append(path)
    return paths


def quietly(function, *args, **options):
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        return function(*args, **options)


def machine():
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
                 platform.processor()) if os.path.exists("/proc/cpuinfo") else platform.processor()
    versions = ", ".join(f"{name} {importlib.metadata.version(name)}"
                         for name in ("numpy", "PyWavelets", "Pillow", "dask", "distributed"))
    return f"{model}, {os.cpu_count()} cores; Python {platform.python_version()}, {versions}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--shots", type=int, default=40)
    parser.add_argument("--rows", type=int, default=2000)
    parser.add_argument("--columns", type=int, default=3000)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--doc", action="store_true", help=performance_doc.HELP)
    args = parser.parse_args(argv)

    with contextlib.ExitStack() as stack:
        folder = stack.enter_context(tempfile.TemporaryDirectory())
        shots = os.path.join(folder, "shots")
        os.mkdir(shots)
        paths = write_shots(shots, args.shots, args.rows, args.columns)
        size = sum(os.path.getsize(p) for p in paths) / len(paths) / 2**20
        processes = stack.enter_context(ProcessPoolExecutor(2, mp_context=get_context("spawn")))
        processes.submit(morvekin_prnu.fingerprint, [paths[0]]).result()  # start and import before timing
        start = time.perf_counter()
        cluster = stack.enter_context(LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                                   host="127.0.0.1", dashboard_address=None))
        client = stack.enter_context(Client(cluster))
        client.submit(morvekin_prnu.fingerprint, [paths[0]]).result()
        started = time.perf_counter() - start
        fingerprint_file = os.path.join(folder, "camera.npz")

        fingerprint_roads = {
            "here, 1 worker": lambda: morvekin_prnu.fingerprint(paths),
            "here, 2 threads (--workers 2)": lambda: morvekin_prnu.fingerprint(paths, workers=2),
            "here, 2 processes": lambda: morvekin_prnu.fingerprint(paths, executor=processes, workers=4),
            "LocalCluster, 2 processes x 1 thread (--scheduler)":
                lambda: morvekin_prnu.fingerprint(paths, executor=client, workers=4),
        }
        match = ["match", shots, "--fingerprints", fingerprint_file, "--csv"]
        match_roads = {
            "here, 1 worker": ["--workers", "1"],
            "here, 2 threads (--workers 2)": ["--workers", "2"],
            "LocalCluster, 2 processes x 1 thread (--scheduler)": ["--scheduler", cluster.scheduler_address],
        }
        times = {("fingerprint", name): [] for name in fingerprint_roads}
        times.update({("match", name): [] for name in match_roads})
        results = {}
        for _ in range(args.rounds):
            for name, road in fingerprint_roads.items():
                start = time.perf_counter()
                results[("fingerprint", name)] = road().tobytes()
                times[("fingerprint", name)].append(time.perf_counter() - start)
            estimate = np.frombuffer(results[("fingerprint", "here, 1 worker")], np.float32)
            morvekin_prnu.save_fingerprint(fingerprint_file, estimate.reshape(args.rows, args.columns), {"sigma": 3.0})
            for name, where in match_roads.items():
                table = os.path.join(folder, f"pce {name}.csv")
                start = time.perf_counter()
                assert quietly(command.main, [*match, table, *where]) == 0
                times[("match", name)].append(time.perf_counter() - start)
                results[("match", name)] = open(table, encoding="utf-8").read().replace(folder, "")

    for job in ("fingerprint", "match"):
        same = len({value for (kind, _), value in results.items() if kind == job}) == 1
        print(f"{job}: every road gave the same {'bits' if job == 'fingerprint' else 'PCE and NCC'}: {same}")
    print(f"\n{machine()}")
    print(f"{args.shots} colour JPEG shots of {args.columns}x{args.rows} ({args.rows * args.columns / 1e6:.0f} MP, "
          f"{size:.1f} MiB each); median of {args.rounds} round(s); the cluster took {started:.1f} s to start "
          "(not counted)\n")
    print("| job | where | seconds | per shot | × here, 1 worker |\n| --- | --- | ---: | ---: | ---: |")
    for job in ("fingerprint", "match"):
        base = float(np.median(times[(job, "here, 1 worker")]))
        for (kind, name), values in times.items():
            if kind == job:
                value = float(np.median(values))
                print(f"| {job} | {name} | {value:.1f} | {value / args.shots:.2f} | {value / base:.2f} |")
    return 0


if __name__ == "__main__":
    with performance_doc.recorded("bench_command"):
        status = main()
    sys.exit(status)
