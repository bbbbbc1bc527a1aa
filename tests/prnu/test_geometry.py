"""Images resized, cropped, turned and mirrored, and the calibration of the verdict."""

import math

import numpy as np
import pytest
import pywt
from scipy import stats

import morvekin_prnu
from cameras import resized, sensor_pattern, shot
from morvekin_prnu import _threads
from morvekin_prnu.matching import Match, P_FA, p_value, pce_threshold, strongest

SHAPE = (256, 384)

# The simulated cameras' fingerprints are made of six shots, far fewer than a real one needs.
pytestmark = pytest.mark.filterwarnings(r"ignore:only \d+ images? used:UserWarning")


def wide(picture):
    """A PyWavelets picture repeated side by side, wide enough for SHAPE."""
    return lambda: np.tile(picture(), (1, 2))


@pytest.fixture(scope="module")
def camera():
    """A camera's fingerprint, another camera's, and a held-out shot of the first."""
    rng = np.random.default_rng(7)
    patterns = [sensor_pattern(rng, SHAPE) for _ in range(2)]
    training = (wide(pywt.data.camera), wide(pywt.data.ascent))
    fingerprints = [morvekin_prnu.fingerprint([shot(rng, k, training) for _ in range(6)]) for k in patterns]
    return fingerprints, shot(rng, patterns[0], (wide(pywt.data.aero),))


def bits(value):
    return np.float64(value).view(np.uint64)


@pytest.mark.parametrize(
    "name, made, options, scale, peak, orientation",
    [("crop", lambda p: p[40:220, 30:330], {}, 1.0, (40, 30), "rot0"),
     ("resized 0.9", lambda p: resized(p, 0.9), {}, 0.9, (0, 0), "rot0"),
     ("resized 0.75", lambda p: resized(p, 0.75), {}, 0.75, (0, 0), "rot0"),
     ("resized 0.5", lambda p: resized(p, 0.5), {}, 0.5, (0, 0), "rot0"),
     ("resized 0.75 and cropped", lambda p: resized(p, 0.75)[21:171, 30:255], {}, 0.75, (28, 40), "rot0"),
     ("turned 180", lambda p: np.rot90(p, 2), {}, 1.0, (0, 0), "rot180"),
     ("mirrored", lambda p: p[:, ::-1], {"orientations": 8}, 1.0, (0, 0), "mirror"),
     ("cropped, resized 0.8 and turned", lambda p: np.rot90(resized(p[:, 64:], 0.8)), {}, 0.8, (0, 64), "rot90")],
)
def test_altered_shots_are_found_where_they_came_from(camera, name, made, options, scale, peak, orientation):
    (own, other), held_out = camera
    image = made(held_out)
    found = morvekin_prnu.match(own, image, **options)
    assert found.same_camera and found.orientation == orientation, found
    assert abs(found.scale - scale) < 0.01 and np.abs(np.subtract(found.peak, peak)).max() <= 1, found
    assert found.p_value <= P_FA and 0 < found.ncc < 1
    assert not morvekin_prnu.match(other, image, **options).same_camera


def test_the_search_done_is_described_and_corrected_for(camera):
    (own, other), held_out = camera
    as_taken = morvekin_prnu.match(other, held_out)
    # Zero shift only, in the two quarter turns that keep the shape.
    assert (as_taken.positions, as_taken.scales, as_taken.orientations) == (2, 1, 2)
    assert as_taken.p_value == pytest.approx(p_value(as_taken.pce, 2), rel=1e-12)
    cropped = morvekin_prnu.match(other, held_out[:200, :300], min_scale=1.0)
    # Scale 1 only: every shift that keeps the crop inside, upright and upside down (turned a quarter,
    # 300 rows do not fit into 256).
    assert (cropped.positions, cropped.scales, cropped.orientations) == (2 * 57 * 85, 1, 2)
    assert cropped.p_value == pytest.approx(p_value(cropped.pce, 2 * 57 * 85), rel=1e-12)
    resized_whole = morvekin_prnu.match(other, resized(held_out, 0.75))
    # Zero shift at the implied scale (half of p_fa), then the search (the other half).
    assert resized_whole.positions > 2 and resized_whole.scales > 10
    too_large = morvekin_prnu.match(other, np.zeros((300, 400, 3), np.uint8))
    assert too_large == Match(0.0, 0.0, (0, 0), False, 1.0, 1.0, "rot0", 0, 0, 0)


def test_the_same_bits_on_any_number_of_threads(camera, monkeypatch):
    (own, _), held_out = camera
    weighted = morvekin_prnu.weighted_residual(resized(held_out, 0.75)[10:160, 20:250])
    expected = morvekin_prnu.match_residual(own, weighted)
    for pool in (None, _threads.ThreadPoolExecutor(3)):
        monkeypatch.setattr(_threads, "_pool", lambda: pool)
        found = morvekin_prnu.match_residual(own, weighted)
        assert [bits(value) for value in (found.pce, found.ncc, found.p_value, found.scale)] == \
            [bits(value) for value in (expected.pce, expected.ncc, expected.p_value, expected.scale)]
        assert found == expected


@pytest.mark.parametrize("factor", [2.0 ** 40, 2.0 ** -60, 6e17, 1e-30])
def test_a_fingerprint_times_a_constant_gives_the_same_verdict(camera, factor):
    (own, other), held_out = camera
    for fingerprint in (own, other):
        expected = morvekin_prnu.match(fingerprint, held_out[:, :300])
        found = morvekin_prnu.match((fingerprint.astype(np.float64) * factor).astype(np.float32), held_out[:, :300])
        if math.log2(factor).is_integer():  # an exact scaling: the very same bits
            assert bits(found.pce) == bits(expected.pce) and found == expected
        else:
            assert found.pce == pytest.approx(expected.pce, rel=1e-3) and found.same_camera == expected.same_camera


def test_extreme_and_empty_fingerprints_never_give_nan(rng):
    huge = np.where(rng.random((64, 80)) < 0.5, -3.4e38, 3.4e38).astype(np.float32)
    image = rng.integers(0, 256, (64, 80, 3), dtype=np.uint8)
    for fingerprint in (huge, np.zeros((64, 80), np.float32), np.full((64, 80), 3.4e38, np.float32)):
        found = morvekin_prnu.match(fingerprint, image)
        assert math.isfinite(found.pce) and math.isfinite(found.ncc) and 0 <= found.p_value <= 1
        assert not found.same_camera


def unrelated(rng, pairs, fingerprint_shape, image_shape, **options):
    """Matches of white-noise residuals against white-noise fingerprints: no camera in common."""
    return [morvekin_prnu.match_residual(rng.normal(size=fingerprint_shape), rng.normal(size=image_shape), **options)
            for _ in range(pairs)]


@pytest.mark.parametrize(
    "image_shape, options",
    [((128, 96), {"orientations": 1}),  # one test at zero shift
     ((128, 96), {}),  # zero shift, upright and upside down
     ((96, 64), {"orientations": 1, "min_scale": 1.0})],  # every crop position: 33 x 33 tests
)
def test_false_alarms_of_unrelated_pairs_come_at_the_rate_asked(rng, image_shape, options):
    found = unrelated(rng, 1200, (128, 96), image_shape, **options)
    p_fa = 0.05
    alarms = sum(m.p_value <= p_fa for m in found)
    # Binomial(1200, 0.05): mean 60, standard deviation 7.5; neighbouring crop positions are slightly
    # correlated, which can only make the correction conservative.
    assert 25 <= alarms <= 95
    assert not any(m.same_camera for m in found)  # at the default p_fa
    assert stats.kstest([m.p_value for m in found], "uniform").pvalue > 1e-4
    with_threshold = morvekin_prnu.match_residual(np.ones((128, 96)) + np.eye(128, 96), np.eye(128, 96),
                                                  threshold=1e9, **options)
    assert with_threshold.p_value < 1e-9 and not with_threshold.same_camera  # a threshold wins over p_fa


@pytest.mark.parametrize("tests", [1, 2, 1089, 10 ** 9, 10 ** 14])
@pytest.mark.parametrize("p_fa", [0.5, 1e-3, 1e-6, 1e-12])
def test_the_threshold_and_the_p_value_invert_each_other(p_fa, tests):
    threshold = pce_threshold(p_fa, tests)
    assert p_value(threshold, tests) == pytest.approx(p_fa, rel=1e-6)
    assert p_value(threshold + 0.05, tests) < p_fa < p_value(threshold - 0.05, tests)


def test_the_strongest_match_is_chosen_without_nan():
    def decided(pce, p, same=True):
        return Match(pce, 0.0, (0, 0), same, p)

    nan = float("nan")
    assert strongest([decided(80.0, 1e-9), decided(nan, nan), decided(900.0, 0.0), decided(5e3, 1.0, False)]) == 2
    assert strongest([decided(nan, 0.0), decided(70.0, 0.0)]) == 1
    assert strongest([decided(nan, nan), decided(60.0, 1e-7)]) == 1
    assert strongest([decided(1e4, 0.0, False)]) is None


@pytest.mark.parametrize(
    "options, message",
    [({"p_fa": 0.0}, "p_fa"), ({"p_fa": 1.0}, "p_fa"), ({"p_fa": float("nan")}, "p_fa"), ({"p_fa": True}, "p_fa"),
     ({"threshold": float("inf")}, "threshold"), ({"threshold": "60"}, "threshold"),
     ({"orientations": 2}, "orientations must be 1, 4 or 8"), ({"orientations": True}, "orientations"),
     ({"min_scale": 0.0}, "min_scale"), ({"min_scale": 1.5}, "min_scale")],
)
def test_bad_options_are_refused_naming_them(options, message):
    with pytest.raises(ValueError, match=message):
        morvekin_prnu.match(np.zeros((32, 32)), np.zeros((32, 32), np.uint8), **options)
    with pytest.raises(ValueError, match=message):
        morvekin_prnu.match_residual(np.zeros((32, 32)), np.zeros((32, 32)), **options)


def test_a_weighted_residual_with_nan_is_refused():
    weighted = np.zeros((32, 32))
    weighted[3, 4] = np.nan
    with pytest.raises(ValueError, match="weighted holds NaN"):
        morvekin_prnu.match_residual(np.zeros((32, 32)), weighted)
