"""Files as cameras write them: 16-bit colour, HEIC from phones, raw DNG; what is recorded of each."""

import hashlib
import sys

import imagecodecs
import numpy as np
import pytest
import pywt
from PIL import Image

import morvekin_prnu
from cameras import sensor_pattern, shot

tifffile = pytest.importorskip("tifffile", reason="the test extra writes 16-bit TIFF and DNG files with tifffile")

# The simulated cameras take a few shots each, far fewer than a real fingerprint needs.
pytestmark = pytest.mark.filterwarnings(r"ignore:only \d+ images? used:UserWarning")

SHAPE = (256, 256)
TRAINING = (pywt.data.camera, pywt.data.ascent)
HELD_OUT = (pywt.data.aero,)
CAMERA = {"make": "Morvekin", "model": "Simulated 12", "serial": "SIM-0001"}


def exif_bytes(make, model, serial):
    exif = Image.Exif()
    exif[0x010F], exif[0x0110] = make, model
    exif.get_ifd(0x8769)[0xA431] = serial  # BodySerialNumber
    return exif.tobytes()


@pytest.fixture(scope="module")
def camera():
    """A camera's pattern and the fingerprint of five PNG-quality shots; a stranger's pattern."""
    rng = np.random.default_rng(20)
    pattern, stranger = sensor_pattern(rng, SHAPE), sensor_pattern(rng, SHAPE)
    return rng, pattern, stranger, morvekin_prnu.fingerprint([shot(rng, pattern, TRAINING) for _ in range(5)])


def sixteen_bit(rng, channels):
    return rng.integers(0, 65536, (24, 40, channels), dtype=np.uint16)


@pytest.mark.parametrize("name, write, channels", [
    ("rgb.png", lambda path, a: path.write_bytes(imagecodecs.png_encode(a)), 3),
    ("rgba.png", lambda path, a: path.write_bytes(imagecodecs.png_encode(a)), 4),
    ("grey_alpha.png", lambda path, a: path.write_bytes(imagecodecs.png_encode(a)), 2),
    ("plain.tif", lambda path, a: tifffile.imwrite(path, a, photometric="rgb"), 3),
    ("deflate.tif", lambda path, a: tifffile.imwrite(path, a, photometric="rgb", compression="zlib"), 3),
    ("lzw.tif", lambda path, a: tifffile.imwrite(path, a, photometric="rgb", compression="lzw"), 3),
    ("rgba.tif", lambda path, a: tifffile.imwrite(path, a, photometric="rgb", extrasamples=["unassalpha"]), 4),
])
def test_sixteen_bit_colour_keeps_every_bit(tmp_path, rng, name, write, channels):
    pixels = sixteen_bit(rng, channels)
    write(tmp_path / name, pixels)
    expected = pixels[..., 0] if channels == 2 else pixels[..., :3]
    loaded = morvekin_prnu.load_image(tmp_path / name)
    assert loaded.dtype == np.uint16
    np.testing.assert_array_equal(loaded, expected)


def test_sixteen_bit_colour_keeps_its_orientation_tag(tmp_path, rng):
    pixels = sixteen_bit(rng, 3)
    tifffile.imwrite(tmp_path / "turned.tif", pixels, photometric="rgb", extratags=[(274, "H", 1, 6, True)])
    np.testing.assert_array_equal(morvekin_prnu.load_image(tmp_path / "turned.tif"), np.rot90(pixels, -1))
    np.testing.assert_array_equal(morvekin_prnu.load_image(tmp_path / "turned.tif", orient=False), pixels)


@pytest.mark.parametrize("depth", [8, 10])
def test_heic_from_a_phone_matches_its_camera_and_records_it(tmp_path, camera, depth):
    pillow_heif = pytest.importorskip("pillow_heif")
    rng, pattern, stranger, fingerprint = camera
    mode, scale = ("RGB", 1) if depth == 8 else ("RGB;16", 257)
    for name, k in (("own.heic", pattern), ("stranger.heic", stranger)):
        pixels = shot(rng, k, HELD_OUT).astype(np.uint16 if depth > 8 else np.uint8) * scale
        picture = pillow_heif.from_bytes(mode=mode, size=SHAPE[::-1], data=pixels.tobytes())
        picture.save(tmp_path / name, quality=90, exif=exif_bytes("Phone Maker", "Model X", "SN-42"))
    loaded, facts = morvekin_prnu.read_image(tmp_path / "own.heic")
    assert loaded.shape == (*SHAPE, 3) and loaded.dtype == (np.uint16 if depth > 8 else np.uint8)
    digest = hashlib.sha256((tmp_path / "own.heic").read_bytes()).hexdigest()
    assert facts == (digest, "Phone Maker", "Model X", "SN-42")
    assert morvekin_prnu.match(fingerprint, tmp_path / "own.heic").pce > 60
    assert morvekin_prnu.match(fingerprint, tmp_path / "stranger.heic").pce < 60


@pytest.mark.parametrize("orientation, upright", [(6, lambda a: np.rot90(a, -1)), (8, lambda a: np.rot90(a)),
                                                   (3, lambda a: a[::-1, ::-1])])
def test_heic_turned_upright_by_libheif_is_turned_back_for_the_sensor(tmp_path, orientation, upright):
    pillow_heif = pytest.importorskip("pillow_heif")
    stored = np.zeros((32, 48, 3), np.uint8)
    stored[:8, :16] = 255  # a bright block at the top left, as the sensor recorded it
    exif = Image.Exif()
    exif[0x0112] = orientation
    pillow_heif.from_bytes(mode="RGB", size=(48, 32), data=stored.tobytes()).save(
        tmp_path / "turned.heic", quality=-1, exif=exif.tobytes())
    bright = lambda a: np.argwhere(a[..., 0] > 128).mean(axis=0).round()  # noqa: E731
    np.testing.assert_array_equal(bright(morvekin_prnu.load_image(tmp_path / "turned.heic", orient=False)),
                                  bright(stored))
    np.testing.assert_array_equal(bright(morvekin_prnu.load_image(tmp_path / "turned.heic")), bright(upright(stored)))


@pytest.fixture(scope="module")
def raw_frames(tmp_path_factory):
    """DNG files of two simulated raw cameras: four training frames and one held-out frame of the first,
    one frame of the second; the held-out frame is also saved with a .tif name."""
    raw_camera = pytest.importorskip("raw_camera")
    folder = tmp_path_factory.mktemp("raw")
    rng = np.random.default_rng(21)
    pattern, stranger = sensor_pattern(rng, SHAPE), sensor_pattern(rng, SHAPE)
    frames = {f"train{k}.dng": (pattern, TRAINING) for k in range(4)}
    frames.update({"own.dng": (pattern, HELD_OUT), "stranger.dng": (stranger, HELD_OUT)})
    for name, (k, pictures) in frames.items():
        raw_camera.write_dng(folder / name, raw_camera.mosaic(rng, k, pictures), **CAMERA)
    (folder / "renamed.tif").write_bytes((folder / "own.dng").read_bytes())
    return folder


def test_raw_frames_are_demosaiced_and_match_their_camera(raw_frames):
    pytest.importorskip("rawpy")
    pixels, facts = morvekin_prnu.read_image(raw_frames / "own.dng", orient=False)
    assert pixels.shape == (*SHAPE, 3) and pixels.dtype == np.uint16
    assert facts == (hashlib.sha256((raw_frames / "own.dng").read_bytes()).hexdigest(), *CAMERA.values())
    # A DNG by content is read as raw whatever its name, not as the TIFF it also is.
    np.testing.assert_array_equal(morvekin_prnu.load_image(raw_frames / "renamed.tif", orient=False), pixels)
    fingerprint = morvekin_prnu.fingerprint(sorted(raw_frames.glob("train*.dng")))
    assert morvekin_prnu.match(fingerprint, raw_frames / "own.dng").pce > 60
    assert morvekin_prnu.match(fingerprint, raw_frames / "stranger.dng").pce < 60


@pytest.mark.parametrize("module, extra, name", [("pillow_heif", "heif", "photo.heic"), ("rawpy", "raw", "frame.dng")])
def test_a_missing_extra_is_named(tmp_path, monkeypatch, raw_frames, module, extra, name):
    if name.endswith(".heic"):
        pillow_heif = pytest.importorskip("pillow_heif")
        pillow_heif.from_bytes(mode="RGB", size=(32, 32), data=bytes(32 * 32 * 3)).save(tmp_path / name)
    else:
        (tmp_path / name).write_bytes((raw_frames / "own.dng").read_bytes())
    monkeypatch.setitem(sys.modules, module, None)  # import fails, as without the extra
    with pytest.raises(ValueError, match=rf'{name}: .*needs {module}: pip install "morvekin\[{extra}\]"'):
        morvekin_prnu.load_image(tmp_path / name)


@pytest.mark.parametrize("fill", [lambda exif: None, lambda exif: exif.update({50735: "DNG-7"})])
def test_the_record_holds_the_hash_of_the_bytes_read_and_the_camera(tmp_path, rng, fill):
    exif = Image.Exif()
    exif[0x010F], exif[0x0110] = "  Maker\0", "M" * 500  # padded, and far too long to keep whole
    fill(exif)
    Image.fromarray(rng.integers(0, 256, (16, 16, 3), dtype=np.uint8)).save(tmp_path / "photo.jpg", exif=exif)
    facts = morvekin_prnu.read_image(tmp_path / "photo.jpg")[1]
    assert facts.sha256 == hashlib.sha256((tmp_path / "photo.jpg").read_bytes()).hexdigest()
    assert facts.camera() == {"make": "Maker", "model": "M" * 128, "serial": exif.get(50735)}
    (tmp_path / "abc").write_bytes(b"abc")  # the FIPS 180-2 example
    assert morvekin_prnu.provenance.file_sha256(tmp_path / "abc") == \
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"


@pytest.mark.parametrize("name, kind", [("cut.dng", "raw"), ("cut.heic", "HEIF")])
def test_damaged_heic_and_raw_files_are_refused_naming_them(tmp_path, raw_frames, name, kind):
    pytest.importorskip("rawpy" if kind == "raw" else "pillow_heif")
    whole = (raw_frames / "own.dng").read_bytes() if kind == "raw" else b"\0\0\0\x18ftypheic" + bytes(200)
    (tmp_path / name).write_bytes(whole[:3000])
    with pytest.raises(ValueError, match=rf"{name}: the {kind} data cannot be decoded"):
        morvekin_prnu.load_image(tmp_path / name)
