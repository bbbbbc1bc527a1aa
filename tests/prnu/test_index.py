"""The library's index: quantized scores counted exactly, and cuts that pass over no camera the full test attributes."""

import math

import numpy as np
import pytest
import pywt
from PIL import Image

import morvekin_prnu as prnu
from cameras import assert_same_bits, resized, sensor_pattern, shot
from morvekin_prnu import binary, composites, identification, sharded
from morvekin_prnu.search import checked_rule

SHAPE = (128, 128)
QUESTIONED = (pywt.data.aero,)


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


@pytest.fixture(scope="module")
def library(tmp_path_factory):
    """Eight cameras of one sensor (simulated fingerprints: the pattern plus estimation noise), a shot by three
    of them, one shot resized whole, and a library of all eight."""
    folder = tmp_path_factory.mktemp("index")
    rng = np.random.default_rng(31)
    patterns = [sensor_pattern(rng, SHAPE, strength=0.012) for _ in range(8)]
    with prnu.Library(folder / "lib", create=True) as opened:
        for k, pattern in enumerate(patterns):
            estimate = (pattern + rng.normal(0.0, 0.01, SHAPE)).astype(np.float32)
            prnu.save_fingerprint(folder / f"{k}.npz", estimate, {"sigma": 3.0})
            opened.add_fingerprint(f"camera{k}", folder / f"{k}.npz")
    images = [shot(rng, patterns[k], QUESTIONED) for k in (1, 4, 6)] + [resized(shot(rng, patterns[2]), 0.8)]
    paths = []
    for k, image in enumerate(images):
        paths.append(folder / f"query{k}.png")
        Image.fromarray(image).save(paths[-1])
    return folder / "lib", paths


def same_identifications(found, expected):
    assert found == expected
    scores = [np.float64([c.score if c.score is not None else np.nan for c in each.candidates])
              for each in (found, expected)]
    assert_same_bits(*scores)


def test_shards_of_any_size_give_the_same_identification(library, monkeypatch):
    path, queries = library
    with prnu.Library(path) as opened:
        whole = [opened.identify(query) for query in queries]
    monkeypatch.setattr(identification, "SHARD", 3)
    with prnu.Library(path) as opened:
        search = opened.search()
    assert [len(shard.positions) for shard in search.shards] == [3, 3, 2]
    for query, expected in zip(queries, whole):
        same_identifications(search.identify(query), expected)
    assert [found.verdict for found in whole] == ["camera1", "camera4", "camera6", "camera2"]
    assert [found.tested for found in whole] == [1, 1, 1, 1]


@pytest.mark.slow
def test_identify_on_a_cluster_holding_the_index_in_shards_is_the_same(library, monkeypatch):
    from distributed import Client, LocalCluster

    path, queries = library
    rule = checked_rule(prnu.matching.P_FA, None, 4, 0.5)
    with prnu.Library(path) as opened:
        expected = [opened.identify(query) for query in queries]
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            monkeypatch.setattr(identification, "SHARD", 3)
            search = opened.search(sharded.spreading(client))
            held = {shard.address for shard in search.shards}
            found = [future.result() for future in sharded.identified(client, search, map(str, queries), rule,
                                                                      False, 2, {})]
            # Each worker holds a share, and no shard reached another worker.
            holders = client.who_has([shard.future for shard in search.shards])
    assert len(search.shards) == 3 and len(held) == 2
    assert [holders[shard.future.key] for shard in search.shards] == [(shard.address,) for shard in search.shards]
    for each, one in zip(found, expected):
        same_identifications(each._replace(image=one.image), one)


CROPS = {  # how each questioned crop is made from a library query's shot: (query, scale, rows, columns)
    "cut at scale 1": (0, 1.0, slice(10, 100), slice(20, 120)),
    "resized 0.9 and cut": (1, 0.9, slice(2, 112), slice(3, 100)),
    "turned and cut": (2, 1.0, slice(30, 120), slice(0, 100)),
}


def cropped(path, scale, rows, columns, turns=0):
    pixels = np.asarray(Image.open(path))
    return np.rot90(resized(pixels, scale) if scale != 1.0 else pixels, turns)[rows, columns]


@pytest.mark.parametrize("query, scale, rows, columns", CROPS.values(), ids=CROPS.keys())
def test_a_camera_placed_where_its_own_search_peaks_gets_that_search_s_match(library, query, scale, rows, columns):
    path, queries = library
    image = cropped(queries[query], scale, rows, columns, turns=query == 2)
    rule = checked_rule(prnu.matching.P_FA, None, 4, 0.5)
    with prnu.Library(path) as opened:
        camera = opened.cameras()[(1, 4, 6)[query]]
    fingerprint = prnu.load_fingerprint(camera.file)[0]
    weighted = prnu.weighted_residual(image)
    own = prnu.search.tested(fingerprint, weighted, rule)
    placed = composites.Placement(weighted, own, fingerprint.shape, rule).test(fingerprint)
    assert own.same_camera and placed == own
    assert_same_bits(np.float64([placed.pce, placed.p_value, placed.ncc]), np.float64([own.pce, own.p_value, own.ncc]))


def test_crops_tested_through_a_composite_get_the_verdict_of_testing_each_camera(library, monkeypatch, tmp_path):
    path, queries = library
    images = [cropped(queries[query], scale, rows, columns, turns=query == 2)
              for query, scale, rows, columns in CROPS.values()]
    rng = np.random.default_rng(5)
    images.append(shot(rng, sensor_pattern(rng, SHAPE, strength=0.006), QUESTIONED)[20:110, 10:120])  # an outsider
    searches = []
    searched = composites.tested
    monkeypatch.setattr(composites, "tested", lambda *arguments: searches.append(1) or searched(*arguments))
    with prnu.Library(path) as opened:
        for image, expected in zip(images, ["camera1", "camera4", "camera6", None]):
            grouped, alone = opened.identify(image), opened.identify(image, exhaustive=True)
            assert grouped.verdict == alone.verdict == expected
            assert grouped.tested == alone.tested == 8 and all(c.score is None for c in grouped.candidates)
            assert (grouped.grouped, alone.grouped) == (8, 0)
            # Each camera's p-value counts its whole search, as testing it alone does.
            accounts = {c.camera: c.match[7:10] for c in alone.candidates}
            assert {c.camera: c.match[7:10] for c in grouped.candidates} == accounts
    assert len(searches) == len(images)  # one search of the composite per image, none per camera
