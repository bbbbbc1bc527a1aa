"""Detection, false alarms and speed of matching resized, cropped and turned images.

    python bench/bench_geometry.py [--quick]
    python bench/bench_geometry.py --doc    # also rewrite its section of docs/performance.md

On simulated cameras (the known pattern K of ``tests/prnu/cameras.py``,
fingerprints estimated from shots of PyWavelets' "camera" and "ascent",
questioned shots of "aero", every questioned image recompressed as JPEG of
quality 85 after it was resized and cut), it prints markdown tables of:

1. detection: the share of a camera's own shots found, by scale (1, 0.9,
   0.75, 0.5, 0.3; searched down to 0.3) and crop (whole, or a random crop of
   3/4 or 1/2 of each side), at the default false-alarm probability and the
   shares whose p-value would pass at 1e-3 and 1e-9, with the median PCE;
2. false alarms: unrelated pairs (every questioned image against the other
   cameras' fingerprints) attributed at nominal false-alarm probabilities, for
   images as taken, cropped, and resized and cropped, and for shots of the
   very pictures the fingerprints were made from (which break the
   assumption the false-alarm probability rests on), with how many of the
   attributions the shared-scene check flags;
3. the scale grid: detection, PCE and time of the same images searched with
   grid steps (:data:`morvekin_prnu.geometry.STEP`) of 1, 2, 3 and 4;
4. speed: ``match`` of a shot as taken against the same shot resized whole
   (own camera), and a resized-and-cropped 2 MP image against a 6 MP
   fingerprint searched over scales 1 to 0.5, for its own camera and another,
   with the cost of one scale of the search split into its steps;
5. the search's first pass at lower resolutions than its own
   (:data:`morvekin_prnu.coarse.BAND`), with more candidates: how many of
   the detection table's own-camera images each still finds, and its time.

The full run takes about 10 minutes on 2 busy cores; ``--quick`` shrinks
every size and count (under 2 minutes).
"""

import argparse
import importlib.metadata
import io
import math
import os
import platform
import sys
import time
from unittest import mock

import numpy as np
import pywt
import scipy
from PIL import Image

import morvekin_prnu
from morvekin_prnu import coarse, geometry, matching, search
from morvekin_prnu._fft import irfft2, rfft2

import performance_doc

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "prnu"))
from cameras import resized, sensor_pattern, shot  # noqa: E402

SCALES = (1.0, 0.9, 0.75, 0.5, 0.3)
CROPS = (1.0, 0.75, 0.5)
P_FAS = (1e-1, 1e-2, 1e-3, matching.P_FA)


def machine(*extra):
    """The processor, its cores and the versions that matter, with ``extra`` (name, version) pairs besides."""
    model = platform.processor()
    if os.path.exists("/proc/cpuinfo"):
        with open("/proc/cpuinfo") as file:
            model = next((line.split(":", 1)[1].strip() for line in file if line.startswith("model name")), model)
    versions = ", ".join(f"{name} {version}" for name, version in (
        ("Python", platform.python_version()), ("NumPy", np.__version__), ("SciPy", scipy.__version__),
        ("PyWavelets", pywt.__version__), *extra, ("morvekin", importlib.metadata.version("morvekin"))))
    return f"{model}, {len(os.sched_getaffinity(0))} cores; {versions}"


def pictures(names, shape):
    """PyWavelets pictures repeated to cover ``shape``, as scenes for cameras.shot."""
    tiles = (-(-shape[0] // 512), -(-shape[1] // 512))
    return tuple((lambda name=name: np.tile(getattr(pywt.data, name)(), tiles)) for name in names)


def jpeg(pixels, quality=85):
    buffer = io.BytesIO()
    Image.fromarray(pixels).save(buffer, "JPEG", quality=quality)
    buffer.seek(0)
    with Image.open(buffer) as decoded:
        return np.asarray(decoded.convert("RGB"))


def cropped(rng, pixels, fraction):
    rows, columns = (round(length * fraction) for length in pixels.shape[:2])
    top, left = rng.integers(pixels.shape[0] - rows + 1), rng.integers(pixels.shape[1] - columns + 1)
    return pixels[top:top + rows, left:left + columns]


def cameras(rng, count, shape, training_shots, questioned_shots):
    """(fingerprints, questioned shots per camera, shots per camera of the fingerprints' pictures) of ``count``
    simulated cameras."""
    training, held_out = pictures(("camera", "ascent"), shape), pictures(("aero",), shape)
    patterns = [sensor_pattern(rng, shape) for _ in range(count)]
    fingerprints = [morvekin_prnu.fingerprint(shot(rng, k, training) for _ in range(training_shots)) for k in patterns]
    return (fingerprints, [[shot(rng, k, held_out) for _ in range(questioned_shots)] for k in patterns],
            [[shot(rng, k, training) for _ in range(questioned_shots)] for k in patterns])


def detection(rng, fingerprints, questioned):
    print("\nDetection of a camera's own shots (JPEG q85 after resizing and cropping; searched down to 0.3):\n")
    print(f"| scale | crop (of each side) | found at p_fa {matching.P_FA:g} | at 1e-3 | at 1e-9 | median PCE | "
          "median seconds | found but flagged |")
    print("| ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for scale in SCALES:
        for fraction in CROPS:
            found, seconds = [], []
            for fingerprint, shots in zip(fingerprints, questioned):
                for pixels in shots:
                    image = jpeg(cropped(rng, resized(pixels, scale), fraction))
                    start = time.perf_counter()
                    found.append(morvekin_prnu.match(fingerprint, image, min_scale=0.3))
                    seconds.append(time.perf_counter() - start)
            rates = [np.mean([m.same_camera for m in found])] + \
                [np.mean([m.p_value <= p_fa for m in found]) for p_fa in (1e-3, 1e-9)]
            flagged = sum(bool(m.flags) for m in found if m.same_camera)
            print(f"| {scale:g} | {fraction:g} | " + " | ".join(f"{rate:.0%}" for rate in rates)
                  + f" | {np.median([m.pce for m in found]):.0f} | {np.median(seconds):.2f} | {flagged} |")
    print("\nA p-value is that of the search as it ran at the default p_fa; one that stopped early at a decisive "
          "peak is counted as found at 1e-9 only if that peak alone passes. The questioned shots show another "
          "picture than the fingerprints': a flag on them is a false caution.")


def false_alarms(rng, fingerprints, questioned, same_pictures):
    print("\nFalse alarms: every questioned shot against every other camera's fingerprint:\n")
    kinds = {
        "as taken (zero shift)": (questioned, lambda pixels: pixels),
        "cropped to 3/4 of each side": (questioned, lambda pixels: cropped(rng, pixels, 0.75)),
        "resized 0.75 and cropped to 3/4": (questioned, lambda pixels: cropped(rng, resized(pixels, 0.75), 0.75)),
        "same pictures as the fingerprints', resized 0.75 and cropped to 3/4":
            (same_pictures, lambda pixels: cropped(rng, resized(pixels, 0.75), 0.75)),
    }
    print("| image | pairs | tests per pair | " + " | ".join(f"at {p:g}" for p in P_FAS)
          + f" | flagged 'shared scene' at {matching.P_FA:g} |")
    print("| --- | ---: | ---: | " + " | ".join("---:" for _ in P_FAS) + " | ---: |")
    for kind, (shots_of, made) in kinds.items():
        found = []
        for camera, shots in enumerate(shots_of):
            others = [fingerprint for other, fingerprint in enumerate(fingerprints) if other != camera]
            for pixels in shots:
                found += morvekin_prnu.match_all(others, jpeg(made(pixels)))
        alarms = [f"{sum(m.p_value <= p_fa for m in found)} (expected {p_fa * len(found):.3g})" for p_fa in P_FAS]
        tests = sorted(m.positions for m in found)
        flagged = sum("shared scene" in m.flags for m in found if m.same_camera)
        print(f"| {kind} | {len(found)} | {tests[0]}–{tests[-1]} | " + " | ".join(alarms) + f" | {flagged} |")
    print("\nThe stated false-alarm probability holds when an image and a fingerprint share nothing but, at most, "
          "the sensor: shots of the pictures a fingerprint was made from break that, and the shared-scene check "
          "flags the attributions they cause.")


def grid_steps(rng, fingerprints, questioned):
    print("\nThe scale grid: the same images searched with coarser and finer steps.\n")
    cases = [(fingerprint, jpeg(cropped(rng, resized(pixels, scale), fraction)))
             for fingerprint, shots in zip(fingerprints, questioned) for pixels in shots
             for scale, fraction in ((0.75, 0.75), (0.5, 1.0), (0.9, 0.5), (0.6, 0.6))]
    print(f"{len(cases)} images: resized 0.75 and cut to 3/4 of each side, 0.5 whole, 0.9 cut to 1/2, 0.6 cut to "
          "0.6:\n")
    print("| step | found | median PCE | lowest PCE found | seconds |")
    print("| ---: | ---: | ---: | ---: | ---: |")
    for step in (1.0, 2.0, 3.0, 4.0):
        with mock.patch.object(geometry, "STEP", step), mock.patch.object(coarse, "STEP", step):
            seconds, found = timed(lambda: [morvekin_prnu.match(fingerprint, image) for fingerprint, image in cases])
        pce = [m.pce for m in found if m.same_camera]
        print(f"| {step:g} | {len(pce)}/{len(found)} | {np.median([m.pce for m in found]):.0f} | "
              f"{min(pce, default=float('nan')):.0f} | {seconds:.1f} |")


def first_pass(rng, fingerprints, questioned):
    print("\nThe search's first pass at lower resolutions: own-camera shots resized and cut as in the detection "
          "table (every row but the shot as taken), searched down to 0.3:\n")
    cases = [((scale, fraction), fingerprint, jpeg(cropped(rng, resized(pixels, scale), fraction)))
             for scale in SCALES for fraction in CROPS if (scale, fraction) != (1.0, 1.0)
             for fingerprint, shots in zip(fingerprints, questioned) for pixels in shots]
    print("| share of the image's resolution | candidates | found | rows where fewer were found "
          "| seconds |")
    print("| ---: | ---: | ---: | --- | ---: |")
    kept = None
    for band, candidates in ((coarse.BAND, search.CANDIDATES), (0.6, search.CANDIDATES), (0.5, 2 * search.CANDIDATES)):
        with mock.patch.object(coarse, "BAND", band), mock.patch.object(search, "CANDIDATES", candidates):
            seconds, found = timed(lambda: [morvekin_prnu.match(fingerprint, image, min_scale=0.3)
                                            for _, fingerprint, image in cases])
        rows = {}
        for (row, _, _), match in zip(cases, found):
            rows[row] = rows.get(row, 0) + match.same_camera
        kept = kept or rows
        fewer = "; ".join(f"{scale:g} cut to {fraction:g}: {rows[scale, fraction]} of {kept[scale, fraction]}"
                          for scale, fraction in rows if rows[scale, fraction] < kept[scale, fraction])
        print(f"| {band:g} | {candidates} | {sum(rows.values())}/{len(cases)} | {fewer or '-'} | {seconds:.1f} |")
    print("\nThe first row is the search as it runs; the others bring the first pass's resolution down, which "
          "makes it cheaper (about the cube of the share) and weakens the matches it has to rank.")


def timed(function, *args, **options):
    start = time.perf_counter()
    result = function(*args, **options)
    return time.perf_counter() - start, result


def speed(rng, rows, columns, crop_megapixels):
    print(f"\nSpeed against a {rows}x{columns} fingerprint ({rows * columns / 1e6:.1f} MP):\n")
    pattern = sensor_pattern(rng, (rows, columns))
    # A fingerprint estimate is the pattern plus the noise of its estimation.
    own = (pattern + rng.normal(0.0, 0.02, pattern.shape)).astype(np.float32)
    other = sensor_pattern(rng, (rows, columns)).astype(np.float32)
    pixels = shot(rng, pattern, pictures(("aero",), (rows, columns)))
    print("| image | against | seconds | × unsearched | PCE | scale | orientation | tests | same camera |")
    print("| --- | --- | ---: | ---: | ---: | ---: | --- | ---: | --- |")
    baseline = None
    smaller = resized(pixels, 0.7)
    side = math.sqrt(crop_megapixels * 1e6 / (rows * columns))
    cut = jpeg(smaller[:round(rows * side), 40:40 + round(columns * side)])
    cases = [("as taken (unsearched)", pixels, own, {}),
             ("resized whole to 0.75", jpeg(resized(pixels, 0.75)), own, {}),
             ("resized whole to 0.5", jpeg(resized(pixels, 0.5)), own, {}),
             ("resized whole to 0.3, searched to 0.3", jpeg(resized(pixels, 0.3)), own, {"min_scale": 0.3}),
             (f"resized 0.7, cut to {cut.shape[0]}x{cut.shape[1]}", cut, own, {}),
             ("  the same, 1 orientation", cut, other, {"orientations": 1}),
             ("  the same, 4 orientations", cut, other, {})]
    for name, image, fingerprint, options in cases:
        seconds, found = timed(morvekin_prnu.match, fingerprint, image, **options)
        baseline = baseline or seconds
        against = "own" if fingerprint is own else "other"
        print(f"| {name} | {against} camera | {seconds:.1f} | {seconds / baseline:.2f} | {found.pce:.0f} "
              f"| {found.scale:.3f} | {found.orientation} | {found.positions:.3g} | {found.same_camera} |")
    weighted = morvekin_prnu.weighted_residual(cut)
    residual_seconds, _ = timed(morvekin_prnu.weighted_residual, cut)
    aligned, searches = search.plan(weighted.shape, own.shape, search.ORIENTATIONS[:4])
    print(f"\nThe cut image's residual takes {residual_seconds:.2f} s; its search tries "
          + ", ".join(f"{len(s.scales)} scales {s.orientation}" for s in searches) + ". One scale of it:\n")
    steps(own, weighted)


def steps(fingerprint, weighted, scale=0.75, rounds=5):
    """Median seconds of each step of one scale of the search."""
    shape = fingerprint.shape
    kernel = rfft2(fingerprint - fingerprint.mean(), shape, np.float32)
    image = weighted.astype(np.float32)
    covered = search.extent(image.shape, scale, shape)
    times = {name: [] for name in ("up-sample", "forward FFT", "product", "inverse FFT", "PCE")}
    for _ in range(rounds):
        start = time.perf_counter()
        enlarged = search.upsampled(image, covered, (scale, scale), np.float32)
        enlarged -= enlarged.mean()
        marks = [time.perf_counter()]
        product = np.conj(rfft2(enlarged, shape, np.float32))
        marks.append(time.perf_counter())
        product *= kernel
        marks.append(time.perf_counter())
        correlation = irfft2(product, shape)
        marks.append(time.perf_counter())
        region = correlation[:shape[0] - covered[0] + 1, :shape[1] - covered[1] + 1]
        morvekin_prnu.pce(correlation, peak=np.unravel_index(np.argmax(region), region.shape))
        marks.append(time.perf_counter())
        for name, begin, end in zip(times, [start] + marks, marks):
            times[name].append(end - begin)
    total = sum(np.median(values) for values in times.values())
    print("| step | seconds | share |")
    print("| --- | ---: | ---: |")
    for name, values in times.items():
        print(f"| {name} | {np.median(values):.3f} | {np.median(values) / total:.0%} |")
    print(f"| one scale | {total:.3f} | 100% |")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes and counts: under 2 minutes")
    parser.add_argument("--doc", action="store_true", help=performance_doc.HELP)
    args = parser.parse_args(argv)
    rng = np.random.default_rng(2026)
    print(machine())
    shape, count, training, questioned = ((256, 384), 3, 8, 2) if args.quick else ((512, 768), 3, 12, 3)
    fingerprints, shots, _ = cameras(rng, count, shape, training, questioned)
    own_cameras = (fingerprints, shots)
    print(f"\n{count} simulated cameras of {shape[0]}x{shape[1]}, fingerprints from {training} shots, "
          f"{questioned} questioned shots each")
    detection(rng, fingerprints, shots)
    grid_steps(rng, fingerprints[:2], shots)
    small_shape = (128, 192)
    fingerprints, shots, same_pictures = cameras(rng, 12 if args.quick else 20, small_shape, 12,
                                                 4 if args.quick else 6)
    print(f"\n{len(fingerprints)} simulated cameras of {small_shape[0]}x{small_shape[1]}, fingerprints from 12 shots")
    false_alarms(rng, fingerprints, shots, same_pictures)
    if args.quick:
        speed(rng, 1000, 1500, 0.5)
    else:
        speed(rng, 2000, 3000, 2.0)
    first_pass(np.random.default_rng(27), *own_cameras)


if __name__ == "__main__":
    with performance_doc.recorded("bench_geometry"):
        main()
