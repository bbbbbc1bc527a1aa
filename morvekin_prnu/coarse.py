"""The search's first pass: every scale and orientation tried at half the sensor's resolution, and ranked.

A scale and crop search (:mod:`morvekin_prnu.search`) correlates the image,
up-sampled to the sensor's frame, with the fingerprint over every shift, at
every scale of a fine grid: one correlation of the fingerprint's size per
scale and orientation. This pass does the same work at a fraction of the
cost, to rank the scales and orientations; the full test is then made only
near the best of them.

- The fingerprint is brought to about half its resolution once, by keeping
  the low half of its spectrum in each direction (resampling by the ideal
  band-limited interpolator): a spectrum of a quarter of the size, taken
  from the one the full tests use, with no transform of its own.
- At each scale the image is resampled, with an anti-aliasing filter, to the
  size it has on that half-resolution sensor, and correlated with it over
  every shift that keeps it inside.
- A correlation at half resolution stays aligned across the image over a
  scale range twice as wide as one at the sensor's resolution, so the scale
  grid is coarser, down to the scale at which the image is at its own
  resolution there.

What is lost is the upper half of the spectrum, where much of a photograph's
pattern lies: on the simulated cameras of ``bench/bench_geometry.py`` the PCE
of a match here is about half its full PCE. That is enough to rank its scale
and orientation among the best few, and the full test decides.
"""

import math

import numpy as np
from PIL import Image

from ._fft import irfft2, rfft2
from ._threads import in_parallel
from .geometry import STEP, admissible_peak, half_turn, half_turned, to_sensor

# The resolution of the first pass, as a share of the sensor's along each side.
RESOLUTION = 0.5
# Scales worked out at once, each in a thread of its own: its transforms are too small to be worth
# spreading over the cores.
BATCH = 4


class Coarse:
    """A fingerprint at about :data:`RESOLUTION` of its resolution, ready for the first pass.

    Parameters
    ----------
    spectrum : ndarray, shape (H, W // 2 + 1), complex64
        The real 2-D FFT of the zero-mean fingerprint of shape ``shape``.
    shape : tuple of int
        (H, W) of the fingerprint.

    Attributes
    ----------
    shape : tuple of int
        (M, N): the half-resolution sensor, sizes whose prime factors are 2, 3
        and 5 (fast transforms).
    ratios : tuple of float
        (M / H, N / W): the resolution kept along each side.
    spectrum : ndarray, shape (M, N // 2 + 1), complex64
        The fingerprint's spectrum at frequencies below half the new sampling
        rate, the new Nyquist row and column left out.
    """

    def __init__(self, spectrum, shape):
        rows, columns = shape
        self.shape = (_smooth_at_most(max(1, round(RESOLUTION * rows))),
                      _smooth_at_most(max(1, round(RESOLUTION * columns))))
        self.ratios = (self.shape[0] / rows, self.shape[1] / columns)
        low_rows, low_columns = (self.shape[0] + 1) // 2, (self.shape[1] + 1) // 2
        high_rows = self.shape[0] - low_rows - (1 - self.shape[0] % 2)  # negative frequencies, Nyquist left out
        self.spectrum = np.zeros((self.shape[0], self.shape[1] // 2 + 1), np.complex64)
        self.spectrum[:low_rows, :low_columns] = spectrum[:low_rows, :low_columns]
        if high_rows:
            self.spectrum[-high_rows:, :low_columns] = spectrum[-high_rows:, :low_columns]

    def resolution(self, image_shape, scale):
        """The image's (rows, columns) on the half-resolution sensor at ``scale``, at most the sensor's."""
        return tuple(min(limit, max(1, round(length * ratio / scale)))
                     for length, ratio, limit in zip(image_shape, self.ratios, self.shape))


def coarse_scales(shape, coarse, lowest):
    """The first pass's scales for an image of ``shape`` (in the sensor's frame), from 1 down to ``lowest``.

    Consecutive scales differ by the ratio exp(-STEP / L), L the image's
    longer side on the half-resolution sensor (no longer than its own): the
    full grid's step, measured in the pixels this pass works in. The last is
    ``lowest`` itself when it lies more than half a step below the grid.
    """
    longest, ratio = max(shape), max(coarse.ratios)
    scales = [1.0]
    while True:
        step = STEP / (longest * min(1.0, ratio / scales[-1]))
        if scales[-1] * math.exp(-step) < lowest:
            break
        scales.append(scales[-1] * math.exp(-step))
    if scales[-1] > lowest * math.exp(step / 2):
        scales.append(lowest)
    return scales


def ranked(coarse, image, searches):
    """(PCE at half resolution, orientation, scale) for every first-pass scale of every search, in search order.

    An orientation and its half turn, when both are searched, share the
    resampling and the forward transform (:func:`half_turn`). The scales are
    worked out :data:`BATCH` at a time, one per thread, each in a thread of
    its own from start to end: the same bits whatever the thread count.

    Parameters
    ----------
    coarse : Coarse
    image : ndarray, shape (h, w), float64
        The weighted residual as stored.
    searches : list of morvekin_prnu.search.Search
        From :func:`morvekin_prnu.search.plan`.

    Yields
    ------
    tuple of (float, str, float)
    """
    planned = {search.orientation: search for search in searches}
    done = set()
    for search in searches:
        if search.orientation in done:
            continue
        partner = half_turned(search.orientation)
        partner = partner if partner in planned else None
        done |= {search.orientation, partner}
        turned = to_sensor(image, search.orientation).astype(np.float32)
        scales = coarse_scales(turned.shape, coarse, search.scales[-1])
        for start in range(0, len(scales), BATCH):
            batch = scales[start:start + BATCH]
            results = [None] * len(batch)

            def correlated(k):
                results[k] = _correlated(coarse, turned, batch[k], search.orientation, partner)

            in_parallel(correlated, range(len(batch)))
            for result in results:
                yield from result


def _correlated(coarse, turned, scale, orientation, partner):
    """[(half-resolution PCE, orientation, scale)] of the image turned back by ``orientation`` (and by its
    ``partner``) at ``scale``, all in this thread."""
    size = coarse.resolution(turned.shape, scale)
    resampled = np.array(Image.fromarray(turned).resize(size[::-1], Image.Resampling.BILINEAR))
    resampled -= resampled.mean()
    forward = rfft2(resampled, coarse.shape, np.float32, spread=False)
    shifts = tuple(limit - length + 1 for length, limit in zip(size, coarse.shape))
    product = np.conj(forward)
    product *= coarse.spectrum
    found = [(_peak_pce(product, coarse.shape, shifts), orientation, scale)]
    if partner is not None:
        half_turn(forward, size, coarse.shape)
        forward *= coarse.spectrum
        found.append((_peak_pce(forward, coarse.shape, shifts), partner, scale))
    return found


def _peak_pce(product, shape, shifts):
    """The PCE of the highest correlation among ``shifts`` from its spectrum ``product`` (overwritten).

    Only the rows of the correlation that hold those shifts are
    transformed back; the energy of the whole correlation comes from the
    spectrum (Parseval), its peak included: the PCE this gives differs from
    :func:`morvekin_prnu.pce`'s, which leaves out the peak's neighbourhood, by
    that neighbourhood's share of the energy, a few parts in a million of
    it, which cannot change a ranking that matters.
    """
    power = np.square(product.real)
    power += np.square(product.imag)
    # The columns of a real FFT between 0 and the Nyquist frequency stand for two each.
    energy = 2.0 * float(np.sum(power)) - float(np.sum(power[:, 0]))
    if shape[1] % 2 == 0:
        energy -= float(np.sum(power[:, -1]))
    correlation = irfft2(product, shape, rows=shifts[0], spread=False)
    value = float(correlation[admissible_peak(correlation, shifts)])
    mean = energy / (shape[0] * shape[1]) ** 2  # irfft2 divides by the size; Parseval multiplies by it
    return math.copysign(value * value, value) / mean if mean > 0.0 else 0.0


def _smooth_at_most(n):
    """The largest number up to ``n`` whose only prime factors are 2, 3 and 5."""
    while True:
        rest = n
        for prime in (2, 3, 5):
            while rest % prime == 0:
                rest //= prime
        if rest == 1:
            return n
        n -= 1
