"""Quantized fingerprints: four bit planes per pixel, compared by counting the bits that agree.

Bayram, Sencar and Memon (2012), "Efficient sensor fingerprint matching
through fingerprint binarization", IEEE TIFS 7(4): the sign of each value of
a fingerprint (and of an image's residual), packed into bits, is 32 times
smaller than float32, and the correlation of two sign arrays, counted with
XOR and population counts, follows that of the arrays. Signs alone keep
about 0.6 of the correlation's significance, though: a camera whose test
would pass at a PCE of 25 scores about 3 standard deviations of chance,
which thousands of other cameras reach too. So each value is quantized to
16 levels, its sign and three bits of magnitude (Max (1960), "Quantizing for
minimum distortion", IRE Trans. Inf. Theory 6(1): the uniform quantizer of
least error for Gaussian values, a step of 0.3352 of their standard
deviation), kept as four bit planes (:func:`quantize`), and compared in two
passes:

- :func:`coarse_scores`: the fingerprint's sign against the image's value
  at four levels (its sign, and whether its magnitude reaches three steps,
  the threshold of Max's 4-level quantizer): two population counts per
  word, about 0.74 of the significance;
- :func:`fine_scores`: all 16 levels of both, about 0.99 of it.

Every score is a ratio of exact integer sums, so the same bits on any machine
and any number of threads.
"""

import math

import numpy as np

from ._checks import checked_plane
from ._threads import in_parallel

PLANES = 4  # the sign, then magnitude bits 0, 1 and 2
STEP = 0.3352  # the quantizer's step, of the values' root mean square (Max 1960, 16 levels)
TOP = 7  # the largest magnitude index: level 2 * TOP + 1
COARSE = 3  # the magnitude index from which a value counts as large in the coarse pass: 1.006 RMS
ROWS_AT_ONCE = 32  # fingerprints per task of the coarse pass: small temporaries, many tasks
_WEIGHTS = np.array([1, 2, 4, 8], np.int64)  # a level's magnitude: 1 + 2 b0 + 4 b1 + 8 b2


def words(pixels):
    """64-bit words of one bit plane of that many pixels."""
    return -(-pixels // 64)


def quantize(plane):
    """The four bit planes of each value's level: sign and magnitude index of the uniform 16-level quantizer.

    Each value x less the array's mean is at level sign(x) (2 i + 1), i the
    integer part of |x| / (:data:`STEP` times the root mean square), at most
    :data:`TOP`.

    Parameters
    ----------
    plane : ndarray, shape (H, W)
        A fingerprint, or an image's :func:`morvekin_prnu.weighted_residual`
        in the sensor's frame.

    Returns
    -------
    ndarray, shape (PLANES, words(H * W)), uint64
        Row 0 has bit k (in :func:`numpy.packbits` order, rows one after
        another) set where ``plane.flat[k]`` exceeds the mean; rows 1 to 3
        the bits of i. Bits after the last pixel are zero. The bytes are
        the same on every machine.
    """
    plane = checked_plane(plane, "plane")
    centred = plane.astype(np.float64).ravel()
    centred -= centred.mean()
    rms = math.sqrt(float(np.mean(centred * centred)))
    index = np.zeros(centred.size, np.uint8)
    if rms > 0.0:
        index = np.minimum(np.floor(np.abs(centred) / (STEP * rms)), TOP).astype(np.uint8)
    planes = np.zeros((PLANES, words(centred.size) * 8), np.uint8)
    planes[0, :-(-centred.size // 8)] = np.packbits(centred > 0.0)
    for bit in range(PLANES - 1):
        planes[1 + bit, :-(-centred.size // 8)] = np.packbits(index & (1 << bit))
    return planes.view(np.uint64)


def coarse_magnitude(planes):
    """The plane of the values whose magnitude index is at least :data:`COARSE` (3 = 011 in binary)."""
    return planes[3] | (planes[1] & planes[2])


def coarse_scores(signs, probes, pixels):
    """How far each fingerprint's signs agree with each probe at four levels, in standard deviations of chance.

    With q the probe's level (±1, or ±3 where its magnitude index reaches
    :data:`COARSE`) and s the fingerprint's sign, the score is
    Σ s q / sqrt(Σ q²): the correlation of the two times sqrt(pixels), close
    to a standard normal variable for unrelated arrays.

    Parameters
    ----------
    signs : ndarray, shape (n, words), uint64
        Row 0 of :func:`quantize` of each fingerprint (a view is fine).
    probes : ndarray, shape (p, PLANES, words), uint64
        :func:`quantize` of each probe: the image in each orientation tried.
    pixels : int
        The number of pixels each row stands for (H * W).

    Returns
    -------
    ndarray, shape (n, p), float64
    """
    _check(signs, probes, pixels)
    large = [coarse_magnitude(probe) for probe in probes]
    counts = [int(np.bitwise_count(plane).sum()) for plane in large]
    scores = np.empty((len(signs), len(probes)))

    def score(rows):
        block = signs[rows]
        for k, probe in enumerate(probes):
            differ = block ^ probe[0]
            apart = np.bitwise_count(differ).sum(axis=1, dtype=np.int64)
            differ &= large[k]
            apart_large = np.bitwise_count(differ).sum(axis=1, dtype=np.int64)
            agreeing = (pixels - 2 * apart) + 2 * (counts[k] - 2 * apart_large)
            scores[rows, k] = agreeing / math.sqrt(pixels + 8 * counts[k])

    in_parallel(score, [slice(start, start + ROWS_AT_ONCE) for start in range(0, len(signs), ROWS_AT_ONCE)])
    return scores


def fine_scores(rows, probe, pixels):
    """How far fingerprints agree with one probe at all 16 levels, in standard deviations of chance.

    With a and b the two levels (odd integers from -15 to 15) the score is
    Σ a b / sqrt(Σ a² Σ b² / pixels). Writing a level's magnitude as
    1 + 2 i0 + 4 i1 + 8 i2 (its magnitude bits) and its sign as that of the
    plane of signs, Σ a b is a weighted sum of population counts over pairs
    of magnitude planes, each counted where the signs agree less where they
    differ.

    Parameters
    ----------
    rows : ndarray, shape (m, PLANES, words), uint64
        :func:`quantize` of each fingerprint.
    probe : ndarray, shape (PLANES, words), uint64
        :func:`quantize` of the probe.
    pixels : int

    Returns
    -------
    ndarray, shape (m,), float64
    """
    _check(rows[:, 0], probe[None], pixels)
    differ = rows[:, 0] ^ probe[0]
    # Magnitude planes with the plane of every pixel first (the level's constant 1): theirs, ours, and ours
    # where the signs differ.
    theirs = [None, *(rows[:, j] for j in range(1, PLANES))]
    ours = [None, *probe[1:]]
    ours_apart = [differ, *(differ & plane for plane in probe[1:])]
    product = np.zeros(len(rows), np.int64)
    for j, weight in enumerate(_WEIGHTS.tolist()):
        for k, other in enumerate(_WEIGHTS.tolist()):
            if j == 0:
                both = pixels if k == 0 else int(_counts(ours[k]))
                apart = _counts(ours_apart[k])
            else:
                both = _counts(theirs[j] if k == 0 else theirs[j] & ours[k])
                apart = _counts(theirs[j] & ours_apart[k])
            product += weight * other * (both - 2 * apart)
    return product / np.sqrt(_energy(theirs[1:], pixels) * float(_energy(ours[1:], pixels)[0]) / pixels)


def _energy(magnitudes, pixels):
    """Σ (1 + 2 i)² over pixels, i = b0 + 2 b1 + 4 b2 from the three magnitude planes (rows of planes, or one)."""
    # (1 + 2i)² = 1 + 4i + 4i², and i² = b0 + 4 b1 + 16 b2 + 4 b0 b1 + 8 b0 b2 + 16 b1 b2 for bits b.
    b0, b1, b2 = (np.atleast_2d(plane) for plane in magnitudes)
    single = 8 * _counts(b0) + 24 * _counts(b1) + 80 * _counts(b2)
    paired = 16 * _counts(b0 & b1) + 32 * _counts(b0 & b2) + 64 * _counts(b1 & b2)
    return pixels + single + paired


def _counts(bits):
    """Set bits along the last axis, as int64."""
    return np.bitwise_count(bits).sum(axis=-1, dtype=np.int64)


def _check(signs, probes, pixels):
    signs, probes = np.asarray(signs), np.asarray(probes)
    if signs.dtype != np.uint64 or probes.dtype != np.uint64 or signs.ndim != 2 or probes.ndim != 3 \
            or probes.shape[1] != PLANES:
        raise TypeError(f"fingerprints and probes must be arrays of uint64 words, of shapes (n, words) and "
                        f"(p, {PLANES}, words)")
    if signs.shape[1] != probes.shape[2] or signs.shape[1] != words(pixels) or pixels < 1:
        raise ValueError(f"fingerprints of {signs.shape[1]} words, probes of {probes.shape[2]} words and {pixels} "
                         "pixels do not agree")
