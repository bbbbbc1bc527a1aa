"""The maximum-likelihood camera fingerprint (Chen, Fridrich, Goljan, Lukáš 2008)."""

import os
from collections import deque
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from tqdm import tqdm

from ._threads import in_blocks
from .images import load_image
from .residual import SIGMA, _channels, _checked_sigma, _wavelet_residual, noise_variance, postprocess


def fingerprint(images, *, sigma=SIGMA, progress=False, workers=1):
    """Estimate a camera's sensor fingerprint K from photographs it took.

    Chen et al. (2008), "Determining image origin and integrity using sensor
    noise", IEEE TIFS 3(1): with the sensor output modelled as I = I0 (1 + K)
    plus noise, the maximum-likelihood estimate from residuals W_i of images
    I_i is K = sum(W_i I_i) / sum(I_i²), per colour channel. Saturated pixels
    are left out of both sums (see :func:`saturated`): where a pixel is
    clipped it no longer scales with 1 + K. The channels' estimates are then
    combined to luminance, made zero-mean and Wiener filtered in the DFT
    domain exactly as a residual is (:func:`morvekin_prnu.noise_residual`).

    Parameters
    ----------
    images : iterable of (str, os.PathLike or ndarray)
        Photographs of one camera, all of the same shape: files (read in
        stored pixel order, the sensor's) or arrays as for
        :func:`morvekin_prnu.load_image`. Any iterable, a generator too: it
        is read once, in order, and never held whole. Memory stays at two
        float64 sums per channel (for a 12-megapixel colour photograph,
        16 times its uint8 size) plus the images in flight, whatever their
        count.
    sigma : float, optional
        The denoiser's noise standard deviation, as for
        :func:`morvekin_prnu.noise_residual`.
    progress : bool, optional
        Show a tqdm progress bar on standard error.
    workers : int, optional
        Images processed at once in threads (the transforms and ``lawmlNC``
        release the GIL); each image holds its own working memory. Sums are
        taken in image order, so the result is bit-identical for any value.
        Each image already spreads over every core, so more workers help only
        where cores would otherwise idle (on 2 cores, 12 MP photographs took
        2.44 s each with one worker and 2.88 s with two).

    Returns
    -------
    ndarray, shape (H, W), float32
        The fingerprint estimate (dimensionless, of the order of 0.01).

    Raises
    ------
    ValueError, TypeError, OSError
        No images, an image that cannot be read (a missing file raises
        FileNotFoundError), or one whose shape differs from the first's (both
        shapes and the file are named), or bad options. Nothing is returned
        from a run that failed part way.
    """
    _checked_sigma(sigma)
    if not isinstance(workers, int) or isinstance(workers, bool) or workers < 1:
        raise ValueError(f"workers must be a positive integer, not {workers!r}")
    sums = []  # per channel, the float64 sums of W·I and of I²
    first_shape = None
    with ThreadPoolExecutor(max_workers=workers) as pool:
        for label, shape, channels in tqdm(
            _in_order(pool, _denoised, enumerate(images), workers, sigma),
            total=len(images) if hasattr(images, "__len__") else None, disable=not progress, unit="image",
        ):
            if first_shape is None:
                first_shape = shape
                sums = [(np.zeros(shape[:2]), np.zeros(shape[:2])) for _ in channels]
            elif shape != first_shape:
                raise ValueError(f"{label}: shape {shape} differs from the first image's {first_shape}")
            for (products, squares), channel in zip(sums, channels):
                _accumulate(products, squares, *channel)
    if first_shape is None:
        raise ValueError("images is empty: a fingerprint needs at least one image")
    estimates = []
    for numerator, denominator in sums:
        # Pixels saturated in every image carry no estimate.
        np.divide(numerator, denominator, out=numerator, where=denominator > 0)
        numerator[denominator == 0] = 0.0
        estimates.append(numerator)
    return postprocess(estimates).astype(np.float32)


def saturated(channel):
    """Pixels clipped at the top of the range, which carry no sensor pattern.

    A pixel counts as saturated where it holds the channel's largest value and
    so does one of its four neighbours: clipping leaves flat plateaus at the
    maximum, while a lone brightest pixel is ordinary signal. (Chen et al.
    2008 leave saturated pixels out of the estimate; this is the rule used
    here, the same for every bit depth and for float images whose white
    level is unknown.)

    Parameters
    ----------
    channel : ndarray, shape (H, W)

    Returns
    -------
    ndarray, shape (H, W), bool
    """
    top = channel == channel.max()
    flat = np.zeros_like(top)
    flat[1:] |= top[:-1]
    flat[:-1] |= top[1:]
    flat[:, 1:] |= top[:, :-1]
    flat[:, :-1] |= top[:, 1:]
    return top & flat


def _denoised(index, source, sigma):
    """One image read and denoised: per channel its intensities, residual and saturated pixels."""
    label = os.fspath(source) if isinstance(source, (str, os.PathLike)) else f"images[{index}]"
    pixels = load_image(source, name=label, orient=False)
    noise_var = noise_variance(sigma, pixels)
    channels = [(channel, _wavelet_residual(channel, noise_var), saturated(channel)) for channel in _channels(pixels)]
    return label, pixels.shape, channels


def _accumulate(products, squares, intensity, residual, clipped):
    """products += W·I and squares += I², saturated pixels counting as I = 0, in row blocks."""
    def add(block):
        weight = intensity[block].astype(np.float64)
        weight[clipped[block]] = 0.0
        products[block] += residual[block] * weight
        squares[block] += weight * weight

    in_blocks(add, products.shape[0])


def _in_order(pool, function, items, workers, *args):
    """function(*item, *args) over items in a pool, yielded in input order.

    At most ``workers`` calls run or wait at once: unlike ``Executor.map``,
    which takes the whole iterable up front, this never holds more than a few
    items' results.
    """
    pending = deque()
    for item in items:
        pending.append(pool.submit(function, *item, *args))
        if len(pending) >= workers:
            yield pending.popleft().result()
    while pending:
        yield pending.popleft().result()
