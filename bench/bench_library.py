"""Times a fingerprint library's identify against testing every fingerprint, and compares compact indexes.

    python bench/bench_library.py            # 1,000 cameras of 1024x1024
    python bench/bench_library.py --quick    # 100 cameras of 512x512
    python bench/bench_library.py --doc      # also rewrite its section of docs/performance.md

Cameras. Running ``fingerprint`` on photographs for 1,000 cameras would take
hours here, so most fingerprints are simulated and a few are real:

- Each camera has a white sensor pattern K whose standard deviation is drawn
  log-uniformly from 0.0032 to 0.012 at 512x512, times sqrt(512 / size)
  (PCE grows with the pixels times the fourth power of the strength here), so
  that at every size the own camera's PCE spreads from the tens, around the
  decision threshold, to several thousand; K is made again from the camera's
  seed whenever needed.
- A simulated fingerprint is K plus white estimation noise of standard
  deviation 0.014 (what ``fingerprint`` of 25 JPEG photographs of these
  scenes leaves: the table "real and simulated fingerprints" compares the
  real ones' correlation with K to what the simulation gives), post-processed
  as a real estimate is (zero-mean, Wiener filter in the DFT domain), cast to
  float32, saved with ``save_fingerprint`` and added with
  ``Library.add_fingerprint``.
- ``--real`` cameras are added from photographs: 25 JPEG shots (quality 90,
  with EXIF make, model and serial) of PyWavelets' "camera" and "ascent"
  pictures scaled to the size, shifted, flipped and tinted, through the
  camera's pattern with shot noise. ``Library.add`` of each set is timed against ``fingerprint`` of the
  same files, twice per camera, each going first once.

Queries are shots like these of another picture, "aero" (as arrays; a
fingerprint keeps a trace of its own scenes, which would match the same
scenes anywhere): ``--queries`` of cameras in the library (the real ones
among them) and ``--outside`` of cameras that are not. Each is identified
through the index; ``--exhaustive`` of them (half from the library) are also
tested against every camera, both as ``identify(exhaustive=True)`` does
(each file hashed, read and tested) and as matching every file does (read
and tested), in turns, and must give the same verdict and, where it names a
camera, the same PCE bits. The peak memory is that of ``morvekin library
identify`` of five query files in a fresh process.

Before that, three compact indexes are compared on the first ``--compare``
cameras (scan times for all of them): the binarized fingerprint of Bayram,
Sencar and Memon (2012), which the library uses; the digest of Goljan,
Fridrich and Filler (2010) (the k strongest values of the fingerprint and
their places, k = pixels / 48, the same bytes as the binarized one); and
binarized random projections after Valsesia et al. (2015) (m = pixels / 16
signs of a random circulant projection of the sign-flipped array).

The full run took 12 minutes on a shared 2-core VM (building the library 3 of
them, the two exhaustive roads on two images 3.5), ``--quick`` 1.5. Run it
alone on the machine (CPU-heavy); ``--exhaustive 6`` tests more images
exhaustively at about 1.8 minutes each. The full run needs about 5 GB of
disk, in a temporary folder removed at the end.
"""

import argparse
import contextlib
import importlib.metadata
import io
import math
import os
import platform
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import pywt
from PIL import ExifTags, Image

import morvekin_prnu as prnu
import performance_doc
from morvekin_prnu import fingerprint_folder, identification
from morvekin_prnu.postprocessing import postprocess
from simulated import QUESTIONED, SHOTS, TRAINING, Camera, write_shots

# The other compact indexes, for the comparison

def digest(fingerprint, kept):
    """Goljan et al. (2010): the places and values of the ``kept`` strongest values (uint32, float16)."""
    flat = fingerprint.ravel()
    places = np.sort(np.argpartition(np.abs(flat), -kept)[-kept:]).astype(np.uint32)
    return places, flat[places].astype(np.float16)


def digest_scores(places, values, weighted, rows=64):
    """Correlation of each digest's values with the image's W·I at its places, times sqrt(kept)."""
    scores = np.empty(len(places))
    flat = weighted.ravel()
    for start in range(0, len(places), rows):
        image = flat[places[start:start + rows]]
        image -= image.mean(axis=1, keepdims=True)
        stored = values[start:start + rows].astype(np.float64)
        stored -= stored.mean(axis=1, keepdims=True)
        products = [np.einsum("ij,ij->i", a, b) for a, b in ((image, stored), (image, image), (stored, stored))]
        scores[start:start + rows] = products[0] / np.sqrt(products[1] * products[2]) * math.sqrt(places.shape[1])
    return scores


class Projection:
    """Valsesia et al. (2015): m random projections, binarized; here a random circulant matrix after random signs."""

    def __init__(self, pixels, measurements, seed=7):
        rng = np.random.default_rng(seed)
        self.pixels, self.measurements = pixels, measurements
        self.signs = rng.choice([-1.0, 1.0], pixels)
        self.spectrum = np.fft.rfft(rng.normal(size=pixels))
        self.kept = np.sort(rng.choice(pixels, measurements, replace=False))

    def binarized(self, plane):
        flat = plane.ravel().astype(np.float64)
        projected = np.fft.irfft(np.fft.rfft((flat - flat.mean()) * self.signs) * self.spectrum, self.pixels)
        return binarize(projected[self.kept][None, :])


def compare_indexes(files, queries, size, total):
    """Scores of the three compact indexes for queries of the compared cameras, and their scan times."""
    pixels = size * size
    kept = pixels // 48
    projection = Projection(pixels, pixels // 16)
    binary, places, values, projected = [], [], [], []
    for file in files:
        fingerprint = fingerprint_folder.read_stored(*file)
        binary.append(binarize(fingerprint))
        found = digest(fingerprint, kept)
        places.append(found[0])
        values.append(found[1])
        projected.append(projection.binarized(fingerprint))
    binary, places, values, projected = map(np.array, (binary, places, values, projected))
    indexes = {
        "binarized fingerprint (Bayram et al. 2012)": (binary.nbytes, lambda w: agreement(binary, binarize(w), pixels),
                                                      lambda w, n: agreement(_tiled(binary, n), binarize(w), pixels)),
        "digest, k = pixels / 48 (Goljan et al. 2010)": (
            places.nbytes + values.nbytes, lambda w: digest_scores(places, values, w),
            lambda w, n: digest_scores(_tiled(places, n), _tiled(values, n), w)),
        "binarized projections, m = pixels / 16 (Valsesia et al. 2015)": (
            projected.nbytes, lambda w: agreement(projected, projection.binarized(w), projection.measurements),
            lambda w, n: agreement(_tiled(projected, n), projection.binarized(w), projection.measurements)),
    }
    rows = []
    for name, (nbytes, score, scan) in indexes.items():
        own, null, ratio = [], [], []
        for number, weighted, pce, _ in queries:
            scores = score(weighted)
            own.append(scores[number])
            null += np.delete(scores, number).tolist()
            if pce > 0:
                ratio.append(scores[number] ** 2 / pce)
        times = []
        for weighted in [weighted for _, weighted, _, _ in queries[:3]]:
            start = time.perf_counter()
            scan(weighted, total)
            times.append(time.perf_counter() - start)
        above = [s for s, (_, _, _, decided) in zip(own, queries) if decided]
        rows.append([name, f"{nbytes / len(binary) / 1024:.1f}", f"{100 * nbytes / (4 * pixels * len(binary)):.2f}",
                     f"{statistics.median(times) * 1000:.0f}", f"{statistics.median(ratio):.3f}",
                     f"{min(above):.2f}" if above else "-",
                     f"{sum(s < identification.CANDIDATE_SCORE for s in above)}/{len(above)}",
                     f"{np.std(null):.2f}", f"{max(null):.2f}"])
    return rows


def _tiled(array, count):
    """``count`` rows made by repeating ``array``'s: the scan time of a larger library."""
    return np.resize(array, (count, *array.shape[1:]))


# Timing

def exhaustive_by_files(files, weighted):
    """What matching every file does: each read and tested; the most significant camera and its Match."""
    found = [(name, prnu.match_residual(prnu.load_fingerprint(path)[0], weighted)) for name, path in files]
    return min(found, key=lambda pair: (prnu.matching.significance(pair[1]), pair[0]))


def peak_memory(library, paths):
    """Peak resident memory (MiB) of `morvekin library identify` of the files, in a fresh process.

    Read from /proc/self/status (VmHWM), which exec starts afresh; ru_maxrss keeps the parent's size across
    fork and exec.
    """
    code = ("import contextlib, io, sys\n"
            "from morvekin_prnu import command\n"
            "with contextlib.redirect_stdout(io.StringIO()):\n"
            "    status = command.main(sys.argv[1:])\n"
            "peak = next(line.split()[1] for line in open('/proc/self/status') if line.startswith('VmHWM'))\n"
            "print(status, peak)\n")
    done = subprocess.run([sys.executable, "-c", code, "library", "identify", library, *paths],
                          capture_output=True, text=True, check=True)
    status, peak = done.stdout.split()
    assert status == "0", done.stderr
    return int(peak) / 1024


def machine():
    model = platform.processor() or "unknown CPU"
    with contextlib.suppress(OSError), open("/proc/cpuinfo") as info:
        model = next((line.split(":", 1)[1].strip() for line in info if line.startswith("model name")), model)
    versions = []
    for name in ("numpy", "PyWavelets", "Pillow", "morvekin"):
        with contextlib.suppress(importlib.metadata.PackageNotFoundError):
            versions.append(f"{name} {importlib.metadata.version(name)}")
    return (f"{model}, {os.cpu_count()} cores; Python {platform.python_version()}, {', '.join(versions)}, "
            f"SQLite {sqlite3.sqlite_version}")


def table(header, rows):
    print("| " + " | ".join(header) + " |")
    print("| " + " | ".join("---" if k == 0 else "---:" for k in range(len(header))) + " |")
    for row in rows:
        print("| " + " | ".join(str(cell) for cell in row) + " |")
    print()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="100 cameras of 512x512 (defaults below change)")
    parser.add_argument("--cameras", type=int, help="cameras in the library (1000; quick 100)")
    parser.add_argument("--size", type=int, help="fingerprint side in pixels (1024; quick 512)")
    parser.add_argument("--real", type=int, help="cameras added from photographs (3; quick 2)")
    parser.add_argument("--queries", type=int, help="query shots of library cameras (200; quick 100)")
    parser.add_argument("--outside", type=int, help="query shots of cameras outside the library (50; quick 30)")
    parser.add_argument("--exhaustive", type=int, help="queries also tested against every camera (2; quick 10)")
    parser.add_argument("--compare", type=int, help="cameras the indexes are compared on (250; quick 100)")
    parser.add_argument("--folder", help="where to make the temporary library (default: the system's)")
    parser.add_argument("--doc", action="store_true", help=performance_doc.HELP)
    args = parser.parse_args(argv)
    defaults = dict(cameras=100, size=512, real=2, queries=100, outside=30, exhaustive=10, compare=100) if args.quick \
        else dict(cameras=1000, size=1024, real=3, queries=200, outside=50, exhaustive=2, compare=250)
    for key, value in defaults.items():
        if getattr(args, key) is None:
            setattr(args, key, value)
    rng = np.random.default_rng(2024)
    cameras = [Camera(number, args.size, seed) for number, seed in enumerate(rng.integers(2**32, size=args.cameras))]
    outsiders = [Camera(10_000 + number, args.size, seed)
                 for number, seed in enumerate(rng.integers(2**32, size=args.outside))]
    real = cameras[:args.real]
    started = time.perf_counter()
    print(f"{machine()}\n")
    print(f"{args.cameras} cameras of {args.size}x{args.size} ({args.real} from {SHOTS} photographs each), "
          f"{args.queries} queries from them and {args.outside} from cameras outside the library\n")

    with tempfile.TemporaryDirectory(dir=args.folder) as folder:
        library_path = os.path.join(folder, "library")
        # The real cameras first: their photographs, and fingerprint against add on the same files.
        timings = []
        with prnu.Library(library_path, create=True) as library:
            prnu.fingerprint([outsiders[0].shot(rng, TRAINING) for _ in range(2)])  # start the pools
            for camera in real:
                paths = write_shots(camera, os.path.join(folder, camera.name), rng)
                spent = {"fingerprint": 0.0, "add": 0.0}
                for order in (("fingerprint", "add"), ("add", "fingerprint")):  # each goes first once
                    for step in order:
                        if step == "add" and camera.name in {entry.name for entry in library.cameras()}:
                            library.remove(camera.name)
                        start = time.perf_counter()
                        if step == "fingerprint":
                            estimate = prnu.fingerprint(paths)
                        else:
                            library.add(camera.name, paths)
                        spent[step] += time.perf_counter() - start
                timings.append((spent["fingerprint"], spent["add"], camera, estimate))
            start = time.perf_counter()
            for camera in cameras[args.real:]:
                path = os.path.join(folder, "simulated.npz")
                prnu.save_fingerprint(path, camera.simulated_fingerprint(), {"sigma": prnu.residual.SIGMA,
                                                                            "images": SHOTS})
                library.add_fingerprint(camera.name, path)
            building = time.perf_counter() - start
            start = time.perf_counter()
            search = library.search()
            loading = time.perf_counter() - start
            stored = library.cameras()
        fingerprint_bytes = sum(os.path.getsize(camera.file) for camera in stored)
        index_bytes = sum(binarized.nbytes for _, binarized in search.groups.values())
        print(f"built the simulated cameras in {building:.0f} s; index read in {loading:.2f} s\n")

        # Queries: from library cameras (real ones among them), then from outside.
        inside = [cameras[k] for k in rng.integers(args.cameras, size=args.queries)]
        inside[:args.real] = real
        queries = [(camera, camera.shot(rng, QUESTIONED)) for camera in inside + outsiders]
        outcomes = []
        compared = []
        for camera, image in queries:
            start = time.perf_counter()
            found = search.identify(image)
            spent = time.perf_counter() - start
            weighted = prnu.weighted_residual(image)
            own = None
            if camera in cameras:
                own = prnu.match_residual(fingerprint_folder.read_stored(*_file(search, camera.name)), weighted)
                if cameras.index(camera) < args.compare:
                    compared.append((cameras.index(camera), weighted, own.pce, own.same_camera))
            outcomes.append((camera, image, found, spent, own))

        print("Compact indexes compared: bytes per camera and share of its float32 fingerprint; time to score one "
              f"image against all {args.cameras} cameras; for queries of the first {args.compare} cameras, the own "
              "camera's score squared over its PCE (median), the lowest own score among queries that their own "
              f"camera's full test attributes to it (at a false-alarm probability of {prnu.matching.P_FA:g}), how "
              f"many of those fall below the candidate score {identification.CANDIDATE_SCORE:g}, "
              "and the spread and maximum of the other cameras' scores (chance):\n")
        table(["index", "KiB per camera", "% of fingerprint", "scan ms", "score² / PCE", "lowest own score",
               "missed", "chance s.d.", "chance max"],
              compare_indexes([_file(search, camera.name) for camera in cameras[:args.compare]], compared, args.size,
                              args.cameras))

        # The exhaustive tests, the two ways in turn, on queries from the library and from outside.
        half = args.exhaustive // 2
        chosen = outcomes[:args.exhaustive - half] + outcomes[args.queries:args.queries + half]
        files = [(entry.name, entry.file) for entry in search.entries]
        exhaustive, by_files, same = [], [], 0
        for camera, image, found, _, _ in chosen:
            start = time.perf_counter()
            full = search.identify(image, exhaustive=True)
            exhaustive.append(time.perf_counter() - start)
            start = time.perf_counter()
            best_file = exhaustive_by_files(files, prnu.weighted_residual(image))
            by_files.append(time.perf_counter() - start)
            verdicts = {found.verdict, full.verdict, best_file[0] if best_file[1].same_camera else None}
            bits = {np.float64(candidate.match.pce).view(np.uint64) for candidate in (found.candidates[0],
                                                                                      full.candidates[0])}
            same += len(verdicts) == 1 and (found.verdict is None
                                            or bits == {np.float64(best_file[1].pce).view(np.uint64)})

        # Peak memory of the command in a fresh process.
        paths = []
        for k, (_, image, _, _, _) in enumerate(outcomes[:5]):
            paths.append(os.path.join(folder, f"query{k}.png"))
            Image.fromarray(image).save(paths[-1])
        peak = peak_memory(library_path, paths)

        identify_times = [spent for _, _, _, spent, _ in outcomes]
        mean_identify = statistics.fmean(identify_times)
        library_queries = outcomes[:args.queries]
        confirmable = [o for o in library_queries if o[4].same_camera]
        named = sum(found.verdict == camera.name for camera, _, found, _, _ in confirmable)
        weak = [o for o in library_queries if not o[4].same_camera]
        weak_none = sum(found.verdict is None for _, _, found, _, _ in weak)
        outside_confirmed = sum(found.verdict is not None for _, _, found, _, _ in outcomes[args.queries:])
        add_time = sum(t[1] for t in timings)
        fingerprint_time = sum(t[0] for t in timings)
        print(f"Identify against exhaustive testing, {args.cameras} cameras of {args.size}x{args.size}:\n")
        table(["measure", "value"], [
            ["identify, mean seconds per image (all queries)", f"{mean_identify:.3f}"],
            ["identify, slowest image", f"{max(identify_times):.3f}"],
            ["cameras tested in full per image, mean", f"{statistics.fmean(o[2].tested for o in outcomes):.2f}"],
            [f"exhaustive as identify(exhaustive=True), mean of {len(exhaustive)} images",
             f"{statistics.fmean(exhaustive):.2f}"],
            [f"exhaustive as matching every file, mean of {len(by_files)} images", f"{statistics.fmean(by_files):.2f}"],
            ["speed-up against identify(exhaustive=True)", f"{statistics.fmean(exhaustive) / mean_identify:.0f}×"],
            ["speed-up against matching every file", f"{statistics.fmean(by_files) / mean_identify:.0f}×"],
            ["same verdict as both exhaustive tests, and PCE bits where it names a camera", f"{same}/{len(chosen)}"],
            ["library queries that their own camera's full test attributes to it: verdict names the camera",
             f"{named}/{len(confirmable)} ({100 * named / max(1, len(confirmable)):.1f} %)"],
            ["library queries that their own camera's full test does not attribute to it: verdict none",
             f"{weak_none}/{len(weak)}"],
            ["queries from outside cameras with a confirmed camera", f"{outside_confirmed}/{args.outside}"],
            ["index bytes / fingerprint file bytes", f"{index_bytes / 2**20:.1f} MiB / {fingerprint_bytes / 2**20:.0f} "
             f"MiB = {100 * index_bytes / fingerprint_bytes:.2f} %"],
            ["peak memory of `morvekin library identify` (5 images)", f"{peak:.0f} MiB"],
            [f"add / fingerprint ({args.real} cameras × {SHOTS} photographs, twice)",
             f"{add_time:.1f} s / {fingerprint_time:.1f} s = {add_time / fingerprint_time:.3f}"],
        ])
        own_pce = sorted(o[4].pce for o in library_queries)
        print(f"Own-camera PCE of the library queries: minimum {own_pce[0]:.0f}, median "
              f"{statistics.median(own_pce):.0f}, maximum {own_pce[-1]:.0f}.\n")

        print("Real and simulated fingerprints: correlation of each real camera's fingerprint with its pattern "
              "(post-processed), beside that of a simulated one of the same camera:\n")
        rows = []
        for spent, _, camera, estimate in timings:
            truth = postprocess([camera.pattern()]).ravel()
            rows.append([camera.name, f"{camera.strength:.4f}", f"{np.corrcoef(estimate.ravel(), truth)[0, 1]:.3f}",
                         f"{np.corrcoef(camera.simulated_fingerprint().ravel(), truth)[0, 1]:.3f}"])
        table(["camera", "pattern s.d.", "real", "simulated"], rows)
    print(f"Whole run: {(time.perf_counter() - started) / 60:.1f} minutes.")


def _file(search, name):
    entry = next(entry for entry in search.entries if entry.name == name)
    return entry.file, entry.sha256


if __name__ == "__main__":
    with performance_doc.recorded("bench_library"):
        main()
