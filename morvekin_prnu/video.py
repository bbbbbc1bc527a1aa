"""Reading videos: the frames a video's sensor fingerprint is estimated from, and what the file says of itself.

A video frame is a picture of the sensor, resized (and usually cut) by the
camera's video pipeline and then compressed. Chen, Fridrich, Goljan and Lukáš
(2007), "Source digital camcorder identification using sensor photo response
non-uniformity", Proc. SPIE 6505, estimate the sensor's pattern from a
video's frames as from photographs; Taspinar, Mohanty and Memon (2020),
"Camera fingerprint extraction via spatial domain averaged frames", IEEE TIFS
15, average frames first, so that far fewer have to be denoised. This module
decodes the frames (through PyAV: ``pip install "morvekin[video]"``) and
records what was decoded; :func:`morvekin_prnu.fingerprint` makes the
estimate.

A file is read once, whole, and decoded from memory, so the SHA-256 recorded
is that of the very bytes decoded. Work is bounded before anything is
decoded: the file's size, the frame's size and the pixels to be decoded.
"""

import bisect
import io
import os
import re
from typing import NamedTuple

import numpy as np
from PIL import Image

from .images import HEIF_BRANDS
from .provenance import bytes_sha256, file_entry, open_regular

# ISO base media files that are pictures: HEIF, AVIF (still and sequence) and Canon's CR3 raw files.
IMAGE_BRANDS = HEIF_BRANDS | {b"avif", b"avis", b"crx "}
# QuickTime files from before the ftyp box begin with one of these atoms.
QUICKTIME_ATOMS = frozenset(b"moov mdat wide free skip pnot".split())
ASF_HEADER = bytes.fromhex("3026b2758e66cf11a6d900aa0062ce6c")
HEAD = 1024  # bytes enough to tell a container by its start
# The largest file read: a video is held in memory whole while it is decoded. Longer ones can be
# cut into parts by remuxing (no re-encoding), each part then read and recorded as a file of its own.
MAX_BYTES = 2 << 30
# The most pixels decoded for one video: frames to decode times pixels per frame, about 4,800
# frames of 1920x1080. Checked before decoding, so a small file cannot make the decoder run for hours.
DECODE_BUDGET = 10 ** 10
# The frames used by default: the key frames. On simulated phone videos (bench/bench_video.py) the
# ten key frames of ten seconds gave 1.9-9 times the PCE of all 300 frames at 4 and 8 Mb/s, in a
# tenth to a twenty-fifth of the time; only at 0.6 bits per pixel did every frame do better, by at
# most 1.3 (docs/performance.md, "Videos").
FRAMES = "key"
# At most this many frames are used: 40-50 s of denoising at 1920x1080 on two cores.
LIMIT = 300
# Frames averaged into each one returned: none by default (see FRAMES). Averaging every frame by
# ten kept 0.83-1.05 of the PCE of denoising each, in a quarter to a seventh of the time.
AVERAGE = 1
_LONGEST_TAG = 128  # characters kept of a make, model or software tag
# Container tags, lower-cased, naming the camera: QuickTime's keys (Apple), Android's, and the
# user-data atoms as FFmpeg names them (©mak "make", ©mod "model", ©swr or ©too "encoder", the
# software that wrote the file). The first present wins.
_MAKE = ("com.apple.quicktime.make", "com.android.manufacturer", "make")
_MODEL = ("com.apple.quicktime.model", "com.android.model", "model")
_SOFTWARE = ("com.apple.quicktime.software", "com.android.version", "encoder")


class VideoFacts(NamedTuple):
    """What is known of a video file besides its frames, for the record.

    Attributes
    ----------
    sha256 : str
        SHA-256 of the file's bytes, those that were decoded.
    container : str
        FFmpeg's name of the container format, e.g. ``"mov,mp4,m4a,3gp,3g2,mj2"``.
    codec : str
        FFmpeg's name of the video codec, e.g. ``"h264"`` or ``"hevc"``.
    width, height : int
        Of the frames as stored (coded), in pixels.
    bit_depth : int
        Bits per luma sample: 8, 10 or 12.
    frame_rate : float or None
        Frames per second on average, as the container says.
    frame_count : int
        Frames the file holds (its video packets).
    duration : float or None
        Seconds, as the container says.
    rotation : int
        Degrees counter-clockwise that the display matrix turns the stored
        frames by for showing them (0, 90, 180 or 270): a phone held upright
        stores its frames landscape and says 90 or 270. The frames are
        analysed as stored.
    make, model, software : str or None
        The camera's maker, model and the software that wrote the file, from
        the container's tags (QuickTime or Android keys, user data), or None.
    used : tuple of int
        The frames decoded and used, by position in display order from 0.
    average : int
        How many consecutive frames of ``used`` were averaged into each frame
        returned (1: each frame as it is).
    """

    sha256: str
    container: str
    codec: str
    width: int
    height: int
    bit_depth: int
    frame_rate: float | None
    frame_count: int
    duration: float | None
    rotation: int
    make: str | None
    model: str | None
    software: str | None
    used: tuple
    average: int

    def camera(self):
        """make, model and software as a dict, for a record."""
        return {"make": self.make, "model": self.model, "software": self.software}

    def labels(self, path):
        """What to call each frame returned: ``"PATH#12"``, or ``"PATH#0-9"`` for an average of frames 0 to 9."""
        groups = [self.used[start:start + self.average] for start in range(0, len(self.used), self.average)]
        return [f"{os.fspath(path)}#{group[0]}" + (f"-{group[-1]}" if len(group) > 1 else "") for group in groups]

    def entry(self, path):
        """What a fingerprint's record says of this video: file, SHA-256, camera, codec, frame size and frames."""
        return {**file_entry(path, self.sha256, self.camera()), "codec": self.codec, "width": self.width,
                "height": self.height, "bit_depth": self.bit_depth, "rotation": self.rotation,
                "frames": list(self.used), "average": self.average}


class _Plan(NamedTuple):
    """Which packets to decode (positions in decode order) and which frames to keep (display positions)."""

    packets: frozenset
    keep: frozenset


def video_container(head):
    """The kind of video container a file's first bytes begin, or None for anything else.

    ISO base media files (MP4, MOV, 3GP) whose brand is not a picture's
    (:data:`IMAGE_BRANDS`: HEIF, AVIF, CR3) and older QuickTime files,
    Matroska and WebM, AVI, MPEG transport streams (also with the 4-byte
    timestamps of M2TS/AVCHD) and program streams, FLV and ASF/WMV.

    Parameters
    ----------
    head : bytes
        The file's first bytes; :data:`HEAD` of them are enough.

    Returns
    -------
    str or None
    """
    if head[4:8] == b"ftyp":
        return None if head[8:12] in IMAGE_BRANDS else "MP4/QuickTime"
    if head[4:8] in QUICKTIME_ATOMS:
        return "QuickTime"
    if head[:4] == b"\x1a\x45\xdf\xa3":
        return "Matroska/WebM"
    if head[:4] == b"RIFF" and head[8:12] == b"AVI ":
        return "AVI"
    if head[:4] == b"\x00\x00\x01\xba":
        return "MPEG program stream"
    # Transport streams: a sync byte every 188 bytes (192 with timestamps); five in a row, as a GIF
    # (which begins with the same byte) or any other file would have them by chance once in 2^32.
    for start, period in ((0, 188), (4, 192)):
        if len(head) > start + 4 * period and all(head[start + k * period] == 0x47 for k in range(5)):
            return "MPEG transport stream"
    if head[:4] == b"FLV\x01":
        return "FLV"
    if head[:16] == ASF_HEADER:
        return "ASF"
    return None


def is_video(path):
    """Whether a file is a video by its first bytes (:func:`video_container`), so a caller can route it.

    Parameters
    ----------
    path : str or os.PathLike

    Returns
    -------
    bool

    Raises
    ------
    OSError, ValueError
        As for :func:`morvekin_prnu.provenance.open_regular`.
    """
    with open_regular(path) as file:
        return video_container(file.read(HEAD)) is not None


def read_video(path, *, frames=FRAMES, limit=LIMIT, average=AVERAGE):
    """Decode the frames of a video to estimate its camera's fingerprint from, and what the file says.

    Each frame is its luma plane as stored (coded), in the sensor's pixel
    order: a rotation the display matrix asks for is recorded, not applied,
    as photographs are read with ``orient=False``. Luma is what the codecs
    keep at full resolution (chroma is halved each way in 4:2:0), and the
    fingerprint of Chen et al. (2007) is the luminance's. 8-bit video comes
    as uint8; deeper video as uint16 scaled onto the 16-bit range (10-bit
    values times 64), so that a denoiser's sigma in 8-bit levels keeps its
    meaning.

    With ``average`` above 1, each group of that many consecutive frames
    used is replaced by its mean (a spatial domain averaged frame, Taspinar
    et al. 2020): the scene changes from frame to frame and averages out,
    while the sensor's pattern stays in place, so one denoising of the mean
    does the work of many. An averaged frame is float32 on the 0-255 scale
    (a deeper video's mean divided by 257).

    The whole file must be sound: a file whose container lists more frames
    than it holds (truncated), or whose frames cannot be decoded without
    error, is refused, rather than leaving the record to name a file of
    which only a part was used. A damaged file can be repaired or cut with a
    remuxing tool and the result, a file of its own SHA-256, read instead.
    Damage within the coded pictures that leaves a valid bitstream decodes
    without error and cannot be told: video codecs carry no checksums.

    The key frames are used by default (:data:`FRAMES`). They are coded on
    their own, and the least compressed; the other frames are mostly
    predicted from earlier ones, moved with the scene, which carries the
    sensor's pattern along with it to where it does not belong. On simulated
    phone videos the key frames alone gave a far stronger fingerprint than
    every frame, except at high bit rates (docs/performance.md, "Videos").

    Parameters
    ----------
    path : str or os.PathLike
    frames : "key" or int, optional
        ``"key"``: the key frames, spread evenly over the video when there
        are more than ``limit``; only they are decoded. n: every n-th frame
        in display order from the first, the first ``limit`` of them; the
        frames before the last one used are all decoded.
    limit : int, optional
        The most frames used.
    average : int, optional
        Frames averaged into each one returned; 1 returns each frame. For
        videos of few key frames or a high bit rate, every frame averaged by
        ten comes close to every frame denoised, in a fraction of the time.

    Returns
    -------
    frames : list of ndarray, each shape (height, width)
        uint8 or uint16 frames, or float32 averaged frames, in display order.
    facts : VideoFacts

    Raises
    ------
    OSError
        The file is missing, a folder, or not readable.
    ValueError
        Not a regular file; not a video; larger than :data:`MAX_BYTES`;
        frames of more pixels than ``PIL.Image.MAX_IMAGE_PIXELS``; more
        pixels to decode than :data:`DECODE_BUDGET`; truncated or damaged; a
        pixel format other than YUV or grey; PyAV missing (the message says
        what to install); or a bad option. The message names the file.
    """
    frames, limit, average = _checked_options(frames, limit, average)
    path = os.fspath(path)
    with open_regular(path) as file:
        data = file.read(MAX_BYTES + 1)
    if len(data) > MAX_BYTES:
        raise ValueError(f"{path}: larger than {MAX_BYTES} bytes (morvekin_prnu.video.MAX_BYTES); "
                         "cut it into parts with a remuxing tool and read those")
    if video_container(data[:HEAD]) is None:
        raise ValueError(f"{path}: not a video file that can be read (MP4/MOV, Matroska/WebM, AVI, MPEG-TS/PS, FLV, "
                         "ASF)")
    av = _pyav(path)
    try:
        with av.open(io.BytesIO(data), metadata_errors="ignore") as container:
            stream = _video_stream(container, path)
            width, height = _bounded_size(stream, path)
            order, keys = _packets(container, stream, path)
            _whole(path, order, stream)
            described = _described(container, stream, len(order))
        if frames == "key" and not keys:
            raise ValueError(f"{path}: its container marks no key frame; read every n-th frame instead")
        plan = _planned(order, keys, frames, limit)
        _within_budget(path, len(plan.packets), width, height)
        with av.open(io.BytesIO(data), metadata_errors="ignore") as container:
            decoded = _decoded(container, _video_stream(container, path), plan, sorted(order), path)
            pixels, used, rotation, depth = _kept(decoded, (height, width), average, path)
    except av.FFmpegError as error:
        raise ValueError(f"{path}: damaged or truncated: the video cannot be decoded ({error})") from None
    if used != sorted(plan.keep):
        raise ValueError(f"{path}: damaged: {len(set(used) & plan.keep)} of the {len(plan.keep)} frames chosen "
                         "could be decoded")
    return pixels, VideoFacts(bytes_sha256(data), **described, bit_depth=depth, rotation=rotation, used=tuple(used),
                              average=average)


class VideoFrames:
    """The frames of several videos, to feed :func:`morvekin_prnu.fingerprint`, with each video's record.

    Iterating reads the videos one at a time (:func:`read_video`) and yields
    their frames; what was read is kept for the fingerprint's record.

    Parameters
    ----------
    videos : iterable of (str or os.PathLike)
    frames, limit, average
        As for :func:`read_video`.
    onerror : callable, optional
        Called as ``onerror(path, error)`` for a video that cannot be read,
        which is then left out; without it the error is raised.

    Attributes
    ----------
    entries : list of dict
        Per video read, in order, :meth:`VideoFacts.entry`.
    labels : list of str
        Per frame yielded, in order, what to call it (:meth:`VideoFacts.labels`):
        the fingerprint's ``images[i]`` is ``labels[i]``.
    """

    def __init__(self, videos, *, frames=FRAMES, limit=LIMIT, average=AVERAGE, onerror=None):
        if isinstance(videos, (str, bytes, os.PathLike)):
            raise TypeError(f"videos must be an iterable of paths, not one {type(videos).__name__} ({videos!r})")
        if onerror is not None and not callable(onerror):
            raise TypeError(f"onerror must be callable, not {type(onerror).__name__}")
        self.options = dict(zip(("frames", "limit", "average"), _checked_options(frames, limit, average)))
        self.videos, self.onerror = videos, onerror
        self.entries, self.labels = [], []

    def __iter__(self):
        for path in self.videos:
            try:
                pixels, facts = read_video(path, **self.options)
            except (OSError, ValueError) as error:
                if self.onerror is None:
                    raise
                self.onerror(os.fspath(path), error)
                continue
            self.entries.append(facts.entry(path))
            for label, frame in zip(facts.labels(path), pixels):
                self.labels.append(label)
                yield frame


def _checked_options(frames, limit, average):
    if frames != "key" and not _positive(frames):
        raise ValueError(f'frames must be "key" or a positive integer (every n-th frame), not {frames!r}')
    if not _positive(limit):
        raise ValueError(f"limit must be a positive integer, not {limit!r}")
    if not _positive(average):
        raise ValueError(f"average must be a positive integer, not {average!r}")
    return frames, limit, average


def _positive(value):
    return isinstance(value, int) and not isinstance(value, bool) and value > 0


def _pyav(path):
    try:
        import av
    except ImportError:
        raise ValueError(f'{path}: reading videos needs PyAV: pip install "morvekin[video]"') from None
    return av


def _video_stream(container, path):
    """The first video stream that is not a cover picture."""
    for stream in container.streams.video:
        if not stream.disposition & type(stream.disposition).attached_pic:
            return stream
    raise ValueError(f"{path}: holds no video stream")


def _bounded_size(stream, path):
    """(width, height) the stream declares, if positive and within Pillow's limit of pixels."""
    width, height = stream.codec_context.width, stream.codec_context.height
    if width <= 0 or height <= 0:
        raise ValueError(f"{path}: the video stream does not say its frame size")
    limit = Image.MAX_IMAGE_PIXELS
    if limit is not None and width * height > limit:
        raise ValueError(f"{path}: {width}x{height} frames exceed the limit of {limit} pixels "
                         "(PIL.Image.MAX_IMAGE_PIXELS); refused before decoding")
    return width, height


def _packets(container, stream, path):
    """Per video packet in decode order its timestamp, and the positions of the key frames among them.

    Demuxing reads the container's structure only, nothing is decoded.
    """
    order, keys = [], []
    for packet in container.demux(stream):
        if not packet.size:  # the demuxer's end-of-stream marker
            continue
        if packet.pts is None:
            raise ValueError(f"{path}: frame {len(order)} carries no timestamp; its display order is unknown")
        if packet.is_keyframe:
            keys.append(len(order))
        order.append(packet.pts)
    if not order:
        raise ValueError(f"{path}: holds no video frames")
    if len(set(order)) < len(order):
        raise ValueError(f"{path}: damaged: frames share a timestamp, so their display order is unknown")
    return order, keys


def _whole(path, order, stream):
    """Refuse a file that holds fewer frames than its container lists, or, where it lists none (Matroska),
    whose frames end more than a frame and a half before the duration it states."""
    if stream.frames and len(order) < stream.frames:
        raise ValueError(f"{path}: truncated: it holds {len(order)} of the {stream.frames} frames its container lists")
    seconds, rate = _stream_seconds(stream), stream.average_rate
    if not stream.frames and seconds is not None and stream.time_base and rate:
        span = float((max(order) - min(order)) * stream.time_base + 1 / rate)
        if span < seconds - 1.5 / rate:
            raise ValueError(f"{path}: truncated: its frames last {span:.3f} s of the {seconds:.3f} s its "
                             "container states")


def _planned(order, keys, frames, limit):
    """The packets to decode and the frames to keep, by display position (the rank of a timestamp)."""
    display = sorted(order)
    rank = [bisect.bisect_left(display, pts) for pts in order]
    if frames == "key":
        chosen = keys if len(keys) <= limit else [keys[round(k * (len(keys) - 1) / max(1, limit - 1))]
                                                  for k in range(limit)]
        return _Plan(frozenset(chosen), frozenset(rank[position] for position in chosen))
    keep = frozenset(range(0, min(len(order), frames * limit), frames))
    # Every frame up to the last one that displays a kept frame: the others are its references.
    last = max(position for position, shown in enumerate(rank) if shown in keep)
    return _Plan(frozenset(range(last + 1)), keep)


def _within_budget(path, count, width, height):
    if count * width * height > DECODE_BUDGET:
        raise ValueError(f"{path}: decoding {count} frames of {width}x{height} exceeds the budget of "
                         f"{DECODE_BUDGET} pixels (morvekin_prnu.video.DECODE_BUDGET); use fewer frames (limit) "
                         "or key frames only")


def _decoded(container, stream, plan, display, path):
    """The frames of the plan's packets as decoded, in display order, each with its display position."""
    context = stream.codec_context
    # Abort on any error the decoder detects, rather than hide it; a stream that switches part way to
    # frames beyond Pillow's limit is refused by the decoder, to another size by _kept.
    options = {"err_detect": "explode"}
    if Image.MAX_IMAGE_PIXELS is not None:
        options["max_pixels"] = str(Image.MAX_IMAGE_PIXELS)
    context.options = options
    context.thread_type, context.thread_count = "AUTO", _threads()
    position, last = 0, max(plan.packets)
    for packet in container.demux(stream):
        if not packet.size:
            continue
        if position in plan.packets:
            yield from _positioned(stream.decode(packet), display, plan.keep, path)
        position += 1
        if position > last:
            break
    yield from _positioned(stream.decode(None), display, plan.keep, path)


def _positioned(frames, display, keep, path):
    """(display position, frame) of the frames to keep."""
    for frame in frames:
        if frame.pts is None:
            raise ValueError(f"{path}: a decoded frame carries no timestamp")
        position = bisect.bisect_left(display, frame.pts)
        if position in keep:
            yield position, frame


def _kept(decoded, shape, average, path):
    """The kept frames' luma planes, averaged by groups; their positions, the rotation and the bit depth."""
    pixels, used, group, rotation, depth = [], [], [], 0, 8
    for position, frame in decoded:
        if (frame.height, frame.width) != shape:
            raise ValueError(f"{path}: frame {position} is {frame.width}x{frame.height}, not {shape[1]}x{shape[0]} "
                             "as the stream declares")
        if not used:
            rotation = round(frame.rotation / 90) % 4 * 90
        luma, depth = _luma(frame, path)
        used.append(position)
        if average == 1:
            pixels.append(luma)
            continue
        group.append(luma)
        if len(group) == average:
            pixels.append(_mean(group))
            group = []
    if group:
        pixels.append(_mean(group))
    return pixels, used, rotation, depth


def _luma(frame, path):
    """The frame's luma plane as uint8, or as uint16 scaled onto the 16-bit range; and its bit depth."""
    form = frame.format
    luma, *chroma = form.components
    # Plane 0 must hold luma alone: planar and semi-planar YUV, and grey (not packed YUV nor RGB, and
    # not the P010 family, whose samples sit in the high bits).
    if not luma.is_luma or any(other.plane == 0 for other in chroma) or form.name.startswith("p"):
        raise ValueError(f"{path}: pixel format {form.name} is not supported (planar YUV or grey only)")
    plane = frame.planes[0]
    dtype = np.dtype(np.uint8) if luma.bits <= 8 else np.dtype(">u2" if form.is_big_endian else "<u2")
    rows = np.frombuffer(plane, dtype).reshape(plane.height, plane.line_size // dtype.itemsize)
    values = rows[:, :plane.width]
    if luma.bits <= 8:
        return values.copy(), luma.bits
    return values.astype(np.uint16) << (16 - luma.bits), luma.bits


def _mean(frames):
    """The mean of frames as float32 on the 0-255 scale (uint16 frames divided by 257)."""
    total = np.zeros(frames[0].shape)
    for frame in frames:
        total += frame
    scale = len(frames) * (257.0 if frames[0].dtype == np.uint16 else 1.0)
    return (total / scale).astype(np.float32)


def _threads():
    """The decoder's threads: the cores this process may use, or OMP_NUM_THREADS if fewer."""
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    limit = os.environ.get("OMP_NUM_THREADS", "")
    return min(cores, int(limit)) if limit.isdigit() and int(limit) > 0 else cores


def _described(container, stream, count):
    """The fields of VideoFacts that the container and stream state."""
    seconds = _stream_seconds(stream)
    if seconds is None and container.duration:
        seconds = container.duration / 1e6  # in AV_TIME_BASE units
    rate = stream.average_rate
    return dict(container=container.format.name, codec=stream.codec_context.name, width=stream.codec_context.width,
                height=stream.codec_context.height, frame_rate=None if rate is None else float(rate),
                frame_count=count, duration=seconds, **_tags(container, stream))


def _tags(container, stream):
    """make, model and software from the container's and the stream's tags."""
    tags = {key.lower(): value for key, value in {**stream.metadata, **container.metadata}.items()}
    return {name: next((_text(tags[key]) for key in keys if _text(tags.get(key))), None)
            for name, keys in (("make", _MAKE), ("model", _MODEL), ("software", _SOFTWARE))}


def _text(value):
    if not isinstance(value, str):
        return None
    return value.strip("\0 \t\r\n")[:_LONGEST_TAG] or None


def _stream_seconds(stream):
    """Seconds the video stream lasts, as its container states, or None."""
    if stream.duration is not None and stream.time_base is not None:
        return float(stream.duration * stream.time_base)
    tag = re.fullmatch(r"(\d+):(\d\d):(\d\d(?:\.\d+)?)", stream.metadata.get("DURATION", ""))
    if tag:  # Matroska's per-track tag
        return int(tag[1]) * 3600 + int(tag[2]) * 60 + float(tag[3])
    return None

