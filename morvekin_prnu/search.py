"""Running the geometric search: the tests :mod:`morvekin_prnu.geometry` plans, in the order that finds
photographs soonest, with a verdict that holds for everything it looked at.

The tests come in up to three parts, tried in this order; the search stops at
the first part whose best peak decides for the camera:

1. zero shift, for a shot as taken or resized whole (:class:`Aligned`);
2. the scales where cut photographs are most often found, each in full over
   every shift: scale 1, the common sizes a photograph is resized to, and
   the scale at which the image spans the sensor
   (:func:`morvekin_prnu.geometry.priors`);
3. the whole scale and crop search of Goljan and Fridrich (2008), over every
   scale of the grid and every shift (:class:`Search`), in two stages: a
   first pass at a reduced resolution (:mod:`morvekin_prnu.coarse`)
   ranks every scale and orientation, and the full test is made only near
   the :data:`CANDIDATES` best of them, and at once near any whose first-pass
   PCE alone passes the threshold.

Each part decides at its own share of the false-alarm probability: zero
shift keeps half of it when another part is planned, the priors get
:data:`PRIORS_SHARE`, and the search the rest (all of it when alone). Whatever the order and wherever
the search stopped, the chance that any part passes for an unrelated image is
at most the sum of the shares times ``p_fa`` (Bonferroni), and the p-value
reported is the smallest of the parts' p-values divided by their shares.

Why the two-stage search keeps its p-value. For an unrelated image, the
search's threshold t on PCE makes P(max over all N planned tests > t) = the
share of ``p_fa`` (:func:`morvekin_prnu.verdict.pce_threshold`). The second
stage computes the very same full tests as a search over every scale would,
only for a subset of them chosen from the data (the first pass); the PCE it
reports is the largest in that subset, which can never exceed the largest
over all N. So the event "the two-stage search passes t" is contained in
"some planned test passes t", and its probability is at most the share of
``p_fa``: the p-value computed for N tests holds, conservatively, whatever the
first pass picked. What the first pass can cost is power: a match whose
scale it ranks below the candidates is missed.
"""

import heapq
import math
from typing import NamedTuple

import numpy as np

from ._fft import irfft2, rfft2
from .coarse import Coarse, ranked
from .correlation import ncc, pce, rescaled, sum_of_products
from .geometry import (COMMON_SIZES, MIN_SCALE, ORIENTATIONS, STEP, Aligned, Prior, Rule, Search, admissible,
                       admissible_peak, checked_rule, chosen_orientations, extent, half_turn, half_turned, plan,
                       priors, scale_grid, to_sensor, upsampled)
from .verdict import Match, judged, pce_threshold

# The planning pieces are named here too: the search was first one module.
__all__ = ["CANDIDATES", "COMMON_SIZES", "MIN_SCALE", "ORIENTATIONS", "PRIORS_SHARE", "STEP", "Aligned", "Prior",
           "Rule", "Search", "accounting", "admissible", "checked_rule", "chosen_orientations", "extent", "half_turn",
           "half_turned", "plan", "priors", "scale_grid", "scene_pce", "tested", "to_sensor", "upsampled"]

# The first pass's best scales and orientations that get the full test. On the simulated cameras of
# bench/bench_geometry.py the match's own was among the first of them whenever a search over every scale
# found it.
CANDIDATES = 4
# The share of p_fa of the priors: small, so that the search over every scale loses little of its own, and
# still enough to lower the threshold at the priors' scales well below the search's.
PRIORS_SHARE = 0.1


def tested(fingerprint, weighted, rule, spanning=None):
    """The Match of a weighted residual against a fingerprint under ``rule``: the tests :func:`plan` and
    :func:`priors` give, run part by part (see the module's description).

    Parameters
    ----------
    fingerprint : ndarray, shape (H, W)
        Finite values.
    weighted : ndarray, shape (h, w)
        The image's :func:`morvekin_prnu.weighted_residual`; finite values.
    rule : Rule
    spanning : float, optional
        Search only the scales up to this factor above the one at which the
        image spans the sensor (:func:`morvekin_prnu.geometry.plan`).

    Returns
    -------
    Match
    """
    prepared = _Prepared(fingerprint)
    image = rescaled(weighted)
    shape = prepared.values.shape
    aligned, searches = plan(image.shape, shape, chosen_orientations(rule.orientations), rule.min_scale, spanning)
    first = priors(image.shape, shape, searches)
    runs = {"zero shift": lambda limit: _strongest_found([_aligned(prepared, image, test) for test in aligned]),
            "priors": lambda limit: _first(prepared, image, first, limit),
            "search": lambda limit: _searched(prepared, image, searches, limit)}
    counts, parts = accounting(aligned, first, searches)
    if not parts:
        return Match(0.0, 0.0, (0, 0), False)
    outcomes = []
    for kind, tests, share in parts:
        limit = rule.threshold if rule.threshold is not None else pce_threshold(share * rule.p_fa, tests)
        found = runs[kind](limit)
        outcomes.append((found, *judged(found.pce, tests, share, rule)))
        if outcomes[-1][1]:
            break
    return _reported(*min(outcomes, key=lambda outcome: (not outcome[1], _or_worst(outcome[2], 1.0))), counts)


def accounting(aligned, first, searches):
    """What a search's p-value counts: its counts (positions, scales, orientations, as a Match reports them)
    and, per part planned, in the order tried, (kind, tests, share of p_fa).

    Parameters
    ----------
    aligned, searches
        From :func:`morvekin_prnu.geometry.plan`.
    first : list of Prior
        From :func:`morvekin_prnu.geometry.priors`.

    Returns
    -------
    counts : dict
    parts : list of (str, int, float)
    """
    planned = [(kind, tests) for kind, tests, plans in (
        ("zero shift", len(aligned), aligned), ("priors", sum(prior.positions for prior in first), first),
        ("search", sum(search.positions for search in searches), searches)) if plans]
    counts = dict(
        positions=sum(tests for _, tests in planned),
        scales=len({math.sqrt(test.scales[0] * test.scales[1]) for test in aligned}
                   | {prior.scale for prior in first} | {scale for search in searches for scale in search.scales}),
        orientations=len({test.orientation for test in [*aligned, *first, *searches]}))
    shares = _shares([kind for kind, _ in planned])
    return counts, [(kind, tests, share) for (kind, tests), share in zip(planned, shares)]


def _shares(kinds):
    """The share of p_fa of each kind of part: :data:`PRIORS_SHARE` for the priors, half for zero shift when
    another part is planned, the rest for the search (all of it for a part alone)."""
    shares = {"zero shift": 0.5 if len(kinds) > 1 else 1.0, "priors": PRIORS_SHARE}
    shares["search"] = 1.0 - sum(shares[kind] for kind in kinds if kind != "search")
    return [shares[kind] for kind in kinds]


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
    """A fingerprint ready to be correlated: rescaled, zero-mean, its spectrum kept per precision and at half
    resolution."""

    def __init__(self, fingerprint):
        self.values = rescaled(fingerprint)
        self.values -= self.values.mean()
        self.norm = math.sqrt(sum_of_products(self.values, self.values))
        self._spectra = {}
        self._coarse = None

    def spectrum_in(self, dtype):
        if dtype not in self._spectra:
            self._spectra[dtype] = rfft2(self.values, self.values.shape, dtype)
        return self._spectra[dtype]

    def coarse(self):
        if self._coarse is None:
            self._coarse = Coarse(self.spectrum_in(np.float32), self.values.shape)
        return self._coarse


def _reported(found, decided, p, counts):
    return Match(found.pce, found.ncc, found.peak, decided, p, found.scale, found.orientation, **counts)


def _or_worst(value, worst):
    return value if value == value else worst


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


def _first(prepared, image, first, limit):
    """The best peak of the prior scales, each tried in full in single precision, worked out again in double;
    it stops at the first scale, in the order planned, whose peak passes ``limit``."""
    tried = []
    for scale in dict.fromkeys(prior.scale for prior in first):
        tried += _full(prepared, image, [(prior.orientation, scale) for prior in first if prior.scale == scale])
        best = max(tried, key=lambda found: _or_worst(found[0], -math.inf))
        if best[0] > limit:
            found = _located(prepared, image, *best[1:])
            if found.pce > limit:
                return found
    return _located(prepared, image, *max(tried, key=lambda found: _or_worst(found[0], -math.inf))[1:])


def _searched(prepared, image, searches, limit):
    """The best peak of a scale and crop search in two stages; it stops at the first peak above ``limit``.

    The first pass (:func:`morvekin_prnu.coarse.ranked`) tries every scale
    and orientation at half resolution. Near each of the :data:`CANDIDATES`
    best, and at once near any whose first-pass PCE is above ``limit``, the
    full test climbs the search's own grid (:func:`_climbed`); the best peak
    found in single precision is worked out again in double precision, and
    only that one decides.
    """
    grids = {search.orientation: search.scales for search in searches}
    tried = {}
    passed = []
    for value, orientation, scale in ranked(prepared.coarse(), image, searches):
        passed.append((_or_worst(value, -math.inf), orientation, scale))
        if value > limit:
            found = _located(prepared, image, *_climbed(prepared, image, grids[orientation], orientation, scale,
                                                        tried)[1:])
            if found.pce > limit:
                return found
    candidates = heapq.nlargest(CANDIDATES, passed, key=lambda cell: cell[0])
    best = max((_climbed(prepared, image, grids[orientation], orientation, scale, tried)
                for _, orientation, scale in candidates), key=lambda climbed: _or_worst(climbed[0], -math.inf))
    return _located(prepared, image, *best[1:])


def _climbed(prepared, image, grid, orientation, scale, tried):
    """(PCE, orientation, grid scale): the full test from the ``grid`` scale nearest ``scale`` to the next
    one while the PCE grows.

    ``tried`` keeps every full test made, by (orientation, grid index), so
    that none is made twice.
    """
    def at(index):
        if (orientation, index) not in tried:
            [tried[orientation, index]] = _full(prepared, image, [(orientation, grid[index])])
        return tried[orientation, index]

    index = min(range(len(grid)), key=lambda k: abs(math.log(grid[k] / scale)))
    while True:
        neighbours = [k for k in (index - 1, index + 1) if 0 <= k < len(grid)]
        better = max(neighbours, key=lambda k: _or_worst(at(k)[0], -math.inf), default=index)
        if not at(better)[0] > at(index)[0]:
            return at(index)
        index = better


def _full(prepared, image, tests):
    """[(PCE in single precision, orientation, scale)] of the full test of each (orientation, scale) of ``tests``.

    An orientation and its half turn at the same scale share the up-sampling
    and the forward transform (:func:`morvekin_prnu.geometry.half_turn`).
    """
    shape = prepared.values.shape
    kernel = prepared.spectrum_in(np.float32)
    pending, results = list(tests), []
    while pending:
        orientation, scale = pending.pop(0)
        partner = (half_turned(orientation), scale)
        paired = partner in pending
        if paired:
            pending.remove(partner)
        turned = to_sensor(image, orientation)
        covered = extent(turned.shape, scale, shape)
        shifts = admissible(covered, shape)
        enlarged = upsampled(turned, covered, (scale, scale), np.float32)
        enlarged -= enlarged.mean()
        forward = rfft2(enlarged, shape, np.float32)
        product = np.conj(forward)
        product *= kernel
        results.append((_peak_pce(irfft2(product, shape), shifts), orientation, scale))
        if paired:
            half_turn(forward, covered, shape)
            forward *= kernel
            results.append((_peak_pce(irfft2(forward, shape), shifts), partner[0], scale))
    return results


def _peak_pce(correlation, shifts):
    return pce(correlation, peak=admissible_peak(correlation, shifts))


def _located(prepared, image, orientation, scale):
    """The double-precision peak of the image turned back by ``orientation`` and enlarged by 1 / ``scale``."""
    shape = prepared.values.shape
    turned = to_sensor(image, orientation)
    covered = extent(turned.shape, scale, shape)
    enlarged = upsampled(turned, covered, (scale, scale))
    enlarged -= enlarged.mean()
    correlation = _correlation(prepared, enlarged, np.float64)
    row, column = admissible_peak(correlation, admissible(covered, shape))
    under = prepared.values[row:row + covered[0], column:column + covered[1]]
    return _Found(pce(correlation, peak=(row, column)), float(ncc(enlarged, under)), (row, column), scale, orientation)
