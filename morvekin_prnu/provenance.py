"""Where results come from: the digests and records that tie them to the exact files they were made of.

Every fingerprint file and every match result carries a chain-of-custody
record: the SHA-256 of each input file, the parameters, the time (UTC) and
morvekin's version. The helpers here build its parts, so that every writer
(the ``morvekin`` command, a fingerprint catalogue) records them alike.
"""

import datetime
import hashlib
import importlib.metadata
import os
import stat

import numpy as np

CHUNK = 1 << 20  # bytes read at a time


def open_regular(path):
    """Open a file for reading in binary mode, if it is a regular file.

    The file is opened without blocking, so a FIFO (named pipe) or a device
    is refused at once rather than waited on, whether it is named directly
    or through a symbolic link.

    Parameters
    ----------
    path : str or os.PathLike

    Returns
    -------
    file object (binary, read-only)

    Raises
    ------
    OSError
        The file cannot be opened (missing, a folder, not readable).
    ValueError
        It is not a regular file; the message names it and what it is.
    """
    descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    try:
        mode = os.fstat(descriptor).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(21, "Is a directory", os.fspath(path))
        if not stat.S_ISREG(mode):
            raise ValueError(f"{os.fspath(path)}: not a regular file but {_kind(mode)}; only files are read")
        return open(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise


def file_identity(path):
    """The device and inode of the file a path leads to (links followed), or None if it leads nowhere."""
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return status.st_dev, status.st_ino


def file_sha256(path):
    """The SHA-256 of a regular file's bytes, as 64 lowercase hexadecimal digits.

    Parameters
    ----------
    path : str or os.PathLike

    Returns
    -------
    str

    Raises
    ------
    OSError, ValueError
        As for :func:`open_regular`.
    """
    digest = hashlib.sha256()
    with open_regular(path) as file:
        while chunk := file.read(CHUNK):
            digest.update(chunk)
    return digest.hexdigest()


def bytes_sha256(data):
    """The SHA-256 of bytes already read, as 64 lowercase hexadecimal digits."""
    return hashlib.sha256(data).hexdigest()


def array_sha256(array):
    """The SHA-256 of an array's dtype, shape and values, as 64 lowercase hexadecimal digits.

    Two arrays get the same digest exactly when they hold the same values of
    the same dtype (byte order included) in the same shape, whatever their
    memory layout.

    Parameters
    ----------
    array : ndarray

    Returns
    -------
    str
    """
    digest = hashlib.sha256(f"{array.dtype.str} {array.shape}\n".encode())
    digest.update(memoryview(np.ascontiguousarray(array)).cast("B"))
    return digest.hexdigest()


def utc_now():
    """The time now in UTC, to the second, as ISO 8601: ``2026-01-31T12:00:00Z``."""
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def morvekin_version():
    """The installed morvekin's version, or "unknown" when running from a source tree."""
    try:
        return importlib.metadata.version("morvekin")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def custody(**parameters):
    """The fields every record starts with: when it was made, by which morvekin, with what parameters.

    Parameters
    ----------
    **parameters
        JSON-serialisable values, e.g. ``sigma=3.0``.

    Returns
    -------
    dict
        ``{"created": utc_now(), "morvekin": morvekin_version(), "parameters": parameters}``
    """
    return {"created": utc_now(), "morvekin": morvekin_version(), "parameters": parameters}


def file_entry(path, sha256, camera=None):
    """What a record says of one input file: its path, its SHA-256 and, for a photograph, its camera.

    Parameters
    ----------
    path : str or os.PathLike
    sha256 : str
        Of the bytes that were read (see :func:`file_sha256`).
    camera : dict, optional
        Make, model and serial number from the file's EXIF, as
        :func:`morvekin_prnu.read_image` gives them; None for what is no photograph.

    Returns
    -------
    dict
    """
    return {"file": os.fspath(path), "sha256": sha256, **(camera or {})}


def _kind(mode):
    for test, name in ((stat.S_ISFIFO, "a FIFO (named pipe)"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return name
    return "a special file"
