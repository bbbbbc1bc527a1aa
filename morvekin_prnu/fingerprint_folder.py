"""The folder of a library's fingerprint files: their names, writing, reading and clearing up.

Each camera's fingerprint is a file of :func:`morvekin_prnu.save_fingerprint`
in the library's ``fingerprints/`` folder, named by a random id (32
hexadecimal digits and ``.npz``). A file is written atomically inside the
catalogue's write transaction, before its row is inserted, so a crash leaves
at most a file no row names: a left-over, which the next write clears.

A library folder may come from anyone. Nothing here follows a symbolic link:
the folder itself must be a real folder, files are read only if they are
regular files, and only names this library writes are ever deleted.
"""

import contextlib
import functools
import os
import re
import secrets
import stat

from .storage import atomic_write, parsed_fingerprint, read_bytes

FINGERPRINTS = "fingerprints"
CACHED = 8  # fingerprints kept in memory per process, for images of the same camera in a row

_FILE = re.compile(r"[0-9a-f]{32}\.npz")
_LEFT_OVER = re.compile(r"\.[0-9a-f]{32}\.npz\.[0-9a-f]+\.tmp")  # an interrupted atomic write's


def new_file():
    """A fresh name for a fingerprint file."""
    return f"{secrets.token_hex(16)}.npz"


def is_file_name(name):
    """Whether ``name`` is one this library gives its fingerprint files."""
    return isinstance(name, str) and _FILE.fullmatch(name) is not None


def path_of(library, name):
    """The absolute path of the fingerprint file a row names; a made-up name is kept visibly wrong, not followed."""
    named = name if is_file_name(name) else f"<not a fingerprint: {name!r}>"
    return os.path.join(library, FINGERPRINTS, named)


def checked_folder(library):
    """Refuse a fingerprint folder that is not a real folder (a link to another one, say); say whether it exists.

    Raises
    ------
    ValueError
        It is something else than a folder; the message names it.
    """
    folder = os.path.join(library, FINGERPRINTS)
    try:
        mode = os.lstat(folder).st_mode
    except FileNotFoundError:
        return False
    if not stat.S_ISDIR(mode):
        kind = "a symbolic link" if stat.S_ISLNK(mode) else "not a folder"
        raise ValueError(f"{folder}: {kind}; a library's fingerprint folder must be a folder of its own")
    return True


def listed(library):
    """The names in the fingerprint folder (none if it is gone: verify then finds every file missing)."""
    with contextlib.suppress(FileNotFoundError):
        return set(os.listdir(os.path.join(library, FINGERPRINTS)))
    return set()


def describe(name):
    """What a name in the fingerprint folder that no row names is."""
    if is_file_name(name) or _LEFT_OVER.fullmatch(name):
        return "not named in the catalogue: left by an interrupted add or remove (the next add or remove deletes it)"
    return "not a file a morvekin library writes"


def write(library, name, data):
    """Write a fingerprint file's bytes under ``name``, atomically."""
    with atomic_write(os.path.join(library, FINGERPRINTS, name)) as file:
        file.write(data)


def remove(library, name):
    """Delete a fingerprint file, if it is there; never a name this library does not write."""
    if is_file_name(name):
        with contextlib.suppress(FileNotFoundError):
            os.remove(os.path.join(library, FINGERPRINTS, name))


def clear(library, referenced, keep=frozenset()):
    """Delete the files an interrupted write left: this library's names that no row names.

    Call only while holding the catalogue's write lock, so that no write is
    under way. A file whose (device, inode) is in ``keep`` — one the running
    command reads — is left alone.
    """
    for name in listed(library) - referenced:
        if is_file_name(name) or _LEFT_OVER.fullmatch(name):
            path = os.path.join(library, FINGERPRINTS, name)
            with contextlib.suppress(FileNotFoundError):
                status = os.lstat(path)
                if (status.st_dev, status.st_ino) not in keep:
                    os.remove(path)


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
        Read-only.

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
    stored = parsed_fingerprint(read_bytes(path), path)  # the SHA-256 of the very bytes decoded
    if stored.sha256 != sha256:
        raise ValueError(f"{path}: its SHA-256 is {stored.sha256}, not {sha256} as the catalogue records: "
                         "the file was changed")
    stored.fingerprint.flags.writeable = False
    return stored.fingerprint
