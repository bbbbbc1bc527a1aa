"""Where an image may sit on a camera's sensor: orientations, scales, crop positions.

Goljan and Fridrich (2008), "Camera identification from cropped and scaled
images", Proc. SPIE 6819: a photograph that was resized by a factor s <= 1
and cropped is brought back to the sensor's frame by up-sampling its
weighted residual by 1/s; its correlation with the fingerprint over the
shifts that keep it inside the sensor then peaks where it was cut from. The
scale is unknown, so a grid of scales is tried from 1 down to a floor, finely
enough that the up-sampled residual stays aligned with the fingerprint across
the whole image at the nearest grid scale.

This module plans such a search (:func:`plan`), names the scales tried first
(:func:`priors`) and gives its pieces (the orientations, the scale grid, the
crop positions and the up-sampling); :mod:`morvekin_prnu.search` runs it.
"""

import math
import numbers
from typing import NamedTuple

import numpy as np

from ._threads import in_blocks

# How the image may have been turned from the sensor's frame: mirrored left to
# right (or not), then turned counter-clockwise by 0, 90, 180 or 270 degrees.
ORIENTATIONS = ("rot0", "rot90", "rot180", "rot270", "mirror", "mirror+rot90", "mirror+rot180", "mirror+rot270")
# The smallest scale searched by default: an image half the camera's size.
MIN_SCALE = 0.5
# The grid's step between neighbouring scales, as a ratio 1 - STEP / L for an
# image whose longer side is L pixels: at the grid scale nearest the true one,
# the image's edges then sit at most STEP / 4 of its pixels from where the
# true scale would put them. On the simulated cameras of
# bench/bench_geometry.py a coarser grid lost PCE and then detections, and a
# finer one took longer without finding more.
STEP = 2.0
# Long sides, in pixels, that photographs are commonly resized to for the web, messaging and sharing:
# a crop of such a copy is tested first at the scale that size gives (:func:`priors`).
COMMON_SIZES = (2048, 1600, 1280, 1080, 1024)


class Aligned(NamedTuple):
    """One test at zero shift: the image turned back by ``orientation`` and up-sampled by 1/``scales``."""

    orientation: str
    scales: tuple  # (rows, columns): the image's size over the fingerprint's, 1 for a shot as taken


class Search(NamedTuple):
    """A scale and crop search of the image turned back by ``orientation``."""

    orientation: str
    scales: tuple  # from 1 down to the smallest that is searched
    positions: int  # shifts tried over all those scales


class Prior(NamedTuple):
    """One scale of a search tried first, in full, with a share of the false-alarm probability of its own."""

    orientation: str
    scale: float
    positions: int  # shifts tried at that scale


class Rule(NamedTuple):
    """What to search and how to decide: the options of :func:`morvekin_prnu.match`, checked (:func:`checked_rule`)."""

    p_fa: float
    threshold: float | None
    orientations: int
    min_scale: float


def checked_rule(p_fa, threshold, orientations, min_scale):
    """The options of :func:`morvekin_prnu.match` checked, as a :class:`Rule`; a ValueError names the bad one.

    ``threshold`` must be positive: at 0 every unrelated image would pass half
    the time.
    """
    if not _real(p_fa) or not 0.0 < p_fa < 1.0:
        raise ValueError(f"p_fa must be a number between 0 and 1, not {p_fa!r}")
    if threshold is not None and (not _real(threshold) or not 0.0 < threshold < math.inf):
        raise ValueError(f"threshold must be a positive finite number or None, not {threshold!r}")
    if not _real(min_scale) or not 0.0 < min_scale <= 1.0:
        raise ValueError(f"min_scale must be a number in (0, 1], not {min_scale!r}")
    chosen_orientations(orientations)
    return Rule(float(p_fa), None if threshold is None else float(threshold), int(orientations), float(min_scale))


def half_turned(orientation):
    """The orientation turned a further 180 degrees."""
    index = ORIENTATIONS.index(orientation)
    return ORIENTATIONS[index - index % 4 + (index + 2) % 4]


def chosen_orientations(count):
    """The first ``count`` of :data:`ORIENTATIONS`: 1 (as stored), 4 (quarter turns) or 8 (and mirror images)."""
    if count not in (1, 4, 8) or isinstance(count, bool):
        raise ValueError(f"orientations must be 1, 4 or 8, not {count!r}")
    return ORIENTATIONS[:count]


def to_sensor(x, orientation):
    """The image ``x`` turned back from ``orientation`` to the sensor's frame (a view)."""
    index = ORIENTATIONS.index(orientation)
    turned = np.rot90(x, -(index % 4))
    return turned[:, ::-1] if index >= 4 else turned


def plan(shape, fingerprint_shape, orientations=ORIENTATIONS[:4], min_scale=MIN_SCALE, spanning=None):
    """The tests that decide whether an image of ``shape`` comes from a sensor of ``fingerprint_shape``.

    For each orientation, the image turned back to the sensor's frame is

    - tested at zero shift if it has the sensor's shape (a shot as taken), or
      if its aspect ratio is the sensor's to within a pixel of rounding (a shot
      resized whole, up-sampled by its own size's ratios on each axis);
    - otherwise, and also when resized whole, searched over the scales s from
      1 (or ``spanning`` times the scale at which it spans the sensor) down to
      the larger of ``min_scale`` and the smallest at which it still fits
      inside the sensor, and over all the crop positions that keep it inside
      at each (:func:`scale_grid`, :func:`admissible`).

    An orientation in which the image is larger than the sensor in either
    dimension gets no test.

    Parameters
    ----------
    shape, fingerprint_shape : tuple of int
        (rows, columns) of the image as stored and of the fingerprint.
    orientations : sequence of str
        Names from :data:`ORIENTATIONS`.
    min_scale : float
        The smallest scale searched, in (0, 1].
    spanning : float, optional
        At least 1: search only the scales from the one at which the image
        spans the sensor up to this factor above it (:func:`scale_grid`);
        ``min_scale`` then does not apply.

    Returns
    -------
    aligned : list of Aligned
    searches : list of Search
    """
    rows, columns = fingerprint_shape
    aligned, searches = [], []
    for orientation in orientations:
        height, width = to_sensor(np.empty(shape, np.bool_), orientation).shape
        if (height, width) == (rows, columns):
            aligned.append(Aligned(orientation, (1.0, 1.0)))
            continue
        ratios = (height / rows, width / columns)
        if abs(height * columns - width * rows) <= max(rows, columns) and min_scale <= min(ratios) and max(ratios) < 1:
            aligned.append(Aligned(orientation, ratios))
        scales = scale_grid((height, width), fingerprint_shape, min_scale, spanning)
        if scales:
            positions = sum(math.prod(admissible(extent((height, width), s, fingerprint_shape), fingerprint_shape))
                            for s in scales)
            searches.append(Search(orientation, tuple(scales), positions))
    return aligned, searches


def priors(shape, fingerprint_shape, searches):
    """The scales of ``searches`` where a photograph is most often found, to be tried before the rest.

    A crop as cut (scale 1); a crop of a copy of the whole photograph
    resized to a long side of one of :data:`COMMON_SIZES` (scale: that size
    over the sensor's long side); and an image cut along one side only, to
    another aspect ratio, then resized (the scale at which it spans the
    sensor's width or height: a video's frames, a photograph cut to 16:9 or
    to a square). Each in every orientation searched, when the scale lies
    within that search's range (the spanning scale also when it lies within
    half a grid step below the last scale, where the grid rounds it off), in
    that order: scale 1, the spanning scale, the common sizes from the
    largest. None for a search of one scale, which the search itself covers
    as well.

    Parameters
    ----------
    shape, fingerprint_shape : tuple of int
        (rows, columns) of the image as stored and of the fingerprint.
    searches : list of Search
        From :func:`plan`.

    Returns
    -------
    list of Prior
    """
    common = {1.0} | {size / max(fingerprint_shape) for size in COMMON_SIZES}
    found = []
    for search in searches:
        if len(search.scales) < 2:
            continue
        turned = to_sensor(np.empty(shape, np.bool_), search.orientation).shape
        spans = max(turned[0] / fingerprint_shape[0], turned[1] / fingerprint_shape[1])
        within = {scale for scale in common if search.scales[-1] <= scale <= search.scales[0]}
        if search.scales[-1] * math.exp(-STEP / max(turned) / 2) <= spans <= search.scales[0]:
            within.add(spans)
        for scale in sorted(within, key=lambda scale: (scale != 1.0, scale != spans, -scale)):
            positions = math.prod(admissible(extent(turned, scale, fingerprint_shape), fingerprint_shape))
            found.append(Prior(search.orientation, scale, positions))
    return found


def scale_grid(shape, fingerprint_shape, min_scale=MIN_SCALE, spanning=None):
    """Scales to try for an image of ``shape`` (in the sensor's frame), from 1 down.

    Consecutive scales differ by the ratio exp(-STEP / L), L the image's longer
    side; the smallest is the larger of ``min_scale`` and the scale below which
    the up-sampled image would no longer fit inside the fingerprint (where it
    spans the sensor's width or height), and is itself tried when it lies more
    than half a step below the last grid scale. With ``spanning``, the grid
    runs from that factor times the spanning scale down to the spanning scale
    itself, whatever ``min_scale`` (which bounds how far a photograph was
    shrunk, where the spanning scale already says it). Empty when the image
    is larger than the fingerprint in either dimension.
    """
    spans = max(shape[0] / fingerprint_shape[0], shape[1] / fingerprint_shape[1])
    lowest = max(min_scale, spans) if spanning is None else spans
    highest = 1.0 if spanning is None else min(1.0, spans * spanning)
    if lowest > highest:
        return []
    ratio = math.exp(-STEP / max(shape))
    scales = [highest]
    while scales[-1] * ratio >= lowest:
        scales.append(scales[-1] * ratio)
    if scales[-1] > lowest * math.exp(STEP / max(shape) / 2):
        scales.append(lowest)
    return scales


def extent(shape, scale, fingerprint_shape):
    """(rows, columns) the image of ``shape`` covers on the fingerprint at ``scale``: pixels whose centres it covers."""
    return tuple(min(limit, max(1, round(length / scale))) for length, limit in zip(shape, fingerprint_shape))


def admissible(covered, fingerprint_shape):
    """(rows, columns) of the shifts that keep an area of shape ``covered`` inside the fingerprint."""
    return tuple(limit - length + 1 for length, limit in zip(covered, fingerprint_shape))


def upsampled(x, shape, scales, dtype=np.float64):
    """``x`` resampled to ``shape`` by linear interpolation, as if it had been shrunk by ``scales``.

    Output pixel (i, j) takes ``x`` at ((i + 0.5) s_rows - 0.5, (j + 0.5)
    s_columns - 0.5), the pixel-centre convention of image resizers, when the
    sizes are in the ratio of the scales; otherwise the centres of the two
    arrays are kept together. Edge pixels are repeated beyond the border; a
    reversed ``x`` gives the reversed result. Rows are computed in fixed blocks
    over the package's threads, each from its own input rows alone: the same
    bits for any thread count.

    Parameters
    ----------
    x : ndarray, shape (h, w)
    shape : tuple of int
        (rows, columns) of the result.
    scales : tuple of float
        The image's size over the result's, per axis: 1 / the up-sampling factor.
    dtype : numpy dtype, optional
        Of the result and the arithmetic.

    Returns
    -------
    ndarray, shape ``shape``
    """
    x = np.asarray(x, dtype=dtype)
    first, second, weights = _taps(x.shape[0], shape[0], scales[0], dtype)
    left, right, column_weights = _taps(x.shape[1], shape[1], scales[1], dtype)
    result = np.empty(shape, dtype)

    def rows(block):
        mixed = x[first[block]]
        mixed += weights[block, None] * (x[second[block]] - mixed)
        near, far = np.take(mixed, left, axis=1), np.take(mixed, right, axis=1)
        far -= near
        far *= column_weights
        near += far
        result[block] = near

    in_blocks(rows, shape[0])
    return result


def _taps(length, count, scale, dtype):
    """For each of ``count`` output positions: the two input indices around it and the second one's weight."""
    # Centre on centre: when count * scale == length this is the resizers'
    # (i + 0.5) * scale - 0.5, and otherwise the rounding of count is shared
    # by both ends, so that the result of a reversed input is the reversed result.
    where = np.clip((np.arange(count) + 0.5 - count / 2) * scale + length / 2 - 0.5, 0.0, length - 1.0)
    first = np.floor(where).astype(np.intp)
    second = np.minimum(first + 1, length - 1)
    return first, second, (where - first).astype(dtype)


def half_turn(forward, covered, shape):
    """conj(Y) in place of X: Y the spectrum of the array whose spectrum is X, turned 180 degrees.

    For a real array x of shape ``covered`` at the top left of ``shape`` and
    X the real 2-D FFT of x zero-padded to ``shape``, the same array turned
    180 degrees there has the spectrum
    Y(k, l) = exp(-2 pi i (k (h - 1) / H + l (w - 1) / W)) conj(X(k, l)).
    So conj(Y) = X exp(2 pi i (...)), and the correlation of the turned
    array, conj(Y) K, costs no forward transform of its own.
    """
    for axis, (length, size) in enumerate(zip(covered, shape)):
        frequencies = np.arange(forward.shape[axis])
        phase = np.exp(2j * np.pi * frequencies * ((length - 1) / size)).astype(forward.dtype)
        forward *= phase[:, None] if axis == 0 else phase


def admissible_peak(correlation, shifts):
    """(row, column) of the highest value among the first ``shifts`` rows and columns."""
    region = correlation[:shifts[0], :shifts[1]]
    return tuple(int(i) for i in np.unravel_index(np.argmax(region), region.shape))


def _real(value):
    return isinstance(value, numbers.Real) and not isinstance(value, bool)
