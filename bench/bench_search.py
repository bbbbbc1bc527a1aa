"""The searched match before and after its two-stage engine, timed in the same run.

    python bench/bench_search.py [--quick]
    python bench/bench_search.py --doc    # also rewrite its section of docs/performance.md

On a simulated camera of 2000x3000 (6 MP; ``--quick``: 1000x1500) it times
``morvekin_prnu.search.tested`` (the search, the image's residual already
made) against the one-stage search it replaced (``bench/search_today.py``),
the two in turn on the same residual, for:

- a 1024x1024 crop (``--quick``: 512x512) of a shot resized by 0.8 and by
  0.93, four orientations, against another camera's fingerprint (the search
  runs to its end) and against its own;
- the shot resized whole to a long side of 2048 (``--quick``: 1024), against
  another camera and its own.

Each image is saved as a JPEG of quality 85 after it was resized and cut. The
table gives both times, their ratio, and each engine's PCE, scale, p-value
and verdict. The machine is shared: the ratios of one run, taken in turn,
mean more than the seconds.
"""

import argparse
import os
import sys
import time

import numpy as np

import morvekin_prnu
from morvekin_prnu import search

import performance_doc
import search_today
from bench_geometry import jpeg, machine, pictures

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "prnu"))
from cameras import resized, sensor_pattern, shot  # noqa: E402


def images(rng, pattern, side, long_side):
    """(name, JPEG pixels) of the questioned images made from one shot through ``pattern``."""
    pixels = shot(rng, pattern, pictures(("aero",), pattern.shape))
    made = []
    for scale in (0.8, 0.93):
        smaller = resized(pixels, scale)
        top, left = (int(rng.integers(length - side + 1)) for length in smaller.shape[:2])
        made.append((f"{side}x{side} crop of a shot resized by {scale:g}",
                     jpeg(smaller[top:top + side, left:left + side])))
    made.append((f"resized whole to a long side of {long_side}",
                 jpeg(resized(pixels, long_side / max(pattern.shape)))))
    return made


def timed(engine, fingerprint, weighted, rule):
    start = time.perf_counter()
    found = engine.tested(fingerprint, weighted, rule)
    return time.perf_counter() - start, found


def described(found):
    return f"{found.pce:.1f} at {found.scale:.3f} {found.orientation}, p {found.p_value:.2g}, {found.same_camera}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a 1.5 MP camera and 512x512 crops")
    parser.add_argument("--doc", action="store_true", help=performance_doc.HELP)
    args = parser.parse_args(argv)
    shape, side, long_side = ((1000, 1500), 512, 1024) if args.quick else ((2000, 3000), 1024, 2048)
    rng = np.random.default_rng(27)
    pattern = sensor_pattern(rng, shape)
    # A fingerprint estimate is the pattern plus the noise of its estimation.
    own = (pattern + rng.normal(0.0, 0.02, shape)).astype(np.float32)
    other = (sensor_pattern(rng, shape) + rng.normal(0.0, 0.02, shape)).astype(np.float32)
    rule = search.checked_rule(morvekin_prnu.matching.P_FA, None, 4, search.MIN_SCALE)
    print(machine())
    print(f"\nA simulated {shape[0]}x{shape[1]} camera ({shape[0] * shape[1] / 1e6:.1f} MP); the search only "
          "(the residual made beforehand), four orientations, scales 1 to 0.5, p_fa 1e-6:\n")
    print("| image | against | before (s) | after (s) | × faster | before: PCE at scale, p-value, verdict "
          "| after |")
    print("| --- | --- | ---: | ---: | ---: | --- | --- |")
    totals = {"other": [0.0, 0.0], "own": [0.0, 0.0]}
    for name, pixels in images(rng, pattern, side, long_side):
        weighted = morvekin_prnu.weighted_residual(pixels)
        for against, fingerprint in (("other", other), ("own", own)):
            before, old = timed(search_today, fingerprint, weighted, rule)
            after, new = timed(search, fingerprint, weighted, rule)
            totals[against][0] += before
            totals[against][1] += after
            print(f"| {name} | {against} camera | {before:.1f} | {after:.1f} | {before / after:.1f} "
                  f"| {described(old)} | {described(new)} |", flush=True)
    for against, (before, after) in totals.items():
        print(f"\nAgainst {against} cameras, the three images: {before:.0f} s before, {after:.0f} s after, "
              f"{before / after:.1f} times faster.")


if __name__ == "__main__":
    with performance_doc.recorded("bench_search"):
        main()
