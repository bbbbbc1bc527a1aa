"""The library's index: quantized scores counted exactly, and cuts that pass over no camera the full test attributes."""

import math

import numpy as np
import pytest

import morvekin_prnu as prnu
from cameras import assert_same_bits
from morvekin_prnu import binary, identification
from morvekin_prnu.search import checked_rule


def levels(plane):
    """Each value's 16-level and 4-level quantization, as the index defines them, in plain integers."""
    centred = plane.astype(np.float64).ravel()
    centred -= centred.mean()
    index = np.minimum(np.floor(np.abs(centred) / (binary.STEP * math.sqrt(np.mean(centred * centred)))), binary.TOP)
    sign = np.where(centred > 0, 1, -1)
    return sign * (2 * index + 1), sign * np.where(index >= binary.COARSE, 3, 1)


@pytest.mark.parametrize("shape", [(7, 9), (8, 8), (64, 65)])
def test_scores_are_the_correlations_of_the_levels_counted_exactly(rng, shape):
    fingerprints = rng.normal(size=(5, *shape))
    fingerprints[0, 0, :3] = fingerprints[0].mean()  # at the mean: counts as below it
    images = [fingerprints[1] + rng.normal(size=shape), rng.standard_t(3, size=shape)]
    planes = np.array([binary.quantize(plane) for plane in fingerprints])
    probes = np.array([binary.quantize(image) for image in images])
    pixels = math.prod(shape)
    assert planes.shape == (5, binary.PLANES, -(-pixels // 64))
    ours = [levels(plane)[0] for plane in fingerprints]
    for k, image in enumerate(images):
        fine, coarse = levels(image)
        expected_coarse = np.array([np.sum(np.sign(a) * coarse) for a in ours]) / math.sqrt(np.sum(coarse * coarse))
        expected_fine = np.array([np.sum(a * fine) / math.sqrt(np.sum(a * a) * np.sum(fine * fine) / pixels)
                                  for a in ours])
        assert_same_bits(binary.coarse_scores(planes[:, 0], probes, pixels)[:, k], expected_coarse)
        assert_same_bits(binary.fine_scores(planes, probes[k], pixels), expected_fine)


def test_scores_refuse_arrays_that_do_not_agree(rng):
    planes = binary.quantize(rng.normal(size=(8, 8)))[None]
    with pytest.raises(ValueError, match="do not agree"):
        binary.coarse_scores(planes[:, 0], planes, 65)
    with pytest.raises(TypeError, match="uint64"):
        binary.fine_scores(planes.astype(np.int64), planes[0], 64)


def test_the_index_passes_over_no_camera_whose_test_just_passes(rng):
    """Residuals that correlate with their camera's pattern just enough for the zero-shift test to pass (PCE 1 to 2
    times the threshold), among 200 other cameras: the index picks each, and few others."""
    shape, cameras = (128, 128), 200
    patterns = rng.normal(size=(cameras, *shape)).astype(np.float32)
    shard = identification.Shard(shape, 3.0, np.arange(cameras),
                                 np.array([binary.quantize(pattern) for pattern in patterns]))
    rule = checked_rule(prnu.matching.P_FA, None, 4, 0.5)
    threshold = prnu.matching.pce_threshold(rule.p_fa, 4)
    picked, attributed, others = 0, 0, 0
    for trial in range(60):
        own = trial % cameras
        strength = math.sqrt(threshold * rng.uniform(1.0, 2.0) / math.prod(shape))
        weighted = strength * patterns[own] + rng.normal(size=shape)
        if not prnu.match_residual(patterns[own], weighted, orientations=4).same_camera:
            continue
        attributed += 1
        probe = identification.Probe(("rot0", "rot90", "rot180", "rot270"),
                                     np.array([binary.quantize(np.rot90(weighted, -k)) for k in range(4)]), threshold)
        chosen = identification.scanned(shard, probe).chosen
        picked += bool(chosen[own])
        others += int(chosen.sum()) - bool(chosen[own])
    assert attributed > 40 and picked == attributed
    assert others <= 2  # chance: about 1 in 100,000 per camera and orientation
