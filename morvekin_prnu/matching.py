"""Testing a photograph against a fingerprint: its residual, the search, and a verdict that says when it may be wrong.

Goljan, Fridrich and Filler (2009), "Large scale test of sensor fingerprint
camera identification", Proc. SPIE 7254: the image's noise residual W,
weighted by its luminance I, is correlated with the fingerprint K
(:mod:`morvekin_prnu.correlation`), over the scales, crop positions and
orientations where the image may sit on the sensor
(:mod:`morvekin_prnu.search`, Goljan and Fridrich 2008), and the peak's PCE
decides with a false-alarm probability that holds for that search
(:mod:`morvekin_prnu.verdict`).

That probability assumes that the residual and the fingerprint share nothing
but the sensor's pattern. Two things break it, and a Match says so in its
``flags``: the image may be one of the very photographs the fingerprint was
made from, and the image may show the same scene as some of them, whose
traces the fingerprint keeps (:func:`flagged`).
"""

import os

import numpy as np
from scipy import ndimage

from ._checks import checked_plane, checked_sigma, image_label
from .correlation import crosscorr, ncc, pce
from .fingerprints import frames_fingerprint
from .images import ImageFacts, load_image, read_image
from .postprocessing import luminance
from .provenance import array_sha256
from .residual import LEVELS, SIGMA, WAVELET, residual_of_pixels, transform_channels
from .search import MIN_SCALE, Rule, checked_rule, scene_pce, tested
from .storage import StoredFingerprint, recorded_sources
from .video import FRAMES, LIMIT, is_video, read_video
from .verdict import P_FA, SHARED_SCENE, SOURCE_IMAGE, Match, p_value, pce_threshold, significance, strongest

# The correlation primitives and the verdict's parts are re-exported: they were first defined here.
__all__ = ["P_FA", "Match", "Questioned", "Rule", "checked_rule", "crosscorr", "flagged", "match", "match_all",
           "match_residual", "ncc", "p_value", "pce", "pce_threshold", "questioned", "significance", "strongest",
           "tested_question", "weighted_residual"]

# A peak may come from scene content shared with the fingerprint's photographs when the image's scene detail
# (Questioned.content) correlates with the fingerprint there more strongly than one unrelated test in a
# thousand would, and with at least this share of the match's own PCE: of a peak the sensor's pattern makes,
# a little reaches that detail too, at most 7 % of its PCE for shots as taken and 18 % for resized and cut
# ones on the simulated cameras of bench/bench_geometry.py, where peaks made of shared scenes gave 10 % to
# over 100 %.
SCENE_P = 1e-3
SCENE_SHARE = 0.08
CONTENT_BAND = (0.7, 2.0)
# A video's frames are searched from the scale at which they span the sensor up to this factor above it:
# stabilisation keeps the frame within about 5/6 of the sensor's width.
VIDEO_SPANNING = 1.2  # pixels: the widths of the Gaussian blurs whose difference keeps a scene's detail


class Questioned:
    """An image or a video read once for testing: what messages call it, its record, and what is correlated
    with a fingerprint, per sigma.

    Made by :func:`questioned`. ``label`` is the path, or the name given to
    an array; ``facts`` the file's :class:`morvekin_prnu.ImageFacts` or
    :class:`morvekin_prnu.VideoFacts` (None for an array); ``sha256`` that of
    the file's bytes, or of an array's values (as
    :func:`morvekin_prnu.fingerprint` records arrays); :attr:`record` the
    file's facts, or an array's with its SHA-256 alone.
    """

    def __init__(self, label, facts, sha256, pixels, frames=None):
        self.label, self.facts, self.sha256 = label, facts, sha256
        self._pixels, self._frames = pixels, frames
        self._weighted, self._scene = {}, None

    @property
    def is_video(self):
        return self._frames is not None

    @property
    def record(self):
        return self.facts if self.facts is not None else ImageFacts(self.sha256)

    def weighted(self, sigma):
        """The image's :func:`weighted_residual` with that sigma, computed once; for a video, the
        fingerprint of its frames (Chen et al. 2007), the pattern its sensor left on them."""
        if sigma not in self._weighted:
            sigma = checked_sigma(sigma)
            self._weighted[sigma] = _weighted(self._pixels, sigma, self.label) if self._frames is None else \
                frames_fingerprint(self._frames, self.facts.labels(self.label), sigma=sigma)
        return self._weighted[sigma]

    def content(self):
        """The image's scene detail with little of the sensor's pattern: its luminance, median filtered and
        band-passed; None for a video, whose pattern is estimated from many frames of moving scenes.

        The fine edges and texture that the denoiser leaks into an image's
        residual, and so into a fingerprint made of few pictures, lie in the
        band between Gaussian blurs of :data:`CONTENT_BAND` pixels; a 3x3
        median first removes most of the pattern, which is white and faint,
        from that band while keeping the edges.
        """
        if self._scene is None and self._frames is None:
            smooth = ndimage.median_filter(luminance(list(transform_channels(self._pixels))), 3)
            fine, coarse = (ndimage.gaussian_filter(smooth, width) for width in CONTENT_BAND)
            self._scene = fine - coarse
        return self._scene


def questioned(image, sigmas=(SIGMA,), *, name="image", frames=FRAMES, max_frames=LIMIT):
    """Read an image once and compute its weighted residual for each sigma: the image's side of every test.

    A video (a file :func:`morvekin_prnu.video.is_video` tells apart) is read
    once too (:func:`morvekin_prnu.read_video`), and its side of a test is
    the fingerprint of its frames: matched against a fingerprint of the
    camera's photographs it is searched over scales and positions as a
    resized and cut photograph is (Iuliani et al. 2019, "Hybrid
    reference-based video source identification", Sensors 19), against one
    of its videos as a shot as taken is.

    Parameters
    ----------
    image : str, os.PathLike or ndarray
        A photograph or video file (read in stored pixel order) or an array,
        as for :func:`morvekin_prnu.load_image`.
    sigmas : iterable of float, optional
        The denoiser sigmas of the fingerprints it is to be tested against,
        computed now so that an image that cannot be analysed is refused
        here; others are computed when asked for.
    name : str, optional
        What to call an array in messages (a file is called by its path).
    frames, max_frames : optional
        For a video, which frames and at most how many, as
        :func:`morvekin_prnu.read_video` takes them (``frames``, ``limit``).

    Returns
    -------
    Questioned

    Raises
    ------
    OSError, ValueError, TypeError
        As for :func:`morvekin_prnu.read_image` and
        :func:`morvekin_prnu.noise_residual`; the message names the file.
    """
    sigmas = sorted({checked_sigma(sigma) for sigma in sigmas})
    label = image_label(image) if isinstance(image, (str, os.PathLike)) else name
    if isinstance(image, (str, os.PathLike)) and is_video(image):
        shown, facts = read_video(image, frames=frames, limit=max_frames)
        question = Questioned(label, facts, facts.sha256, None, shown)
        for sigma in sigmas:
            question.weighted(sigma)
        return question
    if isinstance(image, (str, os.PathLike)):
        pixels, facts = read_image(image, orient=False)
        sha256 = facts.sha256
    else:
        pixels, facts = load_image(image, name=name, orient=False), None
        sha256 = array_sha256(pixels)
    question = Questioned(label, facts, sha256, pixels)
    for sigma in sigmas:
        question.weighted(sigma)
    return question


def match(fingerprint, image, *, sigma=None, p_fa=P_FA, threshold=None, orientations=4, min_scale=MIN_SCALE):
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

    The probability holds when the residual and the fingerprint share
    nothing but the sensor. The Match's ``flags`` say when that may not be
    so (:func:`flagged`).

    Parameters
    ----------
    fingerprint : ndarray, shape (H, W), or StoredFingerprint
        A fingerprint from :func:`morvekin_prnu.fingerprint` (any finite
        values, multiplied by any constant: it is rescaled before use), or a
        fingerprint file as :func:`morvekin_prnu.read_fingerprint` reads it,
        whose record of its photographs shows whether the image is one of
        them.
    image : str, os.PathLike or ndarray
        The photograph: a file (read in stored pixel order) or an array, as
        for :func:`morvekin_prnu.load_image`.
    sigma : float, optional
        The denoiser's noise standard deviation: the fingerprint file's own
        for a StoredFingerprint, else 3.
    p_fa : float, optional
        The false-alarm probability per image and fingerprint, in (0, 1).
    threshold : float, optional
        A fixed positive PCE above which the image is attributed to the
        camera, as in Goljan et al. (2009), who used 60 at zero shift. When
        given it decides instead of ``p_fa``, whatever was searched;
        ``p_value`` is still reported.
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
    [fingerprint], [sigma], [sources] = _checked_fingerprints([fingerprint], ["fingerprint"], sigma)
    rule = checked_rule(p_fa, threshold, orientations, min_scale)
    return tested_question(fingerprint, questioned(image, [sigma]), sigma, rule, sources)


def match_all(fingerprints, image, *, sigma=None, p_fa=P_FA, threshold=None, orientations=4, min_scale=MIN_SCALE):
    """Test a photograph against several fingerprints, reading it once and extracting its residual once per sigma.

    Parameters
    ----------
    fingerprints : sequence of ndarray or StoredFingerprint
        As for :func:`match`, of any sizes.
    image : str, os.PathLike, ndarray or Questioned
        As for :func:`match`, or an image :func:`questioned` already read.
    p_fa, threshold, orientations, min_scale
        As for :func:`match`.
    sigma : float, optional
        The denoiser's sigma for every fingerprint; by default each
        StoredFingerprint's own, 3 for arrays.

    Returns
    -------
    list of Match
        One per fingerprint, in their order: what :func:`match` gives for
        each, each with its own ``p_fa`` (:func:`strongest` picks one).
    """
    names = [f"fingerprints[{k}]" for k in range(len(fingerprints))]
    checked, sigmas, sources = _checked_fingerprints(fingerprints, names, sigma)
    rule = checked_rule(p_fa, threshold, orientations, min_scale)
    question = image if isinstance(image, Questioned) else questioned(image, sigmas)
    return [tested_question(fingerprint, question, each, rule, recorded)
            for fingerprint, each, recorded in zip(checked, sigmas, sources)]


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
    return _weighted(load_image(image, orient=False), sigma, image_label(image))


def match_residual(fingerprint, weighted, *, p_fa=P_FA, threshold=None, orientations=4, min_scale=MIN_SCALE):
    """:func:`match` of an image given by its :func:`weighted_residual`: the same Match, bit for bit, but its flags.

    Without the image, neither of :func:`flagged`'s checks can be made: the
    Match's ``flags`` are empty.

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
    [fingerprint], _, _ = _checked_fingerprints([fingerprint], ["fingerprint"], SIGMA)
    rule = checked_rule(p_fa, threshold, orientations, min_scale)
    weighted = checked_plane(weighted, "weighted")
    if not np.isfinite(weighted).all():
        raise ValueError("weighted holds NaN or infinite values")
    return tested(fingerprint, weighted, rule)


def tested_question(fingerprint, question, sigma, rule, sources=frozenset()):
    """The Match of a :class:`Questioned` image against a fingerprint, with its :func:`flagged` conditions.

    A video's pattern is searched only over the scales from that at which its
    frames span the sensor's width or height up to :data:`VIDEO_SPANNING`
    times it (:func:`morvekin_prnu.geometry.scale_grid`): a camera's video
    frames are its sensor's whole picture resized, cut to the video's aspect
    ratio and a little more by stabilisation. The p-value counts the tests of
    that search.

    Parameters
    ----------
    fingerprint : ndarray, shape (H, W)
        Finite values.
    question : Questioned
    sigma : float
    rule : Rule
    sources : set of str, optional
        The SHA-256 of each photograph the fingerprint was made from.

    Returns
    -------
    Match
    """
    spanning = VIDEO_SPANNING if question.is_video else None
    found = tested(fingerprint, question.weighted(sigma), rule, spanning)
    return flagged(found, fingerprint, question, rule, sources)


def flagged(found, fingerprint, question, rule, sources=frozenset()):
    """``found`` with the conditions under which its p-value may not hold in its ``flags``.

    - :data:`morvekin_prnu.verdict.SOURCE_IMAGE`: the image's SHA-256 is
      among ``sources``, the photographs the fingerprint was made from; its
      own residual is part of the fingerprint, so it matches whatever camera
      took it.
    - :data:`morvekin_prnu.verdict.SHARED_SCENE`, for a Match that decides
      for the camera: the image's scene detail (:meth:`Questioned.content`),
      placed as the peak places the image, correlates with the fingerprint
      there with a one-test p-value below :data:`SCENE_P` and a PCE of at
      least :data:`SCENE_SHARE` of the match's. A fingerprint made from few
      photographs keeps traces of their scenes, and a search over scales and
      positions can find where an image of the same scene from another
      camera lines up with those traces, and pass the threshold on them
      alone.

    Parameters
    ----------
    found : Match
        From :func:`morvekin_prnu.search.tested` of the image with ``rule``.
    fingerprint : ndarray, shape (H, W)
    question : Questioned
    rule : Rule
    sources : set of str, optional

    Returns
    -------
    Match
    """
    flags = []
    if question.sha256 in sources:
        flags.append(SOURCE_IMAGE)
    content = question.content() if found.same_camera else None
    if content is not None:
        scene = scene_pce(fingerprint, content, found, rule)
        if scene >= max(pce_threshold(SCENE_P, 1), SCENE_SHARE * found.pce):
            flags.append(SHARED_SCENE)
    return found._replace(flags=tuple(flags))


def _weighted(pixels, sigma, label):
    """W·I of pixels that load_image gave; refused, naming the image, where it overflows."""
    residual = residual_of_pixels(pixels, sigma, WAVELET, LEVELS, label)
    weighted = residual * luminance(list(transform_channels(pixels)))
    if not np.isfinite(weighted).all():
        raise ValueError(f"{label}: its pixel values (up to {float(np.max(np.abs(pixels))):g}) are too large to "
                         "analyse; float images are taken to be on the 0-255 scale")
    return weighted


def _checked_fingerprints(fingerprints, names, sigma):
    """Each fingerprint's finite values, its sigma (``sigma``, else a file's own, else the default) and the
    SHA-256 of the photographs its file records."""
    if sigma is not None:
        sigma = checked_sigma(sigma)
    checked, sigmas, sources = [], [], []
    for name, fingerprint in zip(names, fingerprints):
        recorded = frozenset()
        own = SIGMA
        if isinstance(fingerprint, StoredFingerprint):
            recorded = frozenset(source.sha256 for source in recorded_sources(fingerprint.metadata) if source.sha256)
            fingerprint, own = fingerprint.fingerprint, fingerprint.metadata["sigma"]
        fingerprint = checked_plane(fingerprint, name)
        if not np.isfinite(fingerprint).all():
            raise ValueError(f"{name} holds NaN or infinite values")
        checked.append(fingerprint)
        sigmas.append(own if sigma is None else sigma)
        sources.append(recorded)
    return checked, sigmas, sources
