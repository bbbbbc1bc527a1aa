"""Deciding a test: the false-alarm probability of a search, its threshold, and the verdict.

Goljan, Fridrich and Filler (2009), "Large scale test of sensor fingerprint
camera identification", Proc. SPIE 7254: for an image that the camera did not
take, the signed PCE at one position is close to a chi-square variable with
one degree of freedom, so P(PCE > t) is the upper normal tail at sqrt(t).
Goljan and Fridrich (2008), "Camera identification from cropped and scaled
images", Proc. SPIE 6819: a search over many positions and scales takes the
largest of many such tests, and the threshold grows with their number so
that the false-alarm probability of the whole search is the one asked for.
"""

import math
from typing import NamedTuple

import scipy.special

# The false-alarm probability per image and fingerprint tested.
P_FA = 1e-6
# What a verdict may come with: the image is one of the photographs the fingerprint was made from,
# or its peak may come from scene content it shares with them rather than from the sensor.
SOURCE_IMAGE = "source image"
SHARED_SCENE = "shared scene"


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
    flags : tuple of str
        Conditions under which the p-value may not hold: :data:`SOURCE_IMAGE`
        when the image is one of the photographs the fingerprint was made
        from, :data:`SHARED_SCENE` when the peak may come from scene content
        that the image shares with them (see
        :func:`morvekin_prnu.matching.flagged`). Empty otherwise.
    """

    pce: float
    ncc: float
    peak: tuple
    same_camera: bool
    p_value: float = 1.0
    scale: float = 1.0
    orientation: str = "rot0"
    positions: int = 0
    scales: int = 0
    orientations: int = 0
    flags: tuple = ()


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


def judged(pce, tests, share, rule):
    """(decided, p-value of the whole search) for the best peak of a part of a search given ``share`` of p_fa.

    The p-value is that of ``tests`` tests divided by the share, at most 1;
    ``rule`` (a :class:`morvekin_prnu.search.Rule`) decides by its threshold
    if it has one, else by its p_fa. A NaN PCE never decides.
    """
    p = min(1.0, p_value(pce, tests) / share)
    decided = pce > rule.threshold if rule.threshold is not None else p <= rule.p_fa
    return bool(decided), p


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
