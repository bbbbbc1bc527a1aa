"""The maximum-likelihood camera fingerprint (Chen, Fridrich, Goljan, Lukáš 2008)."""

import collections
import itertools
import os
import warnings
from concurrent.futures import ThreadPoolExecutor
from typing import NamedTuple

import numpy as np
from tqdm import tqdm

from ._threads import in_blocks, in_order
from .images import ImageFacts, load_image, read_image
from ._checks import checked_sigma
from .postprocessing import postprocess
from .provenance import array_sha256, file_entry, file_sha256
from .residual import SIGMA, channel_noise, noise_variance, transform_channels
from .storage import checked_estimate, fingerprint_metadata
from .video import FRAMES, LIMIT, VideoFrames, is_video

# Images per block of the sums. Each block of consecutive images is summed on
# its own, in image order, and the blocks' sums are added in block order. That
# fixes every bit of the result whoever sums the blocks (this thread, a pool,
# a cluster), and a cluster worker sends back one block's sums instead of each
# image's. Four keeps a dozen workers busy on 50 photographs.
BLOCK = 4

# What an image that cannot be used raises (see load_image).
READ_ERRORS = (OSError, ValueError, TypeError)
# Fewer images than this give a fingerprint noisy enough to warn about; 20 to 50 are usual.
MIN_IMAGES = 20
# One image dominates the estimate when it carries more than this many equal shares of the energy of
# the sum of W·I; with fewer than twice this many images, more than half of it and two equal shares.
DOMINANCE = 5
# Image shapes whose sums are kept at once while the majority is not yet known; images of further
# shapes are left out, so that a folder of odd sizes cannot fill the memory.
SHAPES = 4


class FingerprintWarning(UserWarning):
    """A fingerprint was estimated, but from images that make it weaker than it should be."""


def fingerprint(images, *, sigma=SIGMA, progress=False, workers=1, onerror=None, executor=None, onread=None):
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

    The images of the shape most of them have are used; the others are
    left out and reported (a tie between two shapes is refused). An image
    given twice, or two files of the same bytes, is counted once: the
    duplicates are found by SHA-256 (a file's bytes, an array's values) as
    the images are taken, and reported. A :class:`FingerprintWarning` says
    when fewer than :data:`MIN_IMAGES` images were used, which images were
    duplicates, and when one image dominates the estimate (it carries more
    than :data:`DOMINANCE` equal shares of the energy of the sum of W·I; of
    fewer images, more than half of it and two equal shares): a picture far
    brighter than the others (the estimate weighs each pixel by its
    intensity squared), or one of fine detail that the denoiser takes for
    noise, whose scene then shows in the fingerprint.

    Parameters
    ----------
    images : iterable of (str, os.PathLike or ndarray)
        Photographs of one camera: files (read in stored pixel order, the
        sensor's) or arrays as for :func:`morvekin_prnu.load_image`. Any
        iterable, a generator too: it is read once, in order, and never held
        whole. Not a single path: a str, bytes or path is refused. Memory stays at four
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
        whose shape differs from the majority's (these are reported once all
        images are seen, after the others). ``label`` is the path, or
        ``images[i]`` for an array. Without it the first such image raises.
    executor : concurrent.futures.Executor or dask.distributed.Client, optional
        Sum each block as one task on it (anything whose ``submit(function,
        *args)`` returns a future with ``result()``), the blocks' sums being
        added here. The images travel to the tasks, so give paths that the
        executor's workers can read: each worker then reads its own files.
        ``morvekin`` must be installed where the tasks run. Files are read
        here too, once, for their SHA-256.
    onread : callable, optional
        Called as ``onread(label, facts)`` for each image used, in image
        order, once the estimate is made: ``facts`` is the image's
        :class:`morvekin_prnu.ImageFacts` (for a file, the SHA-256 of the
        bytes decoded and the camera from its EXIF; for an array, the
        SHA-256 of its values) — the record of what the fingerprint is made of.

    Returns
    -------
    ndarray, shape (H, W), float32
        The fingerprint estimate (dimensionless, of the order of 0.01).

    Raises
    ------
    ValueError, TypeError, OSError
        No images, no image that could be used, an image that cannot be used
        (without ``onerror``; a missing file raises FileNotFoundError, a shape
        that differs from the majority's names both shapes and the file), as
        many images of one shape as of another, an estimate no camera gives
        (all images black or saturated: see
        :func:`morvekin_prnu.storage.checked_estimate`), or bad options.
        Nothing is returned from a run that failed part way.
    """
    estimate, notes = _estimated(images, sigma, progress, workers, onerror, executor, onread)
    for note in notes:
        warnings.warn(note, FingerprintWarning, stacklevel=2)
    return estimate


def recorded_fingerprint(images, *, sigma=SIGMA, progress=False, workers=1, onerror=None, executor=None,
                         frames=FRAMES, max_frames=LIMIT):
    """:func:`fingerprint` and the record a fingerprint file keeps of it: what was used, skipped and warned of.

    The one road from photographs, or videos, to a fingerprint file, for the
    ``morvekin fingerprint`` command and :meth:`morvekin_prnu.Library.add`
    alike. The warnings reach the caller as :func:`fingerprint` gives them,
    and are kept in the record too.

    Videos (files :func:`morvekin_prnu.video.is_video` tells apart, given on
    their own: their frames are of other sizes than a camera's photographs)
    give their frames (:class:`morvekin_prnu.video.VideoFrames`), each
    called ``VIDEO#n``, and the record keeps one entry per video
    (:meth:`morvekin_prnu.video.VideoFacts.entry`): its file, SHA-256,
    camera tags, codec, frame size and the frames used. A video's frames
    are not independent shots, so their count draws no warning.

    Parameters
    ----------
    images, sigma, progress, workers, onerror, executor
        As for :func:`fingerprint`.
    frames, max_frames
        For videos, which frames and at most how many per video, as
        :func:`morvekin_prnu.read_video` takes them (``frames``, ``limit``).

    Returns
    -------
    estimate : ndarray, shape (H, W), float32
        What :func:`fingerprint` returns.
    metadata : dict
        :func:`morvekin_prnu.storage.fingerprint_metadata` of the images used
        (each with its SHA-256 and camera) and skipped (each with the reason),
        and ``warnings``: the text of each warning. For videos, ``images``
        counts their frames used and ``inputs`` holds the videos.
    """
    skipped, inputs = {}, []

    def skip(label, error):
        skipped[label] = str(error).removeprefix(f"{label}: ")
        onerror(label, error)

    def read(label, facts):
        inputs.append(file_entry(label, facts.sha256, facts.camera()))

    sigma = checked_sigma(sigma)
    images, videos = _videos_apart(images)
    options = dict(sigma=sigma, progress=progress, workers=workers, onerror=None if onerror is None else skip,
                   executor=executor)
    if videos is None:
        estimate, notes = _estimated(images, **options, onread=read)
    else:
        shown = VideoFrames(videos, frames=frames, limit=max_frames, onerror=options["onerror"])
        estimate, notes = _estimated(shown, **options, onread=None, labels=shown.labels, least=1)
        inputs = shown.entries
    for note in notes:
        warnings.warn(note, FingerprintWarning, stacklevel=2)
    metadata = fingerprint_metadata(sigma, inputs, skipped)
    if videos is not None:
        metadata["images"] = sum(len(entry["frames"]) // entry["average"] for entry in inputs)
    return estimate, {**metadata, "warnings": notes}


def frames_fingerprint(frames, labels, *, sigma=SIGMA):
    """The fingerprint of a video's frames: :func:`fingerprint` with each frame named, without the warning of
    few images (a video's frames are not independent shots).

    Parameters
    ----------
    frames : list of ndarray
        From :func:`morvekin_prnu.read_video`.
    labels : list of str
        What to call each frame (:meth:`morvekin_prnu.video.VideoFacts.labels`).
    sigma : float, optional

    Returns
    -------
    ndarray, shape (H, W), float32
    """
    estimate, notes = _estimated(frames, sigma, False, 1, None, None, None, labels=labels, least=1)
    for note in notes:
        warnings.warn(note, FingerprintWarning, stacklevel=2)
    return estimate


def _videos_apart(images):
    """(images, None) for photographs; (None, the paths) when the first is a video, which all must be."""
    if isinstance(images, (str, bytes, os.PathLike)):
        return images, None
    images = iter(images)
    first = next(images, None)
    if first is None:
        return [], None
    images = itertools.chain([first], images)
    if not (isinstance(first, (str, os.PathLike)) and _is_video(first)):
        return images, None
    videos = list(images)
    for path in videos:
        if not (isinstance(path, (str, os.PathLike)) and _is_video(path)):
            raise ValueError(f"{os.fspath(path) if isinstance(path, (str, os.PathLike)) else 'an array'}: not a "
                             "video, among videos: a camera's fingerprint is made "
                             "either from its videos or from its photographs (their frames are of other sizes)")
    return None, videos


def _is_video(path):
    """Whether a path is a video file; False for one that cannot be read (reading it says why)."""
    try:
        return is_video(path)
    except READ_ERRORS:
        return False


def _estimated(images, sigma, progress, workers, onerror, executor, onread, labels=None, least=MIN_IMAGES):
    """The estimate of :func:`fingerprint`, and the texts of the warnings it gives: of fewer images than
    ``least``, among others. ``labels`` name the images, as :func:`_distinct` takes them."""
    if isinstance(images, (str, bytes, os.PathLike)):
        raise TypeError(f"images must be an iterable of images, not one {type(images).__name__} ({images!r}); "
                        "pass a list of paths, e.g. sorted(Path(folder).iterdir())")
    sigma = checked_sigma(sigma)
    if not isinstance(workers, int) or isinstance(workers, bool) or workers < 1:
        raise ValueError(f"workers must be a positive integer, not {workers!r}")
    for name, callback in (("onerror", onerror), ("onread", onread)):
        if callback is not None and not callable(callback):
            raise TypeError(f"{name} must be callable, not {type(callback).__name__}")
    skip = onerror is not None
    total = _Total(onerror)
    notes = []
    distinct = _distinct(images, notes, labels)
    with tqdm(total=len(images) if hasattr(images, "__len__") else None, disable=not progress,
              unit="image") as bar:
        if executor is None:
            with ThreadPoolExecutor(max_workers=workers) as pool:
                block, first = _Block(), 0
                for index, label, outcome in in_order(pool, _attempt, distinct, workers, sigma, skip):
                    if index >= first + BLOCK:
                        total.merge(block)
                        block, first = _Block(), index - index % BLOCK
                    block.add(label, outcome)
                    bar.update()
                total.merge(block)
        else:
            for block in in_order(executor, _block_sums, ((items,) for items in _blocks(distinct)),
                                  workers, sigma, skip):
                total.merge(block)
                bar.update(len(block.outcomes))
    return total.estimate(onread, notes, least), notes


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


class Duplicate(NamedTuple):
    """In place of an image whose SHA-256 an earlier image has: ``first`` is that image's label."""

    first: str


class _Used(NamedTuple):
    """What the sums keep of an image used: its shape, its facts and the energy of its W·I."""

    shape: tuple
    facts: ImageFacts
    energy: float


def _label(index, source):
    return os.fspath(source) if isinstance(source, (str, os.PathLike)) else f"images[{index}]"


def _distinct(images, notes, labels):
    """(index, label, image), an image whose SHA-256 came before replaced by a Duplicate, said in ``notes``.

    An image is called ``labels[index]`` when labels are given (``labels`` may
    grow as ``images`` yields), else by its path or position. An image that
    cannot be hashed here is passed on: reading it will say what is wrong with it.
    """
    seen = {}
    for index, source in enumerate(images):
        label = _label(index, source) if labels is None else labels[index]
        try:
            key = file_sha256(source) if isinstance(source, (str, os.PathLike)) else array_sha256(source)
        except (*READ_ERRORS, AttributeError):
            yield index, label, source
            continue
        if key in seen:
            notes.append(f"{label} is the same picture as {seen[key]} (the same SHA-256): counted once")
            yield index, label, Duplicate(seen[key])
            continue
        seen[key] = label
        yield index, label, source


def _attempt(index, label, source, sigma, skip):
    """One image read and denoised: its label and (shape, facts, per channel its intensities, residual and
    saturated pixels), or a Duplicate, or the error that stopped it when skipping."""
    if isinstance(source, Duplicate):
        return index, label, source
    try:
        if isinstance(source, (str, os.PathLike)):
            pixels, facts = read_image(source, orient=False)
        else:
            pixels = load_image(source, name=label, orient=False)
            facts = ImageFacts(array_sha256(pixels))
        noise_var = noise_variance(sigma, pixels)
        channels = [(channel, channel_noise(channel, noise_var, name=label), saturated(channel))
                    for channel in transform_channels(pixels)]
    except READ_ERRORS as error:
        if not skip:
            raise
        return index, label, error
    return index, label, (pixels.shape, facts, channels)


def _blocks(images):
    """(index, label, image) of consecutive images in lists of BLOCK, the last one shorter."""
    return iter(lambda: list(itertools.islice(images, BLOCK)), [])


def _block_sums(items, sigma, skip):
    """The sums of one block of (index, label, image), images taken in order: a task for an executor."""
    block = _Block()
    for index, label, source in items:
        block.add(*_attempt(index, label, source, sigma, skip)[1:])
    return block


class _Block:
    """The sums of W·I and I² of one block of images, per image shape, and what became of each image."""

    def __init__(self):
        self.sums = {}  # image shape -> per channel (products, squares)
        self.outcomes = []  # (label, _Used, Duplicate or the error that stopped it), in image order

    def add(self, label, outcome):
        if isinstance(outcome, (Exception, Duplicate)):
            self.outcomes.append((label, outcome))
            return
        shape, facts, channels = outcome
        if shape not in self.sums:
            self.sums[shape] = [(np.zeros(shape[:2]), np.zeros(shape[:2])) for _ in channels]
        energy = sum(_accumulate(products, squares, *channel)
                     for (products, squares), channel in zip(self.sums[shape], channels))
        self.outcomes.append((label, _Used(shape, facts, energy)))


class _Total:
    """The blocks' sums added in block order, per image shape (at most SHAPES of them), and each image used."""

    def __init__(self, onerror):
        self.onerror = onerror
        self.sums = {}
        self.used = []  # (label, _Used), in image order
        self.seen = 0

    def merge(self, block):
        self.seen += len(block.outcomes)
        for label, outcome in block.outcomes:
            if isinstance(outcome, Exception):  # only kept when skipping
                self.onerror(label, outcome)
            elif isinstance(outcome, _Used):
                self.used.append((label, outcome))
        for shape, sums in block.sums.items():
            if shape in self.sums:
                for (products, squares), (more_products, more_squares) in zip(self.sums[shape], sums):
                    _add(products, more_products)
                    _add(squares, more_squares)
            elif len(self.sums) < SHAPES:
                self.sums[shape] = sums  # the same bits as adding them to zeros

    def estimate(self, onread, notes, least):
        if self.seen == 0:
            raise ValueError("images is empty: a fingerprint needs at least one image")
        counts = collections.Counter(used.shape for _, used in self.used if used.shape in self.sums)
        if not counts:
            raise ValueError(f"none of the {self.seen} images could be used")
        (shape, count), *others = counts.most_common()
        if others and others[0][1] == count:
            raise ValueError(f"as many images are of shape {shape} as of {others[0][0]} ({count} each): "
                             "cannot tell which is the camera's; give the images of one shape")
        for label, used in self.used:
            if used.shape != shape:
                error = ValueError(f"{label}: shape {used.shape} differs from the majority's {shape} "
                                   f"({count} of {len(self.used)} images)")
                if self.onerror is None:
                    raise error
                self.onerror(label, error)
        kept = [(label, used) for label, used in self.used if used.shape == shape]
        notes += _quality_notes(kept, least)
        estimates = []
        for numerator, denominator in self.sums[shape]:
            # Pixels saturated in every image carry no estimate.
            np.divide(numerator, denominator, out=numerator, where=denominator > 0)
            numerator[denominator == 0] = 0.0
            estimates.append(numerator)
        estimate = checked_estimate(postprocess(estimates).astype(np.float32), "the estimate")
        for label, used in kept:
            if onread is not None:
                onread(label, used.facts)
        return estimate


def _quality_notes(kept, least):
    """Warnings of fewer images than ``least``, and of one image that carries most of the estimate."""
    notes = []
    if len(kept) < least:
        notes.append(f"only {len(kept)} image{'s' * (len(kept) != 1)} used: a fingerprint of fewer than "
                     f"{MIN_IMAGES} is noisy and matches of it are weak (20 to 50 are usual)")
    energies = np.array([used.energy for _, used in kept])
    total = energies.sum()
    if len(kept) > 1 and total > 0:
        largest = int(np.argmax(energies))
        share = energies[largest] / total
        if share > max(min(0.5, DOMINANCE / len(kept)), 2 / len(kept)):
            notes.append(f"{kept[largest][0]} dominates the estimate: it carries {share:.0%} of the energy of the "
                         f"{len(kept)} images' W·I (far brighter than the others, or of detail the denoiser takes "
                         "for noise); its scene may show in the fingerprint")
    return notes


def _accumulate(products, squares, intensity, residual, clipped):
    """products += W·I and squares += I², saturated pixels counting as I = 0, in row blocks; returns the
    energy of this W·I (the sum of its squares)."""
    energies = {}

    def add(block):
        weight = intensity[block].astype(np.float64)
        weight[clipped[block]] = 0.0
        term = residual[block] * weight
        products[block] += term
        squares[block] += weight * weight
        energies[block.start] = float(np.sum(term * term))

    in_blocks(add, products.shape[0])
    return sum(energies[start] for start in sorted(energies))


def _add(total, x):
    """total += x, in row blocks."""
    def add(block):
        total[block] += x[block]

    in_blocks(add, total.shape[0])
