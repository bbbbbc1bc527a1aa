"""The search's first pass: every scale and orientation tried at a reduced resolution, and ranked.

A scale and crop search (:mod:`morvekin_prnu.search`) correlates the image,
up-sampled to the sensor's frame, with the fingerprint over every shift, at
every scale of a fine grid: one correlation of the fingerprint's size per
scale and orientation. Most of that work is redundant: an image resized by s
carries the sensor's pattern only up to s times the sensor's highest
frequency, so the correlation is oversampled by 1/s. This pass does the same
search with the redundancy taken out, and with a little more left out, to
rank the scales and orientations; the full test is then made only near the
best of them.

- At scale s the fingerprint is brought to the resolution :data:`BAND` x s
  of the sensor's by keeping the low part of its spectrum (resampling by the
  ideal band-limited interpolator): no transform of its own, a crop of the
  spectrum the full tests use.
- The image is resampled, with an anti-aliasing filter, to the size it has
  there (about :data:`BAND` of its own) and correlated with that fingerprint
  over every shift that keeps it inside.
- The image keeps about the same size at every scale, so the scale grid is
  the full one's with :data:`BAND` times fewer scales.

A transform of (BAND x s)² of the sensor's size, over BAND times as many
scales: about 0.34 of the full search's transforms over scales 1 to 0.5 at
the default BAND, with no up-sampling. What is lost is the highest part of
the image's own spectrum.
"""

import math

import numpy as np
from PIL import Image

from ._fft import irfft2, rfft2
from ._threads import in_parallel
from .geometry import STEP, admissible_peak, half_turn, half_turned, to_sensor

# The share of the image's own resolution that the first pass keeps. Measured by the rank, among every
# scale and orientation, of the first pass's PCE where the full search found a camera's own crop: on
# 1024x1024 crops of simulated 6 MP cameras at scales 0.6 to 0.95 (PCE 75 to 156), first everywhere at 0.7,
# and 20th and 83rd near scale 1 at a fixed half of the sensor's resolution; on the small crops of
# bench/bench_geometry.py (PCE 48 to 190, 100 to 150 scales and orientations), first everywhere at 0.85 and
# at 1, but down to 61st at 0.7.
BAND = 0.85
# Scales worked out at once, each in a thread of its own: their transforms are too small to be worth
# spreading over the cores.
BATCH = 4


class Coarse:
    """A fingerprint ready for the first pass: its spectrum, cut to the band each scale keeps.

    Parameters
    ----------
    spectrum : ndarray, shape (H, W // 2 + 1), complex64
        The real 2-D FFT of the zero-mean fingerprint of shape ``shape``.
    shape : tuple of int
        (H, W) of the fingerprint.
    """

    def __init__(self, spectrum, shape):
        self.full, self.sensor = spectrum, shape
        self._cut = {}

    def frame(self, scale):
        """(M, N) of the fingerprint at scale ``scale``: the smallest sizes at least :data:`BAND` x ``scale``
        of the sensor's whose prime factors are 2, 3 and 5 (fast transforms), at most the sensor's."""
        return tuple(min(length, _smooth_at_least(math.ceil(BAND * scale * length))) for length in self.sensor)

    def resolution(self, image_shape, frame, scale):
        """The image's (rows, columns) on a fingerprint of shape ``frame`` at ``scale``, at most the frame's."""
        return tuple(min(limit, max(1, round(length * limit / (sensor * scale))))
                     for length, limit, sensor in zip(image_shape, frame, self.sensor))

    def spectrum(self, frame):
        """The fingerprint's spectrum at the frequencies a fingerprint of shape ``frame`` holds, its Nyquist
        row and column left out: shape (M, N // 2 + 1), complex64."""
        if frame not in self._cut:
            rows, columns = frame
            low_rows, low_columns = (rows + 1) // 2, (columns + 1) // 2
            high_rows = rows - low_rows - (1 - rows % 2)  # negative frequencies
            cut = np.zeros((rows, columns // 2 + 1), np.complex64)
            cut[:low_rows, :low_columns] = self.full[:low_rows, :low_columns]
            if high_rows:
                cut[-high_rows:, :low_columns] = self.full[-high_rows:, :low_columns]
            self._cut = {frame: cut}  # scales come in order: only the last frame is used again
        return self._cut[frame]


def coarse_scales(shape, lowest, highest=1.0):
    """The first pass's scales for an image of ``shape`` (in the sensor's frame), from ``highest`` down to
    ``lowest``.

    Consecutive scales differ by the ratio exp(-STEP / (BAND L)), L the
    image's longer side: the full grid's step, measured in the pixels this
    pass works in. The last is ``lowest`` itself when it lies more than half
    a step below the grid.
    """
    step = STEP / (BAND * max(shape))
    scales = [highest]
    while scales[-1] * math.exp(-step) >= lowest:
        scales.append(scales[-1] * math.exp(-step))
    if scales[-1] > lowest * math.exp(step / 2):
        scales.append(lowest)
    return scales


def ranked(coarse, image, searches):
    """(first-pass PCE, orientation, scale) for every first-pass scale of every search, in search order.

    An orientation and its half turn, when both are searched, share the
    resampling and the forward transform (:func:`half_turn`). The scales are
    worked out :data:`BATCH` at a time, each in a thread of its own from start
    to end: the same bits whatever the thread count.

    Parameters
    ----------
    coarse : Coarse
    image : ndarray, shape (h, w), float64
        The weighted residual as stored.
    searches : list of morvekin_prnu.geometry.Search
        From :func:`morvekin_prnu.geometry.plan`.

    Yields
    ------
    tuple of (float, str, float)
    """
    planned = {search.orientation for search in searches}
    done = set()
    for search in searches:
        if search.orientation in done:
            continue
        partner = half_turned(search.orientation)
        partner = partner if partner in planned else None
        done |= {search.orientation, partner}
        turned = to_sensor(image, search.orientation).astype(np.float32)
        scales = coarse_scales(turned.shape, search.scales[-1], search.scales[0])
        for start in range(0, len(scales), BATCH):
            work = []
            for scale in scales[start:start + BATCH]:
                frame = coarse.frame(scale)
                work.append((coarse.spectrum(frame), frame, coarse.resolution(turned.shape, frame, scale), turned,
                             scale, search.orientation, partner))
            results = [None] * len(work)

            def correlated(k, work=work, results=results):
                results[k] = _correlated(*work[k])

            in_parallel(correlated, range(len(work)))
            for result in results:
                yield from result


def _correlated(spectrum, frame, size, turned, scale, orientation, partner):
    """[(first-pass PCE, orientation, scale)] of the image turned back by ``orientation`` (and by its
    ``partner``), resampled to ``size``, against the fingerprint's ``spectrum`` of shape ``frame``; all in
    this thread."""
    resampled = np.array(Image.fromarray(turned).resize(size[::-1], Image.Resampling.BILINEAR))
    resampled -= resampled.mean()
    forward = rfft2(resampled, frame, np.float32, spread=False)
    shifts = tuple(limit - length + 1 for length, limit in zip(size, frame))
    product = np.conj(forward)
    product *= spectrum
    found = [(_peak_pce(product, frame, shifts), orientation, scale)]
    if partner is not None:
        half_turn(forward, size, frame)
        forward *= spectrum
        found.append((_peak_pce(forward, frame, shifts), partner, scale))
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


def _smooth_at_least(n):
    """The smallest number from ``n`` up whose only prime factors are 2, 3 and 5."""
    while True:
        rest = n
        for prime in (2, 3, 5):
            while rest % prime == 0:
                rest //= prime
        if rest == 1:
            return n
        n += 1
