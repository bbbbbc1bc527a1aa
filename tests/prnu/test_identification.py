"""Camera identification end to end, on three simulated cameras with known patterns."""

import hashlib
import re
import warnings
import weakref
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest
import pywt
from PIL import Image

import morvekin_prnu
from cameras import assert_same_bits, sensor_pattern, shot
from morvekin_prnu import fingerprints as fingerprint_module

# The simulated cameras take a few shots each, far fewer than a real fingerprint needs.
pytestmark = pytest.mark.filterwarnings(r"ignore:only \d+ images? used:UserWarning")

SHAPE = (256, 256)
TRAINING_SHOTS = 6
# Fingerprints come from "camera" and "ascent", held-out shots show "aero":
# no scene links the two sets, only the sensor does.
TRAINING_PICTURES = (pywt.data.camera, pywt.data.ascent)
HELD_OUT_PICTURES = (pywt.data.aero,)


@pytest.fixture(scope="module")
def cameras():
    rng = np.random.default_rng(2026)
    patterns = [sensor_pattern(rng, SHAPE) for _ in range(3)]
    training = [[shot(rng, k, TRAINING_PICTURES) for _ in range(TRAINING_SHOTS)] for k in patterns]
    held_out = [[shot(rng, k, HELD_OUT_PICTURES) for _ in range(2)] for k in patterns]
    fingerprints = [morvekin_prnu.fingerprint(shots) for shots in training]
    return patterns, training, held_out, fingerprints


def test_each_fingerprint_correlates_with_its_own_pattern(cameras):
    patterns, _, _, fingerprints = cameras
    for index, estimate in enumerate(fingerprints):
        assert estimate.dtype == np.float32 and estimate.shape == SHAPE
        correlations = [morvekin_prnu.ncc(estimate, k) for k in patterns]
        own = correlations.pop(index)
        assert own > 0.4
        assert max(abs(c) for c in correlations) < 0.05


def test_held_out_shots_match_only_their_camera(cameras):
    _, _, held_out, fingerprints = cameras
    for camera, shots in enumerate(held_out):
        for pixels in shots:
            for index, estimate in enumerate(fingerprints):
                result = morvekin_prnu.match(estimate, pixels)
                if index == camera:
                    assert result.pce > 60 and result.same_camera and result.peak == (0, 0)
                    assert 0 < result.ncc < 1
                else:
                    assert result.pce < 60 and not result.same_camera


def test_crops_and_quarter_turns_are_found(cameras):
    _, _, held_out, fingerprints = cameras
    pixels = held_out[1][0]
    cropped = morvekin_prnu.match(fingerprints[1], pixels[40:220, 30:200])
    assert cropped.same_camera and cropped.peak == (40, 30)
    for turns in (1, -1):
        assert morvekin_prnu.match(fingerprints[1], np.rot90(pixels[:, :200], turns)).same_camera
    assert not morvekin_prnu.match(fingerprints[0], np.rot90(pixels[:, :200])).same_camera


def test_workers_generators_and_executors_give_the_same_sums(cameras, rng, monkeypatch):
    # Float pixels make the sums round (uint8 ones add up exactly in any order),
    # and the estimates are compared in float64, before the cast to float32.
    _, training, _, _ = cameras
    shots = [s + rng.uniform(-0.5, 0.5, s.shape) for s in training[0]]
    assert len(shots) > fingerprint_module.BLOCK
    estimates = []
    postprocess = fingerprint_module.postprocess

    def kept(channels):
        estimates.append(np.stack(channels))
        return postprocess(channels)

    monkeypatch.setattr(fingerprint_module, "postprocess", kept)
    expected = morvekin_prnu.fingerprint(shots)
    assert_same_bits(morvekin_prnu.fingerprint(shots, workers=3), expected)
    morvekin_prnu.fingerprint((s for s in shots), workers=2)
    with ThreadPoolExecutor(2) as executor:
        morvekin_prnu.fingerprint(shots, executor=executor, workers=2)
    for estimate in estimates[1:]:
        assert_same_bits(estimate, estimates[0])
    monkeypatch.setattr(fingerprint_module, "BLOCK", len(shots))  # other blocks: other bits, so the check can fail
    morvekin_prnu.fingerprint(shots)
    assert not np.array_equal(estimates[-1].view(np.uint64), estimates[0].view(np.uint64))


def test_unusable_images_are_reported_in_order_and_left_out(cameras):
    # The blocks of the sums are fixed by position, so skipping an image must
    # not move the others: the result is the same bits with or without an executor.
    patterns, training, _, _ = cameras
    shots = list(training[1])
    shots[1] = np.zeros((64, 64, 4), np.uint8)
    shots[4] = shots[4][:, :200]
    reported = []
    estimate = morvekin_prnu.fingerprint(shots, onerror=lambda *report: reported.append(report))
    with ThreadPoolExecutor(2) as executor:
        assert_same_bits(morvekin_prnu.fingerprint(shots, onerror=lambda *report: None, executor=executor), estimate)
    assert [label for label, _ in reported] == ["images[1]", "images[4]"]
    assert isinstance(reported[0][1], ValueError) and "shape (64, 64, 4)" in str(reported[0][1])
    assert "differs from the majority's (256, 256, 3)" in str(reported[1][1])
    assert morvekin_prnu.ncc(estimate, patterns[1]) > 0.4
    with pytest.raises(ValueError, match="none of the 2 images could be used"):
        morvekin_prnu.fingerprint([shots[1], shots[1][..., :2]], onerror=lambda *report: None)


def test_match_all_matches_each_fingerprint_as_match_does(cameras):
    _, _, held_out, fingerprints = cameras
    found = morvekin_prnu.match_all(fingerprints, held_out[2][0])
    assert [result.same_camera for result in found] == [False, False, True]
    for result, estimate in zip(found, fingerprints):
        one = morvekin_prnu.match(estimate, held_out[2][0])
        assert (result.pce, result.ncc, result.peak) == (one.pce, one.ncc, one.peak)


@pytest.mark.parametrize("workers", [1, 2])
def test_images_are_streamed_not_stacked(cameras, workers):
    # When the generator makes an image, earlier images it made must be gone
    # but for the few in flight: nothing keeps them once their terms are added.
    _, training, _, _ = cameras
    alive = []

    def images():
        for pixels in training[2]:
            copy = pixels.copy()
            alive.append(sum(ref() is not None for ref in refs))
            refs.append(weakref.ref(copy))
            yield copy
            del copy

    refs = []
    morvekin_prnu.fingerprint(images(), workers=workers)
    assert len(alive) == TRAINING_SHOTS and max(alive) <= workers + 1


def test_saturated_pixels_are_plateaus_at_the_maximum():
    channel = np.array([[9, 9, 1, 9],
                        [1, 9, 1, 1],
                        [2, 3, 4, 5]], dtype=np.uint8)
    expected = np.array([[1, 1, 0, 0],
                         [0, 1, 0, 0],
                         [0, 0, 0, 0]], dtype=bool)
    np.testing.assert_array_equal(morvekin_prnu.saturated(channel), expected)


def test_clipped_regions_add_nothing_to_the_fingerprint(cameras, rng):
    # A region white in every shot carries no pattern, and must not drown the
    # rest: the estimate there is zero before post-processing.
    patterns, training, _, _ = cameras
    shots = [s.copy() for s in training[0]]
    for pixels in shots:
        pixels[:64, :64] = 255
    estimate = morvekin_prnu.fingerprint(shots)
    assert np.abs(estimate[8:56, 8:56]).max() < 0.25 * np.abs(estimate[100:, 100:]).max()
    assert morvekin_prnu.ncc(estimate[64:, 64:], patterns[0][64:, 64:]) > 0.4


def test_shapes_that_differ_are_refused_naming_the_image(cameras):
    _, training, _, _ = cameras
    shots = list(training[0][:2]) + [training[0][2][:, :200]]
    with pytest.raises(ValueError, match=r"images\[2\]: shape \(256, 200, 3\) differs from the majority's "
                                         r"\(256, 256, 3\)"):
        morvekin_prnu.fingerprint(shots)
    with pytest.raises(ValueError, match="images is empty"):
        morvekin_prnu.fingerprint(iter([]))


@pytest.fixture
def thumbnail(cameras):
    return cameras[1][0][0][::2, ::2].copy()


def test_the_majority_shape_wins_wherever_the_odd_image_comes(cameras, thumbnail):
    _, training, _, fingerprints = cameras
    for position in (0, 3, TRAINING_SHOTS):
        shots = list(training[0])
        shots.insert(position, thumbnail)
        reported = []
        estimate = morvekin_prnu.fingerprint(shots, onerror=lambda *report: reported.append(report))
        assert_same_bits(estimate, fingerprints[0])
        assert [label for label, _ in reported] == [f"images[{position}]"]
        assert re.search(r"shape \(128, 128, 3\) differs from the majority's \(256, 256, 3\) \(6 of 7 images\)",
                         str(reported[0][1]))
    with pytest.raises(ValueError, match=r"as many images are of shape \(256, 256, 3\) as of \(128, 128, 3\)"):
        morvekin_prnu.fingerprint([training[0][0], thumbnail], onerror=lambda *report: None)


def test_an_image_given_twice_counts_once_and_is_said(cameras, tmp_path):
    _, training, _, fingerprints = cameras
    shots = list(training[0])
    with pytest.warns(morvekin_prnu.FingerprintWarning, match=r"images\[6\] is the same picture as images\[2\]"):
        assert_same_bits(morvekin_prnu.fingerprint([*shots, shots[2].copy()]), fingerprints[0])
    # Files: the same file twice, through a link, and a copy of its bytes under another name.
    for k in range(2):
        Image.fromarray(shots[k]).save(tmp_path / f"{k}.png")
    (tmp_path / "link.png").symlink_to(tmp_path / "0.png")
    (tmp_path / "copy.png").write_bytes((tmp_path / "1.png").read_bytes())
    files = [tmp_path / name for name in ("0.png", "1.png", "0.png", "link.png", "copy.png")]
    read = []
    with pytest.warns(morvekin_prnu.FingerprintWarning) as said:
        twice = morvekin_prnu.fingerprint(files, onread=lambda label, facts: read.append((label, facts.sha256)))
    assert_same_bits(twice, morvekin_prnu.fingerprint(files[:2]))
    assert [str(w.message).split(" is the same")[0] for w in said if "same picture" in str(w.message)] == \
        [str(f) for f in files[2:]]
    assert read == [(str(f), hashlib.sha256(f.read_bytes()).hexdigest()) for f in files[:2]]


@pytest.mark.parametrize("images", ["camera_a", Path("camera_a"), b"camera_a"])
def test_a_single_path_is_no_list_of_images(images):
    with pytest.raises(TypeError, match="images must be an iterable of images, not one"):
        morvekin_prnu.fingerprint(images)


def test_a_far_brighter_image_is_said_to_dominate(cameras):
    _, training, _, _ = cameras
    dark = [np.round(s * 0.2).astype(np.uint8) for s in training[1][:5]]
    with pytest.warns(morvekin_prnu.FingerprintWarning, match=r"images\[5\] dominates the estimate: it carries"):
        morvekin_prnu.fingerprint([*dark, training[1][5]])
    with warnings.catch_warnings():
        warnings.simplefilter("error", morvekin_prnu.FingerprintWarning)
        warnings.filterwarnings("ignore", "only", morvekin_prnu.FingerprintWarning)
        morvekin_prnu.fingerprint(training[1])
    with pytest.warns(morvekin_prnu.FingerprintWarning, match=r"only 6 images used: .* fewer than 20"):
        morvekin_prnu.fingerprint(training[1])


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_images_that_carry_no_pattern_give_no_fingerprint(dtype):
    black, flat, saturated = (np.full((64, 64, 3), np.iinfo(dtype).max * share, dtype) for share in (0, 0.4, 1))
    with pytest.raises(ValueError, match=r"the estimate is constant \(0\.0 everywhere\): it carries no pattern"):
        morvekin_prnu.fingerprint([black, flat, saturated])
