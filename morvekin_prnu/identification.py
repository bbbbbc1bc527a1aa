"""Which of a library's cameras took a photograph: the index picks the candidates, the full test decides.

Goljan, Fridrich and Filler (2010), "Managing a large database of camera
fingerprints", Proc. SPIE 7541: testing a photograph with the full
correlation against every fingerprint of a large collection is slow, so a
compact form of each fingerprint, kept beside it, picks the few candidates
worth the full test, and only those are tested with the PCE. The compact form
here is the fingerprint quantized to four bit planes
(:mod:`morvekin_prnu.binary`, after the binarized fingerprints of Bayram,
Sencar and Memon 2012), compared with the image's in two passes: a coarse
pass over the whole index, then a fine pass over the cameras the coarse one
lets through. Both are cut where a camera whose full test would just pass
still clears them by a wide margin (:func:`cuts`), so that the index passes
over no camera the full test would attribute the image to, bar a chance
that ``bench/bench_library.py`` measures by PCE.

The index can place an image on a sensor without a search in two cases: a
shot as taken (or turned), and a photograph resized whole (the sensor's
aspect ratio), which is up-sampled to the sensor's size as the full test
up-samples it (:func:`probed`). A crop has no such place: the cameras of a
sensor it does not fit so are searched in groups, one search of their
composite fingerprint standing for a search of each
(:mod:`morvekin_prnu.composites`).

The index is held in shards (:class:`Shard`) of at most :data:`SHARD`
cameras, each scanned on its own (:func:`scanned`), so that a cluster can
hold it spread over its workers. It is trusted only as far as it is
verified: an entry whose SHA-256 is not the one its camera's row records
(damaged, or written before the rows recorded one) does not decide anything,
and its camera is tested in full; a camera whose row itself is damaged cannot
be tested and is named, never passed over in silence.
"""

import hashlib
import math
from typing import NamedTuple

import numpy as np

from .binary import PLANES, coarse_scores, fine_scores, quantize, words
from .catalogue import row_digest, row_problem
from .composites import group_tests
from .fingerprint_folder import path_of, read_stored
from .matching import Questioned, questioned, tested_question
from .search import MIN_SCALE, checked_rule, chosen_orientations, plan, to_sensor, upsampled
from .verdict import P_FA, Match, pce_threshold, significance, strongest

SHARD = 1024  # cameras per shard of the index
# A camera whose zero-shift PCE with the image is P scores about COARSE_SHARE sqrt(P) in the coarse pass
# and FINE_SHARE sqrt(P) in the fine one: the medians on the simulated cameras of bench/bench_library.py, and
# what Max's quantizers keep of a Gaussian's correlation (0.80 for signs times 0.94 for four levels; 0.99 for
# 16 levels against 16). Around that, chance spreads a score by about sqrt(1 - share²): 0.67 and 0.12; the
# fine pass's is taken as 0.2, as its share also varies with the image (down to 0.95 there).
COARSE_SHARE, COARSE_SPREAD = 0.74, 0.67
FINE_SHARE, FINE_SPREAD = 0.99, 0.2
MARGIN = 3.1  # standard deviations: a camera just at the threshold is missed by a pass 1 time in 1,000


class Candidate(NamedTuple):
    """One camera of a library as :meth:`Search.identify` ranked it for an image.

    ``score`` is its index score in standard deviations of chance
    (:mod:`morvekin_prnu.binary`): the fine one where the coarse pass let it
    through in some orientation, else the coarse one; the best over the
    orientations compared. None where the index could not be used (another
    shape, a crop, an exhaustive search, or an index entry that does not
    verify). ``match`` is the :class:`morvekin_prnu.Match` of the cameras
    tested (for a crop tested in a group, at the placement its group's
    composite found), None for the others; ``sha256`` is that of the camera's
    fingerprint file as the catalogue records it (which the file tested was
    checked to have).
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
    grouped : int
        How many of the cameras tested were tested through their group's
        composite (a crop), where a weak match can be missed that testing
        each alone (``exhaustive``) finds.
    """

    image: str
    sha256: str | None
    verdict: str | None
    candidates: tuple
    cameras: int
    tested: int
    exhaustive: bool
    unreadable: tuple
    grouped: int = 0


class Entry(NamedTuple):
    """What identifying needs of one camera: its name, file, shape and sigma, and its photographs' SHA-256."""

    name: str
    file: str
    sha256: str
    shape: tuple
    sigma: float
    sources: frozenset


class Shard(NamedTuple):
    """A block of the index: cameras of one shape and sigma, and their quantized fingerprints."""

    shape: tuple
    sigma: float
    positions: np.ndarray  # (n,) int64: the cameras' places in Search.entries
    planes: np.ndarray  # (n, PLANES, words) uint64: binary.quantize of each fingerprint


class Probe(NamedTuple):
    """An image in the frame of sensors of one shape and sigma, as the index compares it with their cameras."""

    orientations: tuple  # those in which the image, up-sampled if resized whole, has the sensor's shape
    planes: np.ndarray  # (orientations, PLANES, words) uint64: binary.quantize of each
    threshold: float  # the PCE the full test's zero-shift tests must pass


class Scored(NamedTuple):
    """What the index says of a shard's cameras for one image."""

    positions: np.ndarray  # (n,) their places in Search.entries
    scores: np.ndarray  # (n,) float64: Candidate.score
    chosen: np.ndarray  # (n,) bool: a candidate for the full test


class Search:
    """A library's cameras and index as read at one moment: all that :meth:`identify` needs.

    Made by :func:`indexed` (:meth:`morvekin_prnu.Library.search`). It holds
    no database connection, so threads share it and it can be sent to Dask
    workers, whole or without its shards (:meth:`unsharded`, with the shards
    held by the workers); fingerprint files are read from the library's
    folder (by absolute path) only for the cameras tested, at most
    :data:`morvekin_prnu.fingerprint_folder.CACHED` kept in memory per process.
    """

    def __init__(self, entries, shards, unverified, untestable):
        self.entries = tuple(entries)
        self.shards = tuple(shards)
        self.unverified = tuple(unverified)  # positions whose index entry does not verify: tested in full
        self.untestable = tuple(untestable)  # (camera, reason) of those whose row is damaged

    def __len__(self):
        return len(self.entries) + len(self.untestable)

    def sigmas(self):
        """The denoiser sigmas of the cameras that can be tested."""
        return sorted({entry.sigma for entry in self.entries})

    def unsharded(self):
        """The same search without its shards: what deciding needs once the shards were scanned elsewhere."""
        return Search(self.entries, (), self.unverified, self.untestable)

    def identify(self, image, *, p_fa=P_FA, threshold=None, orientations=4, min_scale=MIN_SCALE, exhaustive=False):
        """Find which of the library's cameras took an image.

        The image is read once (:func:`morvekin_prnu.matching.questioned`, in
        the sensor's pixel order) and its weighted residual W·I computed once
        per sigma among the cameras. Where it can be placed on a sensor
        without a search (a shot as taken or turned, or resized whole), the
        index compares it with that sensor's cameras (:func:`probed`,
        :func:`scanned`), and only the cameras it picks are tested in full;
        each Match is the same, bit for bit, as :func:`morvekin_prnu.match`
        gives with the same options and the camera's fingerprint file. The
        cameras of a sensor the image does not fit so (a crop) are searched
        in groups (:func:`morvekin_prnu.composites.group_tests`): the
        composite of their fingerprints is searched over scales, crop
        positions and orientations as ``match`` searches one, and each camera
        is tested where the composite peaked, its p-value counting its whole
        search; a sensor of one camera is searched alone. Cameras whose index
        entry does not verify are tested in full as ``match`` tests them.
        ``exhaustive`` tests every camera in full.

        Each camera tested is decided on its own, with the false-alarm
        probability ``p_fa`` for its search (or by ``threshold``); the verdict
        is the most significant of those attributed
        (:func:`morvekin_prnu.matching.strongest`), as for ``morvekin match``,
        and each Match carries the flags of :func:`morvekin_prnu.matching.flagged`
        (the image is one of the camera's own photographs, or shares its
        scenes). The index is cut so that a camera whose zero-shift test
        would pass is a candidate but for a chance of about 1 in 500 at the
        very threshold, falling fast above it; a camera the full test
        attributes only by searching crop positions (a photograph cut to the
        sensor's aspect ratio) is found by ``exhaustive`` alone. A crop is
        attributed through its group's composite where it matches its camera
        strongly enough to stand out of the composite's search, about a
        hundred times the threshold for a group of a hundred cameras; weaker
        ones are found by ``exhaustive`` alone.

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
        probes = {} if exhaustive else probed(question, {(shard.shape, shard.sigma) for shard in self.shards}, rule)
        scored = [scanned(shard, probes[shard.shape, shard.sigma]) for shard in self.shards
                  if (shard.shape, shard.sigma) in probes]
        return self.decided(question, probes, scored, rule, exhaustive)

    def decided(self, question, probes, scored, rule, exhaustive=False):
        """The Identification of an image from what the index said of it: the candidates tested in full.

        Parameters
        ----------
        question : morvekin_prnu.matching.Questioned
        probes : dict
            :func:`probed` of the image: (shape, sigma) -> Probe.
        scored : list of Scored
            :func:`scanned` of every shard whose (shape, sigma) has a probe.
        rule : morvekin_prnu.search.Rule
        exhaustive : bool, optional
            Test every camera in full.

        Returns
        -------
        Identification
        """
        scores = [None] * len(self.entries)
        chosen = set(self.unverified)
        for outcome in scored:
            for position, score, picked in zip(outcome.positions.tolist(), outcome.scores.tolist(),
                                               outcome.chosen.tolist()):
                scores[position] = score
                if picked:
                    chosen.add(position)
        # The cameras of sensors the image has no probe for (a crop): in groups, through composites.
        groups = {}
        for position, entry in enumerate(self.entries):
            if exhaustive or position in chosen or (entry.shape, entry.sigma) in probes:
                continue
            groups.setdefault((entry.shape, entry.sigma), []).append(position)
        for key, positions in list(groups.items()):
            if len(positions) < 2:  # a sensor with one camera is searched alone
                chosen.update(positions)
                del groups[key]
        if exhaustive:
            chosen = set(range(len(self.entries)))
        matches, unreadable = {}, list(self.untestable)
        for position in sorted(chosen, key=lambda k: _ranking(None, scores[k], self.entries[k].name)):
            entry = self.entries[position]
            try:
                stored = read_stored(entry.file, entry.sha256)
            except (OSError, ValueError) as error:
                unreadable.append((entry.name, str(error)))
                continue
            matches[position] = tested_question(stored, question, entry.sigma, rule, entry.sources)
        grouped = sum(len(positions) for positions in groups.values())
        for (_, sigma), positions in groups.items():
            found, failed = group_tests([self.entries[k] for k in positions], question, sigma, rule)
            matches.update((k, found[self.entries[k].name]) for k in positions if self.entries[k].name in found)
            unreadable += failed
        order = sorted(range(len(self.entries)),
                       key=lambda k: _ranking(matches.get(k), scores[k], self.entries[k].name))
        candidates = tuple(Candidate(self.entries[k].name, scores[k], matches.get(k), self.entries[k].sha256)
                           for k in order)
        # The tested come first, in the order strongest() weighs them: the first of them decides if any does.
        best = strongest([candidate.match for candidate in candidates[:len(matches)]])
        return Identification(image=question.label, sha256=None if question.facts is None else question.sha256,
                              verdict=None if best is None else candidates[best].camera,
                              candidates=candidates, cameras=len(self), tested=len(matches),
                              exhaustive=bool(exhaustive), unreadable=tuple(unreadable), grouped=grouped)


def cuts(threshold):
    """The coarse and fine scores a camera needs to be a candidate, for a full test passing above ``threshold``.

    Each is the score a camera at the threshold is expected to reach in that
    pass, less :data:`MARGIN` times the pass's spread.

    Parameters
    ----------
    threshold : float
        The PCE the camera's zero-shift tests must pass.

    Returns
    -------
    (float, float)
    """
    root = math.sqrt(max(threshold, 0.0))
    return COARSE_SHARE * root - MARGIN * COARSE_SPREAD, FINE_SHARE * root - MARGIN * FINE_SPREAD


def probed(question, keys, rule):
    """The image as the index compares it with the cameras of each sensor shape and sigma it can be placed on.

    For each (shape, sigma), the image's weighted residual is turned back to
    the sensor's frame in each orientation of ``rule`` in which the full test
    tests it at zero shift (:func:`morvekin_prnu.search.plan`): where it has
    the sensor's shape, and where it has its aspect ratio (a photograph
    resized whole), up-sampled to that shape as the test up-samples it; each
    is quantized (:func:`morvekin_prnu.binary.quantize`). Sensors it fits in
    no orientation get no probe.

    Parameters
    ----------
    question : morvekin_prnu.matching.Questioned
    keys : iterable of (tuple, float)
        (shape, sigma) of the shards.
    rule : morvekin_prnu.search.Rule

    Returns
    -------
    dict
        (shape, sigma) -> Probe. The threshold is that of the zero-shift
        tests as the full test decides them: ``rule.threshold``, or the PCE
        whose p-value over those tests is their share of ``rule.p_fa``
        (half when a search is planned too).
    """
    probes = {}
    for shape, sigma in keys:
        weighted = question.weighted(sigma)
        aligned, searches = plan(weighted.shape, shape, chosen_orientations(rule.orientations), rule.min_scale)
        if not aligned:
            continue
        planes = []
        for test in aligned:
            turned = to_sensor(weighted, test.orientation)
            planes.append(quantize(turned if test.scales == (1.0, 1.0) else upsampled(turned, shape, test.scales)))
        share = 0.5 if searches else 1.0
        limit = rule.threshold if rule.threshold is not None else pce_threshold(share * rule.p_fa, len(aligned))
        probes[shape, sigma] = Probe(tuple(test.orientation for test in aligned), np.array(planes), limit)
    return probes


def scanned(shard, probe):
    """The index's scores of a shard's cameras for one image, and which of them to test in full.

    The coarse pass scores every camera against every orientation of the
    probe; the (camera, orientation) pairs above the coarse cut are scored
    again in the fine pass, and a camera is chosen where one of its fine
    scores reaches the fine cut (:func:`cuts`).

    Parameters
    ----------
    shard : Shard
    probe : Probe
        Of the shard's shape and sigma.

    Returns
    -------
    Scored
    """
    pixels = math.prod(shard.shape)
    coarse_cut, fine_cut = cuts(probe.threshold)
    coarse = coarse_scores(shard.planes[:, 0], probe.planes, pixels)
    scores = coarse.max(axis=1)
    fine = np.full(coarse.shape, -math.inf)
    for k in range(len(probe.planes)):
        rows = np.flatnonzero(coarse[:, k] >= coarse_cut)
        for start in range(0, len(rows), 8):  # a few rows at a time: small temporaries
            block = rows[start:start + 8]
            fine[block, k] = fine_scores(shard.planes[block], probe.planes[k], pixels)
    reached = (fine > -math.inf).any(axis=1)
    scores[reached] = fine[reached].max(axis=1)
    return Scored(shard.positions, scores, fine.max(axis=1) >= fine_cut)


def indexed(library, rows, sources, signatures, place=None):
    """The :class:`Search` of a library's catalogue as read in one transaction.

    Each row is checked against its digest first: a damaged one (a field of
    the wrong type, or a digest that differs) makes its camera untestable.
    Each index entry is checked against the SHA-256 its row records, and
    placed in its shard only if it agrees and has the size the shape needs.
    A shard is made as soon as its entries have been read, so entries
    ordered by shape, sigma and name (:data:`morvekin_prnu.catalogue.SIGNATURES`)
    are never held beyond one shard per shape and sigma before ``place``
    takes them.

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
    place : callable, optional
        Takes each Shard as it is made and returns what the Search keeps
        of it: by default the shard itself; on a cluster, where it is held
        (:func:`morvekin_prnu.sharded.spreading`).

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
    # Each camera's shard: (shape, sigma, its first position) -> the shard's positions, filled as entries come.
    blocks = {key + (positions[start],): positions[start:start + SHARD] for key, positions in members.items()
              for start in range(0, len(positions), SHARD)}
    slot = {entries[position].name: (block, row) for block, positions in blocks.items()
            for row, position in enumerate(positions)}
    filling, verified, shards = {}, set(), []
    place = place or (lambda shard: shard)
    for name, bits in signatures:
        if name not in slot or not isinstance(bits, bytes):
            continue
        block, row = slot.pop(name)
        positions = blocks[block]
        if block not in filling:
            filling[block] = (np.empty((len(positions), PLANES, words(math.prod(block[0]))), np.uint64),
                              np.zeros(len(positions), bool), [len(positions)])
        planes, kept, left = filling[block]
        if len(bits) == planes[row].nbytes and hashlib.sha256(bits).hexdigest() == index_digests[positions[row]]:
            planes[row] = np.frombuffer(bits, np.uint64).reshape(planes[row].shape)
            kept[row] = True
        left[0] -= 1
        if not left[0]:
            shards.append(_made(block, positions, *filling.pop(block)[:2], place, verified))
    for block, (planes, kept, _) in list(filling.items()):  # entries missing from the signatures
        shards.append(_made(block, blocks[block], planes, kept, place, verified))
    return Search(entries, [shard for shard in shards if shard is not None],
                  [k for k in range(len(entries)) if k not in verified], untestable)


def _made(block, positions, planes, kept, place, verified):
    """The shard of a block of entries, those that verified, as ``place`` keeps it; None if none verified."""
    positions = np.array(positions, np.int64)
    if not kept.all():  # rare: a damaged or missing entry; its camera is tested in full
        positions, planes = positions[kept], planes[kept]
    verified.update(positions.tolist())
    return place(Shard(block[0], block[1], positions, planes)) if len(positions) else None


def index_entry(fingerprint):
    """The index entry of a fingerprint as the catalogue stores it: its quantized planes' bytes."""
    return quantize(fingerprint).tobytes()


def _ranking(match, score, name):
    """Tested cameras, the most significant first (:func:`morvekin_prnu.matching.significance`); then the rest,
    highest score first."""
    if match is not None:
        return 0, significance(match), name
    return 1, -score if score is not None else math.inf, name
