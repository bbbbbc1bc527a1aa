"""Simulated cameras for the library benchmarks: a white sensor pattern made again from a seed, its
fingerprint as 25 JPEG photographs would leave it, and JPEG shots through it.

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

import io
import math
import os

import numpy as np
import pywt
from PIL import ExifTags, Image

from morvekin_prnu.postprocessing import postprocess

SHOTS = 25  # per real camera
ESTIMATION_NOISE = 0.014  # of a simulated fingerprint: what 25 JPEG shots leave
STRENGTHS = (0.0032, 0.012)  # the sensor pattern's standard deviation at 512x512, drawn log-uniformly
JPEG_QUALITY = 90
# The fingerprints' photographs show two pictures, the questioned ones a third.
TRAINING = [picture().astype(np.float32) for picture in (pywt.data.camera, pywt.data.ascent)]
QUESTIONED = [pywt.data.aero().astype(np.float32)]


class Camera:
    """A simulated camera: its sensor pattern is made again from its seed whenever it is needed."""

    def __init__(self, number, size, seed):
        self.name = f"camera{number:05d}"
        self.size = size
        self.seed = seed
        # PCE grows as pixels × strength⁴ / estimation noise² (the fingerprint's own correlation with the
        # pattern falls with the strength): this keeps its spread the same at every size.
        self.strength = float(np.exp(np.random.default_rng(seed).uniform(*np.log(STRENGTHS)))) * math.sqrt(512 / size)

    def pattern(self):
        return np.random.default_rng([self.seed, 1]).normal(0.0, self.strength, (self.size, self.size))

    def simulated_fingerprint(self):
        noise = np.random.default_rng([self.seed, 2]).normal(0.0, ESTIMATION_NOISE, (self.size, self.size))
        return postprocess([self.pattern() + noise]).astype(np.float32)

    def shot(self, rng, pictures, pattern=None):
        """A JPEG-compressed colour photograph of one of ``pictures`` by this camera, decoded: uint8 (size, size, 3)."""
        pattern = self.pattern() if pattern is None else pattern
        picture = pictures[rng.integers(len(pictures))]
        scale = -(-self.size // picture.shape[0])
        scene = np.kron(picture, np.ones((scale, scale), np.float32))[:self.size, :self.size]
        scene = np.roll(scene, tuple(rng.integers(self.size, size=2)), axis=(0, 1))
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


