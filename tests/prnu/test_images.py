"""Reading every kind of photograph users have, and refusing what cannot be analysed."""

import contextlib
import os
import re
import threading

import numpy as np
import pytest
from PIL import Image

import morvekin_prnu
from cameras import assert_same_bits
from morvekin_prnu import images


@pytest.fixture
def grey(rng):
    return rng.integers(0, 256, (40, 56), dtype=np.uint8)


@pytest.fixture
def colour(rng):
    return rng.integers(0, 256, (40, 56, 3), dtype=np.uint8)


def test_lossless_files_give_their_pixels(tmp_path, grey, colour):
    cases = {
        "grey.png": (Image.fromarray(grey), grey),
        "grey_alpha.png": (Image.fromarray(np.dstack([grey, 255 - grey])), grey),
        "rgb.tif": (Image.fromarray(colour), colour),
        "rgba.png": (Image.fromarray(np.dstack([colour, grey])), colour),
        "sixteen.png": (Image.fromarray(grey.astype(np.uint16) * 257), grey.astype(np.uint16) * 257),
        "sixteen.tif": (Image.fromarray(grey.astype(np.uint16) * 200), grey.astype(np.uint16) * 200),
        "float.tif": (Image.fromarray(grey.astype(np.float32) / 7), grey.astype(np.float32) / 7),
    }
    for name, (image, expected) in cases.items():
        image.save(tmp_path / name)
        loaded = morvekin_prnu.load_image(tmp_path / name)
        assert loaded.dtype == expected.dtype, name
        np.testing.assert_array_equal(loaded, expected, err_msg=name)


def test_palettes_and_jpegs_become_colour(tmp_path, colour):
    palette = Image.fromarray(colour).quantize(16)
    palette.info["transparency"] = 0
    palette.save(tmp_path / "palette.png")
    np.testing.assert_array_equal(morvekin_prnu.load_image(tmp_path / "palette.png"),
                                  np.asarray(palette.convert("RGB")))
    Image.fromarray(colour).save(tmp_path / "photo.jpg", quality=95)
    with Image.open(tmp_path / "photo.jpg") as decoded:
        np.testing.assert_array_equal(morvekin_prnu.load_image(tmp_path / "photo.jpg"), np.asarray(decoded))


def test_exif_orientation_is_applied_only_for_viewing(tmp_path, colour):
    # Orientation 6: the stored picture is shown turned a quarter turn clockwise.
    exif = Image.Exif()
    exif[0x0112] = 6
    Image.fromarray(colour).save(tmp_path / "portrait.png", exif=exif)
    path = tmp_path / "portrait.png"
    np.testing.assert_array_equal(morvekin_prnu.load_image(path), np.rot90(colour, -1))
    np.testing.assert_array_equal(morvekin_prnu.load_image(path, orient=False), colour)
    # Identification works on the sensor's pixel order, whatever the tag says.
    assert_same_bits(morvekin_prnu.noise_residual(path), morvekin_prnu.noise_residual(colour))


def test_decompression_bombs_are_refused_naming_the_file(tmp_path, grey, monkeypatch):
    Image.fromarray(grey).save(tmp_path / "bomb.png")
    for limit in (grey.size - 1, grey.size // 3):  # Pillow warns below twice its limit, raises above
        monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", limit)
        with pytest.warns(Image.DecompressionBombWarning) if limit * 2 > grey.size else contextlib.nullcontext():
            with pytest.raises(ValueError, match=r"bomb\.png.*decompression bomb"):
                morvekin_prnu.noise_residual(tmp_path / "bomb.png")


def test_unreadable_files_are_refused_naming_the_file(tmp_path, grey):
    (tmp_path / "notes.png").write_text("not an image")
    Image.fromarray(grey).save(tmp_path / "whole.png")
    (tmp_path / "cut.png").write_bytes((tmp_path / "whole.png").read_bytes()[:200])
    for name in ("notes.png", "cut.png"):
        with pytest.raises(ValueError, match=name):
            morvekin_prnu.load_image(tmp_path / name)
    with pytest.raises(IsADirectoryError, match=str(tmp_path.name)):
        morvekin_prnu.load_image(tmp_path)
    with pytest.raises(FileNotFoundError, match="missing.png"):
        morvekin_prnu.fingerprint([tmp_path / "whole.png", tmp_path / "missing.png"])


@pytest.mark.parametrize(
    "array, error, message",
    [
        (np.zeros((20, 20), np.int32), TypeError, "dtype int32"),
        (np.zeros((20, 20), bool), TypeError, "dtype bool"),
        (np.zeros((20, 20, 4), np.uint8), ValueError, r"shape \(20, 20, 4\)"),
        (np.zeros((20, 20, 1), np.uint8), ValueError, r"shape \(20, 20, 1\)"),
        (np.zeros(20, np.uint8), ValueError, r"shape \(20,\)"),
        (np.zeros((0, 20), np.uint8), ValueError, "empty"),
        (np.full((20, 20), np.nan), ValueError, "NaN"),
        ([[1, 2], [3, 4]], TypeError, "path or a NumPy array"),
    ],
)
def test_bad_arrays_are_refused_naming_them(array, error, message):
    with pytest.raises(error, match=f"image.*{message}"):
        morvekin_prnu.noise_residual(array)
    with pytest.raises(error, match=rf"images\[1\].*{message}"):
        morvekin_prnu.fingerprint([np.zeros((20, 20), np.uint8), array])


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
@pytest.mark.parametrize("via", ["fifo", "link to a fifo", "character device"])
def test_special_files_are_refused_without_waiting(tmp_path, via):
    fifo = tmp_path / "f.png"
    os.mkfifo(fifo)
    path = {"fifo": fifo, "link to a fifo": tmp_path / "link.png", "character device": "/dev/zero"}[via]
    if via == "link to a fifo":
        path.symlink_to(fifo)
    outcome = []
    reader = threading.Thread(target=lambda: outcome.append(_raised(morvekin_prnu.load_image, path)), daemon=True)
    reader.start()
    reader.join(10)
    if reader.is_alive():  # blocked opening the FIFO: a writer lets it go on
        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
        reader.join(10)
    assert outcome and isinstance(outcome[0], ValueError), outcome
    assert re.search(rf"{path}: not a regular file but a (FIFO|character device)", str(outcome[0]))


def _raised(function, *args):
    try:
        function(*args)
    except Exception as error:  # noqa: BLE001 - the test looks at what was raised
        return error
    return None


def test_files_of_too_many_pixels_for_their_size_are_refused_before_decoding(tmp_path):
    # 36 million 1-bit pixels deflate to a few kilobytes; decoded, they take 36 MB, and a residual 20 times that.
    Image.new("1", (6000, 6000)).save(tmp_path / "flat.png")
    assert (tmp_path / "flat.png").stat().st_size < 36_000_000 // images.MAX_PIXELS_PER_BYTE
    with pytest.raises(ValueError, match=r"flat\.png: 6000x6000 pixels from only \d+ bytes of file .*bomb"):
        morvekin_prnu.load_image(tmp_path / "flat.png")


@pytest.mark.parametrize("dtype", ["<u2", ">u2", ">f4", ">f8"])
def test_arrays_in_either_byte_order_give_the_same_residual(rng, dtype):
    pixels = rng.integers(0, 60000, (40, 48)).astype(np.dtype(dtype).newbyteorder("="))
    swapped = pixels.astype(dtype)
    assert_same_bits(morvekin_prnu.noise_residual(swapped), morvekin_prnu.noise_residual(pixels))
