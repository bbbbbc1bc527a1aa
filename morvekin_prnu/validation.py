"""How the likelihood ratios perform on a laboratory's own labelled data, before a case rests on them.

Meuwly, Ramos and Haraksim (2017), "A guideline for the validation of
likelihood ratio methods used for forensic evidence evaluation", Forensic
Science International 276: every image of a labelled set is compared with
every fingerprint, and each comparison gets the LR a case would give it
(:func:`cross_validated`), calibrated on the other comparisons of the set
as a case is calibrated on its references, never on itself. The LRs are
then judged by the cost of log LR, Cllr, and its minimum after the best
monotone recalibration, Cllr-min (Brümmer and du Preez 2006), the rates of
misleading evidence, and Tippett and empirical cross-entropy (ECE) plots,
all through ``lir`` (:func:`performance`, :func:`tippett_png`,
:func:`ece_png`).
"""

import io
import math
import os
from typing import NamedTuple

import numpy as np
from tqdm import tqdm

from .fingerprints import READ_ERRORS
from .likelihood import MIN_REFERENCES, likelihood_ratio, score
from .matching import match_residual, questioned
from .search import MIN_SCALE, checked_rule
from .verdict import P_FA

# A different-source LR above this is counted as strongly misleading.
STRONG = 100.0


class Validation(NamedTuple):
    """The LR of every comparison of a labelled set, each calibrated on the others (:func:`cross_validated`).

    Attributes
    ----------
    pairs : ndarray, shape (n, 2), int
        (image, fingerprint) indices of each comparison.
    same_source : ndarray, shape (n,), bool
        Whether the image's camera is the fingerprint's.
    scores : ndarray, shape (n,), float64
        Their scores (:func:`morvekin_prnu.evidence.score`).
    log10_lrs : ndarray, shape (n,), float64
        log10 of the calibrated LRs, before bounding.
    log10_bounds : ndarray, shape (n, 2), float64
        The (lower, upper) ELUB bounds of each.
    log10_bounded_lrs : ndarray, shape (n,), float64
        The LRs within their bounds: what a case would report.
    """

    pairs: np.ndarray
    same_source: np.ndarray
    scores: np.ndarray
    log10_lrs: np.ndarray
    log10_bounds: np.ndarray
    log10_bounded_lrs: np.ndarray


class Performance(NamedTuple):
    """What a validation shows (:func:`performance`), of the bounded LRs.

    Attributes
    ----------
    same_source, different_source : int
        The numbers of comparisons of each kind.
    cllr : float
        The cost of log LR in bits: 0 for perfect LRs, 1 for LRs that say nothing.
    cllr_min : float
        Its minimum over monotone recalibrations (pool adjacent violators): what discrimination alone allows.
    misleading_same : float
        Share of same-source comparisons with an LR below 1.
    misleading_different : float
        Share of different-source comparisons with an LR above 1.
    strongly_misleading : float
        Share of different-source comparisons with an LR above :data:`STRONG`.
    beyond_bound : int
        Different-source comparisons whose LR before bounding exceeded their upper bound.
    largest_different : float
        The largest bounded log10 LR of a different-source comparison.
    """

    same_source: int
    different_source: int
    cllr: float
    cllr_min: float
    misleading_same: float
    misleading_different: float
    strongly_misleading: float
    beyond_bound: int
    largest_different: float


def score_matrix(images, fingerprints, *, p_fa=P_FA, threshold=None, orientations=4, min_scale=MIN_SCALE,
                 onerror=None, progress=False):
    """The score of every image against every fingerprint, each image's residual taken once per sigma.

    Parameters
    ----------
    images : sequence of str, os.PathLike or ndarray
    fingerprints : sequence of morvekin_prnu.evidence.CameraFingerprint
        Read with :func:`morvekin_prnu.evidence.camera_fingerprint`.
    p_fa, threshold, orientations, min_scale
        As for :func:`morvekin_prnu.match`: the search every comparison makes.
    onerror : callable, optional
        ``onerror(label, error)`` for an image that cannot be read, which is
        left out; without it the error is raised.
    progress : bool, optional
        Show a progress bar on standard error.

    Returns
    -------
    scores : ndarray, shape (images used, fingerprints), float64
    used : list of (int, ImageFacts)
        The index of each image used, in order, and its SHA-256 and camera.
    """
    rule = checked_rule(p_fa, threshold, orientations, min_scale)
    rows, used = [], []
    for index, image in enumerate(tqdm(images, disable=not progress, unit="image")):
        label = os.fspath(image) if isinstance(image, (str, os.PathLike)) else f"images[{index}]"
        try:
            question = questioned(image, [fingerprint.sigma for fingerprint in fingerprints], name=label)
        except READ_ERRORS as error:
            if onerror is None:
                raise
            onerror(label, error)
            continue
        rows.append([score(match_residual(fingerprint.stored.fingerprint, question.weighted(fingerprint.sigma),
                                          **rule._asdict())) for fingerprint in fingerprints])
        used.append((index, question.record))
    return np.array(rows, dtype=np.float64).reshape(len(rows), len(fingerprints)), used


def validate(images, fingerprints, *, p_fa=P_FA, threshold=None, orientations=4, min_scale=MIN_SCALE, onerror=None,
             progress=False):
    """Score a labelled set and give every comparison its LR: :func:`score_matrix`, then :func:`cross_validated`.

    The set's sizes are checked first (:func:`checked_sizes`), before any
    image is read, and again once unreadable images are left out. An image
    that its own camera's fingerprint was made from (its SHA-256 among the
    fingerprint's sources) is left out too: its score would be inflated.

    Parameters
    ----------
    images : sequence of (str, image)
        Each image's camera and the image (a file or an array).
    fingerprints : sequence of morvekin_prnu.evidence.CameraFingerprint
        Each camera's by its ``name``; names are distinct.
    p_fa, threshold, orientations, min_scale, progress
        As for :func:`score_matrix`.
    onerror : callable, optional
        ``onerror(label, error)`` for an image left out; without it the error is raised.

    Returns
    -------
    validation : Validation
    used : list of (str, str, ImageFacts)
        The label, camera and facts of each image compared, in the order of ``validation.pairs``' indices.
    """
    names = [fingerprint.name for fingerprint in fingerprints]
    if len(set(names)) < len(names):
        raise ValueError(f"fingerprints: two are named {next(n for n in names if names.count(n) > 1)!r}; "
                         "each camera needs a name of its own")
    checked_sizes([camera for camera, _ in images], names)
    scores, used = score_matrix([image for _, image in images], fingerprints, p_fa=p_fa, threshold=threshold,
                                orientations=orientations, min_scale=min_scale, onerror=onerror, progress=progress)
    sources = {fingerprint.name: fingerprint.sources for fingerprint in fingerprints}
    kept = []
    for row, (index, facts) in enumerate(used):
        camera, image = images[index]
        label = os.fspath(image) if isinstance(image, (str, os.PathLike)) else f"images[{index}]"
        if facts.sha256 in sources.get(camera, ()):
            error = ValueError(f"{label}: the fingerprint of its camera {camera} was made from this image: "
                               "its score would be inflated; hold it out of the fingerprint")
            if onerror is None:
                raise error
            onerror(label, error)
            continue
        kept.append((row, (label, camera, facts)))
    validation = cross_validated(scores[[row for row, _ in kept]], [camera for _, (_, camera, _) in kept], names)
    return validation, [entry for _, entry in kept]


def cross_validated(scores, image_cameras, fingerprint_cameras):
    """The LR of every comparison, calibrated on the set's other comparisons as a case would be.

    For image i (of camera c) against fingerprint f, as a case with that
    image questioned and f's camera the suspect: the same-source references
    are the other images of f's camera against f; the different-source
    ones are image i against the fingerprints of cameras other than f's and
    c (the population: none of them took the image), and the images of
    cameras other than f's, i excepted, against f.

    Parameters
    ----------
    scores : ndarray, shape (images, fingerprints)
        From :func:`score_matrix`.
    image_cameras, fingerprint_cameras : sequence of str
        The camera of each image and of each fingerprint.

    Returns
    -------
    Validation

    Raises
    ------
    ValueError
        As for :func:`checked_sizes`, or the scores do not pair the images with the fingerprints.
    """
    scores = np.asarray(scores, dtype=np.float64)
    images, fingerprints = np.asarray(image_cameras, dtype=object), np.asarray(fingerprint_cameras, dtype=object)
    if scores.shape != (images.size, fingerprints.size):
        raise ValueError(f"scores of shape {scores.shape} do not pair {images.size} images with "
                         f"{fingerprints.size} fingerprints")
    pairs = checked_sizes(images, fingerprints)
    ratios = []
    for i, f in pairs:
        same, population, others = _references(i, f, images, fingerprints)
        ratios.append(likelihood_ratio(scores[i, f], scores[same, f],
                                       np.concatenate([scores[i, population], scores[others, f]])))
    return Validation(np.array(pairs, dtype=np.int64).reshape(-1, 2),
                      np.array([images[i] == fingerprints[f] for i, f in pairs], dtype=bool),
                      np.array([ratio.score for ratio in ratios]), np.array([ratio.log10_lr for ratio in ratios]),
                      np.array([ratio.log10_bounds for ratio in ratios]).reshape(-1, 2),
                      np.array([ratio.log10_bounded_lr for ratio in ratios]))


def checked_sizes(image_cameras, fingerprint_cameras):
    """Refuse a labelled set in which some comparison would rest on too few references.

    The comparisons are those of every image with every fingerprint whose
    camera has images in the set (the others serve only as population). Each
    needs :data:`morvekin_prnu.evidence.MIN_REFERENCES` references of each
    kind, taken as :func:`cross_validated` takes them, and the set needs a
    comparison of each kind. Cheap: run it before any image is read.

    Parameters
    ----------
    image_cameras, fingerprint_cameras : sequence of str

    Returns
    -------
    list of (int, int)
        The (image, fingerprint) index of each comparison.

    Raises
    ------
    ValueError
        Naming the camera and the kind of references that fall short.
    """
    images, fingerprints = np.asarray(image_cameras, dtype=object), np.asarray(fingerprint_cameras, dtype=object)
    owned = images[:, None] == fingerprints[None, :]
    if not owned.any():
        raise ValueError("no image is of a camera that has a fingerprint: there is no same-source comparison")
    pairs = [(i, f) for i, f in np.ndindex(owned.shape) if owned[:, f].any()]
    if all(owned[i, f] for i, f in pairs):
        raise ValueError("every image is of its fingerprint's camera: there is no different-source comparison")
    for i, f in pairs:
        same, population, others = _references(i, f, images, fingerprints)
        if same.sum() < MIN_REFERENCES:
            raise ValueError(f"camera {fingerprints[f]}: {same.sum()} same-source references (its other images), "
                             f"fewer than the {MIN_REFERENCES} an LR is calibrated on; give at least "
                             f"{MIN_REFERENCES + 1} images of it")
        if population.sum() + others.sum() < MIN_REFERENCES:
            raise ValueError(f"camera {fingerprints[f]}: {population.sum() + others.sum()} different-source references "
                             f"(other cameras' fingerprints and images), fewer than the {MIN_REFERENCES} an LR is "
                             "calibrated on; give more cameras")
    return pairs


def _references(i, f, images, fingerprints):
    """Masks of the same-source images, the population fingerprints and the other cameras' images for image i
    against fingerprint f."""
    others = np.arange(images.size) != i
    owned = images == fingerprints[f]
    return (others & owned, (fingerprints != fingerprints[f]) & (fingerprints != images[i]), others & ~owned)


def performance(validation):
    """Cllr, Cllr-min, the rates of misleading evidence and more, of a validation's bounded LRs.

    Cllr and Cllr-min are ``lir``'s (``lir.metrics.cllr`` and ``cllr_min``).

    Parameters
    ----------
    validation : Validation
        With comparisons of both kinds.

    Returns
    -------
    Performance
    """
    metrics, LLRData = _lir_metrics()
    same, llrs = validation.same_source, validation.log10_bounded_lrs
    if same.all() or not same.any():
        raise ValueError("a validation needs comparisons of the same and of different sources")
    data = LLRData(features=llrs.copy(), labels=same.astype(np.int64))
    different = llrs[~same]
    return Performance(int(same.sum()), int((~same).sum()), float(metrics.cllr(data)), float(metrics.cllr_min(data)),
                       float(np.mean(llrs[same] < 0.0)), float(np.mean(different > 0.0)),
                       float(np.mean(different > math.log10(STRONG))),
                       int(np.sum(validation.log10_lrs[~same] > validation.log10_bounds[~same, 1])),
                       float(different.max()))


def tippett_png(validation):
    """A Tippett plot of the bounded LRs, as PNG bytes (``lir.plotting.tippett``).

    The share of comparisons of each kind whose log10 LR is at least the value on the axis.
    """
    from lir.plotting import tippett

    figure, axes, data = _figure(validation)
    tippett(data, ax=axes)
    _relabelled(axes, "Tippett plot: share of comparisons with log10 LR at least x")
    return _png(figure)


def ece_png(validation):
    """An empirical cross-entropy plot of the bounded LRs, as PNG bytes (``lir.plotting.ece``).

    The cross-entropy against the prior log odds for the LRs, for the same
    LRs recalibrated by pool adjacent violators (what discrimination alone
    allows) and for LRs of 1 (the reference): calibration shows as the gap
    between the first two.
    """
    from lir.plotting import ece

    figure, axes, data = _figure(validation)
    ece(data, ax=axes)
    axes.set_title("Empirical cross-entropy of the LRs", fontsize=10)
    return _png(figure)


def _figure(validation):
    from lir.data.models import LLRData
    from matplotlib.figure import Figure

    figure = Figure(figsize=(6.0, 4.0), dpi=100, layout="constrained")
    data = LLRData(features=validation.log10_bounded_lrs.copy(), labels=validation.same_source.astype(np.int64))
    return figure, figure.add_subplot(), data


def _relabelled(axes, title):
    lines = axes.get_lines()[:2]
    for line, label in zip(lines, ("same source (Hp true)", "different source (Hd true)")):
        line.set_label(label)
    axes.legend(handles=lines)
    axes.set_title(title, fontsize=10)


def _png(figure):
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png")
    return buffer.getvalue()


def _lir_metrics():
    try:
        import lir.metrics
        from lir.data.models import LLRData
    except ImportError:
        raise ImportError('validation needs lir: pip install "morvekin[evidence]"') from None
    return lir.metrics, LLRData
