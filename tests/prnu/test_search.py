"""The two-stage search against the search over every scale, its priors and its p-value accounting."""

import math

import numpy as np
import pytest
import pywt

import morvekin_prnu
from cameras import assert_same_bits, resized, sensor_pattern, shot
from morvekin_prnu import coarse, geometry, search
from morvekin_prnu._fft import irfft2, rfft2
from morvekin_prnu.correlation import pce, rescaled, sum_of_products
from morvekin_prnu.verdict import p_value

SHAPE = (192, 256)

pytestmark = pytest.mark.filterwarnings(r"ignore:only \d+ images? used:UserWarning")


@pytest.fixture(scope="module")
def camera():
    """A camera's fingerprint, another camera's, and a held-out shot of the first."""
    rng = np.random.default_rng(11)
    patterns = [sensor_pattern(rng, SHAPE) for _ in range(2)]
    pictures = (lambda: pywt.data.camera()[:SHAPE[0], :SHAPE[1]], lambda: pywt.data.ascent()[:SHAPE[0], :SHAPE[1]])
    fingerprints = [morvekin_prnu.fingerprint([shot(rng, k, pictures) for _ in range(6)]) for k in patterns]
    return fingerprints, shot(rng, patterns[0], (lambda: pywt.data.aero()[:SHAPE[0], :SHAPE[1]],))


def exhaustive(fingerprint, weighted, rule):
    """(PCE, orientation, scale, peak) of the best full test over every planned orientation and grid scale,
    each in double precision: what a search over every scale would find."""
    values = rescaled(fingerprint)
    values -= values.mean()
    kernel, norm = rfft2(values, values.shape), math.sqrt(sum_of_products(values, values))
    image = rescaled(weighted)
    _, searches = geometry.plan(image.shape, values.shape, geometry.chosen_orientations(rule.orientations),
                                rule.min_scale)
    best = (-math.inf,)
    for planned in searches:
        turned = geometry.to_sensor(image, planned.orientation)
        for scale in planned.scales:
            covered = geometry.extent(turned.shape, scale, values.shape)
            enlarged = geometry.upsampled(turned, covered, (scale, scale))
            product = np.conj(rfft2(enlarged - enlarged.mean(), values.shape))
            product *= kernel
            correlation = irfft2(product, values.shape)
            correlation /= math.sqrt(sum_of_products(enlarged - enlarged.mean(), enlarged - enlarged.mean())) * norm
            peak = geometry.admissible_peak(correlation, geometry.admissible(covered, values.shape))
            best = max(best, (pce(correlation, peak=peak), planned.orientation, scale, peak), key=lambda b: b[0])
    return best


@pytest.mark.parametrize(
    "made, orientation",  # none with the sensor's aspect ratio: the search and the priors are the only parts
    [(lambda p: resized(p, 0.8)[10:120, 20:170], "rot0"),
     (lambda p: np.rot90(resized(p, 0.7)[5:125, :150]), "rot90"),
     (lambda p: np.rot90(resized(p, 0.9), 2)[30:150, 40:190], "rot180")],
)
def test_the_two_stage_search_finds_the_peak_the_search_over_every_scale_finds(camera, made, orientation):
    (own, _), held_out = camera
    weighted = morvekin_prnu.weighted_residual(made(held_out))
    rule = search.checked_rule(1e-6, None, 4, 0.5)
    found = morvekin_prnu.match_residual(own, weighted)
    best, where, scale, peak = exhaustive(own, weighted, rule)
    assert found.same_camera and (found.orientation, found.scale, found.peak) == (where, scale, peak), found
    assert_same_bits(np.float64(found.pce), np.float64(best))
    # Decided in the search, at its share of p_fa, for every position planned.
    _, searches = geometry.plan(weighted.shape, own.shape, geometry.ORIENTATIONS[:4], 0.5)
    priors = geometry.priors(weighted.shape, own.shape, searches)
    tests = sum(planned.positions for planned in searches)
    assert found.positions == tests + sum(prior.positions for prior in priors)
    assert found.p_value == min(1.0, p_value(found.pce, tests) / (1.0 - search.PRIORS_SHARE))


def test_the_two_stage_search_never_reports_more_than_the_search_over_every_scale(rng):
    # Unrelated pairs: whatever the first pass picks, the peak reported is one of the planned tests.
    rule = search.checked_rule(1e-6, None, 4, 0.5)
    for _ in range(6):
        fingerprint, weighted = rng.normal(size=(64, 96)), rng.normal(size=(40, 44))
        found = search.tested(fingerprint, weighted, rule)
        best = exhaustive(fingerprint, weighted, rule)[0]
        assert found.pce <= best and not found.same_camera


def test_false_alarms_of_searched_unrelated_pairs_stay_within_the_rate_asked(rng):
    found = [morvekin_prnu.match_residual(rng.normal(size=(48, 64)), rng.normal(size=(30, 36)), orientations=1,
                                          min_scale=0.7) for _ in range(400)]
    assert found[0].scales > 5
    # The two-stage search can only report less than a search over every scale: at most the rate asked
    # (Binomial(400, 0.05): mean 20, standard deviation 4.4), however far below it.
    assert sum(m.p_value <= 0.05 for m in found) <= 33
    assert all(0.0 < m.p_value <= 1.0 for m in found)


@pytest.mark.parametrize(
    "image_shape, fingerprint_shape, orientations, expected",
    [((1024, 1024), (2000, 3000), 4, {(o, s) for o in geometry.ORIENTATIONS[:4]
                                      for s in (1.0, 2048 / 3000, 1600 / 3000, 1024 / 2000)}),
     ((1200, 800), (2000, 3000), 1, {("rot0", s) for s in (1.0, 2048 / 3000, 1200 / 2000)}),  # 1600/3000 < 0.6
     # turned a quarter, the image spans the sensor's height
     ((100, 150), (192, 256), 4, {(o, s) for o, spans in zip(geometry.ORIENTATIONS[:4], (150 / 256, 150 / 192) * 2)
                                  for s in (1.0, spans)})],
)
def test_priors_are_scale_1_the_common_sizes_and_the_spanning_scale_within_the_search(
        image_shape, fingerprint_shape, orientations, expected):
    _, searches = geometry.plan(image_shape, fingerprint_shape, geometry.ORIENTATIONS[:orientations])
    first = geometry.priors(image_shape, fingerprint_shape, searches)
    assert {(prior.orientation, prior.scale) for prior in first} == expected
    # Tried as cut first, then where the image spans the sensor (here the smallest), then the common sizes.
    scales = [prior.scale for prior in first if prior.orientation == "rot0"]
    assert scales == [1.0, min(scales), *sorted(set(scales) - {1.0, min(scales)}, reverse=True)]
    for prior in first:
        turned = geometry.to_sensor(np.empty(image_shape, np.bool_), prior.orientation).shape
        covered = geometry.extent(turned, prior.scale, fingerprint_shape)
        assert prior.positions == math.prod(geometry.admissible(covered, fingerprint_shape))
    # A search of one scale has no priors: it is one itself.
    _, single = geometry.plan(image_shape, fingerprint_shape, geometry.ORIENTATIONS[:orientations], 1.0)
    assert geometry.priors(image_shape, fingerprint_shape, single) == []


def test_the_spanning_scale_is_no_prior_below_the_smallest_scale_searched():
    # A 600x400 image spans a 2000x3000 sensor at 0.3: below min_scale 0.5, so not a prior, and at
    # min_scale 0.3 one.
    _, searches = geometry.plan((600, 400), (2000, 3000), geometry.ORIENTATIONS[:1], 0.5)
    assert 0.3 not in {prior.scale for prior in geometry.priors((600, 400), (2000, 3000), searches)}
    _, searches = geometry.plan((600, 400), (2000, 3000), geometry.ORIENTATIONS[:1], 0.3)
    assert 0.3 in {prior.scale for prior in geometry.priors((600, 400), (2000, 3000), searches)}


@pytest.mark.parametrize(
    "made, scale, peak",
    [(lambda p: p[20:150, 30:210], 1.0, (20, 30)),  # a crop as cut
     # cut along one side only (its full width) and resized: found where it spans the sensor
     (lambda p: resized(p[40:160], 0.83), 212 / 256, None)],
)
def test_a_crop_at_a_prior_scale_is_decided_by_the_priors_at_their_own_share(camera, made, scale, peak):
    (own, _), held_out = camera
    image = made(held_out)
    found = morvekin_prnu.match(own, image)
    _, searches = geometry.plan(image.shape[:2], own.shape, geometry.ORIENTATIONS[:4], 0.5)
    tests = sum(prior.positions for prior in geometry.priors(image.shape[:2], own.shape, searches))
    assert found.same_camera and (found.scale, found.orientation) == (scale, "rot0")
    assert peak is None or found.peak == peak
    assert found.p_value == min(1.0, p_value(found.pce, tests) / search.PRIORS_SHARE)


def test_the_priors_stop_at_the_first_scale_that_decides_and_try_every_one_otherwise(camera, monkeypatch):
    (own, other), held_out = camera
    image = held_out[20:150, 30:210]
    tried = []
    full = search._full
    monkeypatch.setattr(search, "_full", lambda prepared, turned, tests: tried.append(tests) or full(prepared, turned,
                                                                                                      tests))
    _, searches = geometry.plan(image.shape[:2], own.shape, geometry.ORIENTATIONS[:4], 0.5)
    planned = {(prior.orientation, prior.scale) for prior in geometry.priors(image.shape[:2], own.shape, searches)}
    assert morvekin_prnu.match(own, image).same_camera
    assert {test for tests in tried for test in tests} == {test for test in planned if test[1] == 1.0}
    tried.clear()
    morvekin_prnu.match(other, image)
    assert planned <= {test for tests in tried for test in tests}


def test_the_first_pass_ranks_the_planted_scale_and_orientation_first(camera):
    (own, _), held_out = camera
    image = rescaled(morvekin_prnu.weighted_residual(np.rot90(resized(held_out, 0.75)[:130, :180], 3)))
    values = rescaled(own)
    _, searches = geometry.plan(image.shape, own.shape, geometry.ORIENTATIONS[:4], 0.5)
    first = coarse.Coarse(rfft2(values - values.mean(), own.shape, np.float32), own.shape)
    cells = list(coarse.ranked(first, image, searches))
    scales = {planned.orientation: coarse.coarse_scales(geometry.to_sensor(image, planned.orientation).shape,
                                                        planned.scales[-1]) for planned in searches}
    assert len(cells) == sum(len(s) for s in scales.values())
    value, orientation, scale = max(cells)
    assert orientation == "rot270" and abs(math.log(scale / 0.75)) < 0.02
    assert value > 10 * np.median([cell[0] for cell in cells])


@pytest.mark.parametrize("lowest", [0.5, 0.61, 1.0])
def test_the_first_pass_grid_spans_the_search_at_its_coarser_step(lowest):
    scales = coarse.coarse_scales((120, 160), lowest)
    ratios = np.diff(np.log(scales))
    assert scales[0] == 1.0 and lowest <= scales[-1] < lowest * math.exp(geometry.STEP / (coarse.BAND * 160))
    assert np.all(ratios[:-1] == pytest.approx(-geometry.STEP / (coarse.BAND * 160)))


@pytest.mark.parametrize("shape", [(48, 64), (45, 63)])
def test_transforms_done_in_one_thread_and_cut_to_rows_agree_with_the_spread_ones(rng, shape):
    x = rng.normal(size=(30, 40)).astype(np.float32)
    spread = rfft2(x, shape, np.float32)
    here = rfft2(x, shape, np.float32, spread=False)
    np.testing.assert_allclose(here, spread, rtol=1e-5, atol=1e-4)
    for mode in (True, False):
        whole = irfft2(spread.copy(), shape, spread=mode)
        assert_same_bits(irfft2(spread.copy(), shape, rows=17, spread=mode), whole[:17])
    np.testing.assert_allclose(whole, np.fft.irfft2(spread, shape), rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("shape, fingerprint_shape, spans", [((90, 160), (150, 200), 0.8), ((120, 90), (150, 200), 0.8)])
def test_a_spanning_search_covers_only_the_scales_near_where_the_image_spans_the_sensor(shape, fingerprint_shape,
                                                                                          spans):
    full = geometry.scale_grid(shape, fingerprint_shape, 0.5)
    near = geometry.scale_grid(shape, fingerprint_shape, 0.5, spanning=1.2)
    half_step = math.exp(geometry.STEP / max(shape) / 2)
    assert near[0] == pytest.approx(spans * 1.2) and spans <= near[-1] <= spans * half_step and full[-1] >= spans
    assert np.diff(np.log(near))[:-1] == pytest.approx(np.diff(np.log(full))[0])  # the same step, from lower
    _, searches = geometry.plan(shape, fingerprint_shape, geometry.ORIENTATIONS[:1], 0.5, spanning=1.2)
    assert searches[0].scales == tuple(near)
    assert all(near[-1] <= prior.scale <= near[0] for prior in geometry.priors(shape, fingerprint_shape, searches))
    # Where it spans the sensor, whatever the smallest scale a photograph is searched down to.
    assert geometry.scale_grid(shape, fingerprint_shape, 0.9, spanning=1.2) == near
