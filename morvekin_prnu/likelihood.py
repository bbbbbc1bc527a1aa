"""Score-based likelihood ratios: the score of a comparison, its calibration, its bounds and its words.

A verdict says whether a match is past a threshold. A court asks instead how
much more probable the finding is if the suspect camera took the image (Hp)
than if another camera did (Hd). The answer here is a score-based likelihood
ratio (LR), after

- van Houten, Alberink and Geradts (2011), "Implementation of the likelihood
  ratio framework for camera identification based on sensor noise patterns",
  Law, Probability and Risk 10(2): the score of the questioned comparison is
  set against the scores of comparisons of known same and different source;
- Brümmer and du Preez (2006), Computer Speech and Language 20: the score is
  turned into an LR by logistic regression (:func:`calibration`);
- Vergeer, van Es, de Jongh, Alberink and Stoel (2016), "Numerical likelihood
  ratios outputted by LR systems are often based on extrapolation: when to
  stop extrapolating?", Science & Justice 56: the LR is kept within the
  empirical lower and upper bounds (ELUB) that the amount of reference data
  supports (:func:`bounds`, through ``lir``);
- the verbal scale of the ENFSI guideline for evaluative reporting (2015)
  (:func:`verbal`).

The score is -log10 of the p-value of :func:`morvekin_prnu.match`, so it
comes from the very search that ``match`` does (scales, crops, orientations)
and accounts for it (:func:`score`). :mod:`morvekin_prnu.evidence` makes the
comparisons of a case; :mod:`morvekin_prnu.validation` measures how such LRs
perform on a laboratory's own labelled data.
"""

import math
import numbers
from typing import NamedTuple

import numpy as np
import scipy.special

# A p-value below this counts as this (a score of 300): the p-values of strong matches underflow to 0,
# and beyond this any match is overwhelming.
SMALLEST_P = 1e-300
# The fewest comparisons of each kind an LR is calibrated on. The ELUB bounds cannot exceed about
# log10(n + 1) on either side, so below ten a side no LR could pass about 10 either way.
MIN_REFERENCES = 10
# The verbal scale of the ENFSI guideline for evaluative reporting (2015), on |log10 LR|: the
# words for the band each lower end opens.
VERBAL = ((6.0, "extremely strong"), (4.0, "very strong"), (3.0, "strong"), (2.0, "moderately strong"),
          (1.0, "moderate"), (0.0, "weak"))
_ITERATIONS = 100  # Newton steps of the calibration; a few dozen suffice for any data


class Calibration(NamedTuple):
    """log10 LR = ``intercept`` + ``slope`` × score: the fitted line of :func:`calibration`."""

    intercept: float
    slope: float

    def log10_lr(self, score):
        """log10 LR of a score or an array of scores."""
        return self.intercept + self.slope * score


class Ratio(NamedTuple):
    """The likelihood ratio of one score, calibrated and bounded.

    Attributes
    ----------
    score : float
        The questioned comparison's score, -log10 of its p-value (:func:`score`).
    log10_lr : float
        log10 of the calibrated LR, before bounding.
    log10_bounds : tuple of float
        (lower, upper) ELUB bounds on log10 LR that the reference data support.
    log10_bounded_lr : float
        ``log10_lr`` within the bounds: the value to report.
    verbal : str
        The band of the verbal scale ``log10_bounded_lr`` falls in (:func:`verbal`).
    same_source, different_source : int
        How many reference comparisons of each kind it rests on.
    calibration : Calibration
        The fitted line.
    """

    score: float
    log10_lr: float
    log10_bounds: tuple
    log10_bounded_lr: float
    verbal: str
    same_source: int
    different_source: int
    calibration: Calibration

    @property
    def lr(self):
        """The calibrated LR (infinite past float64's range)."""
        return _power(self.log10_lr)

    @property
    def lr_bounds(self):
        """(lower, upper) bounds on the LR."""
        return tuple(_power(bound) for bound in self.log10_bounds)

    @property
    def bounded_lr(self):
        """The LR within its bounds."""
        return _power(self.log10_bounded_lr)


def score(found):
    """The score of a comparison: -log10 of its p-value, the chance of so strong a peak in the search done.

    The p-value (:func:`morvekin_prnu.match`) accounts for what was searched,
    and an unrelated pair's is close to uniform whatever the search, so the
    score of a different-source comparison has one distribution whether the
    peak came from a test at zero shift or from a search over millions of
    positions; its PCE has two, one for each. A p-value below
    :data:`SMALLEST_P` (strong matches underflow to 0) counts as that.

    Parameters
    ----------
    found : morvekin_prnu.Match

    Returns
    -------
    float
        In [0, -log10 SMALLEST_P].

    Raises
    ------
    ValueError
        The p-value is NaN: no score, and so no LR, rests on it.
    """
    if math.isnan(found.p_value):
        raise ValueError("the comparison's p-value is NaN: it cannot be scored")
    return 0.0 - math.log10(min(max(float(found.p_value), SMALLEST_P), 1.0))


def calibration(same_source, different_source):
    """The line log10 LR = a + b × score fitted to reference scores by logistic regression.

    Brümmer and du Preez (2006): the log posterior odds of a same-source
    comparison are taken to be linear in the score, and fitted by maximum
    likelihood with each side's comparisons weighted to half of the total,
    so that the fitted log odds are log LRs whatever the numbers of each.
    One different-source score at the highest score seen and one same-source
    score at the lowest are added first, as the ELUB method adds one
    misleading comparison to each side (Vergeer et al. 2016): the fit stays
    finite when the two sides do not overlap, as for shots as taken, and its
    slope grows with the amount of reference data. Newton's method, every sum
    NumPy's pairwise one (not BLAS), the logistic function SciPy's and the
    2 x 2 system solved by hand: the same bits on any thread count.

    Parameters
    ----------
    same_source, different_source : sequence of float
        Finite scores of comparisons of known same and different source.

    Returns
    -------
    Calibration

    Raises
    ------
    ValueError
        Either side is empty, or holds a value that is not finite.
    """
    same = _checked_scores(same_source, "same_source")
    different = _checked_scores(different_source, "different_source")
    low, high = min(same.min(), different.min()), max(same.max(), different.max())
    if low == high:  # nothing tells the sides apart
        return Calibration(0.0, 0.0)
    centre = 0.5 * (low + high)  # fitted around the middle, where the two parameters are least entangled
    scores = np.concatenate([same, [low], different, [high]]) - centre
    labels = np.concatenate([np.ones(same.size + 1), np.zeros(different.size + 1)])
    weights = np.concatenate([np.full(same.size + 1, 0.5 / (same.size + 1)),
                              np.full(different.size + 1, 0.5 / (different.size + 1))])
    a, b = _fitted(scores, labels, weights)
    return Calibration(float(a - b * centre) / math.log(10), float(b) / math.log(10))


def bounds(line, same_source, different_source):
    """(lower, upper) ELUB bounds on log10 LR: how far the reference data support an LR.

    Vergeer et al. (2016): the bounds are the log10 LRs nearest to 0 beyond
    which the calibrated LRs of the reference comparisons, with one misleading
    comparison added to each side, would do worse than an LR of 1 in expected
    utility. Computed by ``lir`` (``lir.algorithms.bayeserror.elub``) on a
    grid of 0.01 in log10 LR; the upper bound never exceeds log10 of one plus
    the number of different-source comparisons, nor the lower one its
    same-source counterpart.

    Parameters
    ----------
    line : Calibration
    same_source, different_source : sequence of float
        The reference scores ``line`` was fitted to.

    Returns
    -------
    tuple of float
    """
    elub = _lir_elub()
    same = _checked_scores(same_source, "same_source")
    different = _checked_scores(different_source, "different_source")
    llrs = np.concatenate([line.log10_lr(same), line.log10_lr(different)])
    labels = np.concatenate([np.ones(same.size, np.int64), np.zeros(different.size, np.int64)])
    lower, upper = elub(llrs, labels, add_misleading=1)
    return round(float(lower), 2), round(float(upper), 2)  # the grid's values, without linspace's last bits


def verbal(log10_lr):
    """The band of the verbal scale (ENFSI 2015) a log10 LR falls in, and the proposition it supports.

    "weak" below 10 (or above 1/10), "moderate" from 10, "moderately strong"
    from 100, "strong" from 1000, "very strong" from 10⁴ and "extremely
    strong" from 10⁶; an LR of exactly 1 supports neither.

    Raises
    ------
    ValueError
        For NaN: no words for what was not found.
    """
    if math.isnan(log10_lr):
        raise ValueError("the LR is NaN: it falls in no band of the verbal scale")
    if log10_lr == 0.0:
        return "no support for either proposition"
    words = next(words for least, words in VERBAL if abs(log10_lr) >= least)
    return f"{words} support for {'Hp' if log10_lr > 0 else 'Hd'}"


def likelihood_ratio(score_value, same_source, different_source):
    """The LR of a score, calibrated on reference scores (:func:`calibration`) and bounded (:func:`bounds`).

    Parameters
    ----------
    score_value : float
        The questioned comparison's score (:func:`score`).
    same_source, different_source : sequence of float
        Scores of comparisons of known same and different source made with
        the same search; at least :data:`MIN_REFERENCES` each.

    Returns
    -------
    Ratio

    Raises
    ------
    ValueError
        A side has fewer than :data:`MIN_REFERENCES` scores or a value that
        is not finite; the score is not finite.
    """
    if not isinstance(score_value, numbers.Real) or isinstance(score_value, bool) or not math.isfinite(score_value):
        raise ValueError(f"score must be a finite number, not {score_value!r}")
    for name, scores in (("same_source", same_source), ("different_source", different_source)):
        if len(scores) < MIN_REFERENCES:
            raise ValueError(f"{name}: {len(scores)} reference comparisons, fewer than the {MIN_REFERENCES} an LR "
                             "is calibrated on (its bounds grow with log10 of their number); give more")
    line = calibration(same_source, different_source)
    lower, upper = bounds(line, same_source, different_source)
    log10_lr = float(line.log10_lr(float(score_value)))
    bounded = min(max(log10_lr, lower), upper)
    return Ratio(float(score_value), log10_lr, (lower, upper), bounded, verbal(bounded), len(same_source),
                 len(different_source), line)


def _checked_scores(values, name):
    scores = np.asarray(values, dtype=np.float64).ravel()
    if not scores.size:
        raise ValueError(f"{name} holds no scores")
    if not np.isfinite(scores).all():
        raise ValueError(f"{name} holds a score that is not finite")
    return scores


def _fitted(scores, labels, weights):
    """(a, b) maximising the weighted log likelihood of labels under P(same) = expit(a + b score).

    Newton's method from (0, 0), each step halved until the likelihood does
    not fall; it stops when a step no longer changes the estimate.
    """
    a = b = 0.0
    loss = _loss(a, b, scores, labels, weights)
    for _ in range(_ITERATIONS):
        fitted = scipy.special.expit(a + b * scores)
        residual = weights * (labels - fitted)
        spread = weights * fitted * (1.0 - fitted)
        g0, g1 = float(np.sum(residual)), float(np.sum(residual * scores))
        h00, h01, h11 = float(np.sum(spread)), float(np.sum(spread * scores)), float(np.sum(spread * scores * scores))
        determinant = h00 * h11 - h01 * h01
        if not determinant > 0.0:
            break
        step_a, step_b = (h11 * g0 - h01 * g1) / determinant, (h00 * g1 - h01 * g0) / determinant
        for _ in range(60):
            trial = _loss(a + step_a, b + step_b, scores, labels, weights)
            if trial <= loss:
                break
            step_a, step_b = 0.5 * step_a, 0.5 * step_b
        else:
            break
        if a + step_a == a and b + step_b == b:
            break
        a, b, loss = a + step_a, b + step_b, trial
    return a, b


def _loss(a, b, scores, labels, weights):
    """The weighted negative log likelihood of the labels."""
    margins = (a + b * scores) * (2.0 * labels - 1.0)
    return -float(np.sum(weights * scipy.special.log_expit(margins)))


def _power(log10_value):
    try:
        return 10.0 ** log10_value
    except OverflowError:
        return math.inf


def _lir_elub():
    try:
        from lir.algorithms.bayeserror import elub
    except ImportError:
        raise ImportError('the ELUB bounds need lir: pip install "morvekin[evidence]"') from None
    return elub
