"""Fingerprint files: what is saved reads back exactly; crafted files are refused unread."""

import io
import json
import os
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest

import morvekin_prnu
from cameras import assert_same_bits
from morvekin_prnu.storage import atomic_write

METADATA = {"sigma": 2.5, "images": 2, "files": ["a.jpg", "ünïcode.jpg"]}


@pytest.fixture
def estimate(rng):
    return rng.normal(0.0, 0.01, (48, 64)).astype(np.float32)


def test_a_saved_fingerprint_reads_back_exactly(tmp_path, estimate):
    path = tmp_path / "camera.npz"
    morvekin_prnu.save_fingerprint(path, estimate, METADATA)
    first = path.read_bytes()
    morvekin_prnu.save_fingerprint(path, estimate, METADATA)
    assert path.read_bytes() == first  # fixed time stamps: the same content is the same bytes
    loaded, metadata = morvekin_prnu.load_fingerprint(path)
    assert_same_bits(loaded, estimate)
    assert metadata == {"format": "morvekin fingerprint", "version": 1, "shape": [48, 64], **METADATA}
    with np.load(path) as plain:  # an ordinary .npz too
        assert_same_bits(plain["fingerprint"], estimate)
    assert os.listdir(tmp_path) == ["camera.npz"]
    if sys.platform != "win32":
        umask = os.umask(0o022)
        os.umask(umask)
        assert path.stat().st_mode & 0o777 == 0o666 & ~umask


def test_a_failed_write_leaves_the_old_file_and_no_temporary(tmp_path):
    path = tmp_path / "camera.npz"
    path.write_bytes(b"old")
    with pytest.raises(KeyboardInterrupt):
        with atomic_write(path) as file:
            file.write(b"half of the new")
            raise KeyboardInterrupt
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["camera.npz"]


# An estimate any camera could give: varied, small values.
PLAUSIBLE = (np.arange(32 * 32, dtype=np.float32).reshape(32, 32) % 7 - 3) / 300


@pytest.mark.parametrize(
    "fingerprint, metadata, error, message",
    [(PLAUSIBLE.astype(np.float64), METADATA, TypeError, "2-D float32 array, not a 2-D float64"),
     (np.where(PLAUSIBLE > 0, np.float32(np.nan), PLAUSIBLE), METADATA, ValueError, "NaN"),
     (PLAUSIBLE, {"images": 2}, ValueError, "sigma"),
     (PLAUSIBLE, {"sigma": 1e308}, ValueError, "sigma must be a positive number of at most"),
     (PLAUSIBLE, {"sigma": 3.0, "files": {"a.jpg"}}, TypeError, "JSON")],
)
def test_bad_fingerprints_and_metadata_are_not_saved(tmp_path, fingerprint, metadata, error, message):
    with pytest.raises(error, match=message):
        morvekin_prnu.save_fingerprint(tmp_path / "camera.npz", fingerprint, metadata)
    assert os.listdir(tmp_path) == []


class Trap:
    """Unpickling one creates its marker file: proof that a loader ran code from the file."""

    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return Path.touch, (self.marker,)


def record(**changes):
    return {"format": "morvekin fingerprint", "version": 1, "shape": [48, 64], "sigma": 3.0, **changes}


def encoded(value):
    return np.frombuffer(json.dumps(value).encode(), np.uint8)


def short_data(shape):
    header = io.BytesIO()
    np.lib.format.write_array_header_1_0(header, {"descr": "<f4", "fortran_order": False, "shape": shape})
    return header.getvalue() + bytes(64)


# What each crafted file holds instead of a good one's members, and what the refusal says.
CRAFTED = {
    "pickled object array": ({"fingerprint.npy": lambda k, trap: np.array([trap, k], dtype=object)},
                             "fingerprint is a 1-D array of object"),
    "pickled metadata": ({"metadata.npy": lambda k, trap: np.array(trap, dtype=object)},
                         "metadata is a 0-D array of object"),
    "another member": ({"code.npy": lambda k, trap: np.array([trap], dtype=object)}, "not exactly"),
    "float64": ({"fingerprint.npy": lambda k, trap: k.astype(np.float64)}, "2-D array of float64"),
    "3-D": ({"fingerprint.npy": lambda k, trap: k[..., None]}, "3-D array of float32"),
    "short data": ({"fingerprint.npy": lambda k, trap: short_data((4000, 4000))}, "bytes of data, not the"),
    "huge shape": ({"fingerprint.npy": lambda k, trap: short_data((10**6, 10**6))}, "more than the limit"),
    "NaN": ({"fingerprint.npy": lambda k, trap: np.where(k > 0, np.float32(np.nan), k)}, "NaN"),
    "metadata not UTF-8": ({"metadata.npy": lambda k, trap: np.frombuffer(b"\xff{}", np.uint8)}, "utf-8"),
    "metadata not an object": ({"metadata.npy": lambda k, trap: encoded([1, 2])}, "JSON list"),
    "other format": ({"metadata.npy": lambda k, trap: encoded(record(format="other"))}, "format 'other'"),
    "newer version": ({"metadata.npy": lambda k, trap: encoded(record(version=2))}, "format version 2"),
    "shape disagrees": ({"metadata.npy": lambda k, trap: encoded(record(shape=[64, 48]))}, r"shape \[64, 48\]"),
    "no sigma": ({"metadata.npy": lambda k, trap: encoded(record(sigma=None))}, "sigma"),
}


@pytest.mark.parametrize("members, message", CRAFTED.values(), ids=CRAFTED.keys())
def test_crafted_files_are_refused_naming_them_without_running_code(tmp_path, estimate, members, message):
    marker = tmp_path / "code ran"
    contents = {"fingerprint.npy": estimate, "metadata.npy": encoded(record())}
    contents.update((name, make(estimate, Trap(marker))) for name, make in members.items())
    path = tmp_path / "crafted.npz"
    with zipfile.ZipFile(path, "w") as archive:
        for name, content in contents.items():
            if isinstance(content, np.ndarray):
                buffer = io.BytesIO()
                np.lib.format.write_array(buffer, content, allow_pickle=True)
                content = buffer.getvalue()
            archive.writestr(name, content)
    with pytest.raises(ValueError, match=f"crafted.npz: not a morvekin fingerprint file: .*{message}"):
        morvekin_prnu.load_fingerprint(path)
    assert not marker.exists()


def test_files_that_are_no_archive_are_refused(tmp_path, estimate):
    morvekin_prnu.save_fingerprint(tmp_path / "whole.npz", estimate, METADATA)
    whole = (tmp_path / "whole.npz").read_bytes()
    for name, content in [("text.npz", b"not a zip"), ("empty.npz", b""), ("cut.npz", whole[:len(whole) // 2]),
                          ("bad crc.npz", whole.replace(estimate.tobytes()[:64], bytes(64)))]:
        (tmp_path / name).write_bytes(content)
        with pytest.raises(ValueError, match=f"{name}: not a morvekin fingerprint file"):
            morvekin_prnu.load_fingerprint(tmp_path / name)
    with pytest.raises(FileNotFoundError, match="missing.npz"):
        morvekin_prnu.load_fingerprint(tmp_path / "missing.npz")
