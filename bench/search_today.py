"""The geometric search as it was before its two-stage engine: every scale tried in full.

A copy of ``morvekin_prnu/search.py`` as it was, imports made absolute: kept
for ``bench/bench_search.py``, which times it against the package's search in
the same run and shows what each finds.
"""

import math
import numbers
from typing import NamedTuple

import numpy as np

from morvekin_prnu._fft import irfft2, rfft2
from morvekin_prnu._threads import in_blocks
from morvekin_prnu.correlation import ncc, pce, rescaled, sum_of_products
from morvekin_prnu.verdict import Match, judged, pce_threshold

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


class Aligned(NamedTuple):
    """One test at zero shift: the image turned back by ``orientation`` and up-sampled by 1/``scales``."""

    orientation: str
    scales: tuple  # (rows, columns): the image's size over the fingerprint's, 1 for a shot as taken


class Search(NamedTuple):
    """A scale and crop search of the image turned back by ``orientation``."""

    orientation: str
    scales: tuple  # from 1 down to the smallest that is searched
    positions: int  # shifts tried over all those scales


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


def plan(shape, fingerprint_shape, orientations=ORIENTATIONS[:4], min_scale=MIN_SCALE):
    """The tests that decide whether an image of ``shape`` comes from a sensor of ``fingerprint_shape``.

    For each orientation, the image turned back to the sensor's frame is

    - tested at zero shift if it has the sensor's shape (a shot as taken), or
      if its aspect ratio is the sensor's to within a pixel of rounding (a shot
      resized whole, up-sampled by its own size's ratios on each axis);
    - otherwise, and also when resized whole, searched over the scales s from
      1 down to the larger of ``min_scale`` and the smallest at which it still
      fits inside the sensor, and over all the crop positions that keep it
      inside at each (:func:`scale_grid`, :func:`admissible`).

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
        scales = scale_grid((height, width), fingerprint_shape, min_scale)
        if scales:
            positions = sum(math.prod(admissible(extent((height, width), s, fingerprint_shape), fingerprint_shape))
                            for s in scales)
            searches.append(Search(orientation, tuple(scales), positions))
    return aligned, searches


def scale_grid(shape, fingerprint_shape, min_scale=MIN_SCALE):
    """Scales to try for an image of ``shape`` (in the sensor's frame), from 1 down.

    Consecutive scales differ by the ratio exp(-STEP / L), L the image's longer
    side; the smallest is the larger of ``min_scale`` and the scale below which
    the up-sampled image would no longer fit inside the fingerprint, and is
    itself tried when it lies more than half a step below the last grid scale.
    Empty when the image is larger than the fingerprint in either dimension.
    """
    lowest = max(min_scale, shape[0] / fingerprint_shape[0], shape[1] / fingerprint_shape[1])
    if lowest > 1.0:
        return []
    ratio = math.exp(-STEP / max(shape))
    scales = [1.0]
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


def tested(fingerprint, weighted, rule):
    """The Match of a weighted residual against a fingerprint under ``rule``: the search :func:`plan` gives, run.

    The zero-shift tests and the scale and crop search each get half of the
    false-alarm probability when both are planned, all of it otherwise; the
    search stops at the first decisive peak (:func:`morvekin_prnu.match`
    describes the whole road).

    Parameters
    ----------
    fingerprint : ndarray, shape (H, W)
        Finite values.
    weighted : ndarray, shape (h, w)
        The image's :func:`morvekin_prnu.weighted_residual`; finite values.
    rule : Rule

    Returns
    -------
    Match
    """
    prepared = _Prepared(fingerprint)
    image = rescaled(weighted)
    aligned, searches = plan(image.shape, prepared.values.shape, chosen_orientations(rule.orientations),
                             rule.min_scale)
    counts = dict(
        positions=len(aligned) + sum(search.positions for search in searches),
        scales=len({math.sqrt(test.scales[0] * test.scales[1]) for test in aligned}
                   | {scale for search in searches for scale in search.scales}),
        orientations=len({test.orientation for test in aligned} | {search.orientation for search in searches}))
    if not counts["positions"]:
        return Match(0.0, 0.0, (0, 0), False)
    share = 0.5 if aligned and searches else 1.0
    outcomes = []
    if aligned:
        found = _strongest_found([_aligned(prepared, image, test) for test in aligned])
        outcomes.append((found, *judged(found.pce, len(aligned), share, rule)))
        if outcomes[-1][1]:
            return _reported(*outcomes[-1], counts)
    if searches:
        tests = sum(search.positions for search in searches)
        limit = rule.threshold if rule.threshold is not None else pce_threshold(share * rule.p_fa, tests)
        found = _searched(prepared, image, searches, limit)
        outcomes.append((found, *judged(found.pce, tests, share, rule)))
    return _reported(*min(outcomes, key=lambda outcome: (not outcome[1], _or_worst(outcome[2], 1.0))), counts)


def scene_pce(fingerprint, weighted, found, rule):
    """The PCE, at ``found``'s peak, of another weighted residual of the same image placed as ``found`` places it.

    The image is turned back by ``found.orientation`` and enlarged by 1 /
    ``found.scale`` exactly as the test that gave ``found`` did (to the
    fingerprint's shape for a zero-shift test, over the area it covers for a
    searched one), and its correlation with the fingerprint read at
    ``found.peak``.

    Parameters
    ----------
    fingerprint : ndarray, shape (H, W)
    weighted : ndarray, shape (h, w)
        Of the same shape as the residual that gave ``found``.
    found : Match
        From :func:`tested` with ``rule``.
    rule : Rule

    Returns
    -------
    float
    """
    prepared = _Prepared(fingerprint)
    shape = prepared.values.shape
    turned = to_sensor(rescaled(weighted), found.orientation)
    aligned, _ = plan(weighted.shape, shape, [found.orientation], rule.min_scale)
    at_zero = [test.scales for test in aligned if math.sqrt(test.scales[0] * test.scales[1]) == found.scale]
    if found.peak == (0, 0) and at_zero:
        enlarged = turned if at_zero[0] == (1.0, 1.0) else upsampled(turned, shape, at_zero[0])
    else:
        enlarged = upsampled(turned, extent(turned.shape, found.scale, shape), (found.scale, found.scale))
    return pce(_correlation(prepared, enlarged - enlarged.mean(), np.float64), peak=found.peak)


class _Found(NamedTuple):
    pce: float
    ncc: float
    peak: tuple
    scale: float
    orientation: str


class _Prepared:
    """A fingerprint ready to be correlated: rescaled, zero-mean, its spectrum kept per precision."""

    def __init__(self, fingerprint):
        self.values = rescaled(fingerprint)
        self.values -= self.values.mean()
        self.norm = math.sqrt(sum_of_products(self.values, self.values))
        self._spectra = {}

    def spectrum_in(self, dtype):
        if dtype not in self._spectra:
            self._spectra[dtype] = rfft2(self.values, self.values.shape, dtype)
        return self._spectra[dtype]


def _reported(found, decided, p, counts):
    return Match(found.pce, found.ncc, found.peak, decided, p, found.scale, found.orientation, **counts)


def _or_worst(value, worst):
    return value if value == value else worst


def _real(value):
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _strongest_found(candidates):
    """The candidate with the highest PCE, NaN last, the first of equals."""
    return max(candidates, key=lambda found: _or_worst(found.pce, -math.inf))


def _aligned(prepared, image, test):
    """The zero-shift test of the image turned back by ``test.orientation`` and enlarged to the fingerprint's shape."""
    shape = prepared.values.shape
    turned = to_sensor(image, test.orientation)
    enlarged = turned if test.scales == (1.0, 1.0) else upsampled(turned, shape, test.scales)
    correlation = _correlation(prepared, enlarged - enlarged.mean(), np.float64)
    return _Found(pce(correlation), float(correlation[0, 0]), (0, 0), math.sqrt(test.scales[0] * test.scales[1]),
                  test.orientation)


def _correlation(prepared, placed, dtype):
    """Correlation of a zero-mean array, placed at the fingerprint's top left, with it over all cyclic shifts.

    Divided by the product of the norms in float64, left unnormalised
    (enough for PCE) in float32.
    """
    product = np.conj(rfft2(placed, prepared.values.shape, dtype))
    product *= prepared.spectrum_in(dtype)
    values = irfft2(product, prepared.values.shape)
    if dtype == np.float64:
        norm = math.sqrt(sum_of_products(placed, placed)) * prepared.norm
        values /= norm if norm else math.inf
    return values


def _searched(prepared, image, searches, limit):
    """The best peak of a scale and crop search; it stops at the first peak above ``limit`` once climbed.

    Every scale is tried in single precision (:func:`_scanned`); the peak
    reported is worked out again in double precision, and only that one
    decides. Climbing: past a scale whose PCE is above ``limit``, the next
    scales of that orientation are tried while the PCE grows, so the scale
    reported is the best one nearby.
    """
    best, climbing = None, {}
    for orientation, scale, value in _scanned(prepared, image, searches):
        if best is None or value > best[0]:
            best = (value, orientation, scale)
        top = climbing.pop(orientation, None)
        if top is not None and value > top[0]:
            climbing[orientation] = (value, orientation, scale)
            continue
        if top is not None:
            found = _located(prepared, image, *top[1:])
            if found.pce > limit:
                return found
        if value > limit:
            climbing[orientation] = (value, orientation, scale)
    for top in climbing.values():
        found = _located(prepared, image, *top[1:])
        if found.pce > limit:
            return found
    return _located(prepared, image, *best[1:])


def _scanned(prepared, image, searches):
    """(orientation, scale, PCE in single precision) for every scale of every search, in order.

    An orientation and its half turn, when both are searched, share the
    up-sampling and the forward transform (:func:`morvekin_prnu.search.half_turn`).
    """
    shape = prepared.values.shape
    kernel = prepared.spectrum_in(np.float32)
    planned = {search.orientation for search in searches}
    done = set()
    for search in searches:
        if search.orientation in done:
            continue
        partner = half_turned(search.orientation)
        partner = partner if partner in planned else None
        done |= {search.orientation, partner}
        turned = to_sensor(image, search.orientation)
        for scale in search.scales:
            covered = extent(turned.shape, scale, shape)
            shifts = admissible(covered, shape)
            enlarged = upsampled(turned, covered, (scale, scale), np.float32)
            enlarged -= enlarged.mean()
            forward = rfft2(enlarged, shape, np.float32)
            product = np.conj(forward)
            product *= kernel
            yield search.orientation, scale, _peak_pce(irfft2(product, shape), shifts)
            if partner is not None:
                half_turn(forward, covered, shape)
                forward *= kernel
                yield partner, scale, _peak_pce(irfft2(forward, shape), shifts)


def _peak_pce(correlation, shifts):
    return pce(correlation, peak=_admissible_peak(correlation, shifts))


def _located(prepared, image, orientation, scale):
    """The double-precision peak of the image turned back by ``orientation`` and enlarged by 1 / ``scale``."""
    shape = prepared.values.shape
    turned = to_sensor(image, orientation)
    covered = extent(turned.shape, scale, shape)
    enlarged = upsampled(turned, covered, (scale, scale))
    enlarged -= enlarged.mean()
    correlation = _correlation(prepared, enlarged, np.float64)
    row, column = _admissible_peak(correlation, admissible(covered, shape))
    under = prepared.values[row:row + covered[0], column:column + covered[1]]
    return _Found(pce(correlation, peak=(row, column)), float(ncc(enlarged, under)), (row, column), scale, orientation)


def _admissible_peak(correlation, shifts):
    """(row, column) of the highest value among the first ``shifts`` rows and columns."""
    region = correlation[:shifts[0], :shifts[1]]
    return tuple(int(i) for i in np.unravel_index(np.argmax(region), region.shape))
