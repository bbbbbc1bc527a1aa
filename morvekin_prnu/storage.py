"""Fingerprint files: the estimate and its metadata, written atomically, read without unpickling.

A fingerprint file is a NumPy ``.npz`` archive (a zip file) of exactly two
arrays, so ``numpy.load(path)`` reads it too:

- ``fingerprint``: the estimate, shape (H, W), as 16-bit integers: each value
  is the integer times ``step``, a power of two (:func:`compact`), so the
  file takes half the bytes of the float32 estimate;
- ``metadata``: a JSON object in UTF-8, as a 1-D uint8 array. It holds
  ``format`` ("morvekin fingerprint"), ``version`` (2), ``shape`` ([H, W]),
  ``step`` and ``sigma`` (the denoiser's, which matching should use), and whatever else
  the writer recorded; for a fingerprint made from photographs,
  :func:`fingerprint_metadata` gives the image count, the wavelet and levels,
  the files used, the files skipped with the reason, morvekin's version and
  its chain-of-custody record: ``created`` (UTC) and ``inputs`` (per file
  used, its SHA-256 and the camera's make, model and serial number from its
  EXIF); the ``morvekin`` command adds ``warnings`` on the estimate's quality.

Fingerprints are exchanged between laboratories, so a file is checked before
anything in it is used: only a regular file is read, at most as many bytes as
the largest fingerprint takes; its arrays' headers are read first (dtype,
shape, a size that agrees with them, and no more than :data:`MAX_EXPANSION`
times the bytes they are stored in, so a small file cannot unpack into a
huge one); no array of Python objects is ever loaded, and so nothing in the
file is unpickled; and the estimate must be one a camera can give
(:func:`checked_estimate`). Files are written with fixed time stamps, so the
same fingerprint and metadata give the same bytes.

Files of version 1, which held the estimate as float32 (and no ``step``), are
read as they are.
"""

import contextlib
import io
import json
import math
import os
import secrets
import zipfile
from typing import NamedTuple

import numpy as np
from PIL import Image

from ._checks import checked_sigma
from .provenance import bytes_sha256, morvekin_version, open_regular, utc_now
from .residual import LEVELS, WAVELET

FORMAT = "morvekin fingerprint"
VERSION = 2
# The integers of a stored estimate are at most 2**STORED_BITS in magnitude: the step is the power of two
# above the largest magnitude divided by 2**STORED_BITS, so each value is kept to half a step, at most
# 2**-14 of the largest. That changes a match's PCE by about 1e-5 of itself (bench/bench_library.py measures
# it); 8-bit integers changed it by up to 0.4 %, more near the decision threshold.
STORED_BITS = 14
_EPOCH = (1980, 1, 1, 0, 0, 0)  # the earliest time a zip file can record
_METADATA_LIMIT = 1 << 26  # bytes of JSON; the list of a run's files stays far below
# A stored array may unpack to at most this many times its stored bytes (and a header's worth more):
# an estimate is noise, which no compression shrinks much, and this writer stores it plainly.
MAX_EXPANSION = 4
# Each side of an estimate has at least this many pixels: the PCE test leaves out an 11x11
# square around the peak and needs a background around it.
MIN_SIDE = 16
# No estimate from photographs reaches this magnitude: it is a relative change of the sensor's gain,
# of the order of 0.01, and a ratio of pixel values even in the darkest pixels stays far below it.
MAX_VALUE = 1e6
# The arrays a fingerprint file may store its estimate as, and which of them each version uses.
_ESTIMATES = {"f4": "float32", "i2": "int16"}
_VERSION_KINDS = {1: "f4", 2: "i2"}
_SMALLEST_STEP = math.ldexp(1.0, -149)  # float32's smallest subnormal: every multiple of it is exact
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
        A finite estimate, as :func:`morvekin_prnu.fingerprint` returns. It is
        stored to within half a step (:func:`compact`): reading the file gives
        :func:`as_stored` of it.
    metadata : dict
        JSON-serialisable values under string keys; must hold ``sigma``, the
        positive noise standard deviation the fingerprint was made with.
        ``format``, ``version``, ``shape`` and ``step`` are set here.

    Raises
    ------
    ValueError, TypeError
        A fingerprint that is not a 2-D float32 array a camera can give (see
        :func:`checked_estimate`), metadata that is not a dict with a valid
        ``sigma`` or cannot be written as JSON. Nothing is written then.
    OSError
        The file cannot be written; the file at ``path`` is left as it was.
    """
    data = fingerprint_bytes(fingerprint, metadata)
    with atomic_write(path) as file:
        file.write(data)


def fingerprint_bytes(fingerprint, metadata):
    """The bytes of the fingerprint file :func:`save_fingerprint` writes: the same for the same arguments.

    Parameters
    ----------
    fingerprint, metadata
        As for :func:`save_fingerprint`, and refused as it refuses them.

    Returns
    -------
    bytes
    """
    checked_estimate(fingerprint, "fingerprint")
    if not isinstance(metadata, dict):
        raise TypeError(f"metadata must be a dict, not {type(metadata).__name__}")
    values, step = compact(fingerprint)
    record = {"format": FORMAT, "version": VERSION, "shape": list(fingerprint.shape), "step": step, **metadata}
    record.update(format=FORMAT, version=VERSION, shape=list(fingerprint.shape), step=step)
    checked_sigma(record.get("sigma"), "the metadata's sigma")
    try:
        # ASCII: a file name that is not valid Unicode (a lone surrogate) is kept as an escape.
        text = json.dumps(record, ensure_ascii=True, allow_nan=False, indent=1)
    except (TypeError, ValueError) as error:
        raise TypeError(f"metadata cannot be written as JSON: {error}") from None
    arrays = {"fingerprint.npy": values, "metadata.npy": np.frombuffer(text.encode(), np.uint8)}
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, array in arrays.items():
            with archive.open(zipfile.ZipInfo(name, date_time=_EPOCH), "w", force_zip64=True) as member:
                np.lib.format.write_array(member, array, allow_pickle=False)
    return buffer.getvalue()


def compact(fingerprint):
    """An estimate as its file stores it: 16-bit integers and the power of two they count.

    Parameters
    ----------
    fingerprint : ndarray, shape (H, W), float32
        Finite, not all zero.

    Returns
    -------
    values : ndarray, shape (H, W), int16
        ``fingerprint / step`` rounded to the nearest integer (halves to
        even), at most ``2**STORED_BITS`` in magnitude.
    step : float
        The power of two that is ``2**-STORED_BITS`` of the power of two
        above the largest magnitude.
    """
    exponent = math.frexp(float(np.max(np.abs(fingerprint))))[1] - STORED_BITS
    values = np.rint(np.ldexp(fingerprint.astype(np.float64), -exponent)).astype(np.int16)
    return values, math.ldexp(1.0, exponent)


def as_stored(fingerprint):
    """The estimate that reading the file of ``fingerprint`` gives: :func:`compact`, decoded.

    Parameters
    ----------
    fingerprint : ndarray, shape (H, W), float32

    Returns
    -------
    ndarray, shape (H, W), float32
    """
    return _decoded(*compact(fingerprint))


def fingerprint_metadata(sigma, inputs, skipped):
    """What a fingerprint file records of the photographs it was made from, and how.

    Parameters
    ----------
    sigma : float
        The denoiser's noise standard deviation.
    inputs : list of dict
        Per image used, in order, its :func:`morvekin_prnu.provenance.file_entry`.
    skipped : dict
        The label of each image left out -> the reason.

    Returns
    -------
    dict
        ``images`` (the count), ``sigma``, ``wavelet``, ``levels``, ``files``
        (each input's), ``skipped`` (a ``file`` and ``reason`` each),
        ``morvekin`` (:func:`morvekin_prnu.provenance.morvekin_version`),
        ``created`` (:func:`morvekin_prnu.provenance.utc_now`) and ``inputs``.
    """
    return {"images": len(inputs), "sigma": sigma, "wavelet": WAVELET, "levels": LEVELS,
            "files": [entry["file"] for entry in inputs],
            "skipped": [{"file": label, "reason": reason} for label, reason in skipped.items()],
            "morvekin": morvekin_version(), "created": utc_now(), "inputs": inputs}


class Source(NamedTuple):
    """One photograph a fingerprint was made from, as its file records it.

    ``file`` is the path as given, or ``images[i]`` for an array; ``sha256``
    that of the bytes decoded, or of an array's values; ``make``, ``model``
    and ``serial`` are the camera's from the file's EXIF. Each is None where
    the record does not give it as text.
    """

    file: str
    sha256: str | None
    make: str | None
    model: str | None
    serial: str | None


def recorded_sources(metadata):
    """The photographs a fingerprint file's metadata records, as :class:`Source` records.

    Its ``inputs`` (as :func:`fingerprint_metadata` writes them) or, in a
    file without them, its ``files``; a field that is not text is taken as
    absent, and an entry without a file name is left out: the metadata is
    the file's word, and may come from anyone.

    Parameters
    ----------
    metadata : dict

    Returns
    -------
    list of Source
    """
    entries = metadata.get("inputs")
    if not isinstance(entries, list):
        files = metadata.get("files")
        entries = [{"file": file} for file in files] if isinstance(files, list) else []
    return [Source(*(_text(entry.get(field)) for field in Source._fields))
            for entry in entries if isinstance(entry, dict) and isinstance(entry.get("file"), str)]


class StoredFingerprint(NamedTuple):
    """A fingerprint file as read: the estimate, its metadata, and the SHA-256 of the file's bytes."""

    fingerprint: np.ndarray
    metadata: dict
    sha256: str


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
        The file is not a fingerprint file: not a regular file, larger than
        the largest fingerprint file, not a zip archive, other arrays than
        ``fingerprint`` and ``metadata``, an array of another dtype or number
        of dimensions (arrays of objects included: they are refused from
        their header, never unpickled), a size that disagrees with the
        header or unpacks to more than :data:`MAX_EXPANSION` times its stored
        bytes, more pixels than ``PIL.Image.MAX_IMAGE_PIXELS``, an estimate
        no camera gives (:func:`checked_estimate`), metadata that is not a
        JSON object of this format and version whose shape and sigma agree
        with the array. The message names the file.
    OSError
        The file cannot be opened (missing, a folder, not readable).
    """
    return read_fingerprint(path)[:2]


def read_fingerprint(path):
    """:func:`load_fingerprint`, with the SHA-256 of the very bytes read, for the record.

    Parameters
    ----------
    path : str or os.PathLike

    Returns
    -------
    StoredFingerprint
        ``(fingerprint, metadata, sha256)``.
    """
    path = os.fspath(path)
    return parsed_fingerprint(read_bytes(path), path)


def parsed_fingerprint(data, name):
    """:func:`read_fingerprint` of a fingerprint file's bytes, already read; ``name`` is what messages call them.

    Parameters
    ----------
    data : bytes
    name : str

    Returns
    -------
    StoredFingerprint
        Its ``sha256`` is that of ``data``.

    Raises
    ------
    ValueError
        As for :func:`load_fingerprint`.
    """
    try:
        if len(data) > _largest_file():
            raise ValueError(f"it is larger than {_largest_file()} bytes, more than any fingerprint file takes")
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            names = sorted(archive.namelist())
            if names != ["fingerprint.npy", "metadata.npy"]:
                raise ValueError(f"it holds {names}, not exactly fingerprint.npy and metadata.npy")
            stored = _member(archive, "fingerprint", _ESTIMATES, 2, Image.MAX_IMAGE_PIXELS)
            encoded = _member(archive, "metadata", {"u1": "uint8"}, 1, _METADATA_LIMIT)
        metadata = json.loads(encoded.tobytes().decode("utf-8"))
        _check_metadata(metadata, stored)
        fingerprint = stored.astype(np.float32) if metadata["version"] == 1 else _decoded(stored, metadata["step"])
        checked_estimate(fingerprint, "the fingerprint")
    except (ValueError, TypeError, *_ARCHIVE_ERRORS) as error:
        raise ValueError(f"{name}: not a morvekin fingerprint file: {error}") from None
    return StoredFingerprint(fingerprint, metadata, bytes_sha256(data))


def read_bytes(path):
    """The bytes of a file that may be a fingerprint file: a regular file, read at most as far as the largest one.

    Parameters
    ----------
    path : str or os.PathLike

    Returns
    -------
    bytes
        Longer than any fingerprint file when the file is (:func:`parsed_fingerprint` refuses them).
    """
    with open_regular(path) as file:
        return file.read(_largest_file() + 1)


def checked_estimate(fingerprint, name="fingerprint"):
    """Refuse an array that no camera's fingerprint estimate can be.

    An estimate from photographs is a finite float32 plane of at least
    :data:`MIN_SIDE` pixels a side, not constant (all zeros included: images
    that carry no pattern, black or saturated, give that), with values of
    ordinary magnitude: some above float32's smallest normal number (an
    estimate of subnormal values only would lose its precision and its
    squares would vanish) and none of :data:`MAX_VALUE` or more.

    Parameters
    ----------
    fingerprint : ndarray, shape (H, W), float32
    name : str, optional
        What messages call it.

    Returns
    -------
    ndarray
        ``fingerprint`` itself.

    Raises
    ------
    TypeError
        Not a 2-D float32 array.
    ValueError
        Anything else above; the message names ``name`` and what is wrong.
    """
    if not isinstance(fingerprint, np.ndarray) or fingerprint.dtype != np.float32 or fingerprint.ndim != 2:
        described = f"{fingerprint.ndim}-D {fingerprint.dtype} array" if isinstance(fingerprint, np.ndarray) \
            else type(fingerprint).__name__
        raise TypeError(f"{name} must be a 2-D float32 array, not a {described}")
    if min(fingerprint.shape) < MIN_SIDE:
        raise ValueError(f"{name} of shape {fingerprint.shape} is too small: each side needs {MIN_SIDE} pixels")
    if not np.isfinite(fingerprint).all():
        raise ValueError(f"{name} holds NaN or infinite values")
    largest = float(np.abs(fingerprint).max())
    if fingerprint.min() == fingerprint.max():
        raise ValueError(f"{name} is constant ({float(fingerprint.flat[0])!r} everywhere): it carries no pattern")
    if largest < np.finfo(np.float32).tiny:
        raise ValueError(f"{name} holds subnormal values only (at most {largest!r}): no estimate is that faint")
    if largest >= MAX_VALUE:
        raise ValueError(f"{name} holds a value of magnitude {largest:g}, at least {MAX_VALUE:g}: "
                         "no estimate from photographs reaches that")
    return fingerprint


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
    try:
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
    except OSError as error:  # named after the target: the temporary file is no name the user knows
        raise type(error)(error.errno, f"cannot write {os.fspath(path)}: {error.strerror}") from None
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


def _decoded(values, step):
    """float32 values of stored integers times a power of two: exact, as a float32 holds 16 bits and more."""
    return np.ldexp(values.astype(np.float32), math.frexp(step)[1] - 1)


def _member(archive, name, kinds, ndim, limit):
    """One array of the archive, after its header shows one of the ``kinds`` (dtype code -> name),
    the dimensions and the size."""
    member_name = f"{name}.npy"
    with archive.open(member_name) as member:
        version = np.lib.format.read_magic(member)
        if version not in ((1, 0), (2, 0)):
            raise ValueError(f"{name} is stored in .npy format version {version}, not 1.0 or 2.0")
        read_header = np.lib.format.read_array_header_1_0 if version == (1, 0) else \
            np.lib.format.read_array_header_2_0
        shape, _, dtype = read_header(member)
        header_size = member.tell()
    if f"{dtype.kind}{dtype.itemsize}" not in kinds or len(shape) != ndim:
        expected = " or ".join(kinds.values())
        raise ValueError(f"{name} is a {len(shape)}-D array of {dtype}, not a {ndim}-D array of {expected}")
    count = math.prod(shape)
    itemsize = dtype.itemsize
    if count == 0:
        raise ValueError(f"{name} is empty, shape {shape}")
    if limit is not None and count > limit:
        raise ValueError(f"{name} has {count} elements, more than the limit of {limit}")
    info = archive.getinfo(member_name)
    if info.file_size != header_size + count * itemsize:
        raise ValueError(f"{name} has {info.file_size - header_size} bytes of data, "
                         f"not the {count * itemsize} its shape {shape} needs")
    if info.file_size > MAX_EXPANSION * info.compress_size + header_size:
        raise ValueError(f"{name} unpacks {info.compress_size} stored bytes into {info.file_size}, more than "
                         f"{MAX_EXPANSION} times as many: no estimate compresses so well")
    with archive.open(member_name) as member:
        return np.lib.format.read_array(member, allow_pickle=False)


def _check_metadata(metadata, stored):
    """Refuse metadata that is not of this format, or disagrees with the stored array."""
    if not isinstance(metadata, dict):
        raise ValueError(f"its metadata is a JSON {type(metadata).__name__}, not an object")
    if metadata.get("format") != FORMAT:
        raise ValueError(f"its metadata says format {metadata.get('format')!r}, not {FORMAT!r}")
    version = metadata.get("version")
    if not isinstance(version, int) or isinstance(version, bool) or version not in (1, VERSION):
        raise ValueError(f"it is of format version {version!r}; this morvekin reads versions 1 to {VERSION}")
    if metadata.get("shape") != list(stored.shape):
        raise ValueError(f"its metadata gives shape {metadata.get('shape')!r}, the fingerprint is "
                         f"{list(stored.shape)}")
    checked_sigma(metadata.get("sigma"), "its metadata's sigma")
    kind = _VERSION_KINDS[version]
    if f"{stored.dtype.kind}{stored.dtype.itemsize}" != kind:
        raise ValueError(f"its fingerprint is stored as {stored.dtype}, which version {version} does not use")
    step = metadata.get("step")
    if version > 1 and not (isinstance(step, float) and _SMALLEST_STEP <= step < MAX_VALUE
                            and math.frexp(step)[0] == 0.5):
        raise ValueError(f"its metadata gives step {step!r}, not a power of two from 2**-149 up")


def _text(value):
    return value if isinstance(value, str) else None


def _largest_file():
    """The most bytes a fingerprint file can take: its largest estimate, stored plainly, and metadata."""
    pixels = Image.MAX_IMAGE_PIXELS or (1 << 31)
    return 4 * pixels + _METADATA_LIMIT + (1 << 16)
