"""Crops of unknown scale against many cameras: one search per group of cameras, not one per camera.

Bayram, Sencar and Memon (2015), "Efficient techniques for sensor
fingerprint matching in large image and video databases", IEEE TIFS 10(5):
the sum of several cameras' fingerprints, a composite, correlates with an
image of any one of them where that camera's own fingerprint does, so one
search of the composite stands for a search of each. Here the composite of a
group of cameras of one sensor is the sum of their fingerprints, each made
zero-mean and of unit norm (:func:`composite`); it is searched over scales,
crop positions and orientations as ``match`` searches a fingerprint
(:func:`morvekin_prnu.search.tested`), and each camera of the group is then
tested with its own fingerprint at the scale and orientation where the
composite peaked, over every crop position (:class:`Placement`).

The decision for each camera rests on its own correlation only, judged as
its full search would be: its p-value counts every position, scale and
orientation of that search, of which the test looked at one scale and
orientation. The largest of a subset of the search's tests, chosen by the
composite, exceeds a threshold no more often than the largest of all of
them, so the false-alarm probability stays at most the one asked for. The
composite's own peak decides nothing.

A camera's share of a composite of n cameras is 1/n of its energy, so its
PCE there is about 1/n of its own: a strong match stands out of the
composite's search, a weak one does not, and then its camera is not found
where testing it alone would have found it. ``bench/bench_groups.py``
measures how often the verdict is that of testing every camera alone.
"""

import functools
import math

import numpy as np

from ._fft import irfft2, rfft2
from .correlation import ncc, pce, rescaled, sum_of_products
from .fingerprint_folder import read_stored
from .matching import flagged
from .search import (accounting, admissible, chosen_orientations, extent, plan, priors, tested, to_sensor,
                     upsampled)
from .verdict import Match, judged

GROUP = 100  # cameras per composite
COMPOSITES = 4  # composites kept in memory per process, for images of the same sensor in a row


@functools.lru_cache(maxsize=COMPOSITES)
def composite(files):
    """The composite of a group of cameras: the sum of their fingerprints, each zero-mean and of unit norm.

    Parameters
    ----------
    files : tuple of (str, str)
        Each camera's fingerprint file and its SHA-256 as the catalogue
        records it, in a fixed order (the sum is taken in that order).

    Returns
    -------
    ndarray, shape (H, W), float64
        Read-only.

    Raises
    ------
    OSError, ValueError
        As :func:`morvekin_prnu.fingerprint_folder.read_stored` raises for
        a file that is missing, changed or damaged.
    """
    total = None
    for path, sha256 in files:
        values = rescaled(read_stored(path, sha256))
        values -= values.mean()
        values /= math.sqrt(sum_of_products(values, values))
        total = values if total is None else total + values
    total.flags.writeable = False
    return total


def group_tests(members, question, sigma, rule):
    """Test a group of cameras of one sensor against a crop through their composites of :data:`GROUP`.

    Parameters
    ----------
    members : list of Entry
        :class:`morvekin_prnu.identification.Entry` of each camera, all of
        one shape and ``sigma``, in a fixed order.
    question : morvekin_prnu.matching.Questioned
    sigma : float
    rule : morvekin_prnu.search.Rule

    Returns
    -------
    matches : dict
        Camera name -> its Match (:class:`Placement`), with its flags
        (:func:`morvekin_prnu.matching.flagged`).
    unreadable : list of (str, str)
        (camera, reason) of those whose fingerprint file could not be read:
        not tested, and left out of their group's composite.
    """
    weighted = question.weighted(sigma)
    matches, unreadable = {}, []
    for start in range(0, len(members), GROUP):
        readable = []
        for entry in members[start:start + GROUP]:
            try:
                read_stored(entry.file, entry.sha256)
            except (OSError, ValueError) as error:
                unreadable.append((entry.name, str(error)))
                continue
            readable.append(entry)
        if not readable:
            continue
        placement = Placement(weighted, tested(composite(tuple((e.file, e.sha256) for e in readable)), weighted,
                                               rule), readable[0].shape, rule)
        for entry in readable:
            fingerprint = read_stored(entry.file, entry.sha256)
            matches[entry.name] = flagged(placement.test(fingerprint), fingerprint, question, rule, entry.sources)
    return matches, unreadable


class Placement:
    """An image turned and enlarged as a composite's search placed it, tested against one fingerprint at a time.

    The image is turned back by ``where.orientation`` and enlarged by
    1 / ``where.scale`` once; :meth:`test` correlates it with a fingerprint
    over every shift that keeps it inside the sensor, in double precision
    as the search reports a peak, and judges the peak as the camera's full
    search (:func:`morvekin_prnu.search.tested`) judges a peak of the part
    it belongs to (a prior's scale, or the search over every scale): its
    p-value counts every position, scale and orientation of that part,
    with that part's share of p_fa (:func:`morvekin_prnu.search.accounting`).

    Parameters
    ----------
    weighted : ndarray, shape (h, w)
        The image's weighted residual.
    where : Match
        Of a composite's search.
    shape : tuple of int
        The sensor's.
    rule : morvekin_prnu.search.Rule
    """

    def __init__(self, weighted, where, shape, rule):
        aligned, searches = plan(weighted.shape, shape, chosen_orientations(rule.orientations), rule.min_scale)
        first = priors(weighted.shape, shape, searches)
        self.counts, parts = accounting(aligned, first, searches)
        # As the part of a full search the placement belongs to is judged (a prior's scale, or the search's):
        # that part's positions and share of p_fa.
        kind = "priors" if (where.orientation, where.scale) in {(p.orientation, p.scale) for p in first} else "search"
        self.tests, self.share = next(((tests, share) for part, tests, share in parts if part == kind), (0, 1.0))
        self.rule, self.where, self.shape = rule, where, shape
        turned = to_sensor(rescaled(weighted), where.orientation)
        self.covered = extent(turned.shape, where.scale, shape)
        self.enlarged = upsampled(turned, self.covered, (where.scale, where.scale))
        self.enlarged -= self.enlarged.mean()
        self.spectrum = np.conj(rfft2(self.enlarged, shape))
        self.norm = math.sqrt(sum_of_products(self.enlarged, self.enlarged))

    def test(self, fingerprint):
        """The Match of one camera's fingerprint at this placement, without flags.

        Parameters
        ----------
        fingerprint : ndarray, shape (H, W)
            Of the sensor's shape.

        Returns
        -------
        Match
        """
        if not self.tests:
            return Match(0.0, 0.0, (0, 0), False, **self.counts)
        values = rescaled(fingerprint)
        values -= values.mean()
        # The image's spectrum times the fingerprint's, and its norm times the fingerprint's, in that order: as
        # the search computes a peak, so that a camera placed where its own search peaks gets the same bits.
        product = self.spectrum.copy()
        product *= rfft2(values)
        correlation = irfft2(product, self.shape)
        norm = self.norm * math.sqrt(sum_of_products(values, values))
        correlation /= norm if norm else math.inf
        shifts = admissible(self.covered, self.shape)
        region = correlation[:shifts[0], :shifts[1]]
        row, column = (int(i) for i in np.unravel_index(np.argmax(region), region.shape))
        value = pce(correlation, peak=(row, column))
        decided, p = judged(value, self.tests, self.share, self.rule)
        under = values[row:row + self.covered[0], column:column + self.covered[1]]
        return Match(value, float(ncc(self.enlarged, under)), (row, column), decided, p, self.where.scale,
                     self.where.orientation, **self.counts)
