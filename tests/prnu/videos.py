"""Simulated cameras filmed into videos: a sensor pattern under a moving scene, resized and encoded with PyAV."""

import contextlib

import numpy as np
from PIL import Image

from cameras import PICTURES

# The most pixels the scene moves by from one frame to the next, along each axis, as a slow pan does.
PAN = 3


def film(path, rng, pattern, *, frames=30, rate=30, noise=2.0, pictures=PICTURES, **encoding):
    """Write a video of a simulated camera to ``path`` (MP4, MOV or Matroska, by its suffix).

    Each frame is a panning scene through the sensor, I = I0 (1 + K) + noise
    at the sensor's size, brought to the video's frame size as a camera's
    video pipeline does (:func:`on_frames`), and encoded.

    Parameters
    ----------
    path : str or os.PathLike
    rng : numpy.random.Generator
    pattern : ndarray, shape (rows, columns)
        The sensor's multiplicative pattern K.
    frames, rate : int
        How many frames, and per second.
    noise : float
        Standard deviation of the shot and read noise, in 8-bit levels.
    pictures : tuple of callables
        Where the scene comes from (one picked at random).
    **encoding
        As for :func:`film_takes`.

    Returns
    -------
    The path.
    """
    film_takes({path: encoding}, rng, pattern, frames=frames, rate=rate, noise=noise, pictures=pictures)
    return path


def film_takes(takes, rng, pattern, *, frames=30, rate=30, noise=2.0, pictures=PICTURES):
    """One scene through the sensor written to several videos at once, each as its options say.

    Parameters
    ----------
    takes : dict
        Path -> options, each of them optional:

        - size: (width, height) of the video's frames; the sensor's by default;
        - codec: PyAV's encoder, "libx264" (the default) or "libx265";
        - bit_rate: bits per second the encoder aims at, 2,000,000 by default;
        - pix_fmt: what the encoder codes, "yuv420p" by default; samples deeper
          than 8 bits are made from 16-bit frames;
        - gop: frames from one key frame to the next, at fixed intervals; one
          second (``rate``) by default, as phones do;
        - rotation: degrees counter-clockwise for the display matrix, as a phone
          held upright writes;
        - tags: container tags, e.g. {"com.apple.quicktime.make": "Apple"};
        - preset: the encoder's speed preset, "fast" by default.
    rng, pattern, frames, rate, noise, pictures
        As for :func:`film`.
    """
    rows, columns = pattern.shape
    pan = rng.integers(1, PAN + 1, 2) * rng.choice((-1, 1), 2)  # each video its own motion
    world = _world(rng, (rows + frames * abs(pan[0]), columns + frames * abs(pan[1])), pictures)
    start = (frames * abs(pan[0]) if pan[0] < 0 else 0, frames * abs(pan[1]) if pan[1] < 0 else 0)
    gain = (1.0 + pattern).astype(np.float32)
    with contextlib.ExitStack() as stack:
        encoders = [stack.enter_context(_Encoder(path, rate, (columns, rows), **options))
                    for path, options in takes.items()]
        for k in range(frames):
            top, left = start[0] + k * pan[0], start[1] + k * pan[1]
            scene = world[top:top + rows, left:left + columns]
            exposure = scene * gain[..., None] + noise * rng.standard_normal(scene.shape, dtype=np.float32)
            resized = {}
            for encoder in encoders:
                if encoder.size not in resized:
                    resized[encoder.size] = np.dstack([on_frames(channel, encoder.size)
                                                       for channel in np.moveaxis(exposure, 2, 0)])
                encoder.add(resized[encoder.size])


def on_frames(plane, size):
    """A sensor-sized plane as it lies on a video's frames of ``size`` (width, height): resized (Lanczos) until
    it covers the frame, then cut to it about the centre, as phones make 16:9 video from a 4:3 sensor.

    Parameters
    ----------
    plane : ndarray, shape (rows, columns)
    size : tuple of int

    Returns
    -------
    ndarray, shape (height, width), float32
    """
    rows, columns = plane.shape
    width, height = size
    scale = max(width / columns, height / rows)
    covered = (max(width, round(columns * scale)), max(height, round(rows * scale)))
    image = Image.fromarray(np.asarray(plane, np.float32))
    if covered != (columns, rows):
        image = image.resize(covered, Image.Resampling.LANCZOS)
    left, top = (covered[0] - width) // 2, (covered[1] - height) // 2
    return np.asarray(image)[top:top + height, left:left + width]


class _Encoder:
    """One video being written: frames of 0-255 values in, encoded and muxed."""

    def __init__(self, path, rate, sensor, size=None, codec="libx264", bit_rate=2_000_000, pix_fmt="yuv420p",
                 gop=None, rotation=None, tags=None, preset="fast"):
        import av

        self.av, self.path, self.size = av, str(path), size or sensor
        self.white = 255.0 if av.VideoFormat(pix_fmt).components[0].bits == 8 else 65535.0
        self.container = av.open(self.path, "w", options={"movflags": "use_metadata_tags"}
                                  if self.path.endswith((".mp4", ".mov")) else {})
        self.stream = self.container.add_stream(codec, rate=rate, options=_encoder_options(codec, preset))
        self.stream.width, self.stream.height = self.size
        self.stream.bit_rate, self.stream.pix_fmt, self.stream.codec_context.gop_size = bit_rate, pix_fmt, gop or rate
        if rotation is not None:
            self.stream.set_display_rotation(rotation)
        self.container.metadata.update(tags or {})

    def __enter__(self):
        return self

    def add(self, pixels):
        values = np.clip(np.round(pixels * (self.white / 255.0)), 0, self.white)
        deep = self.white > 255.0
        frame = self.av.VideoFrame.from_ndarray(values.astype(np.uint16 if deep else np.uint8),
                                                format="rgb48le" if deep else "rgb24")
        self.container.mux(self.stream.encode(frame))

    def __exit__(self, *exception):
        if exception[0] is None:
            self.container.mux(self.stream.encode())
        self.container.close()


def _world(rng, shape, pictures):
    """A tinted colour picture tiled to ``shape``, float32 (rows, columns, 3): what the camera pans over."""
    picture = pictures[rng.integers(len(pictures))]().astype(np.float32)
    tiles = (-(-shape[0] // picture.shape[0]), -(-shape[1] // picture.shape[1]))
    plane = np.tile(picture, tiles)[:shape[0], :shape[1]]
    tint = rng.uniform(0.55, 1.0, 3).astype(np.float32)
    return 20.0 + 0.9 * plane[..., None] * tint


def _encoder_options(codec, preset):
    # Key frames at fixed intervals only (no extra ones at scene changes); x265 reports on standard
    # error unless told otherwise.
    if codec == "libx265":
        return {"preset": preset, "x265-params": "log-level=error:scenecut=0"}
    return {"preset": preset, "x264-params": "scenecut=0"}


def truncated(path, fraction, suffix=".cut"):
    """A copy of the file cut to ``fraction`` of its bytes, beside it; returns its path."""
    with open(path, "rb") as file:
        data = file.read()
    cut = f"{path}{suffix}"
    with open(cut, "wb") as file:
        file.write(data[:round(len(data) * fraction)])
    return cut
