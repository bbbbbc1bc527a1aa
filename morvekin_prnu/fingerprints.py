"""The maximum-likelihood camera fingerprint (Chen, Fridrich, Goljan, Lukáš 2008)."""

import itertools
import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from tqdm import tqdm

from ._threads import in_blocks, in_order
from .images import load_image
from ._checks import checked_sigma
from .postprocessing import postprocess
from .residual import SIGMA, channel_noise, noise_variance, transform_channels

# Images per block of the sums. Each block of consecutive images is summed on
# its own, in image order, and the blocks' sums are added in block order. That
# fixes every bit of the result whoever sums the blocks (this thread, a pool,
# a cluster), and a cluster worker sends back one block's sums instead of each
# image's. Four keeps a dozen workers busy on 50 photographs.
BLOCK = 4

# What an image that cannot be used raises (see load_image).
READ_ERRORS = (OSError, ValueError, TypeError)


def fingerprint(images, *, sigma=SIGMA, progress=False, workers=1, onerror=None, executor=None):
    """Estimate a camera's sensor fingerprint K from photographs it took.

    Chen et al. (2008), "Determining image origin and integrity using sensor
    noise", IEEE TIFS 3(1): with the sensor output modelled as I = I0 (1 + K)
    plus noise, the maximum-likelihood estimate from residuals W_i of images
    I_i is K = sum(W_i I_i) / sum(I_i²), per colour channel. Saturated pixels
    are left out of both sums (see :func:`saturated`): where a pixel is
    clipped it no longer scales with 1 + K. The channels' estimates are then
    combined to luminance, made zero-mean and Wiener filtered in the DFT
    domain exactly as a residual is (:func:`morvekin_prnu.noise_residual`).

    The sums are taken over fixed blocks of :data:`BLOCK` consecutive images
    (by position in ``images``, so a skipped image never shifts them), each
    block in image order, and the blocks' sums are added in block order: the
    result is the same bits for any ``workers``, with or without
    ``executor``, on any number of cores.

    Parameters
    ----------
    images : iterable of (str, os.PathLike or ndarray)
        Photographs of one camera, all of the same shape: files (read in
        stored pixel order, the sensor's) or arrays as for
        :func:`morvekin_prnu.load_image`. Any iterable, a generator too: it
        is read once, in order, and never held whole. Memory stays at four
        float64 arrays per channel (the total and the current block's sums;
        for a 12-megapixel colour photograph, 32 times its uint8 size) plus
        the images in flight, whatever their count.
    sigma : float, optional
        The denoiser's noise standard deviation, as for
        :func:`morvekin_prnu.noise_residual`.
    progress : bool, optional
        Show a tqdm progress bar on standard error.
    workers : int, optional
        Images processed at once in threads (the transforms and ``lawmlNC``
        release the GIL); each image holds its own working memory. Each image
        already spreads over every core, so more workers help only where
        cores would otherwise idle; the sums are bound by memory bandwidth,
        so on a machine with few cores one worker is usually fastest
        (docs/performance.md). With ``executor``: the
        blocks submitted to it at once.
    onerror : callable, optional
        Called as ``onerror(label, error)`` for each image that cannot be
        used, in image order, which is then left out: one that cannot be read
        (``OSError``, ``ValueError`` or ``TypeError`` from
        :func:`morvekin_prnu.load_image`), is too small for the wavelet, or
        whose shape differs from that of the first image used. ``label`` is
        the path, or ``images[i]`` for an array. Without it the first such
        image raises.
    executor : concurrent.futures.Executor or dask.distributed.Client, optional
        Sum each block as one task on it (anything whose ``submit(function,
        *args)`` returns a future with ``result()``), the blocks' sums being
        added here. The images travel to the tasks, so give paths that the
        executor's workers can read: each worker then reads its own files.
        ``morvekin`` must be installed where the tasks run.

    Returns
    -------
    ndarray, shape (H, W), float32
        The fingerprint estimate (dimensionless, of the order of 0.01).

    Raises
    ------
    ValueError, TypeError, OSError
        No images, no image that could be used, an image that cannot be used
        (without ``onerror``; a missing file raises FileNotFoundError, a shape
        that differs from the first image's names both shapes and the file),
        or bad options. Nothing is returned from a run that failed part way.
    """
    checked_sigma(sigma)
    if not isinstance(workers, int) or isinstance(workers, bool) or workers < 1:
        raise ValueError(f"workers must be a positive integer, not {workers!r}")
    if onerror is not None and not callable(onerror):
        raise TypeError(f"onerror must be callable, not {type(onerror).__name__}")
    skip = onerror is not None
    total = _Total(onerror)
    with tqdm(total=len(images) if hasattr(images, "__len__") else None, disable=not progress,
              unit="image") as bar:
        if executor is None:
            with ThreadPoolExecutor(max_workers=workers) as pool:
                block, first = _Block(), 0
                for index, label, outcome in in_order(pool, _attempt, enumerate(images), workers, sigma, skip):
                    if index >= first + BLOCK:
                        total.merge(block)
                        block, first = _Block(), index - index % BLOCK
                    block.add(label, outcome)
                    bar.update()
                total.merge(block)
        else:
            for block in in_order(executor, _block_sums, ((items,) for items in _blocks(images)), workers,
                                  sigma, skip):
                total.merge(block)
                bar.update(len(block.outcomes))
    return total.estimate()


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


def _attempt(index, source, sigma, skip):
    """One image read and denoised: its label and (shape, per channel its intensities, residual and
    saturated pixels), or the error that stopped it when skipping."""
    label = os.fspath(source) if isinstance(source, (str, os.PathLike)) else f"images[{index}]"
    try:
        pixels = load_image(source, name=label, orient=False)
        noise_var = noise_variance(sigma, pixels)
        channels = [(channel, channel_noise(channel, noise_var, name=label), saturated(channel))
                    for channel in transform_channels(pixels)]
    except READ_ERRORS as error:
        if not skip:
            raise
        return index, label, error
    return index, label, (pixels.shape, channels)


def _blocks(images):
    """(index, image) pairs of consecutive images in lists of BLOCK, the last one shorter."""
    numbered = enumerate(images)
    return iter(lambda: list(itertools.islice(numbered, BLOCK)), [])


def _block_sums(items, sigma, skip):
    """The sums of one block of (index, image) pairs, images taken in order: a task for an executor."""
    block = _Block()
    for index, source in items:
        block.add(*_attempt(index, source, sigma, skip)[1:])
    return block


class _Block:
    """The sums of W·I and I² of one block of images, per image shape, and what became of each image."""

    def __init__(self):
        self.sums = {}  # image shape -> per channel (products, squares)
        self.outcomes = []  # (label, shape or the error that stopped it), in image order

    def add(self, label, outcome):
        if isinstance(outcome, Exception):
            self.outcomes.append((label, outcome))
            return
        shape, channels = outcome
        self.outcomes.append((label, shape))
        if shape not in self.sums:
            self.sums[shape] = [(np.zeros(shape[:2]), np.zeros(shape[:2])) for _ in channels]
        for (products, squares), channel in zip(self.sums[shape], channels):
            _accumulate(products, squares, *channel)


class _Total:
    """The blocks' sums added in block order, for the shape of the first image used."""

    def __init__(self, onerror):
        self.onerror = onerror
        self.shape = None
        self.sums = None
        self.seen = 0

    def merge(self, block):
        self.seen += len(block.outcomes)
        for label, outcome in block.outcomes:
            if isinstance(outcome, Exception):  # only kept when skipping
                self.onerror(label, outcome)
            elif self.shape is None:
                self.shape = outcome
            elif outcome != self.shape:
                error = ValueError(f"{label}: shape {outcome} differs from the first image's {self.shape}")
                if self.onerror is None:
                    raise error
                self.onerror(label, error)
        sums = block.sums.get(self.shape)
        if sums is None:
            return
        if self.sums is None:
            self.sums = sums  # the same bits as adding them to zeros
            return
        for (products, squares), (more_products, more_squares) in zip(self.sums, sums):
            _add(products, more_products)
            _add(squares, more_squares)

    def estimate(self):
        if self.seen == 0:
            raise ValueError("images is empty: a fingerprint needs at least one image")
        if self.sums is None:
            raise ValueError(f"none of the {self.seen} images could be used")
        estimates = []
        for numerator, denominator in self.sums:
            # Pixels saturated in every image carry no estimate.
            np.divide(numerator, denominator, out=numerator, where=denominator > 0)
            numerator[denominator == 0] = 0.0
            estimates.append(numerator)
        return postprocess(estimates).astype(np.float32)


def _accumulate(products, squares, intensity, residual, clipped):
    """products += W·I and squares += I², saturated pixels counting as I = 0, in row blocks."""
    def add(block):
        weight = intensity[block].astype(np.float64)
        weight[clipped[block]] = 0.0
        products[block] += residual[block] * weight
        squares[block] += weight * weight

    in_blocks(add, products.shape[0])


def _add(total, x):
    """total += x, in row blocks."""
    def add(block):
        total[block] += x[block]

    in_blocks(add, total.shape[0])
