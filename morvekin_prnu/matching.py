"""Testing a photograph against a fingerprint: correlation, PCE and the verdict.

Goljan, Fridrich and Filler (2009), "Large scale test of sensor fingerprint
camera identification", Proc. SPIE 7254: the normalised cross-correlation of
the image's residual W with K·I over all cyclic shifts, and the
peak-to-correlation energy (PCE) of its highest peak; a PCE above 60 decides
for the camera.
"""

import numbers
from typing import NamedTuple

import numpy as np

from ._checks import checked_plane, checked_sigma, image_label
from ._fft import irfft2, rfft2
from .images import load_image
from .postprocessing import luminance
from .residual import LEVELS, SIGMA, WAVELET, residual_of_pixels, transform_channels

THRESHOLD = 60.0
NEIGHBOURHOOD = 11  # PCE leaves out this square around the peak (Goljan et al. 2009)


class Match(NamedTuple):
    """The outcome of testing one image against one fingerprint.

    Attributes
    ----------
    pce : float
        Peak-to-correlation energy of the highest correlation peak.
    ncc : float
        Normalised cross-correlation at that peak, in [-1, 1].
    peak : tuple of int
        (row, column) shift of the peak: the position on the fingerprint of
        the image's top-left pixel, cyclic (a shift of H - 1 rows is one row
        up). (0, 0) for an image in its original frame.
    same_camera : bool
        ``pce > threshold``.
    """

    pce: float
    ncc: float
    peak: tuple
    same_camera: bool


def match(fingerprint, image, *, sigma=SIGMA, threshold=THRESHOLD):
    """Test whether a photograph was taken by the camera of a fingerprint.

    The image's residual W (:func:`morvekin_prnu.noise_residual`) is
    multiplied by its luminance I and correlated with the fingerprint K over
    all cyclic shifts (:func:`crosscorr`); the highest peak's PCE
    (:func:`pce`) against ``threshold`` gives the verdict (Goljan et al. 2009).

    Images of another size than the fingerprint are handled as follows. An
    image smaller in a dimension is padded with zeros to the fingerprint's
    size, so a crop is found wherever it was cut from (``peak`` says where);
    one larger in a dimension is cut to the fingerprint's size from its top
    left. An image not of the fingerprint's shape is also tested turned a
    quarter turn each way (a portrait picture turned upright by software, or a
    crop of one), and the orientation with the highest PCE is reported. Three
    tries triple the chance of a false alarm, which at the threshold of 60 is
    still below one in a million (a PCE of 60 lies 7.7 standard deviations out).

    Parameters
    ----------
    fingerprint : ndarray, shape (H, W)
        A fingerprint from :func:`morvekin_prnu.fingerprint`.
    image : str, os.PathLike or ndarray
        The photograph: a file (read in stored pixel order) or an array, as
        for :func:`morvekin_prnu.load_image`.
    sigma : float, optional
        The denoiser's noise standard deviation; use the fingerprint's.
    threshold : float, optional
        PCE above which the image is attributed to the camera; 60 after
        Goljan et al. (2009).

    Returns
    -------
    Match
    """
    [fingerprint] = _checked_fingerprints([fingerprint], ["fingerprint"])
    _checked_threshold(threshold)
    return _oriented(fingerprint, weighted_residual(image, sigma=sigma), threshold)


def match_all(fingerprints, image, *, sigma=SIGMA, threshold=THRESHOLD):
    """Test a photograph against several fingerprints, extracting its residual once.

    Parameters
    ----------
    fingerprints : sequence of ndarray, each shape (H, W)
        Fingerprints from :func:`morvekin_prnu.fingerprint`, of any sizes.
    image, sigma, threshold
        As for :func:`match`; ``sigma`` should be the fingerprints' own.

    Returns
    -------
    list of Match
        One per fingerprint, in their order: what :func:`match` gives for each.
    """
    checked = _checked_fingerprints(fingerprints, [f"fingerprints[{k}]" for k in range(len(fingerprints))])
    _checked_threshold(threshold)
    weighted = weighted_residual(image, sigma=sigma)
    return [_oriented(fingerprint, weighted, threshold) for fingerprint in checked]


def weighted_residual(image, *, sigma=SIGMA):
    """The image's side of the test: its noise residual W times its luminance I.

    Under the sensor model I = I0 (1 + K) + noise the residual W holds I0 K,
    so W·I is what the fingerprint K is correlated with (Goljan et al. 2009).
    Computing it once serves tests against any number of fingerprints
    (:func:`match_residual`).

    Parameters
    ----------
    image : str, os.PathLike or ndarray
        As for :func:`match`.
    sigma : float, optional
        The denoiser's noise standard deviation; use the fingerprints'.

    Returns
    -------
    ndarray, shape (H, W), float64
    """
    checked_sigma(sigma)
    pixels = load_image(image, orient=False)
    residual = residual_of_pixels(pixels, sigma, WAVELET, LEVELS, image_label(image))
    return residual * luminance(list(transform_channels(pixels)))


def match_residual(fingerprint, weighted, *, threshold=THRESHOLD):
    """:func:`match` of an image given by its :func:`weighted_residual`.

    Parameters
    ----------
    fingerprint : ndarray, shape (H, W)
    weighted : ndarray, shape (h, w)
        From :func:`weighted_residual`, with the fingerprint's sigma.
    threshold : float, optional
        As for :func:`match`.

    Returns
    -------
    Match
    """
    [fingerprint] = _checked_fingerprints([fingerprint], ["fingerprint"])
    _checked_threshold(threshold)
    return _oriented(fingerprint, checked_plane(weighted, "weighted"), threshold)


def _checked_fingerprints(fingerprints, names):
    checked = []
    for name, fingerprint in zip(names, fingerprints):
        fingerprint = checked_plane(fingerprint, name)
        if not np.isfinite(fingerprint).all():
            raise ValueError(f"{name} holds NaN or infinite values")
        checked.append(fingerprint)
    return checked


def _checked_threshold(threshold):
    if not isinstance(threshold, numbers.Real) or not np.isfinite(threshold):
        raise ValueError(f"threshold must be a finite number, not {threshold!r}")


def _oriented(fingerprint, weighted, threshold):
    """The best Match over the orientations tried: as it is, and a quarter turn each way if its shape differs."""
    turns = [weighted]
    if weighted.shape != fingerprint.shape:
        turns += [np.rot90(weighted, 1), np.rot90(weighted, -1)]
    outcomes = [_tested(fingerprint, turned, threshold) for turned in turns]
    return max(outcomes, key=lambda outcome: outcome.pce)


def _tested(fingerprint, weighted, threshold):
    rows, columns = fingerprint.shape
    placed = np.zeros(fingerprint.shape)
    part = weighted[:rows, :columns]
    # Zero-mean before padding, so the padding adds no step.
    placed[:part.shape[0], :part.shape[1]] = part - part.mean()
    surface = crosscorr(placed, fingerprint)
    peak = np.unravel_index(np.argmax(surface), surface.shape)
    value = pce(surface, peak=peak)
    return Match(pce=value, ncc=float(surface[peak]), peak=tuple(int(i) for i in peak),
                 same_camera=bool(value > threshold))


def crosscorr(a, b):
    """Normalised cross-correlation of two arrays over all cyclic shifts.

    Parameters
    ----------
    a, b : ndarray, shape (H, W)
        Real arrays of the same shape; each has its mean subtracted.

    Returns
    -------
    ndarray, shape (H, W), float64
        C[s] = sum_x a'(x) b'(x + s) / (|a'| |b'|) with a' and b' the
        mean-subtracted arrays and x + s taken cyclically; C[0, 0] is
        :func:`ncc` (a, b). All zeros if either array is constant.
    """
    a, b, norm = _centred(a, b)
    if norm == 0.0:
        return np.zeros(a.shape)
    spectrum = np.conj(rfft2(a))
    spectrum *= rfft2(b)
    surface = irfft2(spectrum, a.shape)
    surface /= norm
    return surface


def pce(surface, *, peak=(0, 0), neighbourhood=NEIGHBOURHOOD):
    """Peak-to-correlation energy of a cross-correlation surface.

    Goljan et al. (2009): PCE = sign(C[p]) C[p]² / mean of C² outside the
    ``neighbourhood`` x ``neighbourhood`` square around p (cyclic), so that the
    peak's own spread does not count as background.

    Parameters
    ----------
    surface : ndarray, shape (H, W)
        A cross-correlation over cyclic shifts, e.g. from :func:`crosscorr`.
    peak : tuple of int, optional
        (row, column) of the peak; (0, 0), no shift, unless a search found
        another.
    neighbourhood : int, optional
        Odd side of the square left out; 11.

    Returns
    -------
    float
        0 for a surface that is zero outside the square.
    """
    surface = checked_plane(surface, "surface")
    if not (isinstance(neighbourhood, int) and neighbourhood > 0 and neighbourhood % 2 == 1):
        raise ValueError(f"neighbourhood must be a positive odd integer, not {neighbourhood!r}")
    rows, columns = surface.shape
    row, column = peak
    if not (-rows <= row < rows and -columns <= column < columns):
        raise ValueError(f"peak {peak} lies outside the surface of shape {surface.shape}")
    half = neighbourhood // 2
    near_rows = np.unique(np.arange(row - half, row + half + 1) % rows)
    near_columns = np.unique(np.arange(column - half, column + half + 1) % columns)
    outside = surface.size - near_rows.size * near_columns.size
    near = surface[np.ix_(near_rows, near_columns)]
    energy = (_sum_of_products(surface, surface) - _sum_of_products(near, near)) / outside if outside else 0.0
    if energy <= 0.0:
        return 0.0
    value = float(surface[row, column])
    return float(np.sign(value) * value * value / energy)


def ncc(a, b):
    """Normalised cross-correlation of two arrays at zero shift.

    Parameters
    ----------
    a, b : ndarray, shape (H, W)
        Real arrays of the same shape.

    Returns
    -------
    float
        The correlation coefficient of their values, in [-1, 1]; 0 if either
        is constant.
    """
    a, b, norm = _centred(a, b)
    return _sum_of_products(a, b) / norm if norm else 0.0


def _centred(a, b):
    """a and b checked, less their means, and the product of their norms."""
    a, b = checked_plane(a, "a"), checked_plane(b, "b")
    if a.shape != b.shape:
        raise ValueError(f"a and b must have the same shape, not {a.shape} and {b.shape}")
    a = a - a.mean()
    b = b - b.mean()
    return a, b, np.sqrt(_sum_of_products(a, a) * _sum_of_products(b, b))


def _sum_of_products(a, b):
    # NumPy's pairwise sum, not BLAS: BLAS splits long dot products over its
    # threads, so their last bits depend on the thread count.
    return float(np.sum(a * b))
