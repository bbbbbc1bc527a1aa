"""The noise-extraction example, end to end and piece by piece."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import pywt
from PIL import Image

import extract_noise

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def test_runs_on_the_default_image(tmp_path):
    done = subprocess.run(
        [sys.executable, EXAMPLES / "extract_noise.py", "--save-residual"],
        cwd=tmp_path, capture_output=True, text=True, check=True,
    )
    assert "filter (lawmlNC on every detail sub-band):" in done.stdout and "whole run:" in done.stdout
    with Image.open(tmp_path / "camera_noise.png") as picture:
        assert picture.size == (3 * 512 + 2 * extract_noise.GAP, 512 + extract_noise.LABEL_HEIGHT)

    camera = pywt.data.camera().astype(np.float64)
    denoised, residual, _ = extract_noise.extract_noise(camera)
    saved = np.load(tmp_path / "camera_noise_residual.npy")
    assert saved.shape == camera.shape
    np.testing.assert_array_equal(saved, residual)
    np.testing.assert_allclose(saved + denoised, camera, rtol=0, atol=1e-10)


@pytest.mark.parametrize("shape", [(512, 512), (301, 257), (64, 96)])
def test_decomposition_without_filtering_gives_the_image_back(rng, shape):
    # The mode and the cropping must let unfiltered coefficients rebuild any size.
    image = rng.uniform(0, 255, shape)
    rebuilt = extract_noise.reconstruct(extract_noise.decompose(image), shape)
    np.testing.assert_allclose(rebuilt, image, rtol=0, atol=1e-9)


def test_residual_recovers_added_noise(rng):
    rows, cols = np.mgrid[0:256, 0:256]
    scene = 128 + 60 * np.sin(rows / 40.0) * np.cos(cols / 55.0)
    noise = rng.normal(0.0, 3.0, scene.shape)
    _, residual, seconds = extract_noise.extract_noise(scene + noise, sigma=3.0)
    assert seconds > 0
    assert np.corrcoef(residual.ravel(), noise.ravel())[0, 1] > 0.8
    assert 2.0 < residual.std() < 3.5


def test_colour_images_become_luminance(tmp_path, rng):
    rgb = rng.integers(0, 256, (20, 30, 3), dtype=np.uint8)
    Image.fromarray(rgb).save(tmp_path / "colour.png")
    expected = rgb.astype(np.float64) @ np.array([0.299, 0.587, 0.114])
    np.testing.assert_allclose(extract_noise.load_luminance(tmp_path / "colour.png"), expected)


def test_folder_in_a_thread_pool_matches_serial(tmp_path, rng):
    images = tmp_path / "images"
    images.mkdir()
    for k, shape in enumerate([(64, 80), (100, 90), (70, 70), (128, 64)]):
        Image.fromarray(rng.integers(0, 256, shape, dtype=np.uint8)).save(images / f"frame{k}.png")
    (images / "notes.txt").write_text("not an image")

    for workers, name in [(1, "serial"), (4, "pooled")]:
        seconds, failed = extract_noise.process_folder(images, tmp_path / name, 2.0, True, True, workers)
        assert seconds > 0 and failed == []
    serial = sorted((tmp_path / "serial").glob("*_residual.npy"))
    assert [p.name for p in serial] == [f"frame{k}_noise_residual.npy" for k in range(4)]
    for path in serial:
        np.testing.assert_array_equal(np.load(path).view(np.uint64), np.load(tmp_path / "pooled" / path.name).view(np.uint64))


PALETTE = np.array([[255, 0, 0], [0, 255, 0], [0, 0, 255], [10, 20, 30]], dtype=np.uint8)


def palette_image(indices, alpha=None):
    image = Image.fromarray(indices, "P")
    image.putpalette(PALETTE.ravel().tolist())
    if alpha is not None:
        image = image.convert("PA")
        image.putalpha(Image.fromarray(alpha))
    return image


# (image kind, file suffix, makes the image and the grey levels expected from indices, grey and alpha)
IMAGE_KINDS = {
    "grey with alpha": (".png", lambda i, g, a: (Image.fromarray(np.dstack([g, a]), "LA"), g)),
    "palette": (".png", lambda i, g, a: (palette_image(i), PALETTE[i] @ extract_noise.BT601_LUMA)),
    "palette with alpha": (".tif", lambda i, g, a: (palette_image(i, a), PALETTE[i] @ extract_noise.BT601_LUMA)),
    "16-bit": (".png", lambda i, g, a: (Image.fromarray(g.astype(np.uint16) * 257), g * 257.0)),
}


@pytest.mark.parametrize("suffix, make", IMAGE_KINDS.values(), ids=IMAGE_KINDS.keys())
def test_every_kind_of_image_loads_as_grey_levels(tmp_path, rng, suffix, make):
    shape = (18, 23)
    indices = rng.integers(0, len(PALETTE), shape, dtype=np.uint8)
    grey, alpha = (rng.integers(0, 256, shape, dtype=np.uint8) for _ in range(2))
    image, expected = make(indices, grey, alpha)
    image.save(tmp_path / f"image{suffix}")
    loaded = extract_noise.load_luminance(tmp_path / f"image{suffix}")
    assert loaded.dtype == np.float64 and loaded.shape == shape
    np.testing.assert_allclose(loaded, expected, rtol=0, atol=1e-9)


def test_folder_with_a_bad_file_reports_it_and_goes_on(tmp_path, rng):
    images = tmp_path / "images"
    images.mkdir()
    grey = rng.integers(0, 256, (40, 48), dtype=np.uint8)
    Image.fromarray(grey).save(images / "a_grey.png")
    Image.fromarray(np.dstack([grey, grey]), "LA").save(images / "b_grey_alpha.png")
    (images / "c_broken.png").write_bytes(b"\x89PNG\r\n\x1a\n not really")
    palette_image(rng.integers(0, len(PALETTE), (40, 48), dtype=np.uint8)).save(images / "d_palette.gif")

    done = subprocess.run(
        [sys.executable, EXAMPLES / "extract_noise.py", images, "--output", tmp_path / "out", "--workers", "2"],
        capture_output=True, text=True,
    )
    assert done.returncode == 1, done.stderr
    assert "c_broken.png" in done.stderr and "1 image(s) could not be processed" in done.stderr
    written = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert written == ["a_grey_noise.png", "b_grey_alpha_noise.png", "d_palette_noise.png"]
