"""Validation on labelled data: each comparison calibrated on the others, the measures and the plots."""

import io
import math

import numpy as np
import pytest
import pywt
from PIL import Image

import morvekin_prnu as prnu
from cameras import assert_same_bits, sensor_pattern, shot
from morvekin_prnu import validation
from morvekin_prnu.evidence import camera_fingerprint
from morvekin_prnu.likelihood import likelihood_ratio
from morvekin_prnu.provenance import array_sha256, file_entry

pytestmark = [pytest.mark.filterwarnings(r"ignore:only \d+ images? used:UserWarning"),
              pytest.mark.filterwarnings(r"ignore:.* dominates the estimate:UserWarning")]

CAMERAS = ("a", "b", "c")


def labelled(rng, per_camera=12):
    """Scores of 12 images per camera against the three cameras' fingerprints: same source high, else low."""
    images = [camera for camera in CAMERAS for _ in range(per_camera)]
    same = np.array(images)[:, None] == np.array(CAMERAS)[None, :]
    return np.where(same, rng.uniform(20.0, 200.0, same.shape), rng.exponential(0.43, same.shape)), images


def test_each_comparison_is_calibrated_on_the_others_as_a_case_would_be(rng):
    scores, images = labelled(rng)
    result = validation.cross_validated(scores, images, CAMERAS)
    assert result.pairs.shape == (36 * 3, 2) and result.same_source.sum() == 36
    row = list(map(tuple, result.pairs)).index((14, 0))  # an image of b against a's fingerprint
    # Same source: a's other images against a. Different: image 14 against c's fingerprint (b's took it, a's is
    # the suspect's), and the images of b and c but image 14 against a.
    expected = likelihood_ratio(scores[14, 0], scores[:12, 0],
                                np.concatenate([scores[14, [2]], np.delete(scores[12:, 0], 2)]))
    assert_same_bits(np.array([result.log10_lrs[row], *result.log10_bounds[row], result.log10_bounded_lrs[row]]),
                     np.array([expected.log10_lr, *expected.log10_bounds, expected.log10_bounded_lr]))
    assert not result.same_source[row]


def test_a_comparison_never_calibrates_itself(rng):
    scores, images = labelled(rng)
    before = validation.cross_validated(scores, images, CAMERAS)
    scores[5, 0] = 1e4  # one same-source score far out: its own LR rises, no other comparison of a's does
    after = validation.cross_validated(scores, images, CAMERAS)
    changed = before.log10_lrs != after.log10_lrs
    pairs = list(map(tuple, before.pairs))
    assert changed[pairs.index((5, 0))]
    assert all(changed[pairs.index((i, 0))] for i in range(12) if i != 5)  # it is their reference
    assert not any(changed[pairs.index((i, 1))] for i in range(36) if i != 5)


def test_fingerprints_without_images_serve_only_as_population(rng):
    scores, images = labelled(rng)
    result = validation.cross_validated(np.hstack([scores, rng.exponential(0.43, (36, 1))]), images,
                                        [*CAMERAS, "d"])
    assert result.pairs.shape == (36 * 3, 2) and 3 not in result.pairs[:, 1]


@pytest.mark.parametrize("images, fingerprints, message", [
    (["a"] * 10 + ["b"] * 12 + ["c"] * 12, CAMERAS, "camera a: 9 same-source references .* give at least 11 images"),
    (["a"] * 12 + ["b"] * 3, ("a", "b"), "camera a: 4 different-source references"),
    (["x"] * 12 + ["y"] * 12, ("a", "b"), "no image is of a camera that has a fingerprint"),
    (["a"] * 30, ("a",), "every image is of its fingerprint's camera"),
])
def test_a_set_too_small_is_refused_naming_the_camera(images, fingerprints, message):
    with pytest.raises(ValueError, match=message):
        validation.checked_sizes(images, fingerprints)


def constructed(same_llrs, different_llrs, upper=2.0, unbounded=None):
    count = len(same_llrs) + len(different_llrs)
    llrs = np.array([*same_llrs, *different_llrs], dtype=np.float64)
    return validation.Validation(np.zeros((count, 2), np.int64), np.arange(count) < len(same_llrs), llrs,
                                 llrs if unbounded is None else np.array(unbounded, dtype=np.float64),
                                 np.tile([-2.0, upper], (count, 1)), llrs)


def test_the_measures_of_known_lrs():
    result = constructed([2.0, 2.0, -0.5, 1.0], [-2.0, -2.0, -2.0, 0.5, 2.0],
                         unbounded=[2.0, 2.0, -0.5, 1.0, -2.0, -2.0, -2.0, 0.5, 7.0])
    measured = validation.performance(result)
    assert (measured.same_source, measured.different_source) == (4, 5)
    assert measured.misleading_same == 0.25 and measured.misleading_different == 0.4
    assert measured.strongly_misleading == 0.0 and measured.beyond_bound == 1 and measured.largest_different == 2.0
    expected = (np.mean(np.log2(1 + 10.0 ** -np.array([2.0, 2.0, -0.5, 1.0])))
                + np.mean(np.log2(1 + 10.0 ** np.array([-2.0, -2.0, -2.0, 0.5, 2.0])))) / 2
    assert measured.cllr == pytest.approx(expected, rel=1e-12)
    assert 0.0 < measured.cllr_min < measured.cllr


def test_lrs_that_say_nothing_cost_one_bit_and_perfect_ones_nearly_nothing():
    assert validation.performance(constructed([0.0] * 5, [0.0] * 7)).cllr == pytest.approx(1.0)
    perfect = validation.performance(constructed([6.0] * 5, [-6.0] * 7))
    assert perfect.cllr < 1e-5 and perfect.cllr_min == 0.0


@pytest.mark.parametrize("draw", [validation.tippett_png, validation.ece_png])
def test_the_plots_are_pictures(rng, draw):
    scores, images = labelled(rng)
    with Image.open(io.BytesIO(draw(validation.cross_validated(scores, images, CAMERAS)))) as picture:
        assert picture.format == "PNG" and picture.size == (600, 400)


def test_validate_scores_a_labelled_set_and_leaves_out_images_the_fingerprints_were_made_from(tmp_path):
    rng = np.random.default_rng(8)
    images, fingerprints = [], []
    for name in ("a", "b"):
        pattern = sensor_pattern(rng, (64, 64))
        training = [shot(rng, pattern, (pywt.data.camera,)) for _ in range(4)]
        inputs = [file_entry(f"t{k}", array_sha256(pixels)) for k, pixels in enumerate(training)]
        prnu.save_fingerprint(tmp_path / f"{name}.npz", prnu.fingerprint(training), {"sigma": 3.0, "inputs": inputs})
        fingerprints.append(camera_fingerprint(tmp_path / f"{name}.npz", name))
        images += [(name, shot(rng, pattern, (pywt.data.aero,))) for _ in range(11)]
    images.insert(3, ("a", training[0]))  # one of b's training shots, labelled a: b's, not a's
    images.insert(5, ("b", training[1]))  # one of b's training shots: left out
    skipped = []
    result, used = validation.validate(images, fingerprints, onerror=lambda label, error: skipped.append(label))
    assert skipped == ["images[5]"] and len(used) == 23
    assert [camera for _, camera, _ in used] == ["a"] * 12 + ["b"] * 11
    assert used[3][2].sha256 == array_sha256(training[0])
    assert result.pairs.shape == (23 * 2, 2) and math.isfinite(validation.performance(result).cllr)
