"""What the library benchmarks share: simulated cameras (a white sensor pattern made again from a seed, its
fingerprint as 25 JPEG photographs would leave it, and JPEG shots through it), the index's misses by PCE, the
command's peak memory, and the machine and tables they print.

- Each camera has a white sensor pattern K whose standard deviation is drawn
  log-uniformly from 0.0032 to 0.012 at 512x512, times sqrt(512 / size)
  (PCE grows with the pixels times the fourth power of the strength here), so
  that at every size the own camera's PCE spreads from the tens, around the
  decision threshold, to several thousand; K is made again from the camera's
  seed whenever needed.
- A simulated fingerprint is K plus white estimation noise of standard
  deviation 0.014 (what ``fingerprint`` of 25 JPEG photographs of these
  scenes leaves: bench_library.py's table "real and simulated fingerprints"
  compares the real ones' correlation with K to what the simulation gives),
  post-processed as a real estimate is (zero-mean, Wiener filter in the DFT
  domain) and cast to float32.
- Shots are JPEG photographs (quality 90) of PyWavelets' pictures, shifted,
  flipped and tinted, through the pattern with shot noise: "camera" and
  "ascent" for the fingerprints' own photographs, "aero" for questioned ones.
"""

import contextlib
import importlib.metadata
import io
import math
import os
import platform
import sqlite3
import subprocess
import sys
import time

import numpy as np
import pywt
from PIL import ExifTags, Image

import morvekin_prnu as prnu
from morvekin_prnu import fingerprint_folder, identification
from morvekin_prnu.matching import questioned
from morvekin_prnu.postprocessing import postprocess

SHOTS = 25  # per real camera
ESTIMATION_NOISE = 0.014  # of a simulated fingerprint: what 25 JPEG shots leave
STRENGTHS = (0.0032, 0.012)  # the sensor pattern's standard deviation at 512x512, drawn log-uniformly
JPEG_QUALITY = 90
BINS = (1.0, 1.25, 1.6, 2.5, 5.0)  # PCE bins near the threshold, as multiples of it
# The fingerprints' photographs show two pictures, the questioned ones a third.
TRAINING = [picture().astype(np.float32) for picture in (pywt.data.camera, pywt.data.ascent)]
QUESTIONED = [pywt.data.aero().astype(np.float32)]


class Camera:
    """A simulated camera: its sensor pattern is made again from its seed whenever it is needed."""

    def __init__(self, number, size, seed):
        self.name = f"camera{number:05d}"
        self.shape = (size, size) if isinstance(size, int) else tuple(size)  # a side, or (rows, columns)
        self.seed = seed
        # PCE grows as pixels × strength⁴ / estimation noise² (the fingerprint's own correlation with the
        # pattern falls with the strength): this keeps its spread the same at every size.
        self.strength = float(np.exp(np.random.default_rng(seed).uniform(*np.log(STRENGTHS)))) * math.sqrt(
            512 / math.sqrt(self.shape[0] * self.shape[1]))

    def pattern(self):
        return np.random.default_rng([self.seed, 1]).normal(0.0, self.strength, self.shape)

    def simulated_fingerprint(self):
        noise = np.random.default_rng([self.seed, 2]).normal(0.0, ESTIMATION_NOISE, self.shape)
        return postprocess([self.pattern() + noise]).astype(np.float32)

    def shot(self, rng, pictures, pattern=None):
        """A JPEG-compressed colour photograph of one of ``pictures`` by this camera, decoded: uint8 (rows, columns, 3)."""
        pattern = self.pattern() if pattern is None else pattern
        picture = pictures[rng.integers(len(pictures))]
        scale = -(-max(self.shape) // picture.shape[0])
        scene = np.kron(picture, np.ones((scale, scale), np.float32))[:self.shape[0], :self.shape[1]]
        scene = np.roll(scene, tuple(rng.integers(min(self.shape), size=2)), axis=(0, 1))
        if rng.random() < 0.5:
            scene = scene[:, ::-1]
        exposure = (20.0 + 0.9 * scene[..., None] * rng.uniform(0.55, 1.0, 3)) * (1.0 + pattern[..., None])
        pixels = np.clip(np.round(exposure + rng.normal(0.0, 2.0, exposure.shape)), 0, 255).astype(np.uint8)
        return _decoded(_jpeg(pixels))


def _jpeg(pixels, exif=None):
    buffer = io.BytesIO()
    Image.fromarray(pixels).save(buffer, "JPEG", quality=JPEG_QUALITY, **({"exif": exif} if exif else {}))
    return buffer.getvalue()


def _decoded(data):
    with Image.open(io.BytesIO(data)) as image:
        return np.asarray(image.convert("RGB"))


def write_shots(camera, folder, rng):
    """SHOTS JPEG files with EXIF make, model and serial: the real camera's photographs."""
    os.makedirs(folder)
    exif = Image.Exif()
    exif[ExifTags.Base.Make], exif[ExifTags.Base.Model] = "Simulated", "Bench 1"
    exif.get_ifd(ExifTags.IFD.Exif)[ExifTags.Base.BodySerialNumber] = camera.name
    pattern = camera.pattern()
    paths = []
    for k in range(SHOTS):
        path = os.path.join(folder, f"{k:02d}.jpg")
        with open(path, "wb") as file:
            file.write(_jpeg(camera.shot(rng, TRAINING, pattern), exif))
        paths.append(path)
    return paths




def scanned_index(search, image, rule):
    """Seconds to read the image and make its probes, seconds to scan every shard, and the positions chosen."""
    start = time.perf_counter()
    question = questioned(image, search.sigmas())
    probes = identification.probed(question, {(shard.shape, shard.sigma) for shard in search.shards}, rule)
    probing = time.perf_counter()
    scored = [identification.scanned(shard, probes[shard.shape, shard.sigma]) for shard in search.shards
              if (shard.shape, shard.sigma) in probes]
    chosen = {int(p) for outcome in scored for p, picked in zip(outcome.positions, outcome.chosen) if picked}
    return probing - start, time.perf_counter() - probing, chosen


def misses_by_pce(search, cameras, count, rng, rule):
    """Rows of the table of the index's misses, and the threshold.

    ``count`` shots of the ``cameras`` (all in ``search``) are made just strong enough for their own camera's
    zero-shift test to pass, their PCE drawn log-uniformly from the threshold to 6 times it (the camera's
    pattern scaled down in the shot); each attributed one is scanned against the index. Per bin of BINS: how
    many were attributed, how many the index passed over, and how many other cameras it chose per shot.
    """
    files = {entry.name: (entry.file, entry.sha256) for entry in search.entries}
    position = {entry.name: k for k, entry in enumerate(search.entries)}
    threshold = prnu.matching.pce_threshold(rule.p_fa, 4)
    found = {edge: [0, 0, 0] for edge in BINS}
    for camera in (cameras[k] for k in rng.integers(len(cameras), size=count)):
        pattern = camera.pattern()
        fingerprint = fingerprint_folder.read_stored(*files[camera.name])
        full = prnu.match_residual(fingerprint, prnu.weighted_residual(camera.shot(rng, QUESTIONED, pattern)))
        target = threshold * math.exp(rng.uniform(0.0, math.log(6.0)))
        image = camera.shot(rng, QUESTIONED, pattern * min(1.0, math.sqrt(target / max(full.pce, 1.0))))
        own = prnu.match_residual(fingerprint, prnu.weighted_residual(image))
        if not own.same_camera:
            continue
        chosen = scanned_index(search, image, rule)[2]
        counts = found[max(edge for edge in BINS if own.pce >= edge * threshold)]
        counts[0] += 1
        counts[1] += position[camera.name] not in chosen
        counts[2] += len(chosen - {position[camera.name]})
    rows = []
    for low, high in zip(BINS, (*BINS[1:], math.inf)):
        attributed, missed, others = found[low]
        span = f"{low:g}–{high:g}" if high < math.inf else f"{low:g} and up"
        rows.append([f"{span} ({low * threshold:.0f}+)", attributed, missed,
                     f"{100 * missed / attributed:.1f} %" if attributed else "-",
                     f"{others / attributed:.2f}" if attributed else "-"])
    return rows, threshold


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
    for name in ("numpy", "SciPy", "PyWavelets", "Pillow", "distributed", "morvekin"):
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
