"""A library of camera fingerprints on disk, searched for the camera that took a photograph.

Goljan, Fridrich and Filler (2010), "Managing a large database of camera
fingerprints", Proc. SPIE 7541: testing a photograph with the full
correlation against every fingerprint of a large collection is slow, so a
compact form of each fingerprint, kept beside it, picks the few candidates
worth the full test, and only those are tested with the PCE. The compact form
here is the binarized fingerprint of Bayram, Sencar and Memon (2012)
(:mod:`morvekin_prnu.binary`): one bit per pixel, compared with the image's
in one pass over the whole index.

A library is a folder:

- ``catalogue.sqlite``: an SQLite database with, per camera, its name, the
  make, model and serial number its photographs' EXIF give, the image count,
  shape, sigma, wavelet and levels, the SHA-256 of every source image and of
  the fingerprint file, when it was added and by which morvekin, and its
  binarized fingerprint (the index); and the library's format version.
- ``fingerprints/``: one fingerprint file per camera
  (:func:`morvekin_prnu.save_fingerprint`), named by a random id.

Safety. Any number of processes may read a library while one writes it.
Writes are SQLite transactions with the rollback journal, not WAL: after
every commit the whole catalogue is in its one file, so the folder can be
copied, archived or kept on a network or read-only file system (WAL needs
memory shared by every process that opens it, which network file systems do
not give). Writes are short, because a fingerprint is computed before its
transaction starts, so a reader waits for a commit for milliseconds at most.
A fingerprint file is written atomically inside the write transaction before
its row is inserted, so no row ever lacks its file: a crash or Ctrl-C before
the commit leaves the catalogue as it was and at most an unlisted file, which
:meth:`Library.verify` reports and the next add or remove deletes. Every row
carries the SHA-256 of its contents and the catalogue the SHA-256 of all
rows, so changes made outside morvekin are detected (these are checksums,
not signatures: someone who can rewrite the catalogue can rewrite them too).
Nothing read from a library is unpickled: fingerprint files are read by
:func:`morvekin_prnu.load_fingerprint`, the catalogue holds text, numbers and
bytes.
"""

import contextlib
import functools
import hashlib
import json
import math
import os
import re
import secrets
import shutil
import sqlite3
import stat
from pathlib import Path
from typing import NamedTuple

import numpy as np

from ._checks import image_label
from .binary import agreement, binarize
from .fingerprints import fingerprint
from .images import read_image
from .matching import P_FA, Match, checked_rule, match_residual, significance, strongest, weighted_residual
from .provenance import file_entry, file_sha256, morvekin_version, open_regular, utc_now
from .residual import SIGMA
from .search import MIN_SCALE, chosen_orientations, to_sensor
from .storage import atomic_write, fingerprint_metadata, load_fingerprint, read_fingerprint, save_fingerprint

FORMAT = "morvekin library"
VERSION = 1
CATALOGUE = "catalogue.sqlite"
FINGERPRINTS = "fingerprints"
APPLICATION_ID = 0x6D6B6C62  # "mklb" in the SQLite header: marks the file as a morvekin catalogue
# Cameras whose binarized fingerprint agrees with the image's by this many standard
# deviations of chance are tested in full. Unrelated cameras reach it with
# probability 0.13 % per orientation compared. For Gaussian values a camera whose
# PCE with the image is P scores about (2/π) sqrt(P): 4.9 at 60, but 3.1 at 24,
# the default threshold for a shot as taken; so the highest-scoring cameras are
# tested too, whatever their score, which catches most of those just past the
# threshold for the cost of a few full tests per image.
CANDIDATE_SCORE = 3.0
HIGHEST = 8
WAIT = 60.0  # seconds to wait for another process's write to finish
NAME_LENGTH = 200
CACHED = 8  # fingerprints kept in memory per process, for images of the same camera in a row

_FILE = re.compile(r"[0-9a-f]{32}\.npz")  # the names of the fingerprint files
_LEFT_OVER = re.compile(r"\.[0-9a-f]{32}\.npz\.[0-9a-f]+\.tmp")  # an interrupted atomic write's
_COLUMNS = ("name", "file", "sha256", "bytes", "rows", "columns", "sigma", "wavelet", "levels", "images", "make",
            "model", "serial", "added", "morvekin", "origin")
_SOURCE_COLUMNS = ("file", "sha256", "make", "model", "serial")
_SCHEMA = (
    "CREATE TABLE library (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
    "CREATE TABLE cameras (name TEXT PRIMARY KEY, file TEXT NOT NULL UNIQUE, sha256 TEXT NOT NULL, "
    "bytes INTEGER NOT NULL, rows INTEGER NOT NULL, columns INTEGER NOT NULL, sigma REAL NOT NULL, wavelet TEXT, "
    "levels INTEGER, images INTEGER, make TEXT, model TEXT, serial TEXT, added TEXT NOT NULL, "
    "morvekin TEXT NOT NULL, origin TEXT NOT NULL, digest TEXT NOT NULL)",
    "CREATE TABLE sources (camera TEXT NOT NULL, position INTEGER NOT NULL, file TEXT NOT NULL, sha256 TEXT, "
    "make TEXT, model TEXT, serial TEXT, PRIMARY KEY (camera, position))",
    "CREATE TABLE signatures (camera TEXT PRIMARY KEY, bits BLOB NOT NULL)",
)
# SQLite's errors that come from the file system or another process rather than the catalogue's content.
_SYSTEM_ERRORS = ("SQLITE_BUSY", "SQLITE_LOCKED", "SQLITE_IOERR", "SQLITE_CANTOPEN", "SQLITE_READONLY",
                  "SQLITE_FULL", "SQLITE_PERM", "SQLITE_NOMEM")


class Source(NamedTuple):
    """One photograph a camera's fingerprint was made from, as :func:`morvekin_prnu.fingerprint` read it.

    ``file`` is the path as given, or ``images[i]`` for an array; ``sha256``
    that of the bytes decoded, or of an array's values; ``make``, ``model``
    and ``serial`` are the camera's from the file's EXIF, None where absent
    (see :class:`morvekin_prnu.ImageFacts`). For a camera added from a
    fingerprint file these are what its metadata records, None where it
    records nothing.
    """

    file: str
    sha256: str | None
    make: str | None
    model: str | None
    serial: str | None


class Camera(NamedTuple):
    """A camera of a library, as its catalogue records it.

    ``make``, ``model`` and ``serial`` join the distinct values of its
    photographs' EXIF with " / " (more than one means photographs of several
    cameras were mixed). ``file`` is the absolute path of its fingerprint file
    and ``sha256`` that file's SHA-256; ``added`` is a UTC time in ISO 8601;
    ``origin`` is "images" or "fingerprint file PATH"; ``images``, ``wavelet``
    and ``levels`` are None where a fingerprint file did not record them.
    """

    name: str
    shape: tuple
    sigma: float
    images: int | None
    make: str | None
    model: str | None
    serial: str | None
    wavelet: str | None
    levels: int | None
    file: str
    sha256: str
    added: str
    morvekin: str
    origin: str
    sources: tuple


class Problem(NamedTuple):
    """Something :meth:`Library.verify` found wrong.

    ``kind`` is one of "catalogue" (the list of cameras differs from its
    recorded digest), "row" (a camera's row was changed outside morvekin, or
    disagrees with its file), "missing", "altered" (SHA-256 differs),
    "unreadable" (not a regular file, or not a fingerprint file), "index" (a
    binarized fingerprint differs from its file's) and "orphan" (a file no
    row names). ``camera`` and ``file`` are None where they do not apply.
    """

    kind: str
    camera: str | None
    file: str | None
    detail: str


class Candidate(NamedTuple):
    """One camera of a library as :meth:`Search.identify` ranked it for an image.

    ``score`` is its binarized pre-test (:func:`morvekin_prnu.binary.agreement`),
    None where it was not taken (another shape, an exhaustive search, or a
    damaged index entry); ``match`` is the full :class:`morvekin_prnu.Match`
    of the cameras tested, None for the others; ``sha256`` is that of the
    camera's fingerprint file as the catalogue records it (which the file
    tested was checked to have).
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
        Every camera of the library: those tested, the most significant first
        (:func:`morvekin_prnu.matching.significance`: those attributed, by
        p-value, then the rest; NaN last), then the others, highest score
        first.
    cameras : int
        How many cameras were searched (all of the library's).
    tested : int
        How many of them were tested in full.
    exhaustive : bool
        True when every camera was tested in full.
    unreadable : tuple of (str, str)
        (camera, reason) of each camera that should have been tested but
        whose fingerprint file is missing, changed or damaged: these were not
        tested, so the verdict holds only for the rest.
    """

    image: str
    sha256: str | None
    verdict: str | None
    candidates: tuple
    cameras: int
    tested: int
    exhaustive: bool
    unreadable: tuple


class _Entry(NamedTuple):
    name: str
    file: str
    sha256: str
    shape: tuple
    sigma: float


class Search:
    """A library's cameras and index as read at one moment: all that :meth:`identify` needs.

    Made by :meth:`Library.search`. It holds no database connection, so
    threads share it and it can be sent to Dask workers once; fingerprint
    files are read from the library's folder (by absolute path) only for the
    cameras tested, at most :data:`CACHED` kept in memory per process.
    """

    def __init__(self, entries, groups, damaged):
        self.entries = tuple(entries)
        # (shape, sigma) -> (positions in entries, their binarized fingerprints, one row each)
        self.groups = groups
        self.damaged = tuple(damaged)  # positions whose index entry is missing or of the wrong size

    def __len__(self):
        return len(self.entries)

    def identify(self, image, *, p_fa=P_FA, threshold=None, orientations=4, min_scale=MIN_SCALE, exhaustive=False):
        """Find which of the library's cameras took an image.

        The image is read once (:func:`morvekin_prnu.read_image`, in the
        sensor's pixel order) and its weighted residual W·I
        (:func:`morvekin_prnu.weighted_residual`) computed once per sigma among
        the cameras. For the cameras whose fingerprint has the image's shape
        in one of the orientations tried (a shot as taken, or turned), the
        binarized form of the image turned back to the sensor's frame is
        compared with every binarized fingerprint
        (:func:`morvekin_prnu.binary.agreement`; the best of those
        orientations counts), and the candidates — every camera scoring at
        least :data:`CANDIDATE_SCORE`, and the :data:`HIGHEST` highest-scoring
        ones whatever their score — are tested in full with :func:`morvekin_prnu.match_residual`, so each
        Match is the same, bit for bit, as :func:`morvekin_prnu.match` gives
        with the same options. The pre-test cannot help for cameras whose
        fingerprint has another shape than the image in every orientation (a
        crop, a resized picture, or another sensor): those are always tested
        in full, searched over scales and crop positions as ``match`` searches
        them. ``exhaustive`` tests every camera in full.

        Each camera tested is decided on its own, with the false-alarm
        probability ``p_fa`` for its search (or by ``threshold``); the verdict
        is the most significant of those attributed
        (:func:`morvekin_prnu.matching.strongest`), as for ``morvekin match``.
        A camera that the pre-test passes over is not tested, so a camera
        whose PCE with the image would be just past the threshold (below
        about 60 for a shot as taken) can be missed where ``exhaustive``
        finds it.

        A camera to be tested whose fingerprint file is missing, is not a
        regular file, no longer has the SHA-256 the catalogue records, or
        cannot be read, is not tested: it is listed in ``unreadable`` with the
        reason, never skipped silently.

        Parameters
        ----------
        image : str, os.PathLike or ndarray
            As for :func:`morvekin_prnu.match`.
        p_fa, threshold, orientations, min_scale : optional
            As for :func:`morvekin_prnu.match`.
        exhaustive : bool, optional
            Test every camera in full, without the index.

        Returns
        -------
        Identification
        """
        rule = checked_rule(p_fa, threshold, orientations, min_scale)
        if not self.entries:
            raise ValueError("the library holds no cameras")
        label = image_label(image)
        pixels, facts = read_image(image, orient=False) if isinstance(image, (str, os.PathLike)) else (image, None)
        try:
            weighted = {sigma: weighted_residual(pixels, sigma=sigma)
                        for sigma in sorted({entry.sigma for entry in self.entries})}
        except ValueError as error:
            if facts is None:
                raise
            # The pixels went in as an array, called "image": name the file instead.
            raise ValueError(f"{label}: {str(error).removeprefix('image: ')}") from None
        scores = [None] * len(self.entries)
        chosen = list(self.damaged)
        for (shape, sigma), (positions, binarized) in self.groups.items():
            turned = [to_sensor(weighted[sigma], orientation) for orientation in chosen_orientations(rule.orientations)]
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
        matches, unreadable = {}, []
        for position in sorted(set(chosen), key=lambda k: _ranking(None, scores[k], self.entries[k].name)):
            entry = self.entries[position]
            try:
                stored = read_stored(entry.file, entry.sha256)
            except (OSError, ValueError) as error:
                unreadable.append((entry.name, str(error)))
                continue
            matches[position] = match_residual(stored, weighted[entry.sigma], **rule._asdict())
        order = sorted(range(len(self.entries)),
                       key=lambda k: _ranking(matches.get(k), scores[k], self.entries[k].name))
        candidates = tuple(Candidate(self.entries[k].name, scores[k], matches.get(k), self.entries[k].sha256)
                           for k in order)
        # The tested come first, in the order strongest() weighs them: the first of them decides if any does.
        best = strongest([candidate.match for candidate in candidates[:len(matches)]])
        return Identification(image=label, sha256=None if facts is None else facts.sha256,
                              verdict=None if best is None else candidates[best].camera,
                              candidates=candidates, cameras=len(self.entries), tested=len(matches),
                              exhaustive=bool(exhaustive), unreadable=tuple(unreadable))


def _ranking(match, score, name):
    """Tested cameras, the most significant first (:func:`morvekin_prnu.matching.significance`); then the rest,
    highest score first."""
    if match is not None:
        return 0, significance(match), name
    return 1, -score if score is not None else math.inf, name


def read_stored(path, sha256):
    """A library's fingerprint file, checked to be a regular file whose bytes decoded have the SHA-256 recorded.

    The last :data:`CACHED` fingerprints read are kept (read-only) for as
    long as their file's size, time stamp and inode stay the same, so a camera
    tested for image after image is read once per process.

    Parameters
    ----------
    path : str
        The fingerprint file.
    sha256 : str
        Its SHA-256 as the catalogue records it.

    Returns
    -------
    ndarray, shape (H, W), float32

    Raises
    ------
    OSError
        The file is missing or cannot be read.
    ValueError
        It is not a regular file (a link, say), its SHA-256 differs, or it is
        not a fingerprint file; the message names it.
    """
    status = os.lstat(path)
    if not stat.S_ISREG(status.st_mode):
        raise ValueError(f"{path}: not a regular file")
    return _verified(path, sha256, status.st_size, status.st_mtime_ns, status.st_ino)


@functools.lru_cache(maxsize=CACHED)
def _verified(path, sha256, size, mtime, inode):
    stored, _, found = read_fingerprint(path)  # the SHA-256 of the very bytes decoded
    if found != sha256:
        raise ValueError(f"{path}: its SHA-256 is {found}, not {sha256} as the catalogue records: "
                         "the file was changed")
    stored.flags.writeable = False
    return stored


class Library:
    """A folder of camera fingerprints with its catalogue and search index.

    Open with ``Library(path)``; ``Library(path, create=True)`` makes the
    folder (its parent must exist) and the catalogue if missing. Use it as a
    context manager, or call :meth:`close`. One object serves one thread;
    every process and thread opens its own to read or write at once.

    Parameters
    ----------
    path : str or os.PathLike
        The library's folder.
    create : bool, optional
        Make a new library there if there is none.

    Raises
    ------
    FileNotFoundError
        There is no library there (and ``create`` is false), or the parent
        folder is missing.
    ValueError
        The folder holds other files but no catalogue, the catalogue is not a
        morvekin library's, or it is of a newer format version than this
        morvekin reads.
    OSError
        The catalogue cannot be opened or stayed locked by another writer for
        :data:`WAIT` seconds.
    """

    def __init__(self, path, *, create=False):
        self.path = os.path.abspath(os.fspath(path))
        self._catalogue = os.path.join(self.path, CATALOGUE)
        self._search = None
        exists = os.path.isfile(self._catalogue)
        if not exists:
            if not create:
                raise FileNotFoundError(f"{path}: no morvekin library here (no {CATALOGUE})")
            _make_folder(self.path)
        uri = f"{Path(self._catalogue).as_uri()}?mode={'rw' if exists else 'rwc'}"
        try:
            self._connection = sqlite3.connect(uri, uri=True, timeout=WAIT, isolation_level=None)
        except sqlite3.Error as error:
            raise self._failure(error) from None
        try:
            self._connection.execute("PRAGMA synchronous = FULL")  # a commit is on disk before it returns
            self._prepare(create)
        except BaseException:
            self._connection.close()
            raise

    def close(self):
        """Close the catalogue."""
        self._connection.close()

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def __repr__(self):
        return f"Library({self.path!r})"

    def add(self, name, images, *, sigma=SIGMA, progress=False, workers=1, onerror=None, executor=None):
        """Add a camera from photographs it took: its fingerprint, catalogue row and index entry.

        The fingerprint is computed by :func:`morvekin_prnu.fingerprint` (the
        options are its own) before the library is locked, and recorded as the
        ``morvekin fingerprint`` command records it
        (:func:`morvekin_prnu.storage.fingerprint_metadata`): each image used
        with the SHA-256 of the very bytes decoded and its camera's EXIF make,
        model and serial number. Then, in one write transaction, its file is
        written and the rows inserted. If anything fails or is interrupted,
        the library is left as it was. The warnings of
        :func:`morvekin_prnu.fingerprint` reach the caller.

        Parameters
        ----------
        name : str
            The camera's name in the library: 1 to :data:`NAME_LENGTH`
            printable characters, no spaces at either end, not already used.
        images : iterable of (str, os.PathLike or ndarray)
            Its photographs, as for :func:`morvekin_prnu.fingerprint`. Paths
            are recorded as given: absolute ones keep the record clear of the
            working folder.
        sigma, progress, workers, onerror, executor
            As for :func:`morvekin_prnu.fingerprint`.

        Returns
        -------
        Camera
        """
        name = self._new_name(name)
        skipped, inputs = {}, []

        def skip(label, error):
            skipped[label] = str(error).removeprefix(f"{label}: ")
            onerror(label, error)

        def read(label, facts):
            inputs.append(file_entry(label, facts.sha256, facts.camera()))

        estimate = fingerprint(images, sigma=sigma, progress=progress, workers=workers,
                               onerror=None if onerror is None else skip, executor=executor, onread=read)
        metadata = fingerprint_metadata(sigma, inputs, skipped)
        return self._store(name, lambda target: save_fingerprint(target, estimate, metadata),
                           [Source(**entry) for entry in inputs], "images")

    def add_fingerprint(self, name, path):
        """Add a camera from a fingerprint file (as ``morvekin fingerprint`` writes).

        The file is checked with :func:`morvekin_prnu.load_fingerprint` and
        copied into the library byte for byte, so its SHA-256 stays that of
        the file given. The photographs are recorded as its metadata records
        them: with their SHA-256 and camera where it gives them (``morvekin
        fingerprint`` does), by name only where it lists just their files.
        These are the file's word, not checked against the photographs.

        Parameters
        ----------
        name : str
            As for :meth:`add`.
        path : str or os.PathLike
            A regular file.

        Returns
        -------
        Camera
        """
        name = self._new_name(name)
        path = os.fspath(path)
        _, metadata = load_fingerprint(path)  # refused here, before anything is written
        sources = _recorded_sources(metadata)

        def copy(target):
            with open_regular(path) as original, atomic_write(target) as file:
                shutil.copyfileobj(original, file)

        return self._store(name, copy, sources, f"fingerprint file {os.path.abspath(path)}")

    def cameras(self):
        """The library's cameras, by name.

        Returns
        -------
        list of Camera
        """
        with self._transaction("DEFERRED") as catalogue:
            rows = catalogue.execute(f"SELECT {', '.join(_COLUMNS)} FROM cameras ORDER BY name").fetchall()
            sources = _sources(catalogue)
        return [self._camera(row, sources.get(row[0], ())) for row in rows]

    def remove(self, name):
        """Remove a camera: its rows in one transaction, then its fingerprint file.

        Raises
        ------
        ValueError
            The library holds no camera of that name.
        """
        with self._transaction("IMMEDIATE") as catalogue:
            found = catalogue.execute("SELECT file FROM cameras WHERE name = ?", (name,)).fetchone()
            if found is None:
                raise ValueError(f"{self.path}: holds no camera named {name!r}")
            self._clean(catalogue)
            for table, column in (("cameras", "name"), ("sources", "camera"), ("signatures", "camera")):
                catalogue.execute(f"DELETE FROM {table} WHERE {column} = ?", (name,))
            _record_digest(catalogue)
        if _FILE.fullmatch(found[0]):  # never a path a changed row made up
            with contextlib.suppress(FileNotFoundError):  # the next write deletes it otherwise
                os.remove(os.path.join(self.path, FINGERPRINTS, found[0]))

    def verify(self):
        """Check every file and row of the library; change nothing.

        Each fingerprint file is checked to be a regular file with the SHA-256
        recorded, to read as a fingerprint of the shape and sigma recorded,
        and to binarize to its index entry; each row and the list of rows to
        match their recorded digests; and the fingerprint folder to hold no
        file that no row names. What another process added or removed
        meanwhile is not reported.

        Returns
        -------
        list of Problem
            Empty when all is well.
        """
        with self._transaction("DEFERRED") as catalogue:
            recorded = _recorded_digest(catalogue)
            rows = catalogue.execute(f"SELECT {', '.join(_COLUMNS)}, digest FROM cameras ORDER BY name").fetchall()
            sources = _sources(catalogue)
            indexed = {name for (name,) in catalogue.execute("SELECT camera FROM signatures")}
            present = self._listed()
        problems = []
        if _digest([(row[0], row[-1]) for row in rows]) != recorded:
            problems.append(Problem("catalogue", None, self._catalogue,
                                    "the list of cameras differs from the digest recorded with it: a camera was "
                                    "added, removed or renamed outside morvekin"))
        for row in rows:
            name = row[0]
            problems += [Problem(kind, name, path, detail)
                         for kind, path, detail in self._checked(row, sources.get(name, ()))]
        problems += [Problem("index", name, None, "an index entry for a camera the catalogue does not list")
                     for name in sorted(indexed - {row[0] for row in rows})]
        referenced = {row[1] for row in rows}
        for entry in sorted(present - referenced):
            detail = ("not named in the catalogue: left by an interrupted add or remove (the next add or remove "
                      "deletes it)" if _FILE.fullmatch(entry) or _LEFT_OVER.fullmatch(entry)
                      else "not a file a morvekin library writes")
            problems.append(Problem("orphan", None, os.path.join(self.path, FINGERPRINTS, entry), detail))
        return self._still(problems, {row[0]: (row[1], row[-1]) for row in rows})

    def search(self):
        """The library's cameras and index as they are now, for :meth:`Search.identify`.

        Read in one transaction; kept and returned again while the catalogue
        stays unchanged.

        Returns
        -------
        Search
        """
        with self._transaction("DEFERRED") as catalogue:
            recorded = _recorded_digest(catalogue)
            if self._search is not None and self._search[0] == recorded:
                return self._search[1]
            entries = [_Entry(name, self._file(file), sha256, (rows, columns), sigma) for name, file, sha256, rows,
                       columns, sigma in catalogue.execute(
                           "SELECT name, file, sha256, rows, columns, sigma FROM cameras ORDER BY name")]
            sizes = dict(catalogue.execute("SELECT camera, length(bits) FROM signatures WHERE typeof(bits) = 'blob'"))
            members, damaged = {}, []
            for position, entry in enumerate(entries):
                rows, columns = entry.shape
                # A changed row cannot make it allocate more than its index entry holds.
                if isinstance(rows, int) and isinstance(columns, int) and min(rows, columns) > 0 \
                        and sizes.get(entry.name) == 8 * _words(entry.shape):
                    members.setdefault((entry.shape, entry.sigma), []).append(position)
                else:
                    damaged.append(position)
            groups = {key: (np.array(positions), np.empty((len(positions), _words(key[0])), np.uint64))
                      for key, positions in members.items()}
            place = {entries[position].name: (groups[key][1], row) for key, positions in members.items()
                     for row, position in enumerate(positions)}
            for name, bits in catalogue.execute("SELECT camera, bits FROM signatures WHERE typeof(bits) = 'blob'"):
                if name in place:
                    binarized, row = place[name]
                    binarized[row] = np.frombuffer(bits, np.uint64)
        search = Search(entries, groups, damaged)
        self._search = recorded, search
        return search

    def identify(self, image, *, p_fa=P_FA, threshold=None, orientations=4, min_scale=MIN_SCALE, exhaustive=False):
        """Find which of the library's cameras took an image: :meth:`Search.identify` on :meth:`search`."""
        return self.search().identify(image, p_fa=p_fa, threshold=threshold, orientations=orientations,
                                      min_scale=min_scale, exhaustive=exhaustive)

    # Writing

    def _new_name(self, name):
        """A valid camera name that the library does not hold yet."""
        if not isinstance(name, str):
            raise TypeError(f"the camera name must be a string, not {type(name).__name__}")
        if not 0 < len(name) <= NAME_LENGTH or name != name.strip() or not name.isprintable():
            raise ValueError(f"the camera name {name!r} must be 1 to {NAME_LENGTH} printable characters with no "
                             "space at either end")
        with self._transaction("DEFERRED") as catalogue:
            self._refuse_taken(catalogue, name)
        return name

    def _refuse_taken(self, catalogue, name):
        if catalogue.execute("SELECT 1 FROM cameras WHERE name = ?", (name,)).fetchone():
            raise ValueError(f"{self.path}: already holds a camera named {name!r}; remove it first")

    def _store(self, name, write, sources, origin):
        """Write a fingerprint file with ``write(path)`` and insert its rows, all in one write transaction."""
        file = f"{secrets.token_hex(16)}.npz"
        path = os.path.join(self.path, FINGERPRINTS, file)
        try:
            with self._transaction("IMMEDIATE") as catalogue:
                self._refuse_taken(catalogue, name)  # another writer may have taken it meanwhile
                self._clean(catalogue)
                write(path)
                stored, metadata, sha256 = read_fingerprint(path)
                row = {"name": name, "file": file, "sha256": sha256, "bytes": os.path.getsize(path),
                       "rows": stored.shape[0], "columns": stored.shape[1], "sigma": float(metadata["sigma"]),
                       "wavelet": _typed(metadata.get("wavelet"), str), "levels": _typed(metadata.get("levels"), int),
                       "images": _typed(metadata.get("images"), int),
                       **{key: _joined(getattr(source, key) for source in sources)
                          for key in ("make", "model", "serial")},
                       "added": utc_now(), "morvekin": morvekin_version(), "origin": origin}
                catalogue.execute(f"INSERT INTO cameras ({', '.join(_COLUMNS)}, digest) VALUES "
                                  f"({', '.join('?' * (len(_COLUMNS) + 1))})",
                                  [row[column] for column in _COLUMNS] + [_row_digest(row, sources)])
                catalogue.executemany(f"INSERT INTO sources VALUES ({', '.join('?' * (2 + len(_SOURCE_COLUMNS)))})",
                                      [(name, position, *source) for position, source in enumerate(sources)])
                catalogue.execute("INSERT INTO signatures VALUES (?, ?)", (name, binarize(stored).tobytes()))
                _record_digest(catalogue)
        except BaseException:
            # Interrupted as the commit returned, the row may be in: then the file stays.
            if not self._names_file(file):
                with contextlib.suppress(FileNotFoundError):
                    os.remove(path)
            raise
        return self._camera([row[column] for column in _COLUMNS], tuple(sources))

    def _names_file(self, file):
        """Whether a committed row names the file; True when that cannot be told (keeping an orphan is safe)."""
        try:
            with self._transaction("DEFERRED") as catalogue:
                return catalogue.execute("SELECT 1 FROM cameras WHERE file = ?", (file,)).fetchone() is not None
        except (OSError, ValueError):
            return True

    def _clean(self, catalogue):
        """Delete the files an interrupted write left; only while holding the write lock, so none is in progress."""
        referenced = {file for (file,) in catalogue.execute("SELECT file FROM cameras")}
        for entry in self._listed() - referenced:
            if _FILE.fullmatch(entry) or _LEFT_OVER.fullmatch(entry):
                with contextlib.suppress(FileNotFoundError):
                    os.remove(os.path.join(self.path, FINGERPRINTS, entry))

    # Reading

    def _prepare(self, create):
        """Make the tables of a new library, or check that the catalogue is one this morvekin reads."""
        with self._transaction("IMMEDIATE" if create else "DEFERRED") as catalogue:
            tables = {name for (name,) in catalogue.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            if not tables and create:
                for statement in _SCHEMA:
                    catalogue.execute(statement)
                catalogue.execute(f"PRAGMA application_id = {APPLICATION_ID}")
                catalogue.executemany("INSERT INTO library VALUES (?, ?)",
                                      [("format", FORMAT), ("version", str(VERSION)), ("created", utc_now()),
                                       ("morvekin", morvekin_version()), ("digest", _digest([]))])
                return
            application = catalogue.execute("PRAGMA application_id").fetchone()[0]
            about = dict(catalogue.execute("SELECT key, value FROM library")) if "library" in tables else {}
        if application != APPLICATION_ID or about.get("format") != FORMAT:
            raise ValueError(f"{self._catalogue}: not the catalogue of a morvekin library")
        version = about.get("version")
        if version != str(VERSION):
            newer = version.isdigit() and int(version) > VERSION if isinstance(version, str) else False
            raise ValueError(f"{self.path}: a morvekin library of format version {version}"
                             + (", written by a newer morvekin" if newer else "")
                             + f"; this morvekin ({morvekin_version()}) reads version {VERSION} only"
                             + (": upgrade morvekin to open it" if newer else ""))

    @contextlib.contextmanager
    def _transaction(self, kind):
        """BEGIN ``kind`` (DEFERRED to read, IMMEDIATE to write), COMMIT at the end, ROLLBACK on any exception."""
        try:
            self._connection.execute(f"BEGIN {kind}")
        except sqlite3.Error as error:
            raise self._failure(error) from None
        try:
            yield self._connection
            self._connection.execute("COMMIT")
        except BaseException as error:
            with contextlib.suppress(sqlite3.Error):
                self._connection.execute("ROLLBACK")
            if isinstance(error, sqlite3.Error):
                raise self._failure(error) from None
            raise

    def _failure(self, error):
        """An SQLite error as OSError (file system, locks) or ValueError (content), naming the catalogue."""
        code = getattr(error, "sqlite_errorname", "")
        if code.startswith(_SYSTEM_ERRORS):
            return OSError(f"{self._catalogue}: {error}")
        return ValueError(f"{self._catalogue}: damaged, or not a morvekin catalogue: {error}")

    def _listed(self):
        """The names in the fingerprint folder (none if it is gone: verify then finds every file missing)."""
        with contextlib.suppress(FileNotFoundError):
            return set(os.listdir(os.path.join(self.path, FINGERPRINTS)))
        return set()

    def _file(self, file):
        """The absolute path of a fingerprint file a row names (a made-up name is kept visibly wrong, not followed)."""
        named = file if _FILE.fullmatch(file) else f"<not a fingerprint: {file!r}>"
        return os.path.join(self.path, FINGERPRINTS, named)

    def _camera(self, row, sources):
        fields = dict(zip(_COLUMNS, row))
        return Camera(name=fields["name"], shape=(fields["rows"], fields["columns"]), sigma=fields["sigma"],
                      images=fields["images"], make=fields["make"], model=fields["model"], serial=fields["serial"],
                      wavelet=fields["wavelet"], levels=fields["levels"], file=self._file(fields["file"]),
                      sha256=fields["sha256"], added=fields["added"], morvekin=fields["morvekin"],
                      origin=fields["origin"], sources=tuple(Source(*source) for source in sources))

    def _checked(self, row, sources):
        """(kind, path, detail) of what is wrong with one camera's row and files."""
        fields = dict(zip(_COLUMNS, row))
        if _row_digest(fields, sources) != row[-1]:
            yield "row", None, "its catalogue row was changed outside morvekin (its digest differs)"
        if not _FILE.fullmatch(fields["file"]):
            yield "row", None, f"its row names the file {fields['file']!r}, which no morvekin library writes"
            return
        path = self._file(fields["file"])
        try:
            found = file_sha256(path) if stat.S_ISREG(os.lstat(path).st_mode) else None
        except FileNotFoundError:
            yield "missing", path, "the fingerprint file is missing"
            return
        except OSError as error:
            yield "unreadable", path, str(error)
            return
        if found is None:
            yield "unreadable", path, "not a regular file"
        elif found != fields["sha256"]:
            yield "altered", path, f"its SHA-256 is {found}, not {fields['sha256']} as recorded"
        else:
            try:
                stored, metadata = load_fingerprint(path)
            except (OSError, ValueError) as error:
                yield "unreadable", path, str(error)
                return
            if stored.shape != (fields["rows"], fields["columns"]) or metadata["sigma"] != fields["sigma"]:
                yield "row", path, (f"the file holds a {stored.shape} fingerprint of sigma {metadata['sigma']}, the "
                                    f"row says {(fields['rows'], fields['columns'])} and {fields['sigma']}")
            with self._transaction("DEFERRED") as catalogue:
                bits = catalogue.execute("SELECT bits FROM signatures WHERE camera = ?", (fields["name"],)).fetchone()
            if bits is None or bits[0] != binarize(stored).tobytes():
                yield "index", path, "its index entry is missing or differs from the fingerprint's binarized form"

    def _still(self, problems, listed):
        """The problems that still hold: not those of a camera removed or replaced since ``listed`` (name -> file and
        digest) was read, nor files since named or deleted."""
        with self._transaction("DEFERRED") as catalogue:
            now = {name: (file, digest) for name, file, digest in catalogue.execute(
                "SELECT name, file, digest FROM cameras")}
        referenced = {file for file, _ in now.values()}

        def holds(problem):
            if problem.camera in listed and now.get(problem.camera) != listed[problem.camera]:
                return False  # the camera was removed or replaced meanwhile
            if problem.kind == "orphan":
                return os.path.lexists(problem.file) and os.path.basename(problem.file) not in referenced
            return True

        return [problem for problem in problems if holds(problem)]


def _make_folder(path):
    """Make a library's folder (its parent must exist), or accept an empty one."""
    parent = os.path.dirname(path)
    if not os.path.isdir(parent):
        raise FileNotFoundError(f"{parent}: no such folder, so the library {path} cannot be made there")
    with contextlib.suppress(FileExistsError):
        os.mkdir(path)
    if not os.path.isdir(path):
        raise ValueError(f"{path}: not a folder")
    others = set(os.listdir(path)) - {FINGERPRINTS, CATALOGUE, f"{CATALOGUE}-journal"}
    if others:
        raise ValueError(f"{path}: holds other files ({', '.join(sorted(others)[:3])}) and no catalogue; give a new "
                         "or empty folder for a library")
    with contextlib.suppress(FileExistsError):
        os.mkdir(os.path.join(path, FINGERPRINTS))


def _words(shape):
    """64-bit words of a binarized array of that shape."""
    return -(-math.prod(shape) // 64)


def _sources(catalogue):
    """Each camera's source rows, in order."""
    found = {}
    for camera, *source in catalogue.execute(
            f"SELECT camera, {', '.join(_SOURCE_COLUMNS)} FROM sources ORDER BY camera, position"):
        found.setdefault(camera, []).append(tuple(source))
    return found


def _row_digest(fields, sources):
    """The SHA-256 of a camera's row and its sources, as canonical JSON."""
    content = {"camera": {column: fields[column] for column in _COLUMNS}, "sources": [list(s) for s in sources]}
    return hashlib.sha256(json.dumps(content, sort_keys=True, ensure_ascii=False).encode()).hexdigest()


def _digest(named):
    """The SHA-256 of the list of (camera name, row digest), by name."""
    return hashlib.sha256(json.dumps(sorted(named), ensure_ascii=False).encode()).hexdigest()


def _record_digest(catalogue):
    named = catalogue.execute("SELECT name, digest FROM cameras").fetchall()
    catalogue.execute("UPDATE library SET value = ? WHERE key = 'digest'", (_digest(named),))


def _recorded_digest(catalogue):
    found = catalogue.execute("SELECT value FROM library WHERE key = 'digest'").fetchone()
    return found[0] if found else None


def _recorded_sources(metadata):
    """The photographs a fingerprint file's metadata records: its ``inputs`` or, in a file without them, its
    ``files``; a field that is not text is taken as absent, an entry without a file name is left out."""
    entries = metadata.get("inputs")
    if not isinstance(entries, list):
        files = metadata.get("files")
        entries = [{"file": file} for file in files] if isinstance(files, list) else []
    return [Source(*(_typed(entry.get(field), str) for field in Source._fields))
            for entry in entries if isinstance(entry, dict) and isinstance(entry.get("file"), str)]


def _joined(values):
    distinct = list(dict.fromkeys(value for value in values if value))
    return " / ".join(distinct) if distinct else None


def _typed(value, kind):
    """``value`` if it is of ``kind`` (and not a bool), else None."""
    return value if isinstance(value, kind) and not isinstance(value, bool) else None

