"""The estimator restated in plain NumPy, from its rules, for bit-exact comparison.

Every window is summed in row-major order one offset at a time (vectorised
across centres, never with numpy.sum, whose pairwise summation rounds
differently), positions outside the array are skipped rather than padded, and
fmin/fmax are spelled out because NumPy's own break signed-zero ties either way.
"""

import numpy as np

WIDTHS = (3, 5, 7, 9)


def fmin(a, b):
    """The C library's fmin: a NaN yields the other operand, ties yield the first."""
    return np.where((a <= b) | np.isnan(b), a, b)


def window_estimate(coeffs, width, noise_var):
    """max(0, population variance of each clipped width x width window - noise_var)."""
    rows, cols = coeffs.shape
    half = width // 2
    padded = np.zeros((rows + 2 * half, cols + 2 * half))
    padded[half : half + rows, half : half + cols] = coeffs
    inside = np.zeros(padded.shape, dtype=bool)
    inside[half : half + rows, half : half + cols] = True

    def shifted(array, di, dj):
        return array[half + di : half + di + rows, half + dj : half + dj + cols]

    offsets = [(di, dj) for di in range(-half, half + 1) for dj in range(-half, half + 1)]
    with np.errstate(all="ignore"):
        count = np.zeros((rows, cols))
        total = np.zeros((rows, cols))
        for di, dj in offsets:
            valid = shifted(inside, di, dj)
            count += valid
            total = np.where(valid, total + shifted(padded, di, dj), total)
        mean = total / count
        squares = np.zeros((rows, cols))
        for di, dj in offsets:
            deviation = shifted(padded, di, dj) - mean
            squares = np.where(shifted(inside, di, dj), squares + deviation * deviation, squares)
        difference = squares / count - noise_var
        return np.where(difference > 0.0, difference, 0.0)


def lawml(coeffs, variance, scratch, denoised, noise_var, multiscale):
    """What variance, scratch and denoised hold after the call, given what they held before.

    Returns new arrays; scratch is returned unchanged unless multiscale is 1.
    """
    variance, scratch, denoised = (np.array(a, dtype=float, copy=True) for a in (variance, scratch, denoised))
    noise_var = float(noise_var)
    rows, cols = coeffs.shape
    with np.errstate(all="ignore"):
        estimate = window_estimate(coeffs, 3, noise_var)
        if multiscale == 1:
            for width in WIDTHS[1:]:
                widest = window_estimate(coeffs, width, noise_var)
                estimate = fmin(estimate, widest)
            scratch[:rows, :cols] = widest
            # The minimum sweeps all of variance, including what lies beyond coeffs.
            variance = fmin(variance, scratch[: variance.shape[0], : variance.shape[1]])
        variance[:rows, :cols] = estimate
        shrunk = (estimate * coeffs) / (estimate + noise_var)
        # NaNs the arithmetic makes carry the sign bit, as on x86-64; NaNs from the input keep theirs.
        made = np.isnan(shrunk) & ~np.isnan(coeffs) & ~np.isnan(noise_var)
        denoised[:rows, :cols] = np.where(made, -np.float64(np.nan), shrunk)
    return variance, scratch, denoised
