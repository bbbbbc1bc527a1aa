"""Crops of unknown scale identified among 100 cameras: one search per group's composite, against one per camera.

    python bench/bench_groups.py            # 100 cameras of 1536x2048, 16 crops of 1024x1024
    python bench/bench_groups.py --quick    # 20 cameras of 768x1024, 10 crops of 512x512
    python bench/bench_groups.py --doc      # also rewrite its section of docs/performance.md

The cameras are simulated (bench/simulated.py) and added to a library in a
temporary folder from their fingerprint files. Each questioned image is a
JPEG shot resized by a factor drawn from [0.7, 1] (Lanczos), cut to
1024x1024 at a random place, turned by a random quarter turn and saved as a
JPEG of quality 85; half are shots of cameras in the library, half of others.

Each is identified as the library does it, its cameras searched through
composites of ``--group`` cameras (:mod:`morvekin_prnu.composites`), and
timed. Testing every camera alone takes about a hundred full searches per
image, over an hour here, so the verdict it would give is taken from the one
search that can attribute the image, its own camera's (each other camera
attributes an image it did not take with probability p_fa, 1e-6, so their
verdict differs from that with a probability of about 1e-4); ``--check``
images are also identified with every camera tested alone, to confirm it.
With ``--small``, the same images are also identified through composites
of that many cameras: more searches, weaker matches found.
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
from morvekin_prnu import composites, fingerprint_folder
from morvekin_prnu.search import checked_rule
from simulated import QUESTIONED, Camera, machine, table

BANDS = (0.0, 1.0, 4.0, 20.0, 100.0)  # own PCE bands, as multiples of the search's threshold


def crop_of(camera, rng, side):
    """A JPEG (quality 85) of a shot resized by a factor in [0.7, 1], cut to side x side and turned: uint8 RGB."""
    pixels = camera.shot(rng, QUESTIONED)
    scale = rng.uniform(0.7, 1.0)
    rows, columns = (round(length * scale) for length in camera.shape)
    small = np.asarray(Image.fromarray(pixels).resize((columns, rows), Image.Resampling.LANCZOS))
    top, left = int(rng.integers(rows - side + 1)), int(rng.integers(columns - side + 1))
    cut = np.rot90(small[top:top + side, left:left + side], int(rng.integers(4)))
    return np.ascontiguousarray(cut), scale


def identified(library, image, group):
    """identify() with composites of ``group`` cameras; the Identification and the seconds it took."""
    default, composites.GROUP = composites.GROUP, group
    try:
        start = time.perf_counter()
        found = library.identify(image)
        return found, time.perf_counter() - start
    finally:
        composites.GROUP = default


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="20 cameras of 768x1024, 10 crops of 512x512")
    parser.add_argument("--group", type=int, default=composites.GROUP, help="cameras per composite (the library's)")
    parser.add_argument("--small", type=int, help="also identify through composites of this many cameras "
                                                   "(quick: 10)")
    parser.add_argument("--check", type=int, default=0, help="images also identified by testing every camera alone")
    parser.add_argument("--doc", action="store_true", help=performance_doc.HELP)
    args = parser.parse_args(argv)
    count, shape, side, images = (20, (768, 1024), 512, 10) if args.quick else (100, (1536, 2048), 1024, 16)
    if args.quick and args.small is None:
        args.small = 10
    started = time.perf_counter()
    rng = np.random.default_rng(2015)
    cameras = [Camera(k, shape, int(seed)) for k, seed in enumerate(rng.integers(2**32, size=count))]
    outsiders = [Camera(1000 + k, shape, int(seed)) for k, seed in enumerate(rng.integers(2**32, size=images))]
    rule = checked_rule(prnu.matching.P_FA, None, 4, prnu.search.MIN_SCALE)
    print(f"{machine()}\n")
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as folder:
        with prnu.Library(os.path.join(folder, "library"), create=True) as library:
            for camera in cameras:
                path = os.path.join(folder, "simulated.npz")
                prnu.save_fingerprint(path, camera.simulated_fingerprint(), {"sigma": prnu.residual.SIGMA})
                library.add_fingerprint(camera.name, path)
            files = {camera.name: (camera.file, camera.sha256) for camera in library.cameras()}
            owners = [cameras[k] for k in rng.integers(count, size=images // 2)] + outsiders[:images - images // 2]
            crops = [crop_of(owner, rng, side) for owner in owners]
            # Each group size in a pass of its own: the composites of one image serve the next, as they would.
            small_rows = [identified(library, image, args.small) for image, _ in crops] if args.small else []
            composites.composite.cache_clear()
            rows = []
            for number, (owner, (image, scale)) in enumerate(zip(owners, crops)):
                found, spent = identified(library, image, args.group)
                own = None
                if owner.name in files:  # the verdict testing every camera alone gives, from the one that can decide
                    own = prnu.match(fingerprint_folder.read_stored(*files[owner.name]), image, sigma=3.0)
                alone = own is not None and own.same_camera and owner.name
                if number < args.check:
                    start = time.perf_counter()
                    every = library.identify(image, exhaustive=True)
                    print(f"image {number}: every camera tested alone in {time.perf_counter() - start:.0f} s, "
                          f"verdict {every.verdict}, expected {alone or None}")
                    alone = every.verdict
                rows.append((owner.name in files, scale, own, alone or None, found, spent))
                print(f"image {number}: {found.verdict} in {spent:.1f} s ({found.tested} tested), own PCE "
                      f"{own.pce if own else float('nan'):.0f}"
                      + (f", composites of {args.small}: {small_rows[number][0].verdict} in "
                         f"{small_rows[number][1]:.1f} s" if small_rows else ""), flush=True)
    _, searches = prnu.search.plan((side, side), shape, prnu.search.chosen_orientations(4), rule.min_scale)
    threshold = prnu.matching.pce_threshold(rule.p_fa, sum(search.positions for search in searches))
    print(f"\n{count} cameras of {shape[0]}x{shape[1]}; {len(rows)} crops of {side}x{side} (resized 0.7 to 1, turned), "
          f"{sum(r[0] for r in rows)} of them by library cameras; a full search's threshold is PCE {threshold:.0f}:\n")
    summary = []
    passes = [(f"composites of {args.group}", [(r[4], r[5]) for r in rows])]
    passes += [(f"composites of {args.small}", small_rows)] if small_rows else []
    for label, outcome in passes:
        same = sum(found.verdict == r[3] for (found, _), r in zip(outcome, rows))
        summary.append([label, f"{statistics.fmean(t for _, t in outcome):.1f}", f"{max(t for _, t in outcome):.1f}",
                        f"{same}/{len(rows)} ({100 * same / len(rows):.0f} %)",
                        f"{sum(f.verdict is not None and f.verdict != r[3] for (f, _), r in zip(outcome, rows))}"])
    table(["search", "seconds per image, mean", "slowest", "verdict as testing every camera alone",
           "attributed to another camera"], summary)
    print("The same by the own camera's PCE (library crops only; a crop its camera's own search does not attribute "
          "has the verdict none either way):\n")
    bands = []
    for low, high in zip(BANDS, (*BANDS[1:], math.inf)):
        chosen = [k for k, r in enumerate(rows) if r[2] is not None and low * threshold <= r[2].pce < high * threshold]
        if not chosen:
            continue
        bands.append([f"{low:g}–{high:g} × threshold" if high < math.inf else f"{low:g} × threshold and up",
                      len(chosen)]
                     + [f"{sum(outcome[k][0].verdict == rows[k][3] for k in chosen)}/{len(chosen)}"
                        for _, outcome in passes])
    table(["own PCE", "crops", *(f"{label}: same verdict" for label, _ in passes)], bands)
    print(f"Whole run: {(time.perf_counter() - started) / 60:.1f} minutes.")


if __name__ == "__main__":
    with performance_doc.recorded("bench_groups"):
        main()
