"""Correlating a residual with a fingerprint: the normalised cross-correlation and its peak's PCE.

Goljan, Fridrich and Filler (2009), "Large scale test of sensor fingerprint
camera identification", Proc. SPIE 7254: the normalised cross-correlation of
the image's residual W·I with the fingerprint over all cyclic shifts, and the
peak-to-correlation energy (PCE) of its peak, which measures how far the
peak stands out of the correlation's background.
"""

import math

import numpy as np

from ._checks import checked_plane
from ._fft import irfft2, rfft2

NEIGHBOURHOOD = 11  # PCE leaves out this square around the peak (Goljan et al. 2009)


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
    product = np.conj(rfft2(a))
    product *= rfft2(b)
    values = irfft2(product, a.shape)
    values /= norm
    return values


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
    energy = (sum_of_products(surface, surface) - sum_of_products(near, near)) / outside if outside else 0.0
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
    return sum_of_products(a, b) / norm if norm else 0.0


def rescaled(x):
    """x in float64, multiplied by the power of two that brings its largest magnitude into [0.5, 1).

    Exact, so the result is the same bits for x times any power of two, and no
    sum of squares or product of norms downstream can overflow or underflow.
    """
    x = np.asarray(x, dtype=np.float64)
    largest = float(np.max(np.abs(x)))
    return np.ldexp(x, -math.frexp(largest)[1]) if largest > 0.0 else np.zeros(x.shape)


def sum_of_products(a, b):
    """The sum of a * b in float64, the same bits on any number of threads."""
    # NumPy's pairwise sum, not BLAS: BLAS splits long dot products over its
    # threads, so their last bits depend on the thread count.
    return float(np.sum(a * b))


def _centred(a, b):
    """a and b checked, less their means, and the product of their norms."""
    a, b = checked_plane(a, "a"), checked_plane(b, "b")
    if a.shape != b.shape:
        raise ValueError(f"a and b must have the same shape, not {a.shape} and {b.shape}")
    a = a - a.mean()
    b = b - b.mean()
    return a, b, np.sqrt(sum_of_products(a, a) * sum_of_products(b, b))
