"""The residual's steps: the transform road, zero-mean and the spectral Wiener filter."""

import numpy as np
import pytest
import pywt

import morvekin_prnu
from cameras import assert_same_bits
from morvekin_prnu import wavelets


@pytest.mark.parametrize("shape", [(64, 64), (37, 50), (101, 30)])
@pytest.mark.parametrize("mode", ["periodization", "symmetric"])
def test_the_row_wise_transform_gives_the_image_back(rng, shape, mode, monkeypatch):
    monkeypatch.setattr(wavelets, "MODE", mode)
    image = rng.uniform(0, 255, shape)
    approximation, details = wavelets.dwt_level(image, pywt.Wavelet("db4"))
    rebuilt = wavelets.idwt_level(approximation, details, shape, pywt.Wavelet("db4"))
    np.testing.assert_allclose(rebuilt, image, rtol=0, atol=1e-9)


def test_residual_is_the_added_noise_on_a_smooth_scene(rng):
    rows, columns = np.mgrid[0:256, 0:192]
    scene = 120 + 60 * np.sin(rows / 30.0) * np.cos(columns / 45.0)
    noise = rng.normal(0.0, 3.0, scene.shape)
    found = morvekin_prnu.noise_residual(np.dstack([scene + noise] * 3))
    assert found.dtype == np.float32 and found.shape == scene.shape
    assert morvekin_prnu.ncc(found, noise) > 0.8


def test_sixteen_bit_images_give_the_residual_of_their_eight_bit_levels(rng):
    # sigma is in 8-bit levels: the same picture at 16 bits is the same picture.
    image = rng.integers(0, 256, (96, 80, 3), dtype=np.uint8)
    eight = morvekin_prnu.noise_residual(image)
    sixteen = morvekin_prnu.noise_residual(image.astype(np.uint16) * 257)
    np.testing.assert_allclose(sixteen / 257, eight, rtol=0, atol=1e-4 * np.abs(eight).max())


def test_denoise_takes_the_noise_out_of_each_channel(rng):
    rows, columns = np.mgrid[0:128, 0:160]
    scene = np.dstack([(100 + 20 * k) + 50 * np.sin(rows / 25.0 + k) * np.cos(columns / 35.0) for k in range(3)])
    noise = rng.normal(0.0, 3.0, scene.shape)
    denoised = morvekin_prnu.denoise(scene + noise)
    assert denoised.dtype == np.float32 and denoised.shape == scene.shape
    assert np.std(denoised - scene) < 0.5 * np.std(noise)
    assert morvekin_prnu.denoise(np.round(scene[..., 0]).astype(np.uint8)).shape == scene.shape[:2]


@pytest.mark.parametrize("shape", [(96, 80), (96, 80, 3)])
def test_denoise_with_residual_gives_both_to_the_bit(rng, shape):
    image = rng.integers(0, 256, shape, dtype=np.uint8)
    denoised, residual = morvekin_prnu.denoise_with_residual(image, sigma=2.5)
    assert_same_bits(denoised, morvekin_prnu.denoise(image, sigma=2.5))
    assert_same_bits(residual, morvekin_prnu.noise_residual(image, sigma=2.5))


def test_small_images_use_fewer_levels_and_tiny_ones_are_refused(rng):
    assert morvekin_prnu.noise_residual(rng.integers(0, 256, (16, 30), dtype=np.uint8)).shape == (16, 30)
    with pytest.raises(ValueError, match=r"\(12, 30\) is too small for the db4 wavelet"):
        morvekin_prnu.noise_residual(np.zeros((12, 30), np.uint8))


@pytest.mark.parametrize(
    "options, message",
    [({"sigma": 0}, "sigma"), ({"sigma": float("nan")}, "sigma"), ({"sigma": "3"}, "sigma"),
     ({"levels": 0}, "levels"), ({"levels": 2.0}, "levels"), ({"wavelet": "db99"}, "wavelet 'db99'")],
)
def test_bad_options_are_refused_naming_them(options, message):
    with pytest.raises(ValueError, match=message):
        morvekin_prnu.noise_residual(np.zeros((32, 32), np.uint8), **options)


def test_zero_mean_clears_rows_and_columns_of_each_phase(rng):
    x = rng.normal(0, 1, (30, 41)) + np.arange(41) * 0.1 + np.arange(30)[:, None] * 0.3
    x[::2, ::2] += 5.0
    result = morvekin_prnu.zero_mean(x)
    for row in (0, 1):
        for column in (0, 1):
            phase = result[row::2, column::2]
            assert np.abs(phase.mean(axis=0)).max() < 1e-12
            assert np.abs(phase.mean(axis=1)).max() < 1e-12


def test_wiener_dft_takes_out_periodic_peaks_and_keeps_the_white_part(rng):
    white = rng.normal(0, 1, (128, 192))
    grid = np.tile(rng.normal(0, 1, (8, 8)), (16, 24))
    filtered = morvekin_prnu.wiener_dft(white + grid)
    assert morvekin_prnu.ncc(white + grid, white) < 0.75
    assert morvekin_prnu.ncc(filtered, white) > 0.95
    assert morvekin_prnu.ncc(filtered, grid) < 0.1
    np.testing.assert_array_equal(morvekin_prnu.wiener_dft(np.zeros((8, 8))), np.zeros((8, 8)))


def test_a_forked_child_computes_the_same_residual(rng):
    # The child has none of its parent's pool threads; it must make its own
    # rather than wait for them for ever.
    import multiprocessing

    image = rng.integers(0, 256, (300, 280, 3), dtype=np.uint8)
    expected = morvekin_prnu.noise_residual(image)
    with multiprocessing.get_context("fork").Pool(1) as pool:
        in_child = pool.apply_async(morvekin_prnu.noise_residual, (image,)).get(timeout=60)
    np.testing.assert_array_equal(in_child.view(np.uint32), expected.view(np.uint32))


@pytest.mark.parametrize("setting, threads", [("1", 0), ("1,4", 0), ("2", 2), ("", 4), ("none", 4)])
def test_the_package_s_threads_keep_to_omp_num_threads(setting, threads, monkeypatch):
    from morvekin_prnu import _threads

    monkeypatch.setenv("OMP_NUM_THREADS", setting)
    monkeypatch.setattr(_threads.os, "sched_getaffinity", lambda pid: {0, 1, 2, 3}, raising=False)
    _threads._pool.cache_clear()
    try:
        pool = _threads._pool()
        assert (0 if pool is None else pool._max_workers) == threads
    finally:
        _threads._pool.cache_clear()
