"""Which of a library's cameras took a photograph: the index picks the candidates, the full test decides.

Goljan, Fridrich and Filler (2010), "Managing a large database of camera
fingerprints", Proc. SPIE 7541: testing a photograph with the full
correlation against every fingerprint of a large collection is slow, so a
compact form of each fingerprint, kept beside it, picks the few candidates
worth the full test, and only those are tested with the PCE. The compact form
here is the binarized fingerprint of Bayram, Sencar and Memon (2012)
(:mod:`morvekin_prnu.binary`): one bit per pixel, compared with the image's
in one pass over the whole index.

The index is trusted only as far as it is verified: an entry whose SHA-256
is not the one its camera's row records (damaged, or written before the rows
recorded one) does not decide anything, and its camera is tested in full; a
camera whose row itself is damaged cannot be tested and is named, never
passed over in silence.
"""

import hashlib
import math
from typing import NamedTuple

import numpy as np

from .binary import agreement, binarize
from .catalogue import row_digest, row_problem
from .fingerprint_folder import path_of, read_stored
from .matching import Questioned, questioned, tested_question
from .search import MIN_SCALE, checked_rule, chosen_orientations, to_sensor
from .verdict import P_FA, Match, significance, strongest

# Cameras whose binarized fingerprint agrees with the image's by this many standard
# deviations of chance are tested in full. Unrelated cameras reach it with
# probability 0.13 % per orientation compared. For Gaussian values a camera whose
# PCE with the image is P scores about (2/π) sqrt(P): 4.9 at 60, but 3.1 at 24,
# the default threshold for a shot as taken; so the highest-scoring cameras are
# tested too, whatever their score, which catches most of those just past the
# threshold for the cost of a few full tests per image.
CANDIDATE_SCORE = 3.0
HIGHEST = 8


class Candidate(NamedTuple):
    """One camera of a library as :meth:`Search.identify` ranked it for an image.

    ``score`` is its binarized pre-test (:func:`morvekin_prnu.binary.agreement`),
    None where it was not taken (another shape, an exhaustive search, or an
    index entry that does not verify); ``match`` is the full
    :class:`morvekin_prnu.Match` of the cameras tested, None for the others;
    ``sha256`` is that of the camera's fingerprint file as the catalogue
    records it (which the file tested was checked to have).
    """

    camera: str
    score: float | None
    match: Match | None
    sha256: str


class Identification(NamedTuple):
    """The outcome of searching a library for the camera that took an image.

    Attributes
    ----------
    image : str
        The image's path, or "image" for an array.
    sha256 : str or None
        The SHA-256 of the image file's bytes, those decoded; None for an array.
    verdict : str or None
        The first candidate's camera if its match attributes the image to
        it, else None.
    candidates : tuple of Candidate
        Every camera of the library that could be considered: those tested,
        the most significant first (:func:`morvekin_prnu.matching.significance`:
        those attributed, by p-value, then the rest; NaN last), then the
        others, highest score first.
    cameras : int
        How many cameras were searched (all of the library's).
    tested : int
        How many of them were tested in full.
    exhaustive : bool
        True when every camera was tested in full.
    unreadable : tuple of (str, str)
        (camera, reason) of each camera that should have been tested but
        could not be: its catalogue row is damaged, or its fingerprint file
        is missing, changed or damaged. The verdict holds only for the rest.
    """

    image: str
    sha256: str | None
    verdict: str | None
    candidates: tuple
    cameras: int
    tested: int
    exhaustive: bool
    unreadable: tuple


class Entry(NamedTuple):
    """What identifying needs of one camera: its name, file, shape and sigma, and its photographs' SHA-256."""

    name: str
    file: str
    sha256: str
    shape: tuple
    sigma: float
    sources: frozenset


class Search:
    """A library's cameras and index as read at one moment: all that :meth:`identify` needs.

    Made by :func:`indexed` (:meth:`morvekin_prnu.Library.search`). It holds
    no database connection, so threads share it and it can be sent to Dask
    workers once; fingerprint files are read from the library's folder (by
    absolute path) only for the cameras tested, at most
    :data:`morvekin_prnu.fingerprint_folder.CACHED` kept in memory per process.
    """

    def __init__(self, entries, groups, unverified, untestable):
        self.entries = tuple(entries)
        # (shape, sigma) -> (positions in entries, their binarized fingerprints, one row each)
        self.groups = groups
        self.unverified = tuple(unverified)  # positions whose index entry does not verify: tested in full
        self.untestable = tuple(untestable)  # (camera, reason) of those whose row is damaged

    def __len__(self):
        return len(self.entries) + len(self.untestable)

    def sigmas(self):
        """The denoiser sigmas of the cameras that can be tested."""
        return sorted({entry.sigma for entry in self.entries})

    def identify(self, image, *, p_fa=P_FA, threshold=None, orientations=4, min_scale=MIN_SCALE, exhaustive=False):
        """Find which of the library's cameras took an image.

        The image is read once (:func:`morvekin_prnu.matching.questioned`, in
        the sensor's pixel order) and its weighted residual W·I computed once
        per sigma among the cameras. For the cameras whose fingerprint has the
        image's shape in one of the orientations tried (a shot as taken, or
        turned), the binarized form of the image turned back to the sensor's
        frame is compared with every verified index entry
        (:func:`morvekin_prnu.binary.agreement`; the best of those
        orientations counts), and the candidates — every camera scoring at
        least :data:`CANDIDATE_SCORE`, and the :data:`HIGHEST` highest-scoring
        ones whatever their score — are tested in full, so each Match is the
        same, bit for bit, as :func:`morvekin_prnu.match` gives with the same
        options and the camera's fingerprint file. The pre-test cannot help
        for cameras whose fingerprint has another shape than the image in
        every orientation (a crop, a resized picture, or another sensor), nor
        for those whose index entry does not verify: those are always tested
        in full, searched over scales and crop positions as ``match`` searches
        them. ``exhaustive`` tests every camera in full.

        Each camera tested is decided on its own, with the false-alarm
        probability ``p_fa`` for its search (or by ``threshold``); the verdict
        is the most significant of those attributed
        (:func:`morvekin_prnu.matching.strongest`), as for ``morvekin match``,
        and each Match carries the flags of :func:`morvekin_prnu.matching.flagged`
        (the image is one of the camera's own photographs, or shares its
        scenes). A camera that the pre-test passes over is not tested, so a
        camera whose PCE with the image would be just past the threshold
        (below about 60 for a shot as taken) can be missed where
        ``exhaustive`` finds it.

        A camera to be tested whose fingerprint file is missing, is not a
        regular file, no longer has the SHA-256 the catalogue records, or
        cannot be read, or whose catalogue row is damaged, is not tested: it
        is listed in ``unreadable`` with the reason, never skipped silently.

        Parameters
        ----------
        image : str, os.PathLike, ndarray or Questioned
            As for :func:`morvekin_prnu.match`, or an image or video
            :func:`morvekin_prnu.matching.questioned` already read.
        p_fa, threshold, orientations, min_scale : optional
            As for :func:`morvekin_prnu.match`.
        exhaustive : bool, optional
            Test every camera in full, without the index.

        Returns
        -------
        Identification
        """
        rule = checked_rule(p_fa, threshold, orientations, min_scale)
        if not len(self):
            raise ValueError("the library holds no cameras")
        question = image if isinstance(image, Questioned) else questioned(image, self.sigmas())
        scores = [None] * len(self.entries)
        chosen = list(self.unverified)
        for (shape, sigma), (positions, binarized) in self.groups.items():
            turned = [to_sensor(question.weighted(sigma), orientation)
                      for orientation in chosen_orientations(rule.orientations)]
            probes = [binarize(residual) for residual in turned if residual.shape == shape]
            if exhaustive or not probes:
                chosen += positions.tolist()
                continue
            best = np.max([agreement(binarized, probe, math.prod(shape)) for probe in probes], axis=0)
            for position, score in zip(positions.tolist(), best.tolist()):
                scores[position] = score
        scored = [k for k, score in enumerate(scores) if score is not None]
        if scored:
            chosen += [k for k in scored if scores[k] >= CANDIDATE_SCORE]
            chosen += sorted(scored, key=lambda k: -scores[k])[:HIGHEST]
        matches, unreadable = {}, list(self.untestable)
        for position in sorted(set(chosen), key=lambda k: _ranking(None, scores[k], self.entries[k].name)):
            entry = self.entries[position]
            try:
                stored = read_stored(entry.file, entry.sha256)
            except (OSError, ValueError) as error:
                unreadable.append((entry.name, str(error)))
                continue
            matches[position] = tested_question(stored, question, entry.sigma, rule, entry.sources)
        order = sorted(range(len(self.entries)),
                       key=lambda k: _ranking(matches.get(k), scores[k], self.entries[k].name))
        candidates = tuple(Candidate(self.entries[k].name, scores[k], matches.get(k), self.entries[k].sha256)
                           for k in order)
        # The tested come first, in the order strongest() weighs them: the first of them decides if any does.
        best = strongest([candidate.match for candidate in candidates[:len(matches)]])
        return Identification(image=question.label, sha256=None if question.facts is None else question.sha256,
                              verdict=None if best is None else candidates[best].camera,
                              candidates=candidates, cameras=len(self), tested=len(matches),
                              exhaustive=bool(exhaustive), unreadable=tuple(unreadable))


def indexed(library, rows, sources, signatures):
    """The :class:`Search` of a library's catalogue as read in one transaction.

    Each row is checked against its digest first: a damaged one (a field of
    the wrong type, or a digest that differs) makes its camera untestable.
    Each index entry is checked against the SHA-256 its row records, and
    placed in its group only if it agrees and has the size the shape needs.

    Parameters
    ----------
    library : str
        The library's folder, absolute.
    rows : list of dict
        :func:`morvekin_prnu.catalogue.camera_rows`, by name.
    sources : dict
        :func:`morvekin_prnu.catalogue.camera_sources`.
    signatures : iterable of (str, bytes)
        Camera name and index entry, as stored.

    Returns
    -------
    Search
    """
    entries, untestable, index_digests = [], [], []
    for row in rows:
        recorded = sources.get(row["name"], ())
        problem = row_problem(row) or (None if row_digest(row, recorded) == row["digest"] else
                                       "its catalogue row was changed outside morvekin (its digest differs)")
        if problem is not None:
            untestable.append((str(row["name"]), problem))
            continue
        entries.append(Entry(row["name"], path_of(library, row["file"]), row["sha256"], (row["rows"], row["columns"]),
                             float(row["sigma"]), frozenset(source[1] for source in recorded if source[1])))
        index_digests.append(row["index_sha256"])
    members = {}
    for position, entry in enumerate(entries):
        if index_digests[position] is not None:
            members.setdefault((entry.shape, entry.sigma), []).append(position)
    groups = {key: (np.array(positions), np.empty((len(positions), _words(key[0])), np.uint64))
              for key, positions in members.items()}
    place = {entries[position].name: (key, row, position) for key, positions in members.items()
             for row, position in enumerate(positions)}
    verified = set()
    for name, bits in signatures:
        if name not in place or not isinstance(bits, bytes):
            continue
        key, row, position = place[name]
        if len(bits) == 8 * groups[key][1].shape[1] and hashlib.sha256(bits).hexdigest() == index_digests[position]:
            groups[key][1][row] = np.frombuffer(bits, np.uint64)
            verified.add(position)
    for key, (positions, binarized) in list(groups.items()):
        kept = np.array([position in verified for position in positions.tolist()], dtype=bool)
        if not kept.all():  # rare: a damaged entry; those left are tested in full
            groups[key] = (positions[kept], binarized[kept])
    return Search(entries, {key: group for key, group in groups.items() if len(group[0])},
                  [k for k in range(len(entries)) if k not in verified], untestable)


def index_entry(fingerprint):
    """The index entry of a fingerprint as the catalogue stores it: its binarized form's bytes."""
    return binarize(fingerprint).tobytes()


def _ranking(match, score, name):
    """Tested cameras, the most significant first (:func:`morvekin_prnu.matching.significance`); then the rest,
    highest score first."""
    if match is not None:
        return 0, significance(match), name
    return 1, -score if score is not None else math.inf, name


def _words(shape):
    """64-bit words of a binarized array of that shape."""
    return -(-math.prod(shape) // 64)
