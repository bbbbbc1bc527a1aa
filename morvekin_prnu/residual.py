"""The noise residual of a photograph: wavelet denoising, then post-processing.

Lukáš, Fridrich and Goljan (2006), "Digital camera identification from sensor
pattern noise", IEEE TIFS 1(2): the residual W = I - F(I) of a wavelet denoiser
F carries the sensor's pattern noise. Chen, Fridrich, Goljan and Lukáš (2008),
"Determining image origin and integrity using sensor noise", IEEE TIFS 3(1):
zero-mean rows and columns and Wiener filtering in the DFT domain take out what
all cameras of a model share (colour interpolation, JPEG blocks).
"""

import numbers
import os

import numpy as np
import pywt

from ._threads import in_blocks, in_parallel
from .images import load_image
from .wavelets import rebuild, removed_noise

SIGMA = 3.0
# The wavelet and depth of Lukáš et al. (2006): the 8-tap Daubechies filter, 4 levels.
WAVELET = "db4"
LEVELS = 4
# ITU-R BT.601 luma weights for combining the colour channels.
LUMA = (0.299, 0.587, 0.114)
# PyWavelets computes in the dtype it is given. float32 transforms are faster
# (float64 took 6% to 26% longer over 12 MP, bench/bench_residual.py), and
# with the residual rebuilt from the removed noise itself (not as image -
# denoised) they gave the same PCE and correlations as float64 to 4 digits
# (bench/choose_defaults.py).
TRANSFORM_DTYPE = np.float32


def noise_residual(image, *, sigma=SIGMA, wavelet=WAVELET, levels=LEVELS):
    """Noise residual of a photograph: the sensor-noise carrier of one image.

    Follows Lukáš, Fridrich and Goljan (2006) per colour channel: a
    ``levels``-level 2-D wavelet decomposition (fewer when the image is too
    small), every detail sub-band Wiener-shrunk by ``morvekin.lawmlNC`` with
    noise variance ``sigma**2`` and local variances over 3x3 to 9x9 windows,
    and the residual rebuilt from what the shrinkage removed (the same as
    channel - denoised channel, without the rounding of a large difference).
    The channels are then combined to luminance (BT.601 weights; linear, so
    done on the sub-bands before the one inverse transform), made zero-mean
    (:func:`zero_mean`) and Wiener filtered in the DFT domain
    (:func:`wiener_dft`), after Chen et al. (2008). Transforms and FFTs run
    on row blocks spread over the cores; the result is the same bit for bit
    on any number of them.

    Parameters
    ----------
    image : str, os.PathLike or ndarray
        A photograph file, read in stored pixel order (see :func:`load_image`
        with ``orient=False``), or an array of shape (H, W) or (H, W, 3),
        dtype uint8, uint16 or floating point.
    sigma : float, optional
        Standard deviation of the noise the denoiser assumes, in 8-bit grey
        levels: scaled by 257 for uint16 images; float images are taken to be
        on the 0-255 scale. 3, chosen on simulated cameras
        (bench/choose_defaults.py; the literature uses 3 to 5): for shots
        with noise of standard deviation 3 it gave the highest median PCE
        (6281, against 5831, 5903 and 4861 for 2, 4 and 5), and at 1.5 it
        was within 5% of the best, sigma 2, where 4 and 5 lost 24% and 42%.
    wavelet : str, optional
        PyWavelets name of an orthogonal wavelet. "db4", the 8-tap
        Daubechies filter of Lukáš et al. (2006).
    levels : int, optional
        Decomposition levels, 4 as in Lukáš et al. (2006).

    Returns
    -------
    ndarray, shape (H, W), float32
        The post-processed residual.

    Raises
    ------
    ValueError, TypeError
        A bad image (see :func:`load_image`), an image smaller than one level
        of the wavelet, or a bad option, each named in the message.
    """
    _checked_sigma(sigma)
    wavelet, levels = _checked_wavelet(wavelet), _checked_levels(levels)
    return _residual(load_image(image, orient=False), sigma, wavelet, levels, _name(image))


def _residual(pixels, sigma, wavelet, levels, name):
    """:func:`noise_residual` of loaded pixels, with a checked wavelet and levels."""
    noise_var = noise_variance(sigma, pixels)
    weights = LUMA if pixels.ndim == 3 else (1.0,)
    # The inverse transform is linear: the channels' removed noise is combined
    # to luminance band by band and rebuilt once, not three times.
    combined = None
    for weight, channel in zip(weights, _channels(pixels)):
        shapes, noise = removed_noise(channel, noise_var, wavelet, levels, name)
        if combined is None:
            combined = [[np.zeros_like(band) for band in level] for level in noise]
        for sums, bands in zip(combined, noise):
            for total, band in zip(sums, bands):
                _add_weighted(total, weight, band)
    return wiener_dft(zero_mean(rebuild(shapes, combined, wavelet))).astype(np.float32)


def denoise(image, *, sigma=SIGMA, wavelet=WAVELET, levels=LEVELS):
    """The image as the wavelet denoiser leaves it: each channel minus the noise it removes.

    The denoiser F of Lukáš et al. (2006) that :func:`noise_residual` is
    built on, applied to every colour channel on its own: what remains once
    the LAWML shrinkage has taken the noise out of every detail sub-band.
    Each channel minus its denoised channel is that channel's residual before
    the luminance combination and the post-processing.

    Parameters
    ----------
    image, sigma, wavelet, levels
        As for :func:`noise_residual`.

    Returns
    -------
    ndarray, shape (H, W) or (H, W, 3), float32
        On the scale of the image's pixel values (0-65535 for a 16-bit one).
    """
    _checked_sigma(sigma)
    wavelet, levels = _checked_wavelet(wavelet), _checked_levels(levels)
    pixels = load_image(image, orient=False)
    noise_var = noise_variance(sigma, pixels)
    channels = []
    for channel in _channels(pixels):
        shapes, noise = removed_noise(channel, noise_var, wavelet, levels, _name(image))
        channels.append(channel - rebuild(shapes, noise, wavelet))
    return channels[0] if pixels.ndim == 2 else np.dstack(channels)


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
        _add_weighted(total, weight, channel)
    return total


def _add_weighted(total, weight, x):
    """total += weight * x, in row blocks over the threads."""
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
    result = np.array(_checked_plane(x, "x"), dtype=np.float64)

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

    The windowed mean of squares is the papers' estimate, chosen over
    ``morvekin.lawmlNC``'s mean-subtracted variance by measurement on
    simulated cameras whose shots share an 8x8 and a 2x2 pattern and pass
    through JPEG (bench/choose_defaults.py): both gave the same PCE for true
    matches (median 1541 against 1526), but the mean of squares left less
    of the shared pattern in the fingerprints (correlation with it 0.0027
    against 0.0033; 0.11 unfiltered), which is what this filter is for. The
    mean-subtracted variance keeps slightly more of the sensor pattern
    (correlation with the true K 0.405 against 0.393), because it leaves the
    flat part of the spectrum untouched where the mean of squares scales it
    down at random. Windows wider than 3x3 (the minimum
    over 3x3 to 9x9, as in the wavelet domain) let more of the shared pattern
    through with either estimate (highest PCE between different cameras 36
    to 43, against 28 to 31).

    Parameters
    ----------
    x : ndarray, shape (H, W)
        Real values, typically zero-mean.

    Returns
    -------
    ndarray, shape (H, W), float64
    """
    x = _checked_plane(x, "x")
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


def rfft2(x):
    """``numpy.fft.rfft2`` of a 2-D array, its rows and columns spread over threads.

    Parameters
    ----------
    x : ndarray, shape (H, W)
        Real values.

    Returns
    -------
    ndarray, shape (H, W // 2 + 1), complex128
    """
    x = np.asarray(x, dtype=np.float64)
    spectrum = np.empty((x.shape[0], x.shape[1] // 2 + 1), dtype=np.complex128)

    def along_rows(block):
        spectrum[block] = np.fft.rfft(x[block], axis=1)

    def along_columns(block):
        spectrum[:, block] = np.fft.fft(spectrum[:, block], axis=0)

    in_blocks(along_rows, spectrum.shape[0])
    in_blocks(along_columns, spectrum.shape[1])
    return spectrum


def irfft2(spectrum, shape):
    """``numpy.fft.irfft2`` back to a real array of ``shape``; overwrites ``spectrum``.

    Parameters
    ----------
    spectrum : ndarray, shape (H, W // 2 + 1), complex128
    shape : tuple of int
        (H, W) of the real array.

    Returns
    -------
    ndarray, shape (H, W), float64
    """
    result = np.empty(shape)

    def along_columns(block):
        spectrum[:, block] = np.fft.ifft(spectrum[:, block], axis=0)

    def along_rows(block):
        result[block] = np.fft.irfft(spectrum[block], n=shape[1], axis=1)

    in_blocks(along_columns, spectrum.shape[1])
    in_blocks(along_rows, shape[0])
    return result


def _channels(pixels):
    """The image's channels, one at a time, as C-ordered 2-D arrays in the transform dtype."""
    for k in range(1 if pixels.ndim == 2 else 3):
        yield np.ascontiguousarray(pixels if pixels.ndim == 2 else pixels[..., k], dtype=TRANSFORM_DTYPE)


def _wavelet_residual(channel, noise_var, wavelet=WAVELET, levels=LEVELS, name="image"):
    """One channel's residual before post-processing: what the denoiser removes from it."""
    wavelet = _checked_wavelet(wavelet)
    shapes, noise = removed_noise(channel, noise_var, wavelet, _checked_levels(levels), name)
    return rebuild(shapes, noise, wavelet)


def _name(image):
    """What errors call an image: its path, or "image" for an array."""
    return os.fspath(image) if isinstance(image, (str, os.PathLike)) else "image"


def noise_variance(sigma, pixels):
    """sigma², with sigma given in 8-bit levels, on the scale of ``pixels`` (x 257 for uint16)."""
    scale = 257.0 if pixels.dtype == np.uint16 else 1.0
    return (_checked_sigma(sigma) * scale) ** 2


def _checked_plane(x, name):
    # NumPy sums an unaligned array (Dask hands scattered arrays over so) in
    # other chunks, which changes the last bits of a float32 mean: align first.
    x = np.require(x, requirements="A")
    if x.ndim != 2 or x.size == 0:
        raise ValueError(f"{name} must be a non-empty 2-D array, not shape {x.shape}")
    if not (np.issubdtype(x.dtype, np.floating) or np.issubdtype(x.dtype, np.integer)):
        raise TypeError(f"{name} must hold real numbers, not {x.dtype}")
    return x


def _checked_sigma(sigma):
    if not isinstance(sigma, numbers.Real) or isinstance(sigma, bool) or not 0 < sigma < float("inf"):
        # With no noise a flat region would shrink as 0/0.
        raise ValueError(f"sigma must be a positive finite number, not {sigma!r}")
    return float(sigma)


def _checked_levels(levels):
    if not isinstance(levels, numbers.Integral) or isinstance(levels, bool) or levels < 1:
        raise ValueError(f"levels must be a positive integer, not {levels!r}")
    return int(levels)


def _checked_wavelet(wavelet):
    try:
        return pywt.Wavelet(wavelet)
    except (ValueError, TypeError):
        raise ValueError(f"wavelet {wavelet!r} is not a discrete wavelet PyWavelets knows") from None
