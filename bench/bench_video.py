"""Reading videos and a video's fingerprint: decoding, each frame against averaged frames, and photographs.

    python bench/bench_video.py [--quick]
    python bench/bench_video.py --doc    # also rewrite its section of docs/performance.md

One simulated camera (``tests/prnu/cameras.py``: a white sensor pattern K of
3000x2000) films ten seconds at 30 frames per second of a slow pan over
PyWavelets' "aero" picture, I = I0 (1 + K) + noise at the sensor's size; the
frames are brought to 1920x1080 and 1280x720 as phones do (resized until
they cover the frame, then cut about the centre: ``tests/prnu/videos.py``)
and encoded with libx264 and libx265 (preset "fast", a key frame every
second) at 4, 8 and 16 Mb/s: twelve videos of one scene. It prints markdown
tables of:

1. each video: its bits per pixel, and the seconds to read all its frames
   and its key frames only (``read_video``);
2. the plane: the fingerprint of every 10th frame from the luma plane as
   stored against the frames converted to RGB;
3. the fingerprint of each video, from each frame (key frames, every 10th,
   every frame) and from averaged frames (Taspinar et al. 2020: every frame,
   averaged by 10 and by 30): seconds to read and to estimate, and PCE of
   the estimate against the sensor's pattern as it lies on the frames (K
   resized and cut alike), the yardstick of an estimate's quality;
4. the same against the number of frames used, for the 8 Mb/s videos;
5. each video matched as a case matches it (``morvekin_prnu.match`` of the
   file: its key frames decoded, their fingerprint, and the search over the
   scales where the frames span the sensor, four orientations: the hybrid
   test of Iuliani et al. 2019) against the fingerprint of the camera's own
   photographs (12 JPEG shots of "camera" and "ascent" at 3000x2000) and of
   five other cameras': the PCE, the time for the pair decoding included,
   the search alone against a photograph's match, and the false alarms
   over the pairs with other cameras.

The full run took 70 minutes on 2 busy cores, a sixth of it filming and
half of it the tests against photographs; ``--quick`` films 2 seconds at a
quarter of every side, at the same bits per pixel (under a minute).
"""

import argparse
import os
import sys
import tempfile
import time
import warnings
from pathlib import Path
from typing import NamedTuple

import av
import numpy as np
import pywt

import morvekin_prnu
from morvekin_prnu import video
from morvekin_prnu.geometry import MIN_SCALE, checked_rule
from morvekin_prnu.matching import questioned, tested_question
from morvekin_prnu.residual import SIGMA
from morvekin_prnu.verdict import P_FA

import performance_doc
from bench_geometry import machine

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "prnu"))
from cameras import sensor_pattern, shot  # noqa: E402
from videos import film_takes, on_frames  # noqa: E402

CODECS = ("libx264", "libx265")
FULL_RATES = (4_000_000, 8_000_000, 16_000_000)
VARIANTS = {
    "each frame, key frames": dict(frames="key", average=1),
    "each frame, every 10th": dict(frames=10, average=1),
    "each frame, every frame": dict(frames=1, average=1),
    "averaged by 10, every frame": dict(frames=1, average=10),
    "averaged by 30, every frame": dict(frames=1, average=30),
}
OTHERS = 5  # cameras besides the video's own, whose photographs' fingerprints it is tested against


class Setup(NamedTuple):
    sensor: tuple  # rows, columns
    sizes: tuple  # (width, height) of the videos
    seconds: int
    rate: int
    photos: int

    def bit_rates(self, size):
        """4, 8 and 16 Mb/s at the full run's size of that rank, scaled to keep the bits per pixel."""
        full = FULL.sizes[self.sizes.index(size)]
        return [round(rate * size[0] * size[1] / (full[0] * full[1])) for rate in FULL_RATES]


FULL = Setup((2000, 3000), ((1920, 1080), (1280, 720)), 10, 30, 12)
QUICK = Setup((500, 750), ((480, 270), (320, 180)), 2, 30, 8)


class Take(NamedTuple):
    path: Path
    size: tuple
    codec: str
    bit_rate: int

    def name(self):
        return f"{self.size[0]}x{self.size[1]} {self.codec[3:]} {self.bit_rate / 1e6:g} Mb/s"


def pictures(names, shape):
    """PyWavelets pictures repeated to cover ``shape``, as scenes."""
    tiles = (-(-shape[0] // 512) + 1, -(-shape[1] // 512) + 1)
    return tuple((lambda name=name: np.tile(getattr(pywt.data, name)(), tiles)) for name in names)


def timed(function, *args, **options):
    start = time.perf_counter()
    result = function(*args, **options)
    return time.perf_counter() - start, result


def truth_pce(fingerprint, truth):
    return morvekin_prnu.pce(morvekin_prnu.crosscorr(fingerprint, truth))


def filmed(folder, rng, pattern, setup):
    takes = [Take(folder / f"{size[0]}_{codec}_{rate}.mp4", size, codec, rate)
             for size in setup.sizes for codec in CODECS for rate in setup.bit_rates(size)]
    frames = setup.seconds * setup.rate
    seconds, _ = timed(film_takes, {take.path: dict(size=take.size, codec=take.codec, bit_rate=take.bit_rate)
                                    for take in takes}, rng, pattern, frames=frames, rate=setup.rate,
                       pictures=pictures(("aero",), (setup.sensor[0] + 3 * frames, setup.sensor[1] + 3 * frames)))
    print(f"\nFilmed {len(takes)} videos of {frames} frames in {seconds:.0f} s.")
    return takes


def reading(takes):
    print("\nReading: every frame's luma plane, and the key frames only (a key frame each second):\n")
    print("| video | MB | bits per pixel | every frame, s | frames per second | key frames, s | × every frame |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: |")
    for take in takes:
        every, (frames, facts) = timed(video.read_video, take.path, frames=1, limit=10 ** 6, average=1)
        key, _ = timed(video.read_video, take.path, frames="key", average=1)
        size = take.path.stat().st_size
        bits = 8 * size / (facts.frame_count * take.size[0] * take.size[1])
        print(f"| {take.name()} | {size / 1e6:.1f} | {bits:.3f} | {every:.2f} | {len(frames) / every:.0f} | "
              f"{key:.2f} | {key / every:.2f} |")


def rgb_frames(path, step):
    with av.open(str(path)) as container:
        return [frame.to_ndarray(format="rgb24") for k, frame in enumerate(container.decode(video=0))
                if k % step == 0]


def plane(takes, pattern):
    print("\nThe plane: the fingerprint of every 10th frame, from the luma plane as stored or from the frames "
          "converted to RGB (8 Mb/s):\n")
    print("| video | frames | luma PCE | RGB PCE | luma s | RGB s |")
    print("| --- | ---: | ---: | ---: | ---: | ---: |")
    for take in takes:
        truth = on_frames(pattern, take.size)
        luma = video.read_video(take.path, frames=10, limit=10 ** 6, average=1)[0]
        colour = rgb_frames(take.path, 10)
        luma_seconds, luma_estimate = timed(morvekin_prnu.fingerprint, luma)
        colour_seconds, colour_estimate = timed(morvekin_prnu.fingerprint, colour)
        print(f"| {take.name()} | {len(luma)} | {truth_pce(luma_estimate, truth):.0f} | "
              f"{truth_pce(colour_estimate, truth):.0f} | {luma_seconds:.1f} | {colour_seconds:.1f} |")


def estimated(take, truth, **options):
    """(read seconds, fingerprint seconds, frames used, images denoised, PCE against the truth)."""
    read, (frames, facts) = timed(video.read_video, take.path, **options)
    made, estimate = timed(morvekin_prnu.fingerprint, frames)
    return read, made, len(facts.used), len(frames), truth_pce(estimate, truth)


def variants(takes, pattern):
    print("\nThe fingerprint of each video, from each frame or from averaged frames (all the frames chosen):\n")
    print("| video | frames used | denoised | read s | fingerprint s | total s | × each frame | PCE | × each frame |")
    print("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for take in takes:
        truth = on_frames(pattern, take.size)
        found = {name: estimated(take, truth, limit=10 ** 6, **options) for name, options in VARIANTS.items()}
        base = found["each frame, every frame"]
        for name, (read, made, used, denoised, pce) in found.items():
            print(f"| {take.name()} | {name} ({used}) | {denoised} | {read:.2f} | {made:.2f} | {read + made:.2f} | "
                  f"{(read + made) / (base[0] + base[1]):.2f} | {pce:.0f} | {pce / base[4]:.2f} |")


def frames_used(takes, pattern, setup):
    counts = [setup.seconds * setup.rate // 10, setup.seconds * setup.rate // 3, setup.seconds * setup.rate]
    print("\nThe fingerprint against the frames used (the first ones, 8 Mb/s):\n")
    print("| video | frames | each frame: PCE | s | averaged by 10: PCE | s |")
    print("| --- | ---: | ---: | ---: | ---: | ---: |")
    for take in takes:
        truth = on_frames(pattern, take.size)
        for count in counts:
            single = estimated(take, truth, frames=1, limit=count, average=1)
            averaged = estimated(take, truth, frames=1, limit=count, average=10)
            print(f"| {take.name()} | {count} | {single[4]:.0f} | {single[0] + single[1]:.1f} | {averaged[4]:.0f} | "
                  f"{averaged[0] + averaged[1]:.1f} |")


def photo_fingerprints(rng, patterns, setup):
    scenes = pictures(("camera", "ascent"), setup.sensor)
    fingerprints = []
    for pattern in patterns:
        shots = (shot(rng, pattern, scenes, jpeg_quality=90) for _ in range(setup.photos))
        fingerprints.append(morvekin_prnu.fingerprint(shots))
    return fingerprints


def with_photographs(rng, takes, fingerprints, own_pattern, setup):
    """Each video matched as a case would match it (``match`` of the file: decoding, the key frames'
    fingerprint, the search near the scales where the frames span the sensor) against its camera's
    photographs and the other cameras'; the search alone beside a photograph's match."""
    rule = checked_rule(P_FA, None, 4, MIN_SCALE)
    photograph = shot(rng, own_pattern, pictures(("aero",), setup.sensor), jpeg_quality=90)
    weighted = morvekin_prnu.weighted_residual(photograph)
    print(f"\nThe video matched against the fingerprint of {setup.photos} photographs of its own camera and of "
          f"{len(fingerprints) - 1} others (match of the file: its key frames, searched near the scales where its "
          "frames span the sensor, four orientations):\n")
    print("| video | true scale | PCE | p-value | scale | orientation | tests | pair, decoding included (s) | "
          "search alone (s) | search / a photograph's match | smallest p-value of another camera |")
    print("| --- | ---: | ---: | ---: | ---: | --- | ---: | ---: | ---: | ---: | ---: |")
    others = []
    for take in takes:
        total, own = timed(morvekin_prnu.match, fingerprints[0], take.path)
        question = questioned(take.path)
        search, _ = timed(tested_question, fingerprints[0], question, SIGMA, rule)
        photo, _ = timed(morvekin_prnu.match_residual, fingerprints[0], weighted)
        found = [tested_question(fingerprint, question, SIGMA, rule) for fingerprint in fingerprints[1:]]
        others += [match.p_value for match in found]
        print(f"| {take.name()} | {take.size[0] / setup.sensor[1]:.3f} | {own.pce:.0f} | {own.p_value:.1e} | "
              f"{own.scale:.3f} | {own.orientation} | {own.positions:.3g} | {total:.1f} | {search:.1f} | "
              f"{search / photo:.2f} | {min(match.p_value for match in found):.2g} |")
    print(f"\nFalse alarms over the {len(others)} pairs of a video and another camera's photographs: "
          + ", ".join(f"{sum(p <= p_fa for p in others)} at {p_fa:g} (expected {p_fa * len(others):.2g})"
                      for p_fa in (1e-1, 1e-2, 1e-3, P_FA)) + ".")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="2 seconds at a quarter of every side (under a minute)")
    parser.add_argument("--doc", action="store_true", help=performance_doc.HELP)
    args = parser.parse_args(argv)
    setup = QUICK if args.quick else FULL
    warnings.simplefilter("ignore", morvekin_prnu.FingerprintWarning)  # few frames, on purpose
    rng = np.random.default_rng(2026)
    print(machine(("PyAV", av.__version__),
                  ("libavcodec", ".".join(map(str, av.library_versions["libavcodec"])))))
    patterns = [sensor_pattern(rng, setup.sensor) for _ in range(1 + OTHERS)]
    print(f"\nA simulated camera of {setup.sensor[1]}x{setup.sensor[0]}, {setup.seconds} s at {setup.rate} frames per "
          f"second, x264 and x265 (preset fast), key frame every second")
    with tempfile.TemporaryDirectory() as folder:
        takes = filmed(Path(folder), rng, patterns[0], setup)
        middle = [take for take in takes if take.bit_rate == setup.bit_rates(take.size)[1]]
        reading(takes)
        plane([take for take in middle if take.size == setup.sizes[0]], patterns[0])
        variants(takes, patterns[0])
        frames_used([take for take in middle if take.size == setup.sizes[0]], patterns[0], setup)
        with_photographs(rng, takes, photo_fingerprints(rng, patterns, setup), patterns[0], setup)
    print("\nPCE against the pattern on the frames measures the estimate itself; against the photographs' "
          "fingerprint it is the test a case would run. Times are from a shared machine: compare within a table.")


if __name__ == "__main__":
    with performance_doc.recorded("bench_video"):
        main()
