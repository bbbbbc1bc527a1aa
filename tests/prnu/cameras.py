"""Simulated cameras: known sensor patterns on pictures shipped with PyWavelets."""

import io

import numpy as np
import pywt
from PIL import Image

PICTURES = (pywt.data.camera, pywt.data.ascent, pywt.data.aero)


def sensor_pattern(rng, shape, strength=0.01):
    """A camera's multiplicative pattern K: white, standard deviation ``strength``."""
    return rng.normal(0.0, strength, shape)


def scene(rng, shape, pictures=PICTURES):
    """A tinted colour crop of one of ``pictures``, flipped at random: float64, (H, W, 3)."""
    picture = pictures[rng.integers(len(pictures))]().astype(np.float64)
    top = rng.integers(picture.shape[0] - shape[0] + 1)
    left = rng.integers(picture.shape[1] - shape[1] + 1)
    crop = picture[top:top + shape[0], left:left + shape[1]]
    if rng.random() < 0.5:
        crop = crop[:, ::-1]
    if rng.random() < 0.5:
        crop = crop[::-1]
    tint = rng.uniform(0.55, 1.0, 3)
    return 20.0 + 0.9 * crop[..., None] * tint


def shot(rng, pattern, pictures=PICTURES, noise=2.0, shared=None, jpeg_quality=None):
    """One photograph: I = clip(round(I0 (1 + K + shared) + noise)) as uint8, (H, W, 3).

    ``shared`` is a pattern common to every camera of a model (e.g. a periodic
    one); ``jpeg_quality`` passes the shot through JPEG compression.
    """
    gain = 1.0 + pattern if shared is None else 1.0 + pattern + shared
    exposure = scene(rng, pattern.shape, pictures) * gain[..., None]
    pixels = np.clip(np.round(exposure + rng.normal(0.0, noise, exposure.shape)), 0, 255).astype(np.uint8)
    if jpeg_quality is None:
        return pixels
    buffer = io.BytesIO()
    Image.fromarray(pixels).save(buffer, "JPEG", quality=jpeg_quality)
    buffer.seek(0)
    with Image.open(buffer) as decoded:
        return np.asarray(decoded.convert("RGB"))


def periodic_artefacts(rng, shape, strength=0.01):
    """A multiplicative pattern repeating every 8 pixels (JPEG blocks) plus a 2x2 one (colour filter)."""
    block = rng.normal(0.0, strength, (8, 8))
    cell = rng.normal(0.0, strength, (2, 2))
    rows, columns = np.indices(shape)
    return block[rows % 8, columns % 8] + cell[rows % 2, columns % 2]


def assert_same_bits(actual, expected):
    """Exact equality of two float arrays, compared as unsigned integers of their width."""
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    unsigned = f"u{actual.itemsize}"
    np.testing.assert_array_equal(actual.view(unsigned), expected.view(unsigned))


def resized(pixels, scale):
    """A shot resized by ``scale`` as photo software does it (Lanczos, antialiased), sizes rounded."""
    rows, columns = pixels.shape[:2]
    size = (round(columns * scale), round(rows * scale))
    return np.asarray(Image.fromarray(pixels).resize(size, Image.Resampling.LANCZOS))
