"""A library of camera fingerprints on disk, searched for the camera that took a photograph.

A library is a folder:

- ``catalogue.sqlite``: the catalogue (:mod:`morvekin_prnu.catalogue`), an
  SQLite database of the cameras, their photographs and the search index;
- ``fingerprints/``: one fingerprint file per camera
  (:mod:`morvekin_prnu.fingerprint_folder`), named by a random id.

:class:`Library` opens one; :meth:`Library.identify` finds which of its
cameras took a photograph (:mod:`morvekin_prnu.identification`), and
:meth:`Library.verify` checks it (:mod:`morvekin_prnu.verification`).

Safety. Any number of processes may read a library while one writes it.
Writes are short, because a fingerprint is computed before its transaction
starts, so a reader waits for a commit for milliseconds at most. A
fingerprint file is written atomically inside the write transaction before
its row is inserted, so no row ever lacks its file: a crash or Ctrl-C before
the commit leaves the catalogue as it was and at most an unlisted file, which
:meth:`Library.verify` reports and the next add or remove deletes. A library
folder may come from anyone: nothing outside it is ever written, deleted or
taken as its own (its catalogue, journal and fingerprint folder are checked
without following links before any work), a catalogue missing or empty
beside fingerprint files is refused as damage rather than replaced, and
nothing read from it is unpickled.
"""

import os
from typing import NamedTuple

from .catalogue import (CATALOGUE, SIGNATURES, Catalogue, DamagedCatalogue, NameTaken, NewerFormat, UnknownCamera,
                        camera_row, camera_rows, camera_sources, checked_files, delete_camera, index_bits,
                        insert_camera, recorded_digest, referenced, refuse_taken)
from .fingerprint_folder import FINGERPRINTS, checked_folder, clear, listed, new_file, path_of, remove, write
from .fingerprints import recorded_fingerprint
from .identification import Candidate, Identification, Search, index_entry, indexed
from .provenance import bytes_sha256, file_identity
from .residual import SIGMA
from .search import MIN_SCALE
from .storage import Source, as_stored, fingerprint_bytes, parsed_fingerprint, read_bytes, recorded_sources
from .verdict import P_FA
from .video import FRAMES, LIMIT
from .verification import Problem, library_problems, still_holding

__all__ = ["CATALOGUE", "FINGERPRINTS", "NAME_LENGTH", "Camera", "Candidate", "DamagedCatalogue", "Identification",
           "Library", "NameTaken", "NewerFormat", "Problem", "Search", "Source", "UnknownCamera"]

NAME_LENGTH = 200


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


class Library:
    """A folder of camera fingerprints with its catalogue and search index.

    Open with ``Library(path)``; ``Library(path, create=True)`` makes the
    folder (its parent must exist) and the catalogue if missing. Use it as a
    context manager, or call :meth:`close`. One object serves the thread
    that opened it; every process and thread opens its own to read or write
    at once.

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
    DamagedCatalogue (a ValueError)
        The catalogue is damaged or no morvekin library's, or it is missing
        or empty while the fingerprint folder holds files.
    NewerFormat (a ValueError)
        The library is of a newer format than this morvekin reads.
    ValueError
        The folder holds other files but no catalogue, or the catalogue, its
        journal or the fingerprint folder is a link or not what it should be.
    OSError
        The catalogue cannot be opened or stayed locked by another writer for
        :data:`morvekin_prnu.catalogue.WAIT` seconds.
    """

    def __init__(self, path, *, create=False):
        self.path = os.path.abspath(os.fspath(path))
        self._search = None
        catalogue = os.path.join(self.path, CATALOGUE)
        held = listed(self.path) if checked_folder(self.path) else set()
        if not checked_files(catalogue):
            state = "an empty" if os.path.lexists(catalogue) else "no"
            if held:
                raise DamagedCatalogue(f"{self.path}: {state} catalogue beside {len(held)} fingerprint files: the "
                                       f"catalogue is damaged or lost; restore {CATALOGUE} from a copy (nothing "
                                       "was changed)")
            if not create:
                if state == "an empty":
                    raise DamagedCatalogue(f"{catalogue}: empty: damaged, or not a morvekin catalogue")
                raise FileNotFoundError(f"{path}: no morvekin library here (no {CATALOGUE})")
            _make_folder(self.path)
        self._catalogue = Catalogue(catalogue, create)

    def close(self):
        """Close the catalogue."""
        self._catalogue.close()

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def __repr__(self):
        return f"Library({self.path!r})"

    def add(self, name, images, *, sigma=SIGMA, progress=False, workers=1, onerror=None, executor=None,
            frames=FRAMES, max_frames=LIMIT):
        """Add a camera from photographs it took: its fingerprint, catalogue row and index entry.

        The fingerprint and its record are made as the ``morvekin
        fingerprint`` command makes them
        (:func:`morvekin_prnu.fingerprints.recorded_fingerprint`: each image
        used with the SHA-256 of the very bytes decoded and its camera's EXIF
        make, model and serial number, the images skipped, the warnings)
        before the library is locked. Then, in one write transaction, its file
        is written and the rows inserted. If anything fails or is interrupted,
        the library is left as it was. The warnings of
        :func:`morvekin_prnu.fingerprint` reach the caller.

        Parameters
        ----------
        name : str
            The camera's name in the library: 1 to :data:`NAME_LENGTH`
            printable characters, no spaces at either end, not already used.
        images : iterable of (str, os.PathLike or ndarray)
            Its photographs, or its videos. Paths are recorded as given:
            absolute ones keep the record clear of the working folder.
        sigma, progress, workers, onerror, executor, frames, max_frames
            As for :func:`morvekin_prnu.fingerprints.recorded_fingerprint`.

        Returns
        -------
        Camera
        """
        name = self._new_name(name)
        estimate, metadata = recorded_fingerprint(images, sigma=sigma, progress=progress, workers=workers,
                                                  onerror=onerror, executor=executor, frames=frames,
                                                  max_frames=max_frames)
        sources = recorded_sources(metadata)
        return self._store(name, fingerprint_bytes(estimate, metadata), as_stored(estimate), metadata, sources,
                           "images", {file_identity(source.file) for source in sources})

    def add_fingerprint(self, name, path):
        """Add a camera from a fingerprint file (as ``morvekin fingerprint`` writes).

        The file is read once, checked as :func:`morvekin_prnu.load_fingerprint`
        checks it, and those very bytes are stored in the library, so its
        SHA-256 stays that of the file given. The photographs are recorded as
        its metadata records them
        (:func:`morvekin_prnu.storage.recorded_sources`): with their SHA-256
        and camera where it gives them, by name only where it lists just
        their files. These are the file's word, not checked against the
        photographs.

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
        data = read_bytes(path)
        stored = parsed_fingerprint(data, path)  # refused here, before anything is written
        return self._store(name, data, stored.fingerprint, stored.metadata, recorded_sources(stored.metadata),
                           f"fingerprint file {os.path.abspath(path)}", {file_identity(path)})

    def cameras(self):
        """The library's cameras, by name.

        Returns
        -------
        list of Camera
        """
        with self._catalogue.transaction("DEFERRED") as catalogue:
            rows = camera_rows(catalogue, self._catalogue.version)
            sources = camera_sources(catalogue)
        return [_camera(self.path, row, sources.get(row["name"], ())) for row in rows]

    def remove(self, name):
        """Remove a camera: its rows in one transaction, then its fingerprint file.

        Raises
        ------
        UnknownCamera (a ValueError)
            The library holds no camera of that name.
        """
        with self._catalogue.transaction("IMMEDIATE") as catalogue:
            clear(self.path, referenced(catalogue))
            file = delete_camera(catalogue, name, self.path)
        remove(self.path, file)  # if this fails, the next write deletes it

    def verify(self):
        """Check every file and row of the library; change nothing.

        Each fingerprint file is checked to be a regular file with the SHA-256
        recorded, to read as a fingerprint of the shape and sigma recorded,
        and to quantize to its index entry, whose SHA-256 its row records;
        each row and the list of rows to match their recorded digests; and
        the fingerprint folder to hold no file that no row names. What
        another process added or removed meanwhile is not reported.

        Returns
        -------
        list of Problem
            Empty when all is well.
        """
        with self._catalogue.transaction("DEFERRED") as catalogue:
            recorded = recorded_digest(catalogue)
            rows = camera_rows(catalogue, self._catalogue.version)
            sources = camera_sources(catalogue)
            indexed_names = {name for (name,) in catalogue.execute("SELECT camera FROM signatures")}
            present = listed(self.path)
        problems = library_problems(self.path, rows, sources, recorded, indexed_names, present, self._bits)
        with self._catalogue.transaction("DEFERRED") as catalogue:
            now = {row["name"]: (row["file"], row["digest"]) for row in camera_rows(catalogue, self._catalogue.version)}
        return still_holding(problems, {row["name"]: (row["file"], row["digest"]) for row in rows}, now)

    def search(self, place=None):
        """The library's cameras and index as they are now, for :meth:`Search.identify`.

        Read in one transaction, each row and index entry checked
        (:func:`morvekin_prnu.identification.indexed`); kept and returned
        again while the catalogue stays unchanged. ``place`` takes each shard
        of the index as it is read and returns what the Search keeps of it:
        :func:`morvekin_prnu.sharded.spreading` leaves the shards on a
        cluster's workers, never held here whole (and such a Search is not
        kept). Returns a :class:`Search`.
        """
        with self._catalogue.transaction("DEFERRED") as catalogue:
            recorded = recorded_digest(catalogue)
            if place is None and self._search is not None and self._search[0] == recorded:
                return self._search[1]
            search = indexed(self.path, camera_rows(catalogue, self._catalogue.version), camera_sources(catalogue),
                             catalogue.execute(SIGNATURES), place)
        if place is None:
            self._search = recorded, search
        return search

    def identify(self, image, *, p_fa=P_FA, threshold=None, orientations=4, min_scale=MIN_SCALE, exhaustive=False):
        """Find which of the library's cameras took an image: :meth:`Search.identify` on :meth:`search`."""
        return self.search().identify(image, p_fa=p_fa, threshold=threshold, orientations=orientations,
                                      min_scale=min_scale, exhaustive=exhaustive)

    def _new_name(self, name):
        """A valid camera name that the library does not hold yet."""
        if not isinstance(name, str):
            raise TypeError(f"the camera name must be a string, not {type(name).__name__}")
        if not 0 < len(name) <= NAME_LENGTH or name != name.strip() or not name.isprintable():
            raise ValueError(f"the camera name {name!r} must be 1 to {NAME_LENGTH} printable characters with no "
                             "space at either end")
        with self._catalogue.transaction("DEFERRED") as catalogue:
            refuse_taken(catalogue, name, self.path)
        return name

    def _store(self, name, data, estimate, metadata, sources, origin, keep):
        """Write a fingerprint file's bytes and insert its rows, all in one write transaction."""
        file = new_file()
        bits = index_entry(estimate)
        row = camera_row(name, file, bytes_sha256(data), len(data), estimate.shape, metadata, sources, origin)
        try:
            with self._catalogue.transaction("IMMEDIATE") as catalogue:
                self._catalogue.upgraded(catalogue)
                refuse_taken(catalogue, name, self.path)  # another writer may have taken it meanwhile
                clear(self.path, referenced(catalogue), keep)
                write(self.path, file, data)
                row, sources = insert_camera(catalogue, row, sources, bits)
        except BaseException:
            # Interrupted as the commit returned, the row may be in: then the file stays.
            if not self._names_file(file):
                remove(self.path, file)
            raise
        return _camera(self.path, row, sources)

    def _names_file(self, file):
        """Whether a committed row names the file; True when that cannot be told (keeping an orphan is safe)."""
        try:
            with self._catalogue.transaction("DEFERRED") as catalogue:
                return file in referenced(catalogue)
        except (OSError, ValueError, RuntimeError):
            return True

    def _bits(self, name):
        with self._catalogue.transaction("DEFERRED") as catalogue:
            return index_bits(catalogue, name)


def _camera(library, row, sources):
    return Camera(name=row["name"], shape=(row["rows"], row["columns"]), sigma=row["sigma"], images=row["images"],
                  make=row["make"], model=row["model"], serial=row["serial"], wavelet=row["wavelet"],
                  levels=row["levels"], file=path_of(library, row["file"]), sha256=row["sha256"], added=row["added"],
                  morvekin=row["morvekin"], origin=row["origin"], sources=tuple(Source(*source) for source in sources))


def _make_folder(path):
    """Make a library's folder (its parent must exist), or accept an empty one."""
    parent = os.path.dirname(path)
    if not os.path.isdir(parent):
        raise FileNotFoundError(f"{parent}: no such folder, so the library {path} cannot be made there")
    try:
        os.mkdir(path)
    except FileExistsError:
        if not os.path.isdir(path):
            raise ValueError(f"{path}: not a folder") from None
    others = set(os.listdir(path)) - {FINGERPRINTS, CATALOGUE, *(CATALOGUE + suffix for suffix in ("-journal",))}
    if others:
        raise ValueError(f"{path}: holds other files ({', '.join(sorted(others)[:3])}) and no catalogue; give a new "
                         "or empty folder for a library")
    if not checked_folder(path):
        os.mkdir(os.path.join(path, FINGERPRINTS))
