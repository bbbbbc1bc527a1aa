"""The strength of the evidence in a case: a questioned image, a suspect camera and reference data.

A :class:`Case` holds the suspect camera's fingerprint and the reference
comparisons an LR is calibrated on, all made as the questioned comparison
is, by :func:`morvekin_prnu.match_residual` with the same options (the same
search); :meth:`Case.evidence` gives each questioned image its
:class:`Evidence`: the match, the likelihood ratio with its bounds and verbal
scale (:mod:`morvekin_prnu.likelihood`), the references it rests on, the
conditions that limit it and the correlation around the peak. The method is
that of van Houten, Alberink and Geradts (2011), with the bounds of Vergeer
et al. (2016).
"""

import os
from typing import NamedTuple

import numpy as np
from tqdm import tqdm

from . import search
from .fingerprints import READ_ERRORS
from .images import ImageFacts
from .likelihood import MIN_REFERENCES, SMALLEST_P, Ratio, likelihood_ratio, score
from .correlation import crosscorr
from .matching import match_residual, questioned, tested_question
from .search import MIN_SCALE, checked_rule
from .storage import StoredFingerprint, read_fingerprint
from .verdict import P_FA, SHARED_SCENE, SOURCE_IMAGE

# A population camera is reported when its comparison's p-value is at most this divided by the
# population's size: chance alone would show one in a thousand cases; cameras sharing a model's
# patterns with the suspect's score high more often.
HIGH_P = 1e-3
# Shifts on each side of the peak in the picture of the correlation surface.
RADIUS = 16
HP = "the questioned image was taken with the suspect camera (the camera of the fingerprint)"
HD = "the questioned image was taken with another camera, of those the reference population represents"


class Reference(NamedTuple):
    """One reference comparison: an image against the suspect's fingerprint, or the questioned image
    against another camera's.

    ``kind`` is "image" or "fingerprint" (which of the two is the reference); ``name`` is the
    image's file (or ``same_source[k]`` for an array) or the camera's name; ``file`` and
    ``sha256`` are the reference file's (None for an array); ``make`` and ``model`` its camera's as
    recorded, None where unknown.
    """

    kind: str
    name: str
    file: str | None
    sha256: str
    score: float
    match: object
    make: str | None = None
    model: str | None = None


class Condition(NamedTuple):
    """Something that limits how far an LR can be relied on: its ``kind`` and what was found."""

    kind: str
    detail: str


class Evidence(NamedTuple):
    """The strength of the evidence one questioned image gives.

    Attributes
    ----------
    ratio : Ratio
        The score, LR, bounds, bounded LR and verbal scale.
    match : morvekin_prnu.Match
        The questioned image against the suspect fingerprint.
    image : ImageFacts
        The questioned image's SHA-256 (of the bytes decoded, or of an array's values) and camera.
    same_source, different_source : tuple of Reference
        The comparisons the LR was calibrated on.
    conditions : tuple of Condition
        What the examiner must weigh beside the number.
    surface : ndarray, shape (2 RADIUS + 1, 2 RADIUS + 1), float64, or None
        The normalised correlation around the peak (:func:`peak_surface`); None when nothing was tested.
    """

    ratio: Ratio
    match: object
    image: ImageFacts
    same_source: tuple
    different_source: tuple
    conditions: tuple
    surface: np.ndarray | None


class Case:
    """A suspect camera's fingerprint and the reference data its LRs are calibrated on.

    The reference comparisons are made as the questioned one is, by
    :func:`morvekin_prnu.match_residual` with the same options:

    - same source: images the suspect camera took that its fingerprint was
      not made from, against the fingerprint (an image whose SHA-256 the
      fingerprint records among its sources is refused: its score would be
      inflated);
    - different source: the questioned image against every fingerprint of a
      reference population of other cameras (each of the suspect
      fingerprint's shape, so the search is the same), and images taken by
      other cameras against the suspect fingerprint.

    The reference images are scored once, here; the population with each
    questioned image (:meth:`evidence`).

    Parameters
    ----------
    fingerprint : str, os.PathLike or morvekin_prnu.Camera
        The suspect camera's fingerprint file, or a library's camera.
    same_source : iterable of str, os.PathLike or ndarray
        Images taken by the suspect camera, not used in its fingerprint.
    population : iterable of str, os.PathLike or morvekin_prnu.Camera, optional
        Other cameras' fingerprint files or library cameras. The suspect's
        own fingerprint (the same SHA-256), and a fingerprint met twice, are
        left out.
    different_source : iterable of str, os.PathLike or ndarray, optional
        Images taken by other cameras.
    p_fa, threshold, orientations, min_scale
        As for :func:`morvekin_prnu.match`: what is searched, and the verdict reported beside the LR.
    onerror : callable, optional
        ``onerror(label, error)`` is called for a reference that cannot be
        used (unreadable, among the fingerprint's sources, of another shape),
        which is then left out; without it the error is raised.
    progress : bool, optional
        Show progress bars on standard error.

    Raises
    ------
    ValueError
        Fewer than :data:`MIN_REFERENCES` same-source images, or
        population fingerprints and different-source images together, are
        given or usable; a reference cannot be used and there is no ``onerror``.
    OSError
        A file cannot be read and there is no ``onerror``.
    """

    def __init__(self, fingerprint, *, same_source, population=(), different_source=(), p_fa=P_FA, threshold=None,
                 orientations=4, min_scale=MIN_SCALE, onerror=None, progress=False):
        self.rule = checked_rule(p_fa, threshold, orientations, min_scale)
        self.suspect = camera_fingerprint(fingerprint, "fingerprint")
        self._fingerprint = self.suspect.stored.fingerprint
        self._onerror = onerror
        self._progress = progress
        same_source, different_source, population = list(same_source), list(different_source), list(population)
        _refuse_few(len(same_source), "same_source", "images")
        _refuse_few(len(population) + len(different_source), "population and different_source",
                    "fingerprints and images")
        self.population = self._members(population)
        self.same_source = self._scored(same_source, "same_source")
        self.others = self._scored(different_source, "different_source")
        _refuse_few(len(self.same_source), "same_source", "usable images")
        _refuse_few(len(self.population) + len(self.others), "population and different_source",
                    "usable fingerprints and images")

    def evidence(self, image):
        """The strength of the evidence ``image`` gives that the suspect camera took it.

        Parameters
        ----------
        image : str, os.PathLike or ndarray
            The questioned image, as for :func:`morvekin_prnu.match`.

        Returns
        -------
        Evidence

        Raises
        ------
        ValueError
            The image cannot be read, or, once references of its own bytes
            are left out, too few remain; a population fingerprint changed
            since the case was opened.
        OSError
            The image or a population fingerprint cannot be read.
        """
        question = questioned(image)
        facts = question.record
        kept = [reference for reference in self.same_source if reference.sha256 != facts.sha256]
        others = [reference for reference in self.others if reference.sha256 != facts.sha256]
        _refuse_few(len(kept), "same_source", "images other than the questioned one")
        _refuse_few(len(self.population) + len(others), "population and different_source",
                    "fingerprints and images other than the questioned one")
        found = tested_question(self._fingerprint, question, self.suspect.sigma, self.rule, self.suspect.sources)
        compared = [self._compared(member, question.weighted(member.sigma))
                    for member in tqdm(self.population, disable=not self._progress, unit="camera", leave=False)]
        different = [*compared, *others]
        ratio = likelihood_ratio(score(found), [reference.score for reference in kept],
                                 [reference.score for reference in different])
        conditions = _conditions(self, found, kept, compared, others,
                                 len(self.same_source) - len(kept) + len(self.others) - len(others))
        surface = peak_surface(self._fingerprint, question.weighted(self.suspect.sigma), found) \
            if found.positions else None
        return Evidence(ratio, found, facts, tuple(kept), tuple(different), conditions, surface)

    def _members(self, population):
        """The population as CameraFingerprint records, checked; the suspect's own and repeats left out."""
        members, seen = [], {self.suspect.stored.sha256}
        for index, item in enumerate(population):
            label = _name_of(item, f"population[{index}]")
            try:
                member = camera_fingerprint(item, label)
                if member.stored.sha256 in seen:
                    continue
                if member.stored.fingerprint.shape != self._fingerprint.shape:
                    raise ValueError(f"{label}: its shape {_shape(member.stored.fingerprint)} is not the suspect "
                                     f"fingerprint's {_shape(self._fingerprint)}: the questioned image would be "
                                     "searched otherwise against it")
                if member.sources & self.suspect.sources:
                    raise ValueError(f"{label}: it was made from images the suspect fingerprint was made from too: "
                                     "it is not another camera's")
            except READ_ERRORS as error:
                self._failed(label, error)
                continue
            seen.add(member.stored.sha256)
            members.append(member._replace(stored=member.stored._replace(fingerprint=None)))
        return members

    def _scored(self, images, name):
        """A Reference for each usable image against the suspect fingerprint."""
        scored = []
        for index, image in enumerate(tqdm(images, disable=not self._progress, unit="image", leave=False)):
            label = os.fspath(image) if isinstance(image, (str, os.PathLike)) else f"{name}[{index}]"
            try:
                question = questioned(image, [self.suspect.sigma], name=label)
                facts = question.record
                if facts.sha256 in self.suspect.sources:
                    raise ValueError(f"{label}: the suspect fingerprint was made from this image (the same SHA-256): "
                                     + ("its score would overstate the camera's; hold it out of the fingerprint"
                                        if name == "same_source" else "it cannot be another camera's"))
                found = match_residual(self._fingerprint, question.weighted(self.suspect.sigma), **self.rule._asdict())
            except READ_ERRORS as error:
                self._failed(label, error)
                continue
            file = label if isinstance(image, (str, os.PathLike)) else None
            scored.append(Reference("image", label, file, facts.sha256, score(found), found, facts.make, facts.model))
        return tuple(scored)

    def _compared(self, member, weighted):
        """The questioned image's Reference against a population fingerprint, read again and checked."""
        stored = read_fingerprint(member.file)
        if stored.sha256 != member.stored.sha256:
            raise ValueError(f"{member.file}: population fingerprint {member.name} changed since the case was opened")
        found = match_residual(stored.fingerprint, weighted, **self.rule._asdict())
        return Reference("fingerprint", member.name, member.file, stored.sha256, score(found), found, member.make,
                         member.model)

    def _failed(self, label, error):
        if self._onerror is None:
            raise error
        self._onerror(label, error)


def evidence(image, fingerprint, *, same_source, population=(), different_source=(), **options):
    """The strength of the evidence one image gives that the suspect camera took it: ``Case(...).evidence(image)``.

    Parameters
    ----------
    image : str, os.PathLike or ndarray
    fingerprint, same_source, population, different_source, **options
        As for :class:`Case`.

    Returns
    -------
    Evidence
    """
    case = Case(fingerprint, same_source=same_source, population=population, different_source=different_source,
                **options)
    return case.evidence(image)


def peak_surface(fingerprint, weighted, found, radius=RADIUS):
    """The normalised cross-correlation of the image with the fingerprint at the shifts around its peak.

    The weighted residual is turned back to the sensor's frame by the
    Match's orientation, enlarged by 1 / its scale, placed at the
    fingerprint's top left and correlated over all cyclic shifts
    (:func:`morvekin_prnu.crosscorr`); the window of ``radius`` shifts on
    each side of the peak is returned, the peak at its centre. For a picture:
    the p-value of the Match, not this, is what is scored.

    Parameters
    ----------
    fingerprint : ndarray, shape (H, W)
    weighted : ndarray, shape (h, w)
        The image's :func:`morvekin_prnu.weighted_residual`.
    found : morvekin_prnu.Match
        Its match against ``fingerprint``, with at least one position tested.
    radius : int, optional

    Returns
    -------
    ndarray, shape (2 radius + 1, 2 radius + 1), float64
    """
    turned = search.to_sensor(np.asarray(weighted, dtype=np.float64), found.orientation)
    covered = search.extent(turned.shape, found.scale, fingerprint.shape)
    if covered != turned.shape:
        turned = search.upsampled(turned, covered, (turned.shape[0] / covered[0], turned.shape[1] / covered[1]))
    placed = np.zeros(fingerprint.shape)
    placed[:covered[0], :covered[1]] = turned - turned.mean()
    surface = crosscorr(placed, fingerprint)
    offsets = np.arange(-radius, radius + 1)
    rows = (found.peak[0] + offsets) % surface.shape[0]
    columns = (found.peak[1] + offsets) % surface.shape[1]
    return surface[np.ix_(rows, columns)]


class CameraFingerprint(NamedTuple):
    """A fingerprint as a case uses it: its name, the file as read, and what is known of its camera."""

    name: str
    file: str
    stored: StoredFingerprint
    sigma: float
    make: str | None
    model: str | None
    sources: frozenset  # SHA-256 of the images it was made from


def camera_fingerprint(item, label):
    """A fingerprint file or library camera, read and checked, as a CameraFingerprint."""
    if isinstance(item, (str, os.PathLike)):
        stored = read_fingerprint(item)
        inputs = [entry for entry in stored.metadata.get("inputs") or () if isinstance(entry, dict)]
        return CameraFingerprint(label, os.fspath(item), stored, stored.metadata["sigma"], _joined(inputs, "make"),
                     _joined(inputs, "model"), frozenset(entry.get("sha256") for entry in inputs) - {None})
    if all(hasattr(item, field) for field in ("name", "file", "sha256", "sigma", "sources")):
        stored = read_fingerprint(item.file)
        if stored.sha256 != item.sha256:
            raise ValueError(f"{item.file}: camera {item.name}'s fingerprint file is not the one its library "
                             "records (its SHA-256 differs)")
        return CameraFingerprint(item.name, item.file, stored, item.sigma, item.make, item.model,
                     frozenset(source.sha256 for source in item.sources) - {None})
    raise TypeError(f"{label} must be a fingerprint file or a library Camera, not {type(item).__name__}")


def _name_of(item, fallback):
    if isinstance(item, (str, os.PathLike)):
        return os.path.splitext(os.path.basename(os.fspath(item)))[0] or fallback
    return getattr(item, "name", fallback)


def _joined(inputs, field):
    """The distinct values of one EXIF field among a fingerprint's inputs, joined by " / "; None if none."""
    values = list(dict.fromkeys(entry.get(field) for entry in inputs if entry.get(field)))
    return " / ".join(values) or None


def _conditions(case, found, kept, compared, others, left_out):
    """What limits the LR: the match's own flags, the questioned image among the fingerprint's sources,
    high different-source scores, references searched otherwise, references of the questioned image."""
    conditions = [Condition(flag, _FLAG_DETAILS[flag]) for flag in found.flags]
    for reference in compared:
        if reference.match.p_value <= HIGH_P / len(compared):
            model = " ".join(filter(None, (reference.make, reference.model)))
            same_model = model and model == " ".join(filter(None, (case.suspect.make, case.suspect.model)))
            conditions.append(Condition(
                "high different-source score",
                f"population camera {reference.name}{f' ({model})' if model else ''} scored PCE "
                f"{reference.match.pce:.1f}, p-value {_p_text(reference.match.p_value)}"
                + ("; it is of the suspect camera's make and model, whose shared patterns can raise scores"
                   if same_model else "")))
    differing = [reference for reference in (*kept, *others) if reference.match.positions != found.positions]
    if differing:
        conditions.append(Condition(
            "references searched otherwise",
            f"{len(differing)} reference image{' was' if len(differing) == 1 else 's were'} tested over other numbers "
            f"of positions than the questioned image's {found.positions} (another size or shape): their scores "
            "come from another search"))
    if left_out:
        conditions.append(Condition("questioned image among the references",
                                    f"{left_out} reference image{'' if left_out == 1 else 's'} of the "
                                    "questioned image's own bytes (its SHA-256) left out of the references"))
    return tuple(conditions)


_FLAG_DETAILS = {
    SOURCE_IMAGE: "the questioned image is one of the images the suspect fingerprint was made from: its score "
                    "overstates what an image the camera took otherwise would give",
    SHARED_SCENE: "the peak may come from scene content that the questioned image shares with the suspect "
                    "fingerprint's photographs rather than from the sensor",
}


def _refuse_few(count, name, what):
    if count < MIN_REFERENCES:
        raise ValueError(f"{name}: {count} {what}, fewer than the {MIN_REFERENCES} an LR is calibrated on (its "
                         "bounds grow with log10 of their number); give more")


def _p_text(p_value):
    return f"{p_value:.2g}" if p_value >= SMALLEST_P else f"below {SMALLEST_P:g}"


def _shape(array):
    return f"{array.shape[0]}x{array.shape[1]}"
