"""Checks of the arguments every part of the package takes, with one wording for each refusal."""

import numbers
import os

import numpy as np
import pywt


# The largest denoiser sigma, in 8-bit grey levels: far beyond any image's noise (the whole 8-bit
# range is 255), and its variance on the 16-bit scale stays far from overflowing.
MAX_SIGMA = 1e4


def checked_sigma(sigma, name="sigma"):
    """``sigma`` as a float, if it is a real number (not a bool) above 0 and at most MAX_SIGMA."""
    if not isinstance(sigma, numbers.Real) or isinstance(sigma, bool) or not 0 < sigma <= MAX_SIGMA:
        # With no noise a flat region would shrink as 0/0.
        raise ValueError(f"{name} must be a positive number of at most {MAX_SIGMA:g}, not {sigma!r}")
    return float(sigma)


def checked_levels(levels):
    """``levels`` as an int, if it is a positive integer (not a bool)."""
    if not isinstance(levels, numbers.Integral) or isinstance(levels, bool) or levels < 1:
        raise ValueError(f"levels must be a positive integer, not {levels!r}")
    return int(levels)


def checked_wavelet(wavelet):
    """The ``pywt.Wavelet`` of that name (or the wavelet itself)."""
    try:
        return pywt.Wavelet(wavelet)
    except (ValueError, TypeError):
        raise ValueError(f"wavelet {wavelet!r} is not a discrete wavelet PyWavelets knows") from None


def checked_plane(x, name):
    """``x`` as an aligned, non-empty 2-D array of real numbers."""
    # NumPy sums an unaligned array (Dask hands scattered arrays over so) in
    # other chunks, which changes the last bits of a float32 mean: align first.
    x = np.require(x, requirements="A")
    if x.ndim != 2 or x.size == 0:
        raise ValueError(f"{name} must be a non-empty 2-D array, not shape {x.shape}")
    if not (np.issubdtype(x.dtype, np.floating) or np.issubdtype(x.dtype, np.integer)):
        raise TypeError(f"{name} must hold real numbers, not {x.dtype}")
    return x


def image_label(image):
    """What messages call an image: its path, or "image" for an array."""
    return os.fspath(image) if isinstance(image, (str, os.PathLike)) else "image"
