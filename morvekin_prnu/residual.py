"""The noise residual of a photograph: wavelet denoising, then post-processing.

Lukáš, Fridrich and Goljan (2006), "Digital camera identification from sensor
pattern noise", IEEE TIFS 1(2): the residual W = I - F(I) of a wavelet denoiser
F carries the sensor's pattern noise. Chen, Fridrich, Goljan and Lukáš (2008),
"Determining image origin and integrity using sensor noise", IEEE TIFS 3(1):
zero-mean rows and columns and Wiener filtering in the DFT domain take out what
all cameras of a model share (colour interpolation, JPEG blocks).
"""

import numbers

import numpy as np
import pywt

import morvekin

from .images import load_image

SIGMA = 3.0
# ITU-R BT.601 luma weights for combining the colour channels' residuals.
LUMA = (0.299, 0.587, 0.114)
# Signal extension of the transforms. Periodization keeps every sub-band at
# exactly half the size above it (no extra coefficients to filter); its wrap
# at the borders costs no detection (bench/bench_residual.py measures it).
MODE = "periodization"
# PyWavelets computes in the dtype it is given; float32 transforms are faster
# and, with the residual reconstructed from the removed noise itself rather
# than as image - denoised, lose nothing measurable in detection.
TRANSFORM_DTYPE = np.float32
_TRANSPOSE_ROWS = 64  # rows per block of the cache-friendly transpose


def noise_residual(image, *, sigma=SIGMA, wavelet="db4", levels=4):
    """Noise residual of a photograph: the sensor-noise carrier of one image.

    Follows Lukáš, Fridrich and Goljan (2006) per colour channel: a
    ``levels``-level 2-D wavelet decomposition (fewer when the image is too
    small), every detail sub-band Wiener-shrunk by ``morvekin.lawmlNC`` with
    noise variance ``sigma**2`` and local variances over 3x3 to 9x9 windows,
    and the residual rebuilt from what the shrinkage removed (the same as
    channel - denoised channel, without the rounding of a large difference).
    The channels are then combined to luminance (BT.601 weights), made
    zero-mean (:func:`zero_mean`) and Wiener filtered in the DFT domain
    (:func:`wiener_dft`), after Chen et al. (2008).

    Parameters
    ----------
    image : str, os.PathLike or ndarray
        A photograph file, read in stored pixel order (see :func:`load_image`
        with ``orient=False``), or an array of shape (H, W) or (H, W, 3),
        dtype uint8, uint16 or floating point.
    sigma : float, optional
        Standard deviation of the noise the denoiser assumes, in pixel
        units (of 8-bit levels for uint8 images). 3, chosen on simulated
        cameras: over shots with noise of standard deviation 1.5 to 3, sigma
        3 gave the highest peak-to-correlation energy of 2, 3, 4 and 5
        (bench/choose_defaults.py); the literature uses 3 to 5.
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
    pixels = load_image(image, orient=False)
    channels = [_wavelet_residual(channel, sigma=sigma, wavelet=wavelet, levels=levels)
                for channel in _channels(pixels)]
    return postprocess(channels).astype(np.float32)


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
        total += weight * np.asarray(channel, dtype=np.float64)
    return total


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
    for row in (0, 1):
        for column in (0, 1):
            phase = result[row::2, column::2]
            phase -= phase.mean(axis=0)
            phase -= phase.mean(axis=1, keepdims=True)
    return result


def wiener_dft(x):
    """Wiener-filter an array in the DFT domain, flattening its spectrum.

    Chen et al. (2008): periodic artefacts shared by a camera model (JPEG
    8x8 blocks, colour interpolation) are sharp peaks in the spectrum of a
    residual or fingerprint, while the sensor pattern is close to white. The
    spectral magnitude |X| (scaled so that its mean square equals that of x)
    is treated as a signal whose flat part is "noise" of variance sigma² =
    mean(|X|²); the local-variance estimate v of the peaks is taken out by
    keeping the Wiener residual, X * sigma² / (v + sigma²), with the phase
    unchanged. v comes from ``morvekin.lawmlNC`` over 3x3 windows: its
    mean-subtracted local variance leaves the flat part of the spectrum
    untouched (a window of white-noise magnitudes has a variance well below
    their mean square), where the papers' windowed mean of squares scales
    all of it down at random. On simulated cameras with shared JPEG-grid and
    interpolation patterns it gave the better separation between cameras
    (bench/choose_defaults.py).

    Parameters
    ----------
    x : ndarray, shape (H, W)
        Real values, typically zero-mean.

    Returns
    -------
    ndarray, shape (H, W), float64
    """
    x = _checked_plane(x, "x")
    spectrum = np.fft.rfft2(x)
    magnitude = np.abs(spectrum)
    magnitude /= np.sqrt(x.size)
    noise_var = float(np.mean(magnitude * magnitude))
    if noise_var == 0.0:  # all zeros: nothing to filter, and 0/0 ahead
        return np.zeros(x.shape)
    variance, denoised = np.empty_like(magnitude), np.empty_like(magnitude)
    morvekin.lawmlNC(magnitude, variance, None, denoised, noise_var, 0)
    variance += noise_var
    spectrum *= noise_var / variance
    return np.fft.irfft2(spectrum, s=x.shape)


def _channels(pixels):
    """The image's channels as 2-D arrays in the transform dtype."""
    planes = [pixels] if pixels.ndim == 2 else [pixels[..., k] for k in range(3)]
    return [np.ascontiguousarray(plane, dtype=TRANSFORM_DTYPE) for plane in planes]


def _wavelet_residual(channel, *, sigma, wavelet, levels):
    """Noise one channel loses to wavelet-domain Wiener shrinkage (Lukáš et al. 2006).

    The separable 2-D transform filters along rows only: after each 1-D pass
    the halves are transposed, so the next pass also runs along contiguous
    memory (PyWavelets is several times slower across rows), and the
    sub-bands of alternate levels are stored transposed; the square LAWML
    windows do not mind.
    """
    noise_var = _checked_sigma(sigma) ** 2
    filter_length = _checked_wavelet(wavelet).dec_len
    levels = _checked_levels(levels)
    usable = pywt.dwt_max_level(min(channel.shape), filter_length)
    if usable < 1:
        raise ValueError(
            f"image of shape {channel.shape} is too small for the {wavelet} wavelet "
            f"(needs at least {2 * (filter_length - 1)} pixels each way)"
        )
    shapes, noise = [], []
    approximation = channel
    for _ in range(min(levels, usable)):
        shapes.append(approximation.shape)
        approximation, details = _dwt_level(approximation, wavelet)
        noise.append([_shrinkage_loss(band, noise_var) for band in details])
    # Rebuild from the removed noise alone: the approximation keeps all of
    # the image, so its share of the residual is zero.
    rebuilt = np.zeros_like(approximation)
    for shape, details in zip(reversed(shapes), reversed(noise)):
        rebuilt = _idwt_level(rebuilt, details, shape, wavelet)
    return rebuilt


def _dwt_level(x, wavelet):
    """One 2-D level; returns the approximation and details, transposed."""
    low, high = pywt.dwt(x, wavelet, mode=MODE, axis=-1)
    low_low, low_high = pywt.dwt(_transposed(low), wavelet, mode=MODE, axis=-1)
    high_low, high_high = pywt.dwt(_transposed(high), wavelet, mode=MODE, axis=-1)
    return low_low, (low_high, high_low, high_high)


def _idwt_level(approximation, details, shape, wavelet):
    """Inverse of :func:`_dwt_level` for an input of the given shape."""
    rows, columns = shape
    low = pywt.idwt(approximation, details[0], wavelet, mode=MODE, axis=-1)[:, :rows]
    high = pywt.idwt(details[1], details[2], wavelet, mode=MODE, axis=-1)[:, :rows]
    return pywt.idwt(_transposed(low), _transposed(high), wavelet, mode=MODE, axis=-1)[:, :columns]


def _transposed(x):
    """A C-ordered copy of x.T, copied a block of rows at a time to stay in cache."""
    result = np.empty(x.shape[::-1], dtype=x.dtype)
    for start in range(0, x.shape[0], _TRANSPOSE_ROWS):
        result[:, start:start + _TRANSPOSE_ROWS] = x[start:start + _TRANSPOSE_ROWS].T
    return result


def _shrinkage_loss(band, noise_var):
    """What LAWML Wiener shrinkage takes out of one detail sub-band: c - shrunk(c)."""
    coeffs = band.astype(np.float64)  # lawmlNC computes in float64 only
    variance, scratch, shrunk = (np.empty_like(coeffs) for _ in range(3))
    morvekin.lawmlNC(coeffs, variance, scratch, shrunk, noise_var, 1)
    coeffs -= shrunk
    return coeffs.astype(band.dtype)


def _checked_plane(x, name):
    x = np.asarray(x)
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
