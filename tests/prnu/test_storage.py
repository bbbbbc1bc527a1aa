"""Fingerprint files: what is saved reads back as stored, to a PCE that does not move; older files read;
crafted files are refused unread."""

import hashlib
import io
import json
import os
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest

import morvekin_prnu
from cameras import assert_same_bits, sensor_pattern, shot
from morvekin_prnu.storage import as_stored, atomic_write, compact

METADATA = {"sigma": 2.5, "images": 2, "files": ["a.jpg", "ünïcode.jpg"]}


@pytest.fixture
def estimate(rng):
    return rng.normal(0.0, 0.01, (48, 64)).astype(np.float32)


@pytest.mark.parametrize("scale", [1.0, 2.0 ** -110, 2.0 ** 19])
def test_a_saved_fingerprint_reads_back_as_stored_in_half_the_bytes(tmp_path, estimate, scale):
    estimate = estimate * np.float32(scale)
    path = tmp_path / "camera.npz"
    morvekin_prnu.save_fingerprint(path, estimate, METADATA)
    first = path.read_bytes()
    morvekin_prnu.save_fingerprint(path, estimate, METADATA)
    assert path.read_bytes() == first  # fixed time stamps: the same content is the same bytes
    loaded, metadata = morvekin_prnu.load_fingerprint(path)
    assert_same_bits(loaded, as_stored(estimate))
    step = metadata["step"]
    assert metadata == {"format": "morvekin fingerprint", "version": 2, "shape": [48, 64], "step": step, **METADATA}
    # Every value to half a step, at most 2**-14 of the largest magnitude; the step a power of two.
    largest = float(np.abs(estimate).max())
    assert np.frexp(step)[0] == 0.5 and 2.0 ** -14 * largest < step <= 2.0 ** -13 * largest
    assert np.abs(loaded.astype(np.float64) - estimate).max() <= step / 2
    with np.load(path) as plain:  # an ordinary .npz too: integers, times the step
        assert plain["fingerprint"].dtype == np.int16
        assert_same_bits(plain["fingerprint"] * np.float32(step), loaded)
    assert len(first) < estimate.nbytes / 2 + 2048  # half of float32, and the metadata
    assert os.listdir(tmp_path) == ["camera.npz"]
    if sys.platform != "win32":
        umask = os.umask(0o022)
        os.umask(umask)
        assert path.stat().st_mode & 0o777 == 0o666 & ~umask


def test_a_fingerprint_file_of_the_first_version_reads_as_it_was_written(tmp_path, estimate):
    write_archive(tmp_path / "first.npz", {"fingerprint.npy": estimate, "metadata.npy": encoded(record())})
    loaded, metadata = morvekin_prnu.load_fingerprint(tmp_path / "first.npz")
    assert_same_bits(loaded, estimate)
    assert metadata == record()


@pytest.mark.filterwarnings(r"ignore:only \d+ images? used:UserWarning")
def test_a_stored_fingerprint_matches_as_its_float32_estimate_does(rng):
    pattern = sensor_pattern(rng, (128, 128), strength=0.005)
    estimate = morvekin_prnu.fingerprint([shot(rng, pattern) for _ in range(6)])
    for _ in range(4):
        weighted = morvekin_prnu.weighted_residual(shot(rng, pattern))
        exact, stored = (morvekin_prnu.match_residual(k, weighted) for k in (estimate, as_stored(estimate)))
        # 8-bit integers moved PCE by 4e-3 of itself; 16-bit ones by about 1e-5.
        assert exact.same_camera and abs(stored.pce / exact.pce - 1) < 1e-3


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
    "float64": ({"fingerprint.npy": lambda k, trap: k.astype(np.float64)}, "2-D array of float64, not a 2-D array of "
                                                                           "float32 or int16"),
    "3-D": ({"fingerprint.npy": lambda k, trap: k[..., None]}, "3-D array of float32"),
    "short data": ({"fingerprint.npy": lambda k, trap: short_data((4000, 4000))}, "bytes of data, not the"),
    "huge shape": ({"fingerprint.npy": lambda k, trap: short_data((10**6, 10**6))}, "more than the limit"),
    "NaN": ({"fingerprint.npy": lambda k, trap: np.where(k > 0, np.float32(np.nan), k)}, "NaN"),
    "metadata not UTF-8": ({"metadata.npy": lambda k, trap: np.frombuffer(b"\xff{}", np.uint8)}, "utf-8"),
    "metadata not an object": ({"metadata.npy": lambda k, trap: encoded([1, 2])}, "JSON list"),
    "other format": ({"metadata.npy": lambda k, trap: encoded(record(format="other"))}, "format 'other'"),
    "newer version": ({"metadata.npy": lambda k, trap: encoded(record(version=3))}, "format version 3"),
    "version true": ({"metadata.npy": lambda k, trap: encoded(record(version=True))}, "format version True"),
    "integers as version 1": ({"fingerprint.npy": lambda k, trap: compact(k)[0]}, "int16, which version 1"),
    "float32 as version 2": ({"metadata.npy": lambda k, trap: encoded(record(version=2, step=2.0 ** -20))},
                             "float32, which version 2"),
    "no step": ({"fingerprint.npy": lambda k, trap: compact(k)[0],
                 "metadata.npy": lambda k, trap: encoded(record(version=2))}, "step None"),
    "step of no power of two": ({"fingerprint.npy": lambda k, trap: compact(k)[0],
                                 "metadata.npy": lambda k, trap: encoded(record(version=2, step=3e-6))}, "step 3e-06"),
    "step below float32": ({"fingerprint.npy": lambda k, trap: compact(k)[0],
                            "metadata.npy": lambda k, trap: encoded(record(version=2, step=2.0 ** -150))}, "step"),
    "shape disagrees": ({"metadata.npy": lambda k, trap: encoded(record(shape=[64, 48]))}, r"shape \[64, 48\]"),
    "no sigma": ({"metadata.npy": lambda k, trap: encoded(record(sigma=None))}, "sigma"),
    "huge sigma": ({"metadata.npy": lambda k, trap: encoded(record(sigma=1e308))}, "sigma must be .* at most"),
}
# Estimates no camera gives, each with what the refusal says: written by hand, or refused by save_fingerprint.
DEGENERATE = {
    "float32 extremes": (lambda k: np.where(np.arange(k.shape[0])[:, None] % 2, 1, -1) * np.full_like(k, 3.4e38),
                         "magnitude 3.4e"),
    "scaled up": (lambda k: k * np.float32(6e17), "magnitude"),
    "all zeros": (np.zeros_like, "constant"),
    "constant": (lambda k: np.full_like(k, 0.25), "constant"),
    "subnormal": (lambda k: np.sign(k) * np.float32(1e-40), "subnormal values only"),
    "1x1": (lambda k: k[:1, :1], "too small"),
    "a sliver": (lambda k: k[:15], "too small"),
}


def write_archive(path, contents, compression=zipfile.ZIP_STORED):
    """A zip file of these members (arrays written as .npy, bytes as they are), as another writer makes it."""
    with zipfile.ZipFile(path, "w", compression) as archive:
        for name, content in contents.items():
            if isinstance(content, np.ndarray):
                buffer = io.BytesIO()
                np.lib.format.write_array(buffer, content, allow_pickle=True)
                content = buffer.getvalue()
            archive.writestr(name, content)


@pytest.mark.parametrize("members, message", CRAFTED.values(), ids=CRAFTED.keys())
def test_crafted_files_are_refused_naming_them_without_running_code(tmp_path, estimate, members, message):
    marker = tmp_path / "code ran"
    contents = {"fingerprint.npy": estimate, "metadata.npy": encoded(record())}
    contents.update((name, make(estimate, Trap(marker))) for name, make in members.items())
    write_archive(tmp_path / "crafted.npz", contents)
    with pytest.raises(ValueError, match=f"crafted.npz: not a morvekin fingerprint file: .*{message}"):
        morvekin_prnu.load_fingerprint(tmp_path / "crafted.npz")
    assert not marker.exists()


@pytest.mark.parametrize("make, message", DEGENERATE.values(), ids=DEGENERATE.keys())
def test_estimates_no_camera_gives_are_neither_saved_nor_loaded(tmp_path, estimate, make, message):
    crafted = make(estimate).astype(np.float32)
    write_archive(tmp_path / "crafted.npz", {"fingerprint.npy": crafted,
                                             "metadata.npy": encoded(record(shape=list(crafted.shape)))})
    with pytest.raises(ValueError, match=f"crafted.npz: not a morvekin fingerprint file: .*{message}"):
        morvekin_prnu.load_fingerprint(tmp_path / "crafted.npz")
    with pytest.raises(ValueError, match=message):
        morvekin_prnu.save_fingerprint(tmp_path / "saved.npz", crafted, METADATA)
    assert not (tmp_path / "saved.npz").exists()


def test_a_small_file_cannot_unpack_into_a_huge_one(tmp_path, monkeypatch):
    zeros = np.zeros((2000, 2000), np.float32)  # 16 MB that deflate to 16 kB
    write_archive(tmp_path / "deflated.npz",
                  {"fingerprint.npy": zeros, "metadata.npy": encoded(record(shape=[2000, 2000]))}, zipfile.ZIP_DEFLATED)
    read_array = np.lib.format.read_array
    monkeypatch.setattr(np.lib.format, "read_array", lambda *a, **k: pytest.fail("the array was read"))
    with pytest.raises(ValueError, match=r"deflated.npz: .*fingerprint unpacks \d+ stored bytes into 16000128"):
        morvekin_prnu.load_fingerprint(tmp_path / "deflated.npz")
    monkeypatch.setattr(np.lib.format, "read_array", read_array)
    noise = np.random.default_rng(5).normal(0, 0.01, (64, 64)).astype(np.float32)  # noise barely deflates
    write_archive(tmp_path / "noise.npz",
                  {"fingerprint.npy": noise, "metadata.npy": encoded(record(shape=[64, 64]))}, zipfile.ZIP_DEFLATED)
    assert_same_bits(morvekin_prnu.load_fingerprint(tmp_path / "noise.npz")[0], noise)


def test_reading_records_the_hash_of_the_bytes_read(tmp_path, estimate):
    names = {"files": ["=cmd|' -C calc'!A0.png", "new\nline.png", "not utf-8 \udcff.png"]}
    morvekin_prnu.save_fingerprint(tmp_path / "camera.npz", estimate, {**METADATA, **names})
    stored = morvekin_prnu.read_fingerprint(tmp_path / "camera.npz")
    assert stored.sha256 == hashlib.sha256((tmp_path / "camera.npz").read_bytes()).hexdigest()
    assert_same_bits(stored.fingerprint, as_stored(estimate))
    assert stored.metadata["files"] == names["files"]  # names that are not valid Unicode survive


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
def test_a_fifo_is_no_fingerprint_file(tmp_path):
    os.mkfifo(tmp_path / "camera.npz")
    with pytest.raises(ValueError, match="camera.npz: not a regular file but a FIFO"):
        morvekin_prnu.load_fingerprint(tmp_path / "camera.npz")


def test_a_write_that_cannot_start_names_the_target(tmp_path):
    with pytest.raises(OSError, match=r"cannot write .*missing/camera\.npz") as refused:
        with atomic_write(tmp_path / "missing" / "camera.npz"):
            pass
    assert ".tmp" not in str(refused.value)


def test_files_that_are_no_archive_are_refused(tmp_path, estimate):
    morvekin_prnu.save_fingerprint(tmp_path / "whole.npz", estimate, METADATA)
    whole = (tmp_path / "whole.npz").read_bytes()
    for name, content in [("text.npz", b"not a zip"), ("empty.npz", b""), ("cut.npz", whole[:len(whole) // 2]),
                          ("bad crc.npz", whole.replace(compact(estimate)[0].tobytes()[:64], bytes(64)))]:
        (tmp_path / name).write_bytes(content)
        with pytest.raises(ValueError, match=f"{name}: not a morvekin fingerprint file"):
            morvekin_prnu.load_fingerprint(tmp_path / name)
    with pytest.raises(FileNotFoundError, match="missing.npz"):
        morvekin_prnu.load_fingerprint(tmp_path / "missing.npz")
