"""The noise residual of a photograph: wavelet denoising, then post-processing.

Lukáš, Fridrich and Goljan (2006), "Digital camera identification from sensor
pattern noise", IEEE TIFS 1(2): the residual W = I - F(I) of a wavelet denoiser
F carries the sensor's pattern noise. It is then post-processed after Chen,
Fridrich, Goljan and Lukáš (2008) (see :mod:`morvekin_prnu.postprocessing`).
"""

import numpy as np

from ._checks import checked_levels, checked_sigma, checked_wavelet, image_label
from .images import load_image
from .postprocessing import LUMA, add_weighted, wiener_dft, zero_mean
from .wavelets import rebuild, removed_noise

# The denoiser's noise standard deviation in 8-bit grey levels; the literature
# uses 3 to 5, and 3 gave the highest PCE on simulated cameras.
SIGMA = 3.0
# The wavelet and depth of Lukáš et al. (2006): the 8-tap Daubechies filter, 4 levels.
WAVELET = "db4"
LEVELS = 4
# The transforms run in float32: with the residual rebuilt from the removed
# noise itself (not as image - denoised) float64 gives the same PCE to four
# digits, and takes longer.
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
    and Wiener filtered in the DFT domain (:func:`zero_mean`,
    :func:`wiener_dft`), after Chen et al. (2008). The result is the same
    bit for bit on any number of cores.

    Parameters
    ----------
    image : str, os.PathLike or ndarray
        A photograph file, read in stored pixel order (see :func:`load_image`
        with ``orient=False``), or an array of shape (H, W) or (H, W, 3),
        dtype uint8, uint16 or floating point.
    sigma : float, optional
        Standard deviation of the noise the denoiser assumes, in 8-bit grey
        levels: scaled by 257 for uint16 images; float images are taken to be
        on the 0-255 scale. The literature uses 3 to 5.
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
    _checked_options(sigma, wavelet, levels)
    pixels = load_image(image, orient=False)
    return residual_of_pixels(pixels, sigma, wavelet, levels, image_label(image))


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
    return denoise_with_residual(image, sigma=sigma, wavelet=wavelet, levels=levels)[0]


def denoise_with_residual(image, *, sigma=SIGMA, wavelet=WAVELET, levels=LEVELS):
    """:func:`denoise` and :func:`noise_residual` of one image, decoding and decomposing it once.

    Parameters
    ----------
    image, sigma, wavelet, levels
        As for :func:`noise_residual`.

    Returns
    -------
    denoised : ndarray, shape (H, W) or (H, W, 3), float32
        What :func:`denoise` returns.
    residual : ndarray, shape (H, W), float32
        What :func:`noise_residual` returns, bit for bit.
    """
    _checked_options(sigma, wavelet, levels)
    pixels = load_image(image, orient=False)
    return denoised_and_residual_of_pixels(pixels, sigma, wavelet, levels, image_label(image))


def residual_of_pixels(pixels, sigma=SIGMA, wavelet=WAVELET, levels=LEVELS, name="image"):
    """:func:`noise_residual` of pixels that :func:`load_image` returned; ``name`` is what messages call them."""
    sigma, wavelet, levels = _checked_options(sigma, wavelet, levels)
    noise_var = noise_variance(sigma, pixels)
    removed = (removed_noise(channel, noise_var, wavelet, levels, name) for channel in transform_channels(pixels))
    return _combined_residual(removed, pixels.ndim, wavelet)


def denoised_and_residual_of_pixels(pixels, sigma=SIGMA, wavelet=WAVELET, levels=LEVELS, name="image"):
    """:func:`denoise_with_residual` of pixels that :func:`load_image` returned."""
    sigma, wavelet, levels = _checked_options(sigma, wavelet, levels)
    noise_var = noise_variance(sigma, pixels)
    denoised = []

    def removed():
        for channel in transform_channels(pixels):
            shapes, noise = removed_noise(channel, noise_var, wavelet, levels, name)
            denoised.append(channel - rebuild(shapes, noise, wavelet))
            yield shapes, noise

    residual = _combined_residual(removed(), pixels.ndim, wavelet)
    return (denoised[0] if pixels.ndim == 2 else np.dstack(denoised)), residual


def channel_noise(channel, noise_var, wavelet=WAVELET, levels=LEVELS, name="image"):
    """What the denoiser removes from one channel, before any post-processing.

    Parameters
    ----------
    channel : ndarray, shape (H, W), float32 or float64, C order
    noise_var : float
        The noise variance, on the channel's scale (see :func:`noise_variance`).
    wavelet, levels
        As for :func:`noise_residual`.
    name : str, optional
        What to call the image if it is too small.

    Returns
    -------
    ndarray, shape (H, W), the channel's dtype
    """
    wavelet = checked_wavelet(wavelet)
    shapes, noise = removed_noise(channel, noise_var, wavelet, checked_levels(levels), name)
    return rebuild(shapes, noise, wavelet)


def transform_channels(pixels):
    """The image's channels, one at a time, as C-ordered 2-D arrays in the transform dtype."""
    for k in range(1 if pixels.ndim == 2 else 3):
        yield np.ascontiguousarray(pixels if pixels.ndim == 2 else pixels[..., k], dtype=TRANSFORM_DTYPE)


def noise_variance(sigma, pixels):
    """sigma², with sigma given in 8-bit levels, on the scale of ``pixels`` (x 257 for uint16)."""
    scale = 257.0 if pixels.dtype == np.uint16 else 1.0
    return (checked_sigma(sigma) * scale) ** 2


def _combined_residual(removed, ndim, wavelet):
    """The post-processed residual from each channel's (shapes, removed noise), taken one at a time."""
    weights = LUMA if ndim == 3 else (1.0,)
    # The inverse transform is linear: the channels' removed noise is combined
    # to luminance band by band and rebuilt once, not three times.
    combined = None
    for weight, (shapes, noise) in zip(weights, removed):
        if combined is None:
            combined = [[np.zeros_like(band) for band in level] for level in noise]
        for sums, bands in zip(combined, noise):
            for total, band in zip(sums, bands):
                add_weighted(total, weight, band)
    return wiener_dft(zero_mean(rebuild(shapes, combined, wavelet))).astype(np.float32)


def _checked_options(sigma, wavelet, levels):
    return checked_sigma(sigma), checked_wavelet(wavelet), checked_levels(levels)
