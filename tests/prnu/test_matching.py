"""Correlation surfaces, PCE and the refusals of match."""

import numpy as np
import pytest
import pywt

import morvekin_prnu
from cameras import scene, sensor_pattern


def test_crosscorr_finds_a_cyclic_shift(rng):
    a = rng.normal(0, 1, (48, 64))
    surface = morvekin_prnu.crosscorr(a, np.roll(a, (5, -3), axis=(0, 1)))
    assert np.unravel_index(np.argmax(surface), surface.shape) == (5, 61)
    assert abs(surface[5, 61] - 1.0) < 1e-12
    assert surface[0, 0] == pytest.approx(morvekin_prnu.ncc(a, np.roll(a, (5, -3), axis=(0, 1))), abs=1e-12)


def test_pce_leaves_out_the_neighbourhood_of_the_peak():
    surface = np.full((40, 30), 0.5)
    surface[:3, :3] = 100.0  # inside the 11x11 square around (0, 0): not background
    surface[-2:, -2:] = 100.0  # so is this, cyclically
    surface[0, 0] = -6.0
    assert morvekin_prnu.pce(surface) == -36.0 / 0.25
    surface[surface == 100.0] = 0.5
    surface[20, 15] = 8.0
    background = (0.25 * (40 * 30 - 121 - 1) + 36.0) / (40 * 30 - 121)
    assert morvekin_prnu.pce(surface, peak=(20, 15)) == pytest.approx(64.0 / background, rel=1e-12)


def test_an_unaligned_fingerprint_gives_the_same_bits(rng):
    # As a dask.distributed worker receives a scattered array.
    fingerprint = rng.normal(0, 0.01, (128, 160)).astype(np.float32)  # more than one 8192-element buffer
    unaligned = np.empty(fingerprint.nbytes + 1, np.uint8)[1:].view(np.float32).reshape(fingerprint.shape)
    unaligned[...] = fingerprint
    assert not unaligned.flags.aligned
    image = rng.integers(0, 256, (128, 160, 3), dtype=np.uint8)
    assert morvekin_prnu.match(unaligned, image) == morvekin_prnu.match(fingerprint, image)


def test_ncc_of_constant_arrays_is_zero(rng):
    assert morvekin_prnu.ncc(np.ones((5, 5)), rng.normal(size=(5, 5))) == 0.0
    assert not morvekin_prnu.crosscorr(np.ones((5, 5)), rng.normal(size=(5, 5))).any()


@pytest.mark.parametrize(
    "fingerprint, error, message",
    [(np.zeros((32, 32, 3)), ValueError, "fingerprint must be a non-empty 2-D array"),
     (np.full((32, 32), np.inf), ValueError, "fingerprint holds NaN"),
     (np.zeros((32, 32), complex), TypeError, "fingerprint must hold real numbers")],
)
def test_bad_fingerprints_are_refused(fingerprint, error, message):
    with pytest.raises(error, match=message):
        morvekin_prnu.match(fingerprint, np.zeros((32, 32), np.uint8))


def test_bad_shapes_peaks_and_thresholds_are_refused():
    with pytest.raises(ValueError, match=r"same shape, not \(4, 5\) and \(5, 4\)"):
        morvekin_prnu.crosscorr(np.ones((4, 5)), np.ones((5, 4)))
    with pytest.raises(ValueError, match="peak"):
        morvekin_prnu.pce(np.ones((4, 5)), peak=(4, 0))
    with pytest.raises(ValueError, match="neighbourhood"):
        morvekin_prnu.pce(np.ones((4, 5)), neighbourhood=4)
    with pytest.raises(ValueError, match="threshold"):
        morvekin_prnu.match(np.zeros((32, 32)), np.zeros((32, 32), np.uint8), threshold=float("nan"))


def test_match_residual_splits_match_in_two(rng):
    fingerprint = rng.normal(0, 0.01, (64, 80)).astype(np.float32)
    image = rng.integers(0, 256, (64, 80, 3), dtype=np.uint8)
    weighted = morvekin_prnu.weighted_residual(image, sigma=2.0)
    assert morvekin_prnu.match_residual(fingerprint, weighted) == morvekin_prnu.match(fingerprint, image, sigma=2.0)


@pytest.mark.filterwarnings("ignore::morvekin_prnu.FingerprintWarning")
def test_a_peak_made_of_a_shared_scene_is_flagged_and_a_sensor_s_is_not():
    rng = np.random.default_rng(2)
    shape = (128, 128)
    own, other = sensor_pattern(rng, shape), sensor_pattern(rng, shape)
    picture = scene(rng, shape)

    def photograph(pattern, content):
        return np.clip(np.round(content * (1 + pattern)[..., None] + rng.normal(0, 2, content.shape)), 0, 255
                       ).astype(np.uint8)

    # A fingerprint of three photographs keeps their scenes; another camera's photograph of one of them
    # lines up with those traces and passes the threshold on them alone.
    fingerprint = morvekin_prnu.fingerprint([photograph(own, picture)] +
                                            [photograph(own, scene(rng, shape)) for _ in range(2)])
    shown = photograph(other, picture)
    decoy = morvekin_prnu.match(fingerprint, shown)
    assert decoy.same_camera and decoy.flags == ("shared scene",)
    genuine = morvekin_prnu.match(fingerprint, photograph(own, scene(rng, shape, (pywt.data.aero,))))
    assert genuine.same_camera and genuine.flags == ()
    # Without the image only its residual is known: the same Match, unflagged.
    assert morvekin_prnu.match_residual(fingerprint, morvekin_prnu.weighted_residual(shown)) == decoy._replace(flags=())
