"""Reading videos of simulated cameras, refusing what cannot be trusted, and the fingerprint of a video."""

import hashlib
import io
import json
import sys

import numpy as np
import pytest
from PIL import Image

import morvekin_prnu
from cameras import assert_same_bits, sensor_pattern, shot
from morvekin_prnu import video
from videos import film, truncated

av = pytest.importorskip("av")

SHAPE = (96, 136)  # rows, columns: a width whose rows the decoder pads, so strides are exercised
GOP = 10
TAGS = {"com.apple.quicktime.make": "Apple", "com.apple.quicktime.model": "iPhone 15",
        "com.apple.quicktime.software": "17.4"}

# Fingerprints of a video's few (averaged) frames: far fewer than a photograph's fingerprint wants.
pytestmark = pytest.mark.filterwarnings(r"ignore:only \d+ images? used:UserWarning")


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    """Short videos of one simulated camera, one per kind read, named by what they are."""
    folder = tmp_path_factory.mktemp("clips")
    rng = np.random.default_rng(11)
    pattern = sensor_pattern(rng, SHAPE)
    kinds = {
        "h264.mp4": dict(codec="libx264", tags=TAGS),
        "hevc.mov": dict(codec="libx265", rotation=90),
        "hevc10.mkv": dict(codec="libx265", pix_fmt="yuv420p10le", rotation=-90),
        "h264_444.mp4": dict(codec="libx264", pix_fmt="yuv444p", tags={"com.android.manufacturer": "Google",
                                                                      "com.android.model": "Pixel 8"}),
    }
    return {name: film(folder / name, rng, pattern, frames=40, gop=GOP, **options) for name, options in kinds.items()}


@pytest.fixture(scope="module")
def cameras(tmp_path_factory):
    """Two cameras of the video's frame size, two videos each: (camera, take) -> path."""
    folder = tmp_path_factory.mktemp("cameras")
    rng = np.random.default_rng(5)
    patterns = [sensor_pattern(rng, (120, 160)) for _ in range(2)]
    return {(camera, take): film(folder / f"{camera}{take}.mp4", rng, pattern, frames=45, bit_rate=1_000_000)
            for camera, pattern in enumerate(patterns) for take in range(2)}


def stored_luma(path):
    """Each frame's luma plane as PyAV converts it to an array (a reference independent of plane strides)."""
    with av.open(str(path)) as container:
        frames = [frame.to_ndarray() for frame in container.decode(video=0)]
    return [frame[0] if frame.ndim == 3 else frame[:SHAPE[0]] for frame in frames]


@pytest.mark.parametrize("name, codec, depth, rotation, camera", [
    ("h264.mp4", "h264", 8, 0, ("Apple", "iPhone 15", "17.4")),
    ("hevc.mov", "hevc", 8, 90, (None, None, "Lavf")),
    ("hevc10.mkv", "hevc", 10, 270, (None, None, "Lavf")),
    ("h264_444.mp4", "h264", 8, 0, ("Google", "Pixel 8", "Lavf")),
])
def test_frames_come_as_stored_with_what_the_file_says(clips, name, codec, depth, rotation, camera):
    path = clips[name]
    frames, facts = video.read_video(path, frames=1, average=1)
    expected = stored_luma(path)
    assert len(frames) == len(expected) == 40
    for frame, luma in zip(frames, expected):
        # Stored order, untouched by the rotation; deeper samples scaled onto the 16-bit range.
        assert frame.shape == SHAPE and frame.dtype == (np.uint8 if depth == 8 else np.uint16)
        np.testing.assert_array_equal(frame, luma.astype(frame.dtype) << (16 - depth if depth > 8 else 0))
    assert facts.sha256 == hashlib.sha256(path.read_bytes()).hexdigest()
    assert (facts.codec, facts.bit_depth, facts.rotation) == (codec, depth, rotation)
    assert (facts.width, facts.height, facts.frame_count, facts.frame_rate) == (136, 96, 40, 30.0)
    assert facts.duration == pytest.approx(40 / 30, abs=1e-3)  # in the container's time base
    assert facts.used == tuple(range(40)) and facts.average == 1
    make, model, software = camera
    assert (facts.make, facts.model) == (make, model) and facts.software.startswith(software)


def test_the_record_entry_is_plain_json(clips):
    path = clips["h264.mp4"]
    facts = video.read_video(path, frames=7, limit=3, average=2)[1]
    entry = json.loads(json.dumps(facts.entry(path)))
    assert entry == {"file": str(path), "sha256": facts.sha256, "make": "Apple", "model": "iPhone 15",
                     "software": "17.4", "codec": "h264", "width": 136, "height": 96, "bit_depth": 8,
                     "rotation": 0, "frames": [0, 7, 14], "average": 2}
    assert facts.labels(path) == [f"{path}#0-7", f"{path}#14"]


@pytest.mark.parametrize("options, used", [
    (dict(frames="key"), (0, 10, 20, 30)),
    (dict(frames="key", limit=3), (0, 20, 30)),  # spread over the video
    (dict(frames="key", limit=1), (0,)),
    (dict(frames=7), (0, 7, 14, 21, 28, 35)),
    (dict(frames=7, limit=4), (0, 7, 14, 21)),  # the first ones
    (dict(frames=1, limit=5), (0, 1, 2, 3, 4)),
])
@pytest.mark.parametrize("name", ["h264.mp4", "hevc10.mkv"])
def test_the_frames_chosen(clips, name, options, used):
    frames, facts = video.read_video(clips[name], average=1, **options)
    assert facts.used == used
    everything = video.read_video(clips[name], frames=1, average=1)[0]
    for frame, position in zip(frames, used, strict=True):
        np.testing.assert_array_equal(frame, everything[position])


@pytest.mark.parametrize("name", ["h264.mp4", "hevc10.mkv"])
def test_averaged_frames_are_the_means_of_consecutive_frames_used(clips, name):
    frames, facts = video.read_video(clips[name], frames=3, limit=8, average=3)
    single = video.read_video(clips[name], frames=3, limit=8, average=1)[0]
    assert facts.used == (0, 3, 6, 9, 12, 15, 18, 21) and len(frames) == 3
    scale = 257.0 if single[0].dtype == np.uint16 else 1.0  # onto the 0-255 scale
    for mean, group in zip(frames, (single[0:3], single[3:6], single[6:8])):
        total = np.zeros(SHAPE)
        for frame in group:
            total += frame
        assert_same_bits(mean, (total / (len(group) * scale)).astype(np.float32))


def test_the_same_frames_on_any_number_of_threads(clips, monkeypatch):
    frames = video.read_video(clips["hevc.mov"], frames=1, average=4)[0]
    monkeypatch.setenv("OMP_NUM_THREADS", "1")
    for mean, again in zip(frames, video.read_video(clips["hevc.mov"], frames=1, average=4)[0], strict=True):
        assert_same_bits(mean, again)


@pytest.mark.parametrize("options", [dict(frames=0), dict(frames="all"), dict(frames=True), dict(limit=0),
                                     dict(limit=2.0), dict(average=-1)])
def test_bad_options_are_named(clips, options):
    with pytest.raises(ValueError, match=next(iter(options))):
        video.read_video(clips["h264.mp4"], **options)


class Opened:
    """Counts the containers PyAV opens: one to list the packets, a second to decode."""

    def __init__(self, monkeypatch):
        self.count, self.open = 0, av.open
        monkeypatch.setattr(av, "open", self)

    def __call__(self, *args, **options):
        self.count += 1
        return self.open(*args, **options)


@pytest.mark.parametrize("bound, value, message, opened", [
    ((video, "MAX_BYTES"), 1000, r"larger than 1000 bytes", 0),
    ((Image, "MAX_IMAGE_PIXELS"), 136 * 96 - 1, r"136x96 frames exceed the limit of 13055 pixels", 1),
    ((video, "DECODE_BUDGET"), 136 * 96 * 39, r"decoding 40 frames of 136x96 exceeds the budget", 1),
])
def test_bounds_are_refused_before_decoding(clips, monkeypatch, bound, value, message, opened):
    monkeypatch.setattr(*bound, value)
    spy = Opened(monkeypatch)
    with pytest.raises(ValueError, match=rf"h264.mp4: {message}"):
        video.read_video(clips["h264.mp4"], frames=1)
    assert spy.count == opened


def test_the_budget_counts_the_frames_decoded(clips, monkeypatch):
    monkeypatch.setattr(video, "DECODE_BUDGET", 136 * 96 * 15)
    assert video.read_video(clips["h264.mp4"], frames="key")[1].used == (0, 10, 20, 30)
    assert video.read_video(clips["h264.mp4"], frames=2, limit=7)[1].used == (0, 2, 4, 6, 8, 10, 12)
    with pytest.raises(ValueError, match="exceeds the budget"):
        video.read_video(clips["h264.mp4"], frames=2, limit=8)


def faststart(path, out):
    """The video remuxed with its index before the frames, as phones and web uploads write it."""
    with av.open(str(path)) as source, av.open(str(out), "w", options={"movflags": "faststart"}) as target:
        stream = target.add_stream_from_template(source.streams.video[0])
        for packet in source.demux(source.streams.video[0]):
            if packet.size:
                packet.stream = stream
                target.mux(packet)
    return out


def damaged(path, out):
    """The file with the first NAL unit's length in its 20th frame overwritten, so that it overruns the frame.

    (Damage that leaves a valid bitstream would decode without error: video codecs carry no checksums.)
    """
    with av.open(str(path)) as container:
        where = [packet.pos for packet in container.demux(video=0) if packet.size][20]
    data = bytearray(path.read_bytes())
    data[where:where + 4] = b"\xff" * 4
    out.write_bytes(data)
    return out


def cut_before_last_cluster(path, out):
    """A Matroska file cut where its last cluster of frames begins: whole, but short of its stated duration."""
    data = path.read_bytes()
    out.write_bytes(data[:data.rindex(b"\x1f\x43\xb6\x75")])
    return out


@pytest.mark.parametrize("make, message", [
    (lambda clips, tmp: truncated(clips["h264.mp4"], 0.7), r"damaged or truncated: the video cannot be decoded"),
    (lambda clips, tmp: truncated(faststart(clips["h264.mp4"], tmp / "fast.mp4"), 0.6),
     r"truncated: it holds \d+ of the 40 frames its container lists"),
    (lambda clips, tmp: cut_before_last_cluster(clips["hevc10.mkv"], tmp / "cut.mkv"),
     r"truncated: its frames last [\d.]+ s of the 1.333 s its container states"),
    (lambda clips, tmp: damaged(faststart(clips["h264.mp4"], tmp / "fast.mp4"), tmp / "flipped.mp4"),
     r"damaged or truncated: the video cannot be decoded"),
    (lambda clips, tmp: damaged(clips["hevc10.mkv"], tmp / "flipped.mkv"), r"damaged or truncated: the video cannot"),
])
def test_truncated_and_damaged_files_are_refused_naming_them(clips, tmp_path, make, message):
    path = make(clips, tmp_path)
    with pytest.raises(ValueError, match=rf"{path}: {message}"):
        video.read_video(path, frames=1)


def test_a_pixel_format_without_a_luma_plane_is_refused(tmp_path, rng):
    path = film(tmp_path / "rgb.mp4", rng, sensor_pattern(rng, SHAPE), frames=3, codec="libx265", pix_fmt="gbrp")
    with pytest.raises(ValueError, match=r"rgb.mp4: pixel format gbrp is not supported"):
        video.read_video(path)


def picture(kind):
    buffer = io.BytesIO()
    Image.new("RGB", (32, 24), (90, 120, 150)).save(buffer, kind)
    return buffer.getvalue()


@pytest.mark.parametrize("head, kind", [
    (b"\0\0\0\x20ftypisom" + bytes(20), "MP4/QuickTime"),
    (b"\0\0\0\x14ftypqt  " + bytes(20), "MP4/QuickTime"),
    (b"\0\0\0\x08wide\0\0\0\x10mdat", "QuickTime"),
    (b"\x1a\x45\xdf\xa3\x9f\x42\x86\x81\x01", "Matroska/WebM"),
    (b"RIFF\0\0\0\0AVI LIST", "AVI"),
    (b"\0\0\x01\xba" + bytes(20), "MPEG program stream"),
    ((b"\x47" + bytes(187)) * 6, "MPEG transport stream"),
    ((bytes(4) + b"\x47" + bytes(187)) * 6, "MPEG transport stream"),  # M2TS, each packet time-stamped
    (b"\0\0\0\x18ftypheic" + bytes(20), None),
    (b"\0\0\0\x1cftypavif" + bytes(20), None),
    (b"\0\0\0\x18ftypcrx " + bytes(20), None),  # Canon CR3 raw
    (b"RIFF\0\0\0\0WEBPVP8 ", None),
    (picture("PNG"), None),
    (picture("JPEG"), None),
    (picture("GIF") + (b"\x47" + bytes(187)) * 6, None),
])
def test_videos_are_told_from_photographs_by_their_bytes(tmp_path, head, kind):
    assert video.video_container(head) == kind
    (tmp_path / "file").write_bytes(head)
    assert video.is_video(tmp_path / "file") is (kind is not None)
    if kind is None:
        with pytest.raises(ValueError, match="file: not a video file"):
            video.read_video(tmp_path / "file")


def test_the_videos_written_are_told_as_videos(clips):
    assert all(video.is_video(path) for path in clips.values())


def test_a_missing_extra_is_named(clips, monkeypatch):
    monkeypatch.setitem(sys.modules, "av", None)  # import fails, as without the extra
    with pytest.raises(ValueError, match=r'h264.mp4: reading videos needs PyAV: pip install "morvekin\[video\]"'):
        video.read_video(clips["h264.mp4"])


@pytest.mark.parametrize("options", [dict(frames=1, average=1), dict(frames=1, average=5), dict(frames="key")])
def test_a_video_fingerprint_finds_its_camera_and_not_another(cameras, options):
    frames, facts = video.read_video(cameras[0, 0], **options)
    fingerprint = morvekin_prnu.fingerprint(frames)
    # A whole video averaged into one frame is the questioned picture: of the sensor's size, so the
    # match is at zero shift.
    own, other = (video.read_video(cameras[camera, 1], frames=1, limit=45, average=45)[0][0] for camera in (0, 1))
    found = morvekin_prnu.match(fingerprint, own)
    assert found.same_camera and found.positions == 2, found
    assert not morvekin_prnu.match(fingerprint, other).same_camera


def test_frames_of_several_videos_with_their_records(cameras, tmp_path):
    (tmp_path / "notes.txt").write_text("not a video")
    paths = [cameras[0, 0], tmp_path / "notes.txt", cameras[0, 1]]
    failed = []
    source = video.VideoFrames(paths, frames=1, average=15, onerror=lambda path, error: failed.append(path))
    fingerprint = morvekin_prnu.fingerprint(source)
    assert failed == [str(tmp_path / "notes.txt")]
    assert [entry["file"] for entry in source.entries] == [str(cameras[0, 0]), str(cameras[0, 1])]
    assert source.labels == [f"{path}#{start}-{start + 14}" for path in (cameras[0, 0], cameras[0, 1])
                             for start in (0, 15, 30)]
    assert morvekin_prnu.match(fingerprint, video.read_video(cameras[0, 1], frames="key")[0][0]).same_camera
    with pytest.raises(ValueError, match="notes.txt: not a video file"):
        list(video.VideoFrames(paths))
    with pytest.raises(TypeError, match="videos must be an iterable of paths"):
        video.VideoFrames(cameras[0, 0])


def test_a_resized_and_cut_video_is_found_in_its_camera_s_photographs(tmp_path):
    """The hybrid test: a video's fingerprint searched over scale and position in a photographs' fingerprint."""
    rng = np.random.default_rng(8)
    patterns = [sensor_pattern(rng, (150, 200)) for _ in range(2)]
    photographs = [morvekin_prnu.fingerprint([shot(rng, pattern) for _ in range(8)]) for pattern in patterns]
    # 16:9 from a 4:3 sensor: resized to 0.8, and 15 rows cut off the top and the bottom.
    path = film(tmp_path / "clip.mp4", rng, patterns[0], size=(160, 90), frames=60, gop=10)
    estimate = morvekin_prnu.fingerprint(video.read_video(path)[0])
    own, other = (morvekin_prnu.match_residual(fingerprint, estimate, min_scale=0.78) for fingerprint in photographs)
    assert own.same_camera and own.orientation == "rot0", own
    assert own.scale == pytest.approx(0.8, abs=0.01) and abs(own.peak[0] - 19) <= 1 and own.peak[1] == 0, own
    assert not other.same_camera
