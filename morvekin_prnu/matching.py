"""Testing a photograph against a fingerprint: correlation, PCE and a calibrated verdict.

Goljan, Fridrich and Filler (2009), "Large scale test of sensor fingerprint
camera identification", Proc. SPIE 7254: the normalised cross-correlation of
the image's residual W with K·I, and the peak-to-correlation energy (PCE) of
its peak. For an unrelated image the signed PCE at one position is close to a
chi-square variable with one degree of freedom: P(PCE > t) is the upper normal
tail at sqrt(t). Goljan and Fridrich (2008), "Camera identification from
cropped and scaled images", Proc. SPIE 6819: an image that was resized or cut
is searched over scales and crop positions (:mod:`morvekin_prnu.search`), and
the decision threshold grows with the number of positions tried, so that the
false-alarm probability of the whole search is the one asked for.
"""

import math
import numbers
from typing import NamedTuple

import numpy as np
import scipy.special

from ._checks import checked_plane, checked_sigma, image_label
from ._fft import irfft2, rfft2
from .images import load_image
from .postprocessing import luminance
from .residual import LEVELS, SIGMA, WAVELET, residual_of_pixels, transform_channels
from .search import (MIN_SCALE, ORIENTATIONS, admissible, chosen_orientations, extent, half_turn, half_turned, plan,
                     to_sensor, upsampled)

# The false-alarm probability per image and fingerprint tested.
P_FA = 1e-6
NEIGHBOURHOOD = 11  # PCE leaves out this square around the peak (Goljan et al. 2009)


class Match(NamedTuple):
    """The outcome of testing one image against one fingerprint.

    Attributes
    ----------
    pce : float
        Peak-to-correlation energy of the peak the verdict rests on.
    ncc : float
        Normalised cross-correlation of the image, turned back and scaled, with
        the part of the fingerprint under it at that peak, in [-1, 1].
    peak : tuple of int
        (row, column) on the fingerprint of the top-left corner of the image
        once turned back by ``orientation`` and enlarged by 1 / ``scale``:
        (0, 0) for a shot as taken or resized whole, where a crop was cut from
        otherwise.
    same_camera : bool
        The verdict: ``p_value <= p_fa``, or ``pce > threshold`` when a
        threshold is given.
    p_value : float
        The probability that an unrelated image would give a peak at least as
        strong somewhere in the search that was done: its false-alarm
        probability. 1 when nothing could be tested.
    scale : float
        The image's size over the camera's at the peak: 1 for a shot as taken,
        0.5 for one resized to half its size.
    orientation : str
        How the image is turned from the sensor's frame, one of
        :data:`morvekin_prnu.search.ORIENTATIONS`: mirrored left to right or
        not, then turned counter-clockwise by 0, 90, 180 or 270 degrees.
    positions : int
        The number of tests the p-value accounts for: every shift, scale and
        orientation of the search planned, including those a search that
        stopped at a decisive peak did not reach. 0 when the image is larger
        than the fingerprint in every orientation tried.
    scales : int
        The number of distinct scales among them.
    orientations : int
        The number of orientations among them.
    """

    pce: float
    ncc: float
    peak: tuple
    same_camera: bool
    p_value: float = 1.0
    scale: float = 1.0
    orientation: str = ORIENTATIONS[0]
    positions: int = 0
    scales: int = 0
    orientations: int = 0


class Rule(NamedTuple):
    """What to search and how to decide: the options of :func:`match`, checked (:func:`checked_rule`)."""

    p_fa: float
    threshold: float
    orientations: tuple
    min_scale: float


def match(fingerprint, image, *, sigma=SIGMA, p_fa=P_FA, threshold=None, orientations=4, min_scale=MIN_SCALE):
    """Test whether a photograph was taken by the camera of a fingerprint.

    The image's residual W (:func:`morvekin_prnu.noise_residual`) is
    multiplied by its luminance I (:func:`weighted_residual`) and correlated
    with the fingerprint K; the PCE of the correlation peak gives the verdict
    (Goljan et al. 2009). Where the image may sit on the sensor is searched
    as follows (:func:`morvekin_prnu.search.plan`), in each orientation tried:

    - an image of the fingerprint's shape (a shot as taken, or turned) is
      tested at zero shift only: one test;
    - an image with the fingerprint's aspect ratio (resized whole) is first
      tested at zero shift, up-sampled by the ratio of the sizes;
    - an image smaller than the fingerprint (cropped, resized, or both) is
      searched over scales from 1 down to ``min_scale`` and over every crop
      position that keeps it inside the fingerprint (Goljan and Fridrich 2008).

    The decision keeps the chance that an unrelated image is attributed to
    the camera at ``p_fa``, whatever was searched: under that hypothesis the
    signed PCE at one position is close to chi-square with one degree of
    freedom, so one test exceeds t with probability Q(sqrt(t)), Q the upper
    normal tail, and the largest of N tests with 1 - (1 - Q(sqrt(t)))^N. The
    zero-shift tests and the search each get half of ``p_fa`` when both are
    planned, all of it otherwise; the search stops early once a decisive peak
    is found. ``p_value`` is the smallest ``p_fa`` at which the image would
    be attributed.

    The default ``p_fa``, one in a million per image and fingerprint, puts
    the threshold for a shot as taken near a PCE of 24 (two orientations of
    its shape) and for a search over millions of positions between 50 and
    65. It is chosen with a margin: on the simulated cameras of
    ``bench/bench_geometry.py`` unrelated pairs came at the rate asked, but
    more often than that when the fingerprints were made from a few shots
    only (which keep traces of their scenes); and a questioned image tested
    against a thousand fingerprints should still be wrongly attributed only
    about once in a thousand such tests. A smaller ``p_fa`` raises the
    search's threshold and there lost resized and cropped shots that this
    one found. The law does not know of patterns that cameras of one model
    share, so a PCE just past the threshold deserves a second look.

    Parameters
    ----------
    fingerprint : ndarray, shape (H, W)
        A fingerprint from :func:`morvekin_prnu.fingerprint`; any finite
        values, multiplied by any constant: it is rescaled before use.
    image : str, os.PathLike or ndarray
        The photograph: a file (read in stored pixel order) or an array, as
        for :func:`morvekin_prnu.load_image`.
    sigma : float, optional
        The denoiser's noise standard deviation; use the fingerprint's.
    p_fa : float, optional
        The false-alarm probability per image and fingerprint, in (0, 1).
    threshold : float, optional
        A fixed PCE above which the image is attributed to the camera, as in
        Goljan et al. (2009), who used 60 at zero shift. When given it decides
        instead of ``p_fa``, whatever was searched; ``p_value`` is still
        reported.
    orientations : {4, 1, 8}, optional
        Orientations tried: the four quarter turns, the image as stored
        only, or the quarter turns of it and of its mirror image.
    min_scale : float, optional
        The smallest scale searched, in (0, 1]: 0.5 for an image resized to
        half the camera's size or more.

    Returns
    -------
    Match
    """
    [fingerprint] = _checked_fingerprints([fingerprint], ["fingerprint"])
    rule = checked_rule(p_fa, threshold, orientations, min_scale)
    return _tested(fingerprint, weighted_residual(image, sigma=sigma), rule)


def match_all(fingerprints, image, *, sigma=SIGMA, p_fa=P_FA, threshold=None, orientations=4,
              min_scale=MIN_SCALE):
    """Test a photograph against several fingerprints, extracting its residual once.

    Parameters
    ----------
    fingerprints : sequence of ndarray, each shape (H, W)
        Fingerprints from :func:`morvekin_prnu.fingerprint`, of any sizes.
    image, sigma, p_fa, threshold, orientations, min_scale
        As for :func:`match`; ``sigma`` should be the fingerprints' own.

    Returns
    -------
    list of Match
        One per fingerprint, in their order: what :func:`match` gives for
        each, each with its own ``p_fa`` (:func:`strongest` picks one).
    """
    checked = _checked_fingerprints(fingerprints, [f"fingerprints[{k}]" for k in range(len(fingerprints))])
    rule = checked_rule(p_fa, threshold, orientations, min_scale)
    weighted = weighted_residual(image, sigma=sigma)
    return [_tested(fingerprint, weighted, rule) for fingerprint in checked]


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


def match_residual(fingerprint, weighted, *, p_fa=P_FA, threshold=None, orientations=4, min_scale=MIN_SCALE):
    """:func:`match` of an image given by its :func:`weighted_residual`: the same Match, bit for bit.

    Parameters
    ----------
    fingerprint : ndarray, shape (H, W)
    weighted : ndarray, shape (h, w)
        From :func:`weighted_residual`, with the fingerprint's sigma; finite.
    p_fa, threshold, orientations, min_scale
        As for :func:`match`.

    Returns
    -------
    Match
    """
    [fingerprint] = _checked_fingerprints([fingerprint], ["fingerprint"])
    rule = checked_rule(p_fa, threshold, orientations, min_scale)
    weighted = checked_plane(weighted, "weighted")
    if not np.isfinite(weighted).all():
        raise ValueError("weighted holds NaN or infinite values")
    return _tested(fingerprint, weighted, rule)


def checked_rule(p_fa=P_FA, threshold=None, orientations=4, min_scale=MIN_SCALE):
    """The options of :func:`match` checked, as a :class:`Rule`; a ValueError names the bad one."""
    if not _real(p_fa) or not 0.0 < p_fa < 1.0:
        raise ValueError(f"p_fa must be a number between 0 and 1, not {p_fa!r}")
    if threshold is not None and (not _real(threshold) or not math.isfinite(threshold)):
        raise ValueError(f"threshold must be a finite number or None, not {threshold!r}")
    if not _real(min_scale) or not 0.0 < min_scale <= 1.0:
        raise ValueError(f"min_scale must be a number in (0, 1], not {min_scale!r}")
    chosen_orientations(orientations)
    return Rule(float(p_fa), None if threshold is None else float(threshold), int(orientations), float(min_scale))


def pce_threshold(p_fa, tests):
    """The PCE that the largest of ``tests`` tests of an unrelated pair exceeds with probability ``p_fa``.

    With Q the upper normal tail and the tests taken as independent (Šidák):
    each test is allowed a = 1 - (1 - p_fa)^(1 / tests), and the threshold is
    the signed square of Q⁻¹(a).

    Parameters
    ----------
    p_fa : float
        In (0, 1).
    tests : int
        At least 1.

    Returns
    -------
    float
    """
    each = -math.expm1(math.log1p(-p_fa) / tests)
    root = -float(scipy.special.ndtri(each))
    return math.copysign(root * root, root)


def p_value(pce, tests):
    """The probability that the largest of ``tests`` tests of an unrelated pair reaches ``pce``.

    1 - (1 - Q(sqrt(pce)))^tests, with the square root signed as the PCE is
    (:func:`pce_threshold` inverts it); computed without cancellation, so a
    strong match gives a tiny number, not 0, until it underflows.
    """
    root = math.copysign(math.sqrt(abs(pce)), pce)
    each = float(scipy.special.ndtr(-root))
    return -math.expm1(tests * math.log1p(-each)) if each < 1.0 else 1.0


def significance(found):
    """A sort key for Matches, the most significant first.

    Those that decide for their camera come first, then the others; each by
    p-value, then by PCE (p-values of strong matches underflow to 0
    together). A Match holding NaN, which a well-formed one never does, comes
    last and never decides (:func:`strongest`).

    Parameters
    ----------
    found : Match

    Returns
    -------
    tuple
    """
    if found.pce != found.pce or found.p_value != found.p_value:
        return 2, math.inf, math.inf
    return (0 if found.same_camera is True else 1), found.p_value, -found.pce


def strongest(matches):
    """The index of the most significant of ``matches`` (:func:`significance`) if it decides for its camera, or None.

    The first of equals wins.
    """
    if not len(matches):
        return None
    best = min(range(len(matches)), key=lambda k: significance(matches[k]))
    return best if significance(matches[best])[0] == 0 else None


def _or_worst(value, worst):
    return value if value == value else worst


def _real(value):
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _checked_fingerprints(fingerprints, names):
    checked = []
    for name, fingerprint in zip(names, fingerprints):
        fingerprint = checked_plane(fingerprint, name)
        if not np.isfinite(fingerprint).all():
            raise ValueError(f"{name} holds NaN or infinite values")
        checked.append(fingerprint)
    return checked


class _Found(NamedTuple):
    pce: float
    ncc: float
    peak: tuple
    scale: float
    orientation: str


class _Prepared:
    """A fingerprint ready to be correlated: rescaled, zero-mean, its spectrum kept per precision."""

    def __init__(self, fingerprint):
        self.values = _rescaled(fingerprint)
        self.values -= self.values.mean()
        self.norm = math.sqrt(_sum_of_products(self.values, self.values))
        self._spectra = {}

    def spectrum_in(self, dtype):
        if dtype not in self._spectra:
            self._spectra[dtype] = rfft2(self.values, self.values.shape, dtype)
        return self._spectra[dtype]


def _rescaled(x):
    """x in float64, multiplied by the power of two that brings its largest magnitude into [0.5, 1).

    Exact, so the result is the same bits for x times any power of two, and no
    sum of squares or product of norms downstream can overflow or underflow.
    """
    x = np.asarray(x, dtype=np.float64)
    largest = float(np.max(np.abs(x)))
    return np.ldexp(x, -math.frexp(largest)[1]) if largest > 0.0 else np.zeros(x.shape)


def _tested(fingerprint, weighted, rule):
    """The Match of a weighted residual against a fingerprint under ``rule``."""
    prepared = _Prepared(fingerprint)
    image = _rescaled(weighted)
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
        outcomes.append(_judged(found, len(aligned), share, rule))
        if outcomes[-1][1]:
            return _reported(*outcomes[-1], counts)
    if searches:
        tests = sum(search.positions for search in searches)
        limit = rule.threshold if rule.threshold is not None else pce_threshold(share * rule.p_fa, tests)
        outcomes.append(_judged(_searched(prepared, image, searches, limit), tests, share, rule))
    return _reported(*min(outcomes, key=lambda outcome: (not outcome[1], _or_worst(outcome[2], 1.0))), counts)


def _judged(found, tests, share, rule):
    """(found, decided, p-value of the whole search) for the best peak of a part with that share of p_fa."""
    p = min(1.0, p_value(found.pce, tests) / share)
    decided = found.pce > rule.threshold if rule.threshold is not None else p <= rule.p_fa
    return found, bool(decided), p


def _reported(found, decided, p, counts):
    return Match(found.pce, found.ncc, found.peak, decided, p, found.scale, found.orientation, **counts)


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
        norm = math.sqrt(_sum_of_products(placed, placed)) * prepared.norm
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
