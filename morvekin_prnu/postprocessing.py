"""What a residual or fingerprint goes through after the wavelet denoiser.

Chen, Fridrich, Goljan and Lukáš (2008), "Determining image origin and
integrity using sensor noise", IEEE TIFS 3(1): the colour channels combined
to luminance, zero-mean rows and columns, and Wiener filtering in the DFT
domain take out what all cameras of a model share (colour interpolation,
read-out lines, JPEG blocks) and keep the sensor's own pattern.
"""

import numpy as np

from ._checks import checked_plane
from ._fft import irfft2, rfft2
from ._threads import in_blocks, in_parallel

# ITU-R BT.601 luma weights for combining the colour channels.
LUMA = (0.299, 0.587, 0.114)


def postprocess(channels):
    """Luminance, zero-mean and DFT-domain Wiener filtering of per-channel noise.

    Parameters
    ----------
    channels : sequence of ndarray, each shape (H, W)
        One array for a grey image, three (red, green, blue) for colour.

    Returns
    -------
    ndarray, shape (H, W), float64
    """
    return wiener_dft(zero_mean(luminance(channels)))


def luminance(channels):
    """Combine per-channel arrays with the BT.601 luma weights.

    Parameters
    ----------
    channels : sequence of ndarray, each shape (H, W)
        One grey channel (returned as float64) or red, green and blue.

    Returns
    -------
    ndarray, shape (H, W), float64
    """
    if len(channels) == 1:
        return np.asarray(channels[0], dtype=np.float64)
    total = np.zeros(channels[0].shape)
    for weight, channel in zip(LUMA, channels):
        add_weighted(total, weight, channel)
    return total


def add_weighted(total, weight, x):
    """``total += weight * x`` in place, in row blocks over the threads."""
    def add(block):
        total[block] += weight * x[block]

    in_blocks(add, total.shape[0])


def zero_mean(x):
    """Remove the column and row means of each 2x2 colour-filter phase.

    Chen et al. (2008), "zero-mean" operation: linear patterns that every
    camera of a model shares (row and column read-out artefacts, colour
    interpolation) sit in the row and column means. Each of the four
    interleaved sub-images x[i::2, j::2] is treated on its own, because the
    colour filter array repeats every two pixels; in each, every column's
    mean is subtracted, then every row's mean. The operation is linear, so it
    commutes with the luminance combination and runs once, after it.

    Parameters
    ----------
    x : ndarray, shape (H, W)
        Real values.

    Returns
    -------
    ndarray, shape (H, W), float64
        A new array; each phase has zero row and column means.
    """
    result = np.array(checked_plane(x, "x"), dtype=np.float64)

    def centre(phase):
        phase -= phase.mean(axis=0)
        phase -= phase.mean(axis=1, keepdims=True)

    in_parallel(centre, [result[row::2, column::2] for row in (0, 1) for column in (0, 1)])
    return result


def wiener_dft(x):
    """Wiener-filter an array in the DFT domain, flattening its spectrum.

    Chen et al. (2008): periodic artefacts shared by a camera model (JPEG
    8x8 blocks, colour interpolation) are sharp peaks in the spectrum of a
    residual or fingerprint, while the sensor pattern is close to white. The
    spectral magnitude |X| (scaled so that its mean square equals that of x)
    is treated as a signal whose flat part is "noise" of variance
    s² = mean(|X|²); the peaks' local variance v = max(0, m - s²), with m the
    mean of |X|² over the 3x3 window around each frequency (zero beyond the
    array), is taken out by keeping the Wiener residual X * s² / (v + s²),
    phase unchanged.

    The local power is the windowed mean of squares, as in the papers, rather
    than the mean-subtracted variance that ``morvekin.lawmlNC`` computes: it
    scales the flat part of the spectrum down where it happens to be strong,
    and so lets less of a shared periodic pattern through. A 3x3 window
    rather than the minimum over 3x3 to 9x9: wider windows let more of it
    through. docs/performance.md gives the comparison on simulated cameras.

    Parameters
    ----------
    x : ndarray, shape (H, W)
        Real values, typically zero-mean.

    Returns
    -------
    ndarray, shape (H, W), float64
    """
    x = checked_plane(x, "x")
    spectrum = rfft2(x)
    rows, columns = spectrum.shape
    # |X|² / (H W), framed by zeros so every 3x3 window is a plain slice.
    power = np.zeros((rows + 2, columns + 2))

    def measure(block):
        power[block.start + 1:block.stop + 1, 1:-1] = np.square(np.abs(spectrum[block])) / x.size

    in_blocks(measure, rows)
    noise_var = float(np.mean(power[1:-1, 1:-1]))
    if noise_var == 0.0:  # all zeros: nothing to filter, and 0/0 ahead
        return np.zeros(x.shape)

    def shrink(block):
        window = np.zeros((block.stop - block.start, columns))
        for row in range(3):
            for column in range(3):
                window += power[block.start + row:block.stop + row, column:column + columns]
        window /= 9.0
        # s² / (v + s²) with v = max(0, mean of squares - s²)
        spectrum[block] *= noise_var / np.maximum(window, noise_var)

    in_blocks(shrink, rows)
    return irfft2(spectrum, x.shape)
