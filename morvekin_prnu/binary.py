"""Binarized fingerprints: one bit per pixel, compared by counting the bits that agree.

Bayram, Sencar and Memon (2012), "Efficient sensor fingerprint matching
through fingerprint binarization", IEEE TIFS 7(4): keeping only the sign of
each value of a fingerprint (and of an image's residual) shrinks it 32-fold
against float32, and the correlation of two such sign arrays, counted with
XOR and population counts, follows the correlation of the arrays themselves
(for Gaussian values E[sign a · sign b] = (2/π) arcsin ρ). That makes a fast
pre-test over many fingerprints; the exact test is the PCE
(:func:`morvekin_prnu.match`).
"""

import numpy as np

from ._checks import checked_plane
from ._threads import in_parallel

ROWS_AT_ONCE = 32  # binarized arrays compared per task: small temporaries, many tasks


def binarize(plane):
    """The sign of each value against the array's mean, packed into 64-bit words.

    Parameters
    ----------
    plane : ndarray, shape (H, W)
        A fingerprint, or an image's :func:`morvekin_prnu.weighted_residual`.
        The mean is subtracted, as :func:`morvekin_prnu.crosscorr` does
        before correlating.

    Returns
    -------
    ndarray, shape (ceil(H * W / 64),), uint64
        Bit k (in :func:`numpy.packbits` order, rows one after another) is
        set where ``plane.flat[k]`` exceeds the mean; the bits after the
        last pixel are zero. The bytes are the same on every machine.
    """
    plane = checked_plane(plane, "plane")
    packed = np.packbits(plane > plane.mean(dtype=np.float64))
    words = np.zeros(-(-packed.size // 8) * 8, dtype=np.uint8)
    words[:packed.size] = packed
    return words.view(np.uint64)


def agreement(binarized, probe, pixels):
    """How far each binarized array agrees with a probe, in standard deviations of chance.

    With D the number of pixels whose bits differ (the Hamming distance), the
    score is (pixels - 2 D) / sqrt(pixels): the correlation of the two sign
    arrays times sqrt(pixels). For unrelated arrays of independent bits it is
    close to a standard normal variable; for Gaussian values, an image that
    a fingerprint's camera took scores about (2/π) sqrt(PCE).

    Parameters
    ----------
    binarized : ndarray, shape (n, words), uint64
        One :func:`binarize` result per row.
    probe : ndarray, shape (words,), uint64
        :func:`binarize` of the image, of the same number of pixels.
    pixels : int
        The number of pixels each row stands for (H * W).

    Returns
    -------
    ndarray, shape (n,), float64
    """
    binarized, probe = np.asarray(binarized), np.asarray(probe)
    if binarized.dtype != np.uint64 or probe.dtype != np.uint64 or binarized.ndim != 2 or probe.ndim != 1:
        raise TypeError("binarized and probe must be 2-D and 1-D arrays of uint64 words")
    if binarized.shape[1] != probe.size or not 0 < pixels <= 64 * probe.size:
        raise ValueError(f"binarized rows of {binarized.shape[1]} words, a probe of {probe.size} words and "
                         f"{pixels} pixels do not agree")
    differing = np.empty(len(binarized), dtype=np.int64)

    def count(rows):
        differing[rows] = np.bitwise_count(binarized[rows] ^ probe).sum(axis=1, dtype=np.int64)

    in_parallel(count, [slice(start, start + ROWS_AT_ONCE) for start in range(0, len(binarized), ROWS_AT_ONCE)])
    return (pixels - 2.0 * differing) / np.sqrt(pixels)
