"""Score-based likelihood ratios: the score, the calibration on known distributions, the bounds, the words."""

import math

import numpy as np
import pytest
import threadpoolctl

from cameras import assert_same_bits
from morvekin_prnu import Match
from morvekin_prnu.likelihood import (MIN_REFERENCES, SMALLEST_P, Calibration, bounds, calibration, likelihood_ratio,
                                      score, verbal)


def separated(rng, same_count, different_count):
    """Scores as shots as taken give them: different-source ones near 0, same-source ones far above."""
    return rng.uniform(50.0, 300.0, same_count), rng.exponential(1.0 / math.log(10.0), different_count)


@pytest.mark.parametrize("p_value, expected", [(1.0, 0.0), (1e-6, 6.0), (0.0, 300.0), (1e-320, 300.0)])
def test_the_score_is_minus_log10_of_the_p_value_down_to_the_smallest(p_value, expected):
    found = score(Match(40.0, 0.1, (0, 0), True, p_value))
    assert found == pytest.approx(expected) and math.copysign(1.0, found) == 1.0
    assert -math.log10(SMALLEST_P) == 300.0


def test_a_nan_p_value_is_no_score():
    with pytest.raises(ValueError, match="p-value is NaN"):
        score(Match(float("nan"), 0.0, (0, 0), False, float("nan")))


@pytest.mark.parametrize("same_count, different_count", [(20000, 20000), (4000, 40000), (40000, 4000)])
def test_gaussian_scores_give_their_known_lr_whatever_the_sizes_of_the_sides(rng, same_count, different_count):
    # Same source N(2, 1) against different source N(0, 1): ln LR(s) = 2 s - 2, whatever the count of each;
    # checked where both sides have data, within about three standard errors of the smaller side's fit.
    line = calibration(rng.normal(2.0, 1.0, same_count), rng.normal(0.0, 1.0, different_count))
    for at in (0.5, 1.0, 1.5):
        assert line.log10_lr(at) == pytest.approx((2.0 * at - 2.0) / math.log(10.0), abs=0.05)


def test_the_calibration_is_the_same_bits_on_any_number_of_threads(rng):
    same, different = rng.normal(2.0, 1.0, 3000), rng.normal(0.0, 1.0, 30000)
    lines = []
    for threads in (1, 2):
        with threadpoolctl.threadpool_limits(threads):
            lines.append(np.array(calibration(same, different)))
    assert_same_bits(*lines)


def test_sides_that_do_not_overlap_give_a_finite_rising_line(rng):
    line = calibration(*separated(rng, 20, 100))
    assert 0.0 < line.slope < math.inf and math.isfinite(line.intercept)
    assert line.log10_lr(0.0) < 0.0 < line.log10_lr(300.0)


def test_scores_all_alike_say_nothing():
    line = calibration([3.0] * 10, [3.0] * 12)
    assert line == Calibration(0.0, 0.0)
    assert likelihood_ratio(3.0, [3.0] * 10, [3.0] * 12).verbal == "no support for either proposition"


@pytest.mark.parametrize("same_count, different_count", [(10, 10), (10, 300), (100, 30), (100, 1000)])
def test_the_bounds_grow_with_the_reference_data_and_no_further(rng, same_count, different_count):
    same, different = separated(rng, same_count, different_count)
    lower, upper = bounds(calibration(same, different), same, different)
    # Vergeer et al. (2016): at most log10 of one plus the count of the other side's comparisons.
    assert -math.log10(same_count + 1) <= lower < 0.0 < upper <= math.log10(different_count + 1)
    assert round(lower, 2) == lower and round(upper, 2) == upper  # on the grid of 0.01
    larger = bounds(calibration(same, np.concatenate([different] * 4)), same, np.concatenate([different] * 4))
    assert larger[1] > upper


def test_a_score_beyond_the_references_is_held_at_the_upper_bound(rng):
    same, different = separated(rng, 12, 80)
    ratio = likelihood_ratio(300.0, same, different)
    assert ratio.log10_lr > ratio.log10_bounds[1] == ratio.log10_bounded_lr
    assert ratio.bounded_lr == pytest.approx(10.0 ** ratio.log10_bounds[1])
    assert ratio.verbal.endswith("support for Hp")
    low = likelihood_ratio(0.0, same, different)
    assert low.log10_bounded_lr == low.log10_bounds[0] and low.verbal.endswith("support for Hd")
    assert (ratio.same_source, ratio.different_source) == (12, 80)


def test_an_lr_past_floating_point_is_infinite_not_an_error(rng):
    ratio = likelihood_ratio(1e6, *separated(rng, 12, 80))
    assert ratio.log10_lr > 400.0 and ratio.lr == math.inf and math.isfinite(ratio.bounded_lr)


@pytest.mark.parametrize("log10_lr, words", [
    (0.0, "no support for either proposition"), (0.3, "weak support for Hp"), (0.999, "weak support for Hp"),
    (1.0, "moderate support for Hp"), (2.5, "moderately strong support for Hp"), (3.0, "strong support for Hp"),
    (5.9, "very strong support for Hp"), (6.0, "extremely strong support for Hp"), (-0.5, "weak support for Hd"),
    (-2.0, "moderately strong support for Hd"), (-7.0, "extremely strong support for Hd"),
])
def test_the_verbal_scale(log10_lr, words):
    assert verbal(log10_lr) == words


def test_nan_falls_in_no_band():
    with pytest.raises(ValueError, match="NaN"):
        verbal(float("nan"))


@pytest.mark.parametrize("same_count, different_count, named", [
    (MIN_REFERENCES - 1, 50, "same_source: 9 reference comparisons"),
    (0, 50, "same_source: 0 reference comparisons"),
    (20, MIN_REFERENCES - 1, "different_source: 9 reference comparisons"),
])
def test_too_few_references_are_refused_naming_the_side(rng, same_count, different_count, named):
    with pytest.raises(ValueError, match=f"{named}, fewer than the 10"):
        likelihood_ratio(5.0, *separated(rng, same_count, different_count))


@pytest.mark.parametrize("score_value", [float("nan"), math.inf, "5", True])
def test_a_score_that_is_no_finite_number_is_refused(rng, score_value):
    with pytest.raises(ValueError, match="score must be a finite number"):
        likelihood_ratio(score_value, *separated(rng, 12, 20))


def test_reference_scores_that_are_not_finite_are_refused(rng):
    same, different = separated(rng, 12, 20)
    different[3] = np.nan
    with pytest.raises(ValueError, match="different_source holds a score that is not finite"):
        likelihood_ratio(5.0, same, different)
