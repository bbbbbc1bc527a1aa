"""Fingerprint files: the estimate and its metadata, written atomically, read without unpickling.

A fingerprint file is a NumPy ``.npz`` archive (a zip file) of exactly two
arrays, so ``numpy.load(path)`` reads it too:

- ``fingerprint``: the estimate, float32, shape (H, W);
- ``metadata``: a JSON object in UTF-8, as a 1-D uint8 array. It holds
  ``format`` ("morvekin fingerprint"), ``version`` (1), ``shape`` ([H, W]) and
  ``sigma`` (the denoiser's, which matching should use), and whatever else
  the writer recorded; the ``morvekin`` command adds the image count, the
  wavelet and levels, the files used, the files skipped with the reason, and
  morvekin's version.

Fingerprints are exchanged between laboratories, so a file is checked before
anything in it is used: its arrays' headers are read first (dtype, shape, and
a size that agrees with them), no array of Python objects is ever loaded, and
so nothing in the file is unpickled. Files are written with fixed time stamps,
so the same fingerprint and metadata give the same bytes.
"""

import contextlib
import json
import math
import os
import secrets
import zipfile

import numpy as np
from PIL import Image

from ._checks import checked_sigma

FORMAT = "morvekin fingerprint"
VERSION = 1
_EPOCH = (1980, 1, 1, 0, 0, 0)  # the earliest time a zip file can record
_METADATA_LIMIT = 1 << 26  # bytes of JSON; the list of a run's files stays far below
# What reading a damaged or foreign zip file can raise besides the checks' own ValueError.
_ARCHIVE_ERRORS = (zipfile.BadZipFile, zipfile.LargeZipFile, EOFError, NotImplementedError, RuntimeError,
                   UnicodeDecodeError, RecursionError)


def save_fingerprint(path, fingerprint, metadata):
    """Write a fingerprint and its metadata to a file, atomically.

    Parameters
    ----------
    path : str or os.PathLike
        The file to write, conventionally ``*.npz``; an existing file is
        replaced only once the new one is complete (see :func:`atomic_write`).
    fingerprint : ndarray, shape (H, W), float32
        A finite estimate, as :func:`morvekin_prnu.fingerprint` returns.
    metadata : dict
        JSON-serialisable values under string keys; must hold ``sigma``, the
        positive noise standard deviation the fingerprint was made with.
        ``format``, ``version`` and ``shape`` are set here.

    Raises
    ------
    ValueError, TypeError
        A fingerprint that is not a finite 2-D float32 array, metadata that
        is not a dict with a valid ``sigma`` or cannot be written as JSON.
        Nothing is written then.
    OSError
        The file cannot be written; the file at ``path`` is left as it was.
    """
    _checked_fingerprint(fingerprint, "fingerprint")
    if not isinstance(metadata, dict):
        raise TypeError(f"metadata must be a dict, not {type(metadata).__name__}")
    record = {"format": FORMAT, "version": VERSION, "shape": list(fingerprint.shape), **metadata}
    record.update(format=FORMAT, version=VERSION, shape=list(fingerprint.shape))
    checked_sigma(record.get("sigma"), "the metadata's sigma")
    try:
        text = json.dumps(record, ensure_ascii=False, allow_nan=False, indent=1)
    except (TypeError, ValueError) as error:
        raise TypeError(f"metadata cannot be written as JSON: {error}") from None
    arrays = {"fingerprint.npy": fingerprint, "metadata.npy": np.frombuffer(text.encode(), np.uint8)}
    with atomic_write(path) as file, zipfile.ZipFile(file, "w") as archive:
        for name, array in arrays.items():
            with archive.open(zipfile.ZipInfo(name, date_time=_EPOCH), "w", force_zip64=True) as member:
                np.lib.format.write_array(member, array, allow_pickle=False)


def load_fingerprint(path):
    """Read a fingerprint file written by :func:`save_fingerprint`, checking it first.

    Parameters
    ----------
    path : str or os.PathLike

    Returns
    -------
    fingerprint : ndarray, shape (H, W), float32
    metadata : dict
        The JSON object stored with it.

    Raises
    ------
    ValueError
        The file is not a fingerprint file: not a zip archive, other arrays
        than ``fingerprint`` and ``metadata``, an array of another dtype or
        number of dimensions (arrays of objects included: they are refused
        from their header, never unpickled), a size that disagrees with the
        header, more pixels than ``PIL.Image.MAX_IMAGE_PIXELS``, NaN or
        infinity, metadata that is not a JSON object of this format and
        version whose shape and sigma agree with the array. The message names
        the file.
    OSError
        The file cannot be opened (missing, a folder, not readable).
    """
    path = os.fspath(path)
    try:
        with zipfile.ZipFile(path) as archive:
            names = sorted(archive.namelist())
            if names != ["fingerprint.npy", "metadata.npy"]:
                raise ValueError(f"it holds {names}, not exactly fingerprint.npy and metadata.npy")
            fingerprint = _member(archive, "fingerprint", "f", 4, 2, Image.MAX_IMAGE_PIXELS)
            encoded = _member(archive, "metadata", "u", 1, 1, _METADATA_LIMIT)
        fingerprint = fingerprint.astype(np.float32, copy=False)  # native byte order
        _checked_fingerprint(fingerprint, "the fingerprint")
        metadata = json.loads(encoded.tobytes().decode("utf-8"))
        _check_metadata(metadata, fingerprint.shape)
    except (ValueError, TypeError, *_ARCHIVE_ERRORS) as error:
        raise ValueError(f"{path}: not a morvekin fingerprint file: {error}") from None
    return fingerprint, metadata


@contextlib.contextmanager
def atomic_write(path):
    """Write a file all at once or not at all.

    Yields a binary file open on a new temporary file beside ``path`` (same
    folder, so the rename below stays on one file system; named
    ``.NAME.<random>.tmp``). When the block ends normally the data is flushed
    to disk and the temporary file renamed to ``path``, replacing any file
    there in one step. When it raises (KeyboardInterrupt too), the temporary
    file is removed and ``path`` is untouched. The file gets the usual
    permissions (0666 less the umask).

    Parameters
    ----------
    path : str or os.PathLike
    """
    folder, name = os.path.split(os.fspath(path))
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(6)}.tmp")
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
    try:
        with open(descriptor, "wb") as file:
            yield file
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise


def _member(archive, name, kind, itemsize, ndim, limit):
    """One array of the archive, after its header shows the expected kind, dimensions and size."""
    member_name = f"{name}.npy"
    with archive.open(member_name) as member:
        version = np.lib.format.read_magic(member)
        if version not in ((1, 0), (2, 0)):
            raise ValueError(f"{name} is stored in .npy format version {version}, not 1.0 or 2.0")
        read_header = np.lib.format.read_array_header_1_0 if version == (1, 0) else \
            np.lib.format.read_array_header_2_0
        shape, _, dtype = read_header(member)
        header_size = member.tell()
    if dtype.kind != kind or dtype.itemsize != itemsize or len(shape) != ndim:
        expected = {"f": "float32", "u": "uint8"}[kind]
        raise ValueError(f"{name} is a {len(shape)}-D array of {dtype}, not a {ndim}-D array of {expected}")
    count = math.prod(shape)
    if count == 0:
        raise ValueError(f"{name} is empty, shape {shape}")
    if limit is not None and count > limit:
        raise ValueError(f"{name} has {count} elements, more than the limit of {limit}")
    if archive.getinfo(member_name).file_size != header_size + count * itemsize:
        raise ValueError(f"{name} has {archive.getinfo(member_name).file_size - header_size} bytes of data, "
                         f"not the {count * itemsize} its shape {shape} needs")
    with archive.open(member_name) as member:
        return np.lib.format.read_array(member, allow_pickle=False)


def _check_metadata(metadata, shape):
    if not isinstance(metadata, dict):
        raise ValueError(f"its metadata is a JSON {type(metadata).__name__}, not an object")
    if metadata.get("format") != FORMAT:
        raise ValueError(f"its metadata says format {metadata.get('format')!r}, not {FORMAT!r}")
    if metadata.get("version") != VERSION:
        raise ValueError(f"it is of format version {metadata.get('version')!r}; this morvekin reads {VERSION}")
    if metadata.get("shape") != list(shape):
        raise ValueError(f"its metadata gives shape {metadata.get('shape')!r}, the fingerprint is {list(shape)}")
    checked_sigma(metadata.get("sigma"), "its metadata's sigma")


def _checked_fingerprint(fingerprint, name):
    if not isinstance(fingerprint, np.ndarray) or fingerprint.dtype != np.float32 or fingerprint.ndim != 2:
        described = f"{fingerprint.ndim}-D {fingerprint.dtype} array" if isinstance(fingerprint, np.ndarray) \
            else type(fingerprint).__name__
        raise TypeError(f"{name} must be a 2-D float32 array, not a {described}")
    if fingerprint.size == 0 or not np.isfinite(fingerprint).all():
        raise ValueError(f"{name} is empty or holds NaN or infinite values")

