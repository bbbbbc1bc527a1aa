"""Times a fingerprint library's identify against testing every fingerprint, compares compact indexes, counts the
index's misses by PCE, and measures what storing fingerprints as 16-bit integers does to PCE.

    python bench/bench_library.py            # 1,000 cameras of 1024x1024
    python bench/bench_library.py --quick    # 100 cameras of 512x512
    python bench/bench_library.py --doc      # also rewrite its section of docs/performance.md

Cameras (bench/simulated.py). Running ``fingerprint`` on photographs for 1,000
cameras would take hours here, so most fingerprints are simulated (the
camera's white pattern plus the estimation noise 25 JPEG photographs leave,
post-processed as a real estimate is), saved with ``save_fingerprint`` and
added with ``Library.add_fingerprint``; ``--real`` cameras are added from 25
JPEG photographs each, ``Library.add`` of each set timed against
``fingerprint`` of the same files, twice per camera, each going first once.

Queries are shots of another picture, "aero" (as arrays; a fingerprint keeps
a trace of its own scenes, which would match the same scenes anywhere):
``--queries`` of cameras in the library (the real ones among them) and
``--outside`` of cameras that are not, each identified through the index as
taken and resized whole to 0.8. ``--exhaustive`` of them (half from the
library) are also tested against every camera, both as
``identify(exhaustive=True)`` does (each file hashed, read and tested) and as
matching every file does (read and tested), in turns, and must give the same
verdict and, where it names a camera, the same PCE bits. The peak memory is
that of ``morvekin library identify`` of five query files in a fresh process.

Compact indexes are compared on the first ``--compare`` cameras (scan times
for all of them): the signs of the fingerprint against the signs of the
image (Bayram, Sencar and Memon 2012; the library's index before it was
quantized to four planes), the library's coarse pass (signs against the
image at four levels) and fine pass (16 levels against 16), the digest of
Goljan, Fridrich and Filler (2010) (the k strongest values of the
fingerprint and their places, k = pixels / 48, the bytes of the signs) and
binarized random projections after Valsesia et al. (2015) (m = pixels / 16
signs of a random circulant projection of the sign-flipped array).

The index's misses (bench/simulated.py ``misses_by_pce``): shots made just
strong enough for their camera's zero-shift test to pass, by PCE. Storage:
the PCE of the library queries of the compared cameras with the fingerprint
as its file stores it (16-bit integers) and as half floats and 8-bit
integers would, against the float32 estimate.

The full run takes about half an hour on a shared 2-core VM, ``--quick``
about 3 minutes; run it alone on the machine (CPU-heavy). It needs about 3
GB of disk, in a temporary folder removed at the end.
"""

import argparse
import math
import os
import statistics
import tempfile
import time

import numpy as np
from PIL import Image

import morvekin_prnu as prnu
import performance_doc
from morvekin_prnu import fingerprint_folder
from morvekin_prnu.binary import coarse_scores, fine_scores, quantize
from morvekin_prnu.postprocessing import postprocess
from morvekin_prnu.search import checked_rule
from morvekin_prnu.storage import as_stored, fingerprint_bytes
from simulated import (QUESTIONED, SHOTS, TRAINING, Camera, machine, misses_by_pce, peak_memory, table,
                       write_shots)

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


def signs(plane):
    """The sign plane of :func:`morvekin_prnu.binary.quantize`, its magnitude planes cleared: signs alone."""
    planes = quantize(plane)
    planes[1:] = 0
    return planes


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
        return signs(projected[self.kept][None, :])


def in_blocks(score, rows, block=8):
    """``score(rows[slice])`` for blocks of rows, concatenated: the fine pass's temporaries stay small."""
    return np.concatenate([score(rows[start:start + block]) for start in range(0, len(rows), block)])


def compare_indexes(files, queries, size, total):
    """Scores of the compact indexes for queries of the compared cameras, and their scan times."""
    pixels = size * size
    kept = pixels // 48
    projection = Projection(pixels, pixels // 16)
    planes, places, values, projected = [], [], [], []
    for file in files:
        fingerprint = fingerprint_folder.read_stored(*file)
        planes.append(quantize(fingerprint))
        found = digest(fingerprint, kept)
        places.append(found[0])
        values.append(found[1])
        projected.append(projection.binarized(fingerprint))
    planes, places, values, projected = map(np.array, (planes, places, values, projected))
    sign_rows, projected_rows = planes[:, 0], projected[:, 0]
    indexes = {
        "signs against signs (Bayram et al. 2012)": (
            sign_rows.nbytes, lambda w, rows: coarse_scores(rows, signs(w)[None], pixels)[:, 0], sign_rows),
        "coarse pass: signs against 4 levels": (
            sign_rows.nbytes, lambda w, rows: coarse_scores(rows, quantize(w)[None], pixels)[:, 0], sign_rows),
        "fine pass: 16 levels against 16": (
            planes.nbytes, lambda w, rows: in_blocks(lambda block: fine_scores(block, quantize(w), pixels), rows),
            planes),
        "digest, k = pixels / 48 (Goljan et al. 2010)": (
            places.nbytes + values.nbytes, lambda w, rows: digest_scores(rows[0], rows[1], w), (places, values)),
        "binarized projections, m = pixels / 16 (Valsesia et al. 2015)": (
            projected_rows.nbytes, lambda w, rows: coarse_scores(rows, projection.binarized(w)[None],
                                                                projection.measurements)[:, 0], projected_rows),
    }
    rows = []
    for name, (nbytes, score, stored) in indexes.items():
        own, null, ratio = [], [], []
        for number, weighted, pce, decided in queries:
            scores = score(weighted, stored)
            own.append(scores[number])
            null += np.delete(scores, number).tolist()
            if decided:
                ratio.append(scores[number] / math.sqrt(pce))
        times = []
        tiled = tuple(_tiled(part, total) for part in stored) if isinstance(stored, tuple) else _tiled(stored, total)
        for weighted in [weighted for _, weighted, _, _ in queries[:3]]:
            start = time.perf_counter()
            score(weighted, tiled)
            times.append(time.perf_counter() - start)
        rows.append([name, f"{nbytes / len(files) / 1024:.1f}", f"{100 * nbytes / (4 * pixels * len(files)):.2f}",
                     f"{statistics.median(times) * 1000:.0f}", f"{statistics.median(ratio):.3f}",
                     f"{min(ratio):.3f}", f"{np.std(null):.2f}", f"{max(null):.2f}"])
    return rows


def stored_pce(compared, cameras):
    """Rows of the storage table: the PCE of the queries with each stored form of their camera's fingerprint."""
    forms = {
        "float32 (format 1)": lambda k: k,
        "16-bit integers (format 2)": as_stored,
        "half floats": lambda k: k.astype(np.float16).astype(np.float32),
        "8-bit integers": lambda k: (np.rint(k * (127 / np.abs(k).max())) * (np.abs(k).max() / 127)).astype(np.float32),
    }
    changes = {name: [] for name in forms}
    for number, weighted, _, _ in compared:
        estimate = cameras[number].simulated_fingerprint()
        exact = prnu.match_residual(estimate, weighted).pce
        for name, form in forms.items():
            changes[name].append(abs(prnu.match_residual(form(estimate), weighted).pce / exact - 1))
    pixels = estimate.size
    plain = len(fingerprint_bytes(estimate, {"sigma": 3.0})) + 2 * pixels  # the same file with float32 values
    sizes = {"float32 (format 1)": plain, "16-bit integers (format 2)": plain - 2 * pixels,
             "half floats": plain - 2 * pixels, "8-bit integers": plain - 3 * pixels}
    return [[name, f"{100 * sizes[name] / plain:.2f} %", f"{statistics.median(changes[name]):.1e}",
             f"{max(changes[name]):.1e}"] for name in forms]


def _tiled(array, count):
    """``count`` rows made by repeating ``array``'s: the scan time of a larger library."""
    return np.resize(array, (count, *array.shape[1:]))


# Timing

def exhaustive_by_files(files, weighted):
    """What matching every file does: each read and tested; the most significant camera and its Match."""
    found = [(name, prnu.match_residual(prnu.load_fingerprint(path)[0], weighted)) for name, path in files]
    return min(found, key=lambda pair: (prnu.matching.significance(pair[1]), pair[0]))


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
    parser.add_argument("--near", type=int, help="shots near the threshold for the misses (300; quick 100)")
    parser.add_argument("--folder", help="where to make the temporary library (default: the system's)")
    parser.add_argument("--doc", action="store_true", help=performance_doc.HELP)
    args = parser.parse_args(argv)
    defaults = dict(cameras=100, size=512, real=2, queries=100, outside=30, exhaustive=10, compare=100, near=100) \
        if args.quick else dict(cameras=1000, size=1024, real=3, queries=200, outside=50, exhaustive=2, compare=250,
                                near=300)
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
        file_bytes = sum(os.path.getsize(camera.file) for camera in stored)
        index_bytes = sum(shard.planes.nbytes for shard in search.shards)
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
            whole = np.asarray(Image.fromarray(image).resize((round(0.8 * args.size),) * 2, Image.Resampling.LANCZOS))
            start = time.perf_counter()
            found_whole = search.identify(whole)
            spent_whole = time.perf_counter() - start
            weighted = prnu.weighted_residual(image)
            own = None
            if camera in cameras:
                own = prnu.match_residual(fingerprint_folder.read_stored(*_file(search, camera.name)), weighted)
                if cameras.index(camera) < args.compare:
                    compared.append((cameras.index(camera), weighted, own.pce, own.same_camera))
            outcomes.append((camera, image, found, spent, own, found_whole, spent_whole))

        print("Compact indexes compared: bytes each reads per camera and their share of its float32 fingerprint "
              "(the library's index holds the four planes of the fine pass, the coarse pass reads its first); time "
              f"to score one image in one orientation against all {args.cameras} cameras; for queries of the first "
              f"{args.compare} cameras that their own camera's full test attributes to it (at a false-alarm "
              f"probability of {prnu.matching.P_FA:g}), the own camera's score over the square root of its PCE "
              "(median and lowest); and the spread and maximum of the other cameras' scores (chance):\n")
        table(["index", "KiB per camera", "% of fingerprint", "scan ms", "score / √PCE", "lowest", "chance s.d.",
               "chance max"],
              compare_indexes([_file(search, camera.name) for camera in cameras[:args.compare]], compared, args.size,
                              args.cameras))
        rule = checked_rule(prnu.matching.P_FA, None, 4, prnu.search.MIN_SCALE)
        rows, threshold = misses_by_pce(search, cameras, args.near, rng, rule)
        print(f"The index's misses by PCE among {args.cameras} cameras: shots made just strong enough for their "
              f"camera's zero-shift test to pass (threshold {threshold:.1f}: four orientations at p_fa "
              f"{rule.p_fa:g}), by their PCE as a multiple of the threshold; how many the index passed over, and how "
              "many other cameras it chose for the full test per shot:\n")
        table(["own PCE, × threshold", "attributed", "missed", "miss rate", "other cameras tested per shot"], rows)
        print("Stored fingerprints: the file's bytes against float32's, and the relative change of the PCE of the "
              f"{len(compared)} queries above with each stored form of their camera's fingerprint:\n")
        table(["stored as", "file bytes", "median |ΔPCE| / PCE", "largest"], stored_pce(compared, cameras))

        # The exhaustive tests, the two ways in turn, on queries from the library and from outside.
        half = args.exhaustive // 2
        chosen = outcomes[:args.exhaustive - half] + outcomes[args.queries:args.queries + half]
        files = [(entry.name, entry.file) for entry in search.entries]
        exhaustive, by_files, same = [], [], 0
        for camera, image, found, *_ in chosen:
            start = time.perf_counter()
            full = search.identify(image, exhaustive=True)
            exhaustive.append(time.perf_counter() - start)
            start = time.perf_counter()
            best_file = exhaustive_by_files(files, prnu.weighted_residual(image))
            by_files.append(time.perf_counter() - start)
            verdicts = {found.verdict, full.verdict, best_file[0] if best_file[1].same_camera else None}
            if len(verdicts) == 1 and found.verdict is not None:
                bits = {np.float64(candidate.match.pce).view(np.uint64) for candidate in (found.candidates[0],
                                                                                          full.candidates[0])}
                same += bits == {np.float64(best_file[1].pce).view(np.uint64)}
            else:
                same += len(verdicts) == 1

        # Peak memory of the command in a fresh process.
        paths = []
        for k, (_, image, *_) in enumerate(outcomes[:5]):
            paths.append(os.path.join(folder, f"query{k}.png"))
            Image.fromarray(image).save(paths[-1])
        peak = peak_memory(library_path, paths)

        identify_times = [o[3] for o in outcomes]
        whole_times = [o[6] for o in outcomes]
        mean_identify = statistics.fmean(identify_times)
        library_queries = outcomes[:args.queries]
        confirmable = [o for o in library_queries if o[4].same_camera]
        named = sum(o[2].verdict == o[0].name for o in confirmable)
        named_whole = sum(o[5].verdict == o[0].name for o in library_queries)
        weak = [o for o in library_queries if not o[4].same_camera]
        weak_none = sum(o[2].verdict is None for o in weak)
        outside_confirmed = sum(o[2].verdict is not None or o[5].verdict is not None for o in outcomes[args.queries:])
        add_time = sum(t[1] for t in timings)
        fingerprint_time = sum(t[0] for t in timings)
        print(f"Identify against exhaustive testing, {args.cameras} cameras of {args.size}x{args.size}:\n")
        table(["measure", "value"], [
            ["identify, mean seconds per image (all queries)", f"{mean_identify:.3f}"],
            ["identify, slowest image", f"{max(identify_times):.3f}"],
            ["cameras tested in full per image, mean", f"{statistics.fmean(o[2].tested for o in outcomes):.2f}"],
            ["identify of the queries resized whole to 0.8, mean seconds per image (slowest)",
             f"{statistics.fmean(whole_times):.3f} ({max(whole_times):.3f})"],
            ["  their cameras tested in full per image, mean", f"{statistics.fmean(o[5].tested for o in outcomes):.2f}"],
            ["  library queries resized whole: verdict names the camera", f"{named_whole}/{len(library_queries)}"],
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
            ["queries from outside cameras with a confirmed camera (as taken or resized)",
             f"{outside_confirmed}/{args.outside}"],
            ["index bytes / fingerprint file bytes (16-bit)", f"{index_bytes / 2**20:.1f} MiB / "
             f"{file_bytes / 2**20:.0f} MiB = {100 * index_bytes / file_bytes:.1f} %"],
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
