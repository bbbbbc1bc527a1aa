"""Likelihood ratios on simulated cameras: how well they perform, and how long one takes.

    python bench/bench_evidence.py [--quick]
    python bench/bench_evidence.py --doc    # also rewrite its section of docs/performance.md

On simulated cameras (the known pattern K of ``tests/prnu/cameras.py``,
fingerprints estimated from shots of PyWavelets' "camera" and "ascent",
questioned shots of "aero", every questioned image compressed as JPEG of
quality 85 after it was resized and cut), it prints markdown tables of:

1. validation (:func:`morvekin_prnu.validation.cross_validated`): every
   shot against every camera's fingerprint, each comparison's LR calibrated
   on the others as a case would calibrate it, for shots as taken and for
   shots resized and cut: Cllr, Cllr-min, rates of misleading evidence, and
   how often a different-source LR passed its bounds; with the score that
   morvekin_prnu.evidence uses, -log10 of the p-value, and with log10 PCE;
2. the time of one LR: a questioned shot as taken against a suspect camera,
   with 10 same-source references and a population of 100 cameras'
   fingerprint files, at two sizes; and the population's part done with
   ``weighted_residual`` once and ``match_residual`` per fingerprint against
   ``match`` per fingerprint, interleaved.

The full run took about 18 minutes on 2 busy cores; ``--quick`` shrinks every
size and count (about 4 minutes).
"""

import argparse
import importlib.metadata
import math
import os
import sys
import tempfile
import time
import warnings

import numpy as np
import performance_doc
from bench_geometry import cameras, cropped, jpeg, machine, pictures

import morvekin_prnu
from morvekin_prnu import evidence, likelihood, validation

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "prnu"))
from cameras import resized, sensor_pattern, shot  # noqa: E402

CONDITIONS = {
    "as taken": lambda rng, pixels: jpeg(pixels),
    "resized 0.75, cut to 3/4 of each side": lambda rng, pixels: jpeg(cropped(rng, resized(pixels, 0.75), 0.75)),
    "resized 0.75, cut to 1/2 of each side": lambda rng, pixels: jpeg(cropped(rng, resized(pixels, 0.75), 0.5)),
}
POPULATION = 100


def log10_pce(found):
    """The score first tried: log10 PCE, below 1 counted as 1."""
    return math.log10(max(found.pce, 1.0))


def validated(rng, fingerprints, shots):
    print("\nValidation: every questioned shot against every fingerprint, each LR calibrated on the other "
          "comparisons and bounded (ELUB), with the score of morvekin_prnu.evidence (-log10 p-value) and with "
          "log10 PCE:\n")
    print("| questioned shots | score | comparisons (same / different) | Cllr | Cllr-min | same source LR < 1 | "
          f"different source LR > 1 | LR > {validation.STRONG:g} | beyond the upper bound | largest different LR | "
          "upper bounds | seconds |")
    print("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    cameras_of = [f"camera{k}" for k in range(len(fingerprints))]
    for condition, made in CONDITIONS.items():
        start = time.perf_counter()
        found, labels = [], []
        for camera, taken in zip(cameras_of, shots):
            for pixels in taken:
                weighted = morvekin_prnu.weighted_residual(made(rng, pixels))
                found.append([morvekin_prnu.match_residual(fingerprint, weighted) for fingerprint in fingerprints])
                labels.append(camera)
        matched = time.perf_counter() - start
        for name, scored in (("-log10 p", likelihood.score), ("log10 PCE", log10_pce)):
            start = time.perf_counter()
            scores = np.array([[scored(m) for m in row] for row in found])
            result = validation.cross_validated(scores, labels, cameras_of)
            measured = validation.performance(result)
            seconds = time.perf_counter() - start + matched
            upper = result.log10_bounds[:, 1]
            print(f"| {condition} | {name} | {measured.same_source} / {measured.different_source} | "
                  f"{measured.cllr:.3f} | {measured.cllr_min:.3f} | {measured.misleading_same:.1%} | "
                  f"{measured.misleading_different:.1%} | {measured.strongly_misleading:.1%} | "
                  f"{measured.beyond_bound} | {10 ** measured.largest_different:.3g} | "
                  f"{10 ** upper.min():.3g}–{10 ** upper.max():.3g} | {seconds:.0f} |")
    print("\n\"beyond the upper bound\" counts different-source comparisons whose LR before bounding exceeded the "
          "upper bound its references support; the largest different-source LR is after bounding. The seconds "
          "include matching every image against every fingerprint.")


def one_lr(rng, shape, folder, population=POPULATION, references=10):
    """Seconds of the parts of one LR: a shot as taken against a suspect with a population of fingerprint files."""
    pattern = sensor_pattern(rng, shape)
    scenes = pictures(("aero",), shape)
    suspect = (pattern + rng.normal(0.0, 0.02, shape)).astype(np.float32)
    files = []
    for k in range(population + 1):
        path = os.path.join(folder, f"{shape[0]}x{shape[1]}_{k}.npz")
        estimate = suspect if k == 0 else sensor_pattern(rng, shape).astype(np.float32)
        morvekin_prnu.save_fingerprint(path, estimate, {"sigma": 3.0})
        files.append(path)
    same = [shot(rng, pattern, scenes) for _ in range(references)]
    questioned = shot(rng, pattern, scenes)
    start = time.perf_counter()
    case = evidence.Case(files[0], same_source=same, population=files[1:])
    opened = time.perf_counter()
    found = case.evidence(questioned)
    done = time.perf_counter()
    print(f"| {shape[0]}x{shape[1]} ({shape[0] * shape[1] / 1e6:.1f} MP) | {opened - start:.1f} | {done - opened:.1f} "
          f"| {done - start:.1f} | {found.match.pce:.0f} | {found.ratio.bounded_lr:.3g} |")
    return files, questioned


def population_ways(files, questioned, rounds=3, count=10):
    """Interleaved: the population scored from one residual, and by match per fingerprint."""
    fingerprints = [morvekin_prnu.load_fingerprint(path)[0] for path in files[1:count + 1]]
    times = {"weighted_residual once, match_residual each": [], "match each": []}
    for _ in range(rounds):
        start = time.perf_counter()
        weighted = morvekin_prnu.weighted_residual(questioned)
        once = [morvekin_prnu.match_residual(fingerprint, weighted) for fingerprint in fingerprints]
        middle = time.perf_counter()
        each = [morvekin_prnu.match(fingerprint, questioned) for fingerprint in fingerprints]
        end = time.perf_counter()
        assert [m.pce for m in once] == [m.pce for m in each]
        times["weighted_residual once, match_residual each"].append(middle - start)
        times["match each"].append(end - middle)
    base = np.median(times["weighted_residual once, match_residual each"])
    print(f"\nThe population's part, {count} fingerprints of {fingerprints[0].shape[0]}x{fingerprints[0].shape[1]}, "
          f"median of {rounds} interleaved rounds:\n")
    print("| way | seconds | × the first |")
    print("| --- | ---: | ---: |")
    for way, values in times.items():
        print(f"| {way} | {np.median(values):.2f} | {np.median(values) / base:.2f} |")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes and counts: about 4 minutes")
    parser.add_argument("--doc", action="store_true", help=performance_doc.HELP)
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore", morvekin_prnu.FingerprintWarning)  # the simulated cameras' few shots
    rng = np.random.default_rng(2026)
    print(f"{machine()}, lir {importlib.metadata.version('lir')}")
    shape, count, training, questioned = ((256, 384), 6, 16, 11) if args.quick else ((384, 512), 8, 24, 12)
    fingerprints, shots, _ = cameras(rng, count, shape, training, questioned)
    print(f"\n{count} simulated cameras of {shape[0]}x{shape[1]}, fingerprints from {training} shots, {questioned} "
          "questioned shots each (JPEG quality 85)")
    validated(rng, fingerprints, shots)
    print(f"\nOne LR: a shot as taken against a suspect camera, {10} same-source references and a population of "
          f"{POPULATION} fingerprint files (the case opened, then the questioned image's evidence):\n")
    print("| size | open the case (s) | evidence (s) | total (s) | PCE | reported LR |")
    print("| --- | ---: | ---: | ---: | ---: | ---: |")
    with tempfile.TemporaryDirectory() as folder:
        for size in ((512, 768), (1000, 1500)) if args.quick else ((1000, 1500), (1500, 2000)):
            files, questioned_shot = one_lr(rng, size, folder)
        population_ways(files, questioned_shot)


if __name__ == "__main__":
    with performance_doc.recorded("bench_evidence"):
        main()
