"""Identify among 10,000 cameras: time and memory per image here and on a Dask cluster holding the index in shards,
the index's misses by PCE, and what a million cameras would take.

    python bench/bench_scale.py --library /work/scratch/lib10k   # made the first time, reused after
    python bench/bench_scale.py --quick --library /tmp/lib1k     # 1,000 cameras, fewer queries
    python bench/bench_scale.py --doc ...                        # also rewrite its section of docs/performance.md

The cameras are simulated (bench/simulated.py): 512x512 sensors whose own
shots' PCE spreads from the tens to thousands, each added to the library from
its fingerprint file. Building 10,000 takes about a quarter of an hour and 6
GB of disk, so the library is kept in the folder given and reused when it
holds the cameras this run would add (the same seed).

Measured, in order:

1. identify of shots as taken (half by cameras of the library, half by
   others) and of photographs resized whole to 0.8, one after another on this
   machine, with the time of the index's scan alone; and the peak memory of
   `morvekin library identify` of five of them in a fresh process;
2. the index's misses by PCE: questioned shots made just strong enough for
   their own camera's zero-shift test to pass (the camera's pattern scaled
   down in them), each scanned against the whole index; a miss is a shot its
   camera's full test attributes that the index does not pick;
3. the same identify on a Dask LocalCluster of ``--workers`` processes (one
   thread each), the index spread over them in shards: each Identification
   must be the same, bit for bit, as here; time per image and the memory each
   worker holds;
4. a million cameras, extrapolated from those measurements.
"""

import argparse
import os
import statistics
import time

import numpy as np
from PIL import Image

import morvekin_prnu as prnu
import performance_doc
from morvekin_prnu import identification, sharded
from morvekin_prnu.search import checked_rule
from simulated import QUESTIONED, Camera, machine, misses_by_pce, peak_memory, scanned_index, table

SIZE = 512
SEED = 10_000


def cameras_of(count, seed=SEED):
    rng = np.random.default_rng(seed)
    return [Camera(number, SIZE, int(value)) for number, value in enumerate(rng.integers(2**32, size=count))]


def built(path, cameras):
    """The library of these cameras at ``path``: made if missing, reused if it holds them; seconds spent making it."""
    if os.path.exists(path):
        with prnu.Library(path) as library:
            names = [camera.name for camera in library.cameras()]
        if names != [camera.name for camera in cameras]:
            raise SystemExit(f"{path} holds {len(names)} other cameras: give another --library")
        return None
    start = time.perf_counter()
    staging = path + ".npz"
    with prnu.Library(path, create=True) as library:
        for camera in cameras:
            prnu.save_fingerprint(staging, camera.simulated_fingerprint(), {"sigma": prnu.residual.SIGMA,
                                                                          "images": 25})
            library.add_fingerprint(camera.name, staging)
    os.remove(staging)
    return time.perf_counter() - start


def folder_bytes(path):
    return sum(entry.stat().st_size for entry in os.scandir(path) if entry.is_file())


def worker_memory(client):
    """(resident MiB now, peak MiB) of each worker process."""
    def read(dask_worker=None):
        status = dict(line.split(":", 1) for line in open("/proc/self/status"))
        return int(status["VmRSS"].split()[0]) / 1024, int(status["VmHWM"].split()[0]) / 1024

    return list(client.run(read).values())


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--library", required=True, help="the library's folder: made if missing, else reused")
    parser.add_argument("--quick", action="store_true", help="1,000 cameras and fewer queries")
    parser.add_argument("--cameras", type=int, help="cameras in the library (10,000; quick 1,000)")
    parser.add_argument("--queries", type=int, help="images identified here and on the cluster (20; quick 8)")
    parser.add_argument("--near", type=int, help="shots near the threshold for the miss table (300; quick 100)")
    parser.add_argument("--workers", type=int, default=4, help="Dask worker processes (4)")
    parser.add_argument("--doc", action="store_true", help=performance_doc.HELP)
    args = parser.parse_args(argv)
    defaults = dict(cameras=1000, queries=8, near=100) if args.quick else dict(cameras=10_000, queries=20, near=300)
    for key, value in defaults.items():
        if getattr(args, key) is None:
            setattr(args, key, value)
    started = time.perf_counter()
    rng = np.random.default_rng(7)
    rule = checked_rule(prnu.matching.P_FA, None, 4, prnu.search.MIN_SCALE)
    cameras = cameras_of(args.cameras)
    outsiders = cameras_of(args.queries, seed=SEED + 1)
    print(f"{machine()}\n")
    building = built(args.library, cameras)
    catalogue = os.path.getsize(os.path.join(args.library, prnu.library.CATALOGUE))
    files = folder_bytes(os.path.join(args.library, prnu.library.FINGERPRINTS))
    start = time.perf_counter()
    with prnu.Library(args.library) as library:
        search = library.search()
    loading = time.perf_counter() - start
    index = sum(shard.planes.nbytes for shard in search.shards)
    print(f"{args.cameras} simulated cameras of {SIZE}x{SIZE}"
          + (f", built in {building / 60:.0f} minutes" if building else " (a library built before)")
          + f": fingerprint files {files / 2**30:.2f} GiB ({files / args.cameras / 1024:.0f} KiB each, 16-bit), "
          f"catalogue {catalogue / 2**30:.2f} GiB; the index ({index / 2**30:.2f} GiB, "
          f"{len(search.shards)} shards) read and checked in {loading:.1f} s.\n")

    # 1. One machine.
    half = args.queries // 2
    owners = [cameras[k] for k in rng.integers(len(cameras), size=half)]
    images = [camera.shot(rng, QUESTIONED) for camera in owners + outsiders[:args.queries - half]]
    resized_images = [np.asarray(Image.fromarray(image).resize((410, 410), Image.Resampling.LANCZOS))
                      for image in images[:half]]
    folder = os.path.join(os.path.dirname(os.path.abspath(args.library)), "bench_scale_queries")
    os.makedirs(folder, exist_ok=True)
    paths = []
    for k, image in enumerate(images + resized_images):
        paths.append(os.path.join(folder, f"query{k:03d}.png"))
        Image.fromarray(image).save(paths[-1])
    search.identify(paths[0])  # warm: the fingerprint files' first read and the thread pool
    local, times, probing, scans = [], [], [], []
    for path in paths:
        start = time.perf_counter()
        local.append(search.identify(path))
        times.append(time.perf_counter() - start)
        parts = scanned_index(search, path, rule)
        probing.append(parts[0])
        scans.append(parts[1])
    taken, whole = slice(0, len(images)), slice(len(images), len(paths))
    peak = peak_memory(args.library, paths[:5])
    print(f"Identify on this machine, one image after another ({len(images)} shots as taken, half by cameras of "
          f"the library, and {len(resized_images)} of them resized whole to 0.8):\n")
    table(["measure", "as taken", "resized whole"], [
        ["seconds per image, mean", f"{statistics.fmean(times[taken]):.2f}", f"{statistics.fmean(times[whole]):.2f}"],
        ["seconds per image, slowest", f"{max(times[taken]):.2f}", f"{max(times[whole]):.2f}"],
        ["of which reading the image and making its probes, mean", f"{statistics.fmean(probing[taken]):.2f}",
         f"{statistics.fmean(probing[whole]):.2f}"],
        ["of which scanning the index, mean", f"{statistics.fmean(scans[taken]):.2f}",
         f"{statistics.fmean(scans[whole]):.2f}"],
        ["cameras tested in full per image, mean", f"{statistics.fmean(f.tested for f in local[taken]):.2f}",
         f"{statistics.fmean(f.tested for f in local[whole]):.2f}"],
        ["images of library cameras attributed to them",
         f"{sum(f.verdict == c.name for f, c in zip(local[:half], owners))}/{half}",
         f"{sum(f.verdict == c.name for f, c in zip(local[whole], owners))}/{half}"],
        ["images of other cameras attributed to one", f"{sum(f.verdict is not None for f in local[half:taken.stop])}"
         f"/{len(images) - half}", "-"],
    ])
    print(f"Peak memory of `morvekin library identify` of 5 images in a fresh process: {peak:.0f} MiB "
          f"(the index alone {index / 2**20:.0f} MiB).\n")

    # 2. Misses by PCE, in the first shard alone and in the whole index.
    first = identification.Search(search.entries, search.shards[:1], (), ())
    for part, among in ((first, cameras[:len(search.shards[0].positions)]), (search, cameras)):
        rows, threshold = misses_by_pce(part, among, args.near, rng, rule)
        print(f"The index's misses by PCE among {len(among)} cameras: shots whose own camera's full test "
              f"attributes them (threshold {threshold:.1f}: four orientations at p_fa {rule.p_fa:g}), by their PCE; "
              "how many the index passed over, and how many other cameras it chose for the full test per shot:\n")
        table(["own PCE, × threshold", "attributed", "missed", "miss rate", "other cameras tested per shot"], rows)

    # 3. A cluster holding the index in shards.
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, memory_limit=0) as cluster, Client(cluster) as client:
        start = time.perf_counter()
        with prnu.Library(args.library) as library:
            spread = library.search(sharded.spreading(client))
        placing = time.perf_counter() - start
        list(sharded.identified(client, spread, paths[:1], rule, False, 1))[0].result()  # warm
        start = time.perf_counter()
        remote = [future.result() for future in sharded.identified(client, spread, paths, rule, False,
                                                                   2 * args.workers)]
        spent = time.perf_counter() - start
        same = sum(found._replace(image=path) == here._replace(image=path) for found, here, path in
                   zip(remote, local, paths))
        memory = worker_memory(client)
    held = {}
    for placed, shard in zip(spread.shards, search.shards):  # the same shards, in the same order
        held[placed.address] = held.get(placed.address, 0) + shard.planes.nbytes
    print(f"The same {len(paths)} images on a LocalCluster of {args.workers} worker processes (one thread each, on "
          f"this machine's {os.cpu_count()} cores), the index spread over them in {len(spread.shards)} shards "
          f"(sent in {placing:.1f} s):\n")
    table(["measure", "value"], [
        ["seconds per image, all images in flight together", f"{spent / len(paths):.2f}"],
        ["Identification the same, bit for bit, as on one machine", f"{same}/{len(paths)}"],
        ["memory per worker now, MiB (mean, largest)",
         f"{statistics.fmean(m[0] for m in memory):.0f}, {max(m[0] for m in memory):.0f}"],
        ["peak memory per worker, MiB (largest)", f"{max(m[1] for m in memory):.0f}"],
        ["index held by each worker, MiB", ", ".join(
            f"{size / 2**20:.0f}" for size in sorted([*held.values(), *[0] * (args.workers - len(held))]))],
    ])

    # 4. A million cameras.
    cores = len(os.sched_getaffinity(0))
    per_camera = statistics.fmean(scans[taken]) * cores / args.cameras  # core-seconds: the scan uses every core
    fixed = statistics.fmean(times[taken]) - statistics.fmean(scans[taken])
    bytes_per_camera = index / args.cameras
    rows = []
    for workers in (16, 64, 256, 1024):
        share = 1_000_000 / workers
        rows.append([workers, f"{share * bytes_per_camera / 2**30:.2f}", f"{fixed + per_camera * share:.1f}"])
    print(f"A million cameras of {SIZE}x{SIZE}, extrapolated from the runs above: the scan grows with the cameras "
          f"each worker holds ({per_camera * 1e6:.0f} core-µs per camera and image, four orientations), the rest of "
          f"an image's work ({fixed:.2f} s: its residual, its probes and the full tests, on one worker) does not. "
          f"Each worker holds its share of the index ({bytes_per_camera / 1024:.0f} KiB per camera) and the "
          f"fingerprint files ({files / args.cameras / 2**20:.2f} MiB per camera, "
          f"{files / args.cameras * 1e6 / 2**40:.1f} TiB for a million) stay in one shared folder, read only for "
          "the few cameras tested:\n")
    table(["workers (one core each)", "index per worker, GiB", "seconds per image"], rows)
    print(f"Whole run: {(time.perf_counter() - started) / 60:.1f} minutes.")


if __name__ == "__main__":
    with performance_doc.recorded("bench_scale"):
        main()
