"""The catalogue of a fingerprint library: an SQLite database of its cameras, their photographs and its index.

Per camera it holds its name, the make, model and serial number its
photographs' EXIF give, the image count, shape, sigma, wavelet and levels,
the SHA-256 of every source image and of the fingerprint file, when it was
added and by which morvekin, and its quantized fingerprint (the index) with
that entry's SHA-256; and the library's format version.

Writes are SQLite transactions with the rollback journal, not WAL: after
every commit the whole catalogue is in its one file, so the folder can be
copied, archived or kept on a network or read-only file system (WAL needs
memory shared by every process that opens it, which network file systems do
not give). Every row carries the SHA-256 of its contents (the index entry's
SHA-256 among them) and the catalogue the SHA-256 of all rows, so changes
made outside morvekin are detected (these are checksums, not signatures:
someone who can rewrite the catalogue can rewrite them too).

A catalogue may come from anyone: before SQLite opens it, it and the files
SQLite would open beside it are checked to be regular files (not links, not
FIFOs, on which SQLite would wait forever) and it is checked to begin as an
SQLite database of a morvekin library does. Waiting for another process's
write is done in short steps, so a signal ends the wait.
"""

import contextlib
import hashlib
import json
import os
import sqlite3
import stat
import threading
import time
from pathlib import Path

from ._checks import MAX_SIGMA
from .provenance import morvekin_version, open_regular, utc_now

CATALOGUE = "catalogue.sqlite"
# The files SQLite opens beside a catalogue: its rollback journal, and those of WAL mode.
COMPANIONS = ("-journal", "-wal", "-shm")
FORMAT = "morvekin library"
VERSION = 2
APPLICATION_ID = 0x6D6B6C62  # "mklb" in the SQLite header: marks the file as a morvekin catalogue
WAIT = 60.0  # seconds to wait for another process's write to finish
STEP = 0.1  # seconds SQLite waits for a lock at a time, between which signals are handled
COLUMNS = ("name", "file", "sha256", "bytes", "rows", "columns", "sigma", "wavelet", "levels", "images", "make",
           "model", "serial", "added", "morvekin", "origin", "index_sha256")
SOURCE_COLUMNS = ("file", "sha256", "make", "model", "serial")
_SCHEMA = (
    "CREATE TABLE library (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
    "CREATE TABLE cameras (name TEXT PRIMARY KEY, file TEXT NOT NULL UNIQUE, sha256 TEXT NOT NULL, "
    "bytes INTEGER NOT NULL, rows INTEGER NOT NULL, columns INTEGER NOT NULL, sigma REAL NOT NULL, wavelet TEXT, "
    "levels INTEGER, images INTEGER, make TEXT, model TEXT, serial TEXT, added TEXT NOT NULL, "
    "morvekin TEXT NOT NULL, origin TEXT NOT NULL, digest TEXT NOT NULL, index_sha256 TEXT)",
    "CREATE TABLE sources (camera TEXT NOT NULL, position INTEGER NOT NULL, file TEXT NOT NULL, sha256 TEXT, "
    "make TEXT, model TEXT, serial TEXT, PRIMARY KEY (camera, position))",
    "CREATE TABLE signatures (camera TEXT PRIMARY KEY, bits BLOB NOT NULL)",
)
# The index entries in the order a search builds its shards: by shape, sigma and name. An entry whose camera
# has no row comes in no shard, so the join leaves it out.
SIGNATURES = ("SELECT signatures.camera, signatures.bits FROM signatures JOIN cameras ON cameras.name = "
              "signatures.camera ORDER BY cameras.rows, cameras.columns, cameras.sigma, cameras.name")
# SQLite's errors that come from the file system or another process rather than the catalogue's content.
_SYSTEM_ERRORS = ("SQLITE_BUSY", "SQLITE_LOCKED", "SQLITE_IOERR", "SQLITE_CANTOPEN", "SQLITE_READONLY",
                  "SQLITE_FULL", "SQLITE_PERM", "SQLITE_NOMEM")
_HEADER = b"SQLite format 3\0"
# What each column of a camera's row must hold: (types, whether it may be NULL).
_TEXT, _COUNT = (str,), (int,)
_KINDS = {"name": (_TEXT, False), "file": (_TEXT, False), "sha256": (_TEXT, False), "bytes": (_COUNT, False),
          "rows": (_COUNT, False), "columns": (_COUNT, False), "sigma": ((int, float), False),
          "wavelet": (_TEXT, True), "levels": (_COUNT, True), "images": (_COUNT, True), "make": (_TEXT, True),
          "model": (_TEXT, True), "serial": (_TEXT, True), "added": (_TEXT, False), "morvekin": (_TEXT, False),
          "origin": (_TEXT, False), "index_sha256": (_TEXT, True)}


class DamagedCatalogue(ValueError):
    """A catalogue that is damaged, or is no morvekin library's catalogue; or one missing beside its files."""


class NewerFormat(ValueError):
    """A library written by a newer morvekin, in a format this one does not read."""


class UnknownCamera(ValueError):
    """The library holds no camera of that name."""


class NameTaken(ValueError):
    """The library already holds a camera of that name."""


class Catalogue:
    """An open catalogue: an SQLite connection to it, used from the thread that opened it.

    Parameters
    ----------
    path : str
        The catalogue file, ``LIBRARY/catalogue.sqlite``.
    create : bool
        Make the tables if the file is new or empty.

    Raises
    ------
    DamagedCatalogue, NewerFormat, ValueError, OSError
        As :meth:`morvekin_prnu.Library` describes.
    """

    def __init__(self, path, create):
        self.path = path
        self._thread = threading.get_ident()
        self._connection = None
        exists = checked_files(path)
        uri = f"{Path(path).as_uri()}?mode={'rw' if exists else 'rwc'}"
        try:
            self._connection = sqlite3.connect(uri, uri=True, timeout=STEP, isolation_level=None)
            # A commit is on disk before it returns.
            self._waiting(lambda: self._connection.execute("PRAGMA synchronous = FULL"))
            self.version = self._prepared(create)
        except sqlite3.Error as error:
            self.close()
            raise self.failure(error) from None
        except BaseException:
            self.close()
            raise

    def close(self):
        """Close the connection (again: nothing)."""
        if self._connection is not None:
            self._connection.close()
            self._connection = None

    @contextlib.contextmanager
    def transaction(self, kind):
        """BEGIN ``kind`` (DEFERRED to read, IMMEDIATE to write), COMMIT at the end, ROLLBACK on any exception.

        Yields the connection, its first lock already taken; another
        process's write is waited for up to :data:`WAIT` seconds, in steps of
        :data:`STEP`, between which signals (Ctrl-C, SIGTERM) are handled.
        """
        connection = self._usable()
        if kind == "IMMEDIATE":
            self._refuse_shared_write()
        self._waiting(lambda: connection.execute(f"BEGIN {kind}"))
        try:
            if kind != "IMMEDIATE":  # a read takes its lock with its first statement
                self._waiting(lambda: connection.execute("SELECT count(*) FROM sqlite_master").fetchone())
            yield connection
            self._waiting(lambda: connection.execute("COMMIT"))
        except BaseException as error:
            with contextlib.suppress(sqlite3.Error):
                connection.execute("ROLLBACK")
            if isinstance(error, sqlite3.Error):
                raise self.failure(error) from None
            raise

    def failure(self, error):
        """An SQLite error as OSError (file system, locks) or DamagedCatalogue (content), naming the catalogue."""
        code = getattr(error, "sqlite_errorname", "")
        if code.startswith(_SYSTEM_ERRORS):
            return OSError(f"{self.path}: {error}")
        return DamagedCatalogue(f"{self.path}: damaged, or not a morvekin catalogue: {error}")

    def _usable(self):
        if self._connection is None:
            raise ValueError(f"{self.path}: the library is closed")
        if threading.get_ident() != self._thread:
            raise RuntimeError(f"{self.path}: the library was opened in another thread; open one Library per "
                               "thread")
        return self._connection

    def _waiting(self, step):
        """Run ``step`` until it is not kept waiting by another process's lock, for at most WAIT seconds."""
        end = time.monotonic() + WAIT
        while True:
            try:
                return step()
            except sqlite3.OperationalError as error:
                if getattr(error, "sqlite_errorname", "") != "SQLITE_BUSY" or time.monotonic() > end:
                    raise self.failure(error) from None

    def _refuse_shared_write(self):
        """Refuse to write a catalogue file that is also another folder's (a hard link to it)."""
        links = os.stat(self.path).st_nlink
        if links > 1:
            raise ValueError(f"{self.path}: the catalogue file has {links} names (hard links), so writing it would "
                             "change another library too; copy the library's folder instead of linking it")

    def _prepared(self, create):
        """Make the tables of a new catalogue, or check that it is one this morvekin reads; its format version."""
        with self.transaction("IMMEDIATE" if create else "DEFERRED") as catalogue:
            tables = {name for (name,) in catalogue.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            if not tables and create:
                for statement in _SCHEMA:
                    catalogue.execute(statement)
                catalogue.execute(f"PRAGMA application_id = {APPLICATION_ID}")
                catalogue.executemany("INSERT INTO library VALUES (?, ?)",
                                      [("format", FORMAT), ("version", str(VERSION)), ("created", utc_now()),
                                       ("morvekin", morvekin_version()), ("digest", digest([]))])
                return VERSION
            application = catalogue.execute("PRAGMA application_id").fetchone()[0]
            about = dict(catalogue.execute("SELECT key, value FROM library")) if "library" in tables else {}
        if application != APPLICATION_ID or about.get("format") != FORMAT:
            raise DamagedCatalogue(f"{self.path}: not the catalogue of a morvekin library")
        version = about.get("version")
        if version not in ("1", str(VERSION)):
            newer = isinstance(version, str) and version.isdigit() and int(version) > VERSION
            error = NewerFormat if newer else DamagedCatalogue
            raise error(f"{os.path.dirname(self.path)}: a morvekin library of format version {version}"
                        + (", written by a newer morvekin" if newer else "")
                        + f"; this morvekin ({morvekin_version()}) reads versions 1 to {VERSION}"
                        + (": upgrade morvekin to open it" if newer else ""))
        return int(version)

    def upgraded(self, catalogue):
        """Bring a catalogue of format 1 to this format, inside a write transaction: its rows keep their digests,
        and their index entries, having none of their own, stay unverified."""
        if self.version == 1:
            catalogue.execute("ALTER TABLE cameras ADD COLUMN index_sha256 TEXT")
            catalogue.execute("UPDATE library SET value = ? WHERE key = 'version'", (str(VERSION),))
            self.version = VERSION


def checked_files(path):
    """Whether the catalogue exists and holds anything; refuse what SQLite must not open.

    The catalogue and the files SQLite would open beside it must be regular
    files (checked without following links), and a catalogue that is not
    empty must begin as a morvekin library's SQLite database does.

    Raises
    ------
    DamagedCatalogue, ValueError
        The message names the file and what it is.
    """
    for name in (path, *(path + suffix for suffix in COMPANIONS)):
        try:
            mode = os.lstat(name).st_mode
        except FileNotFoundError:
            continue
        if not stat.S_ISREG(mode):
            kind = "a symbolic link" if stat.S_ISLNK(mode) else "not a regular file"
            raise ValueError(f"{name}: {kind}; a library's catalogue and journal must be files of its own")
    if not os.path.lexists(path):
        return False
    with open_regular(path) as file:
        header = file.read(100)
    if not header:
        return False
    if len(header) < 100 or not header.startswith(_HEADER):
        raise DamagedCatalogue(f"{path}: damaged, or not a morvekin catalogue: not an SQLite database")
    if int.from_bytes(header[68:72], "big") != APPLICATION_ID:
        raise DamagedCatalogue(f"{path}: not the catalogue of a morvekin library")
    if header[18:20] != b"\x01\x01":
        raise DamagedCatalogue(f"{path}: an SQLite database in WAL mode, which no morvekin library is")
    return True


def columns(version):
    """The SELECT list of a camera's row in a catalogue of that format version (1 had no index digest)."""
    return ", ".join(column if column != "index_sha256" or version > 1 else "NULL" for column in COLUMNS)


def camera_rows(catalogue, version, name=None):
    """Each camera's row as a dict of :data:`COLUMNS` and its ``digest``, by name; of one camera if named."""
    where, arguments = ("WHERE name = ?", (name,)) if name is not None else ("", ())
    rows = catalogue.execute(f"SELECT {columns(version)}, digest FROM cameras {where} ORDER BY name", arguments)
    return [dict(zip((*COLUMNS, "digest"), map(_text, row))) for row in rows]


def camera_sources(catalogue):
    """Each camera's source rows, in order: camera name -> list of tuples of SOURCE_COLUMNS."""
    found = {}
    for camera, *source in catalogue.execute(
            f"SELECT camera, {', '.join(SOURCE_COLUMNS)} FROM sources ORDER BY camera, position"):
        found.setdefault(camera, []).append(tuple(map(_text, source)))
    return found


def refuse_taken(catalogue, name, library):
    if catalogue.execute("SELECT 1 FROM cameras WHERE name = ?", (name,)).fetchone():
        raise NameTaken(f"{library}: already holds a camera named {name!r}; remove it first")


def camera_row(name, file, sha256, size, shape, metadata, sources, origin):
    """A new camera's row (all of COLUMNS but its index digest) from its fingerprint file and photographs.

    ``make``, ``model`` and ``serial`` join the distinct values of the
    photographs' (Source records) with " / "; the wavelet, levels and image
    count are the file's metadata's where it records them as their types.
    """
    return {"name": name, "file": file, "sha256": sha256, "bytes": size, "rows": shape[0], "columns": shape[1],
            "sigma": float(metadata["sigma"]), "wavelet": _typed(metadata.get("wavelet"), str),
            "levels": _typed(metadata.get("levels"), int), "images": _typed(metadata.get("images"), int),
            **{key: _joined(getattr(source, key) for source in sources) for key in ("make", "model", "serial")},
            "added": utc_now(), "morvekin": morvekin_version(), "origin": origin}


def insert_camera(catalogue, row, sources, bits):
    """Insert a camera's row (all of COLUMNS but its digest), sources and index entry; record the new digests.

    Returns the row and sources as they will read back.
    """
    row = {column: _storable(value) for column, value in row.items()}
    row["index_sha256"] = hashlib.sha256(bits).hexdigest()
    sources = [tuple(map(_storable, source)) for source in sources]
    catalogue.execute(f"INSERT INTO cameras ({', '.join(COLUMNS)}, digest) VALUES "
                      f"({', '.join('?' * (len(COLUMNS) + 1))})",
                      [_bound(row[column]) for column in COLUMNS] + [row_digest(row, sources)])
    catalogue.executemany(f"INSERT INTO sources VALUES ({', '.join('?' * (2 + len(SOURCE_COLUMNS)))})",
                          [(row["name"], position, *map(_bound, source)) for position, source in enumerate(sources)])
    catalogue.execute("INSERT INTO signatures VALUES (?, ?)", (row["name"], bits))
    record_digest(catalogue)
    return row, sources


def delete_camera(catalogue, name, library):
    """Delete a camera's rows; the file its row named."""
    found = catalogue.execute("SELECT file FROM cameras WHERE name = ?", (name,)).fetchone()
    if found is None:
        raise UnknownCamera(f"{library}: holds no camera named {name!r}")
    for table, column in (("cameras", "name"), ("sources", "camera"), ("signatures", "camera")):
        catalogue.execute(f"DELETE FROM {table} WHERE {column} = ?", (name,))
    record_digest(catalogue)
    return found[0]


def index_bits(catalogue, name):
    """A camera's index entry as stored, or None."""
    found = catalogue.execute("SELECT bits FROM signatures WHERE camera = ?", (name,)).fetchone()
    return None if found is None else found[0]


def referenced(catalogue):
    """The fingerprint files the rows name."""
    return {file for (file,) in catalogue.execute("SELECT file FROM cameras")}


def row_problem(row):
    """Why a camera's row cannot be used as it is (a field of the wrong type or out of range), or None."""
    for column, (kinds, nullable) in _KINDS.items():
        value = row[column]
        if value is None and nullable:
            continue
        if not isinstance(value, kinds) or isinstance(value, bool):
            return f"its row holds {column} {value!r}"
    if not 0 < row["sigma"] <= MAX_SIGMA:
        return f"its row holds sigma {row['sigma']!r}"
    if min(row["rows"], row["columns"], row["bytes"]) < 1:
        return f"its row holds shape {(row['rows'], row['columns'])} and {row['bytes']} bytes"
    return None


def row_digest(row, sources):
    """The SHA-256 of a camera's row and its sources, as canonical JSON.

    The index entry's SHA-256 counts where the row has one (rows written
    before format 2 have none, and keep the digest they were written with).
    """
    camera = {column: row[column] for column in COLUMNS if column != "index_sha256" or row[column] is not None}
    content = {"camera": camera, "sources": [list(source) for source in sources]}
    text = json.dumps(content, sort_keys=True, ensure_ascii=False)
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def digest(named):
    """The SHA-256 of the list of (camera name, row digest), by name."""
    return hashlib.sha256(json.dumps(sorted(named), ensure_ascii=False).encode()).hexdigest()


def record_digest(catalogue):
    named = catalogue.execute("SELECT name, digest FROM cameras").fetchall()
    catalogue.execute("UPDATE library SET value = ? WHERE key = 'digest'", (digest(named),))


def recorded_digest(catalogue):
    found = catalogue.execute("SELECT value FROM library WHERE key = 'digest'").fetchone()
    return found[0] if found else None


def _storable(value):
    """Text that :func:`_bound` can keep as it is; other text (only a crafted record holds any) as escapes."""
    if isinstance(value, str):
        try:
            value.encode("utf-8", "surrogateescape")
        except UnicodeEncodeError:
            return value.encode("utf-8", "backslashreplace").decode("utf-8")
    return value


def _bound(value):
    """A value as SQLite takes it: text that is not valid Unicode (a file name's bytes that are not UTF-8, which
    Python keeps as lone surrogates) as those bytes."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return value.encode("utf-8", "surrogateescape")
    return value


def _text(value):
    """A value as :func:`_bound` stored it: bytes back as the text they were."""
    return value.decode("utf-8", "surrogateescape") if isinstance(value, bytes) else value


def _joined(values):
    distinct = list(dict.fromkeys(value for value in values if value))
    return " / ".join(distinct) if distinct else None


def _typed(value, kind):
    """``value`` if it is of ``kind`` (and not a bool), else None."""
    return value if isinstance(value, kind) and not isinstance(value, bool) else None
