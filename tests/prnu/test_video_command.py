"""Videos through the command and the library: their fingerprints, their matches, their record."""

import csv
import io
import json

import numpy as np
import pytest
from PIL import Image

import morvekin_prnu as prnu
from cameras import sensor_pattern, shot
from morvekin_prnu.provenance import file_sha256
from test_command import run
from videos import film

pytest.importorskip("av")

SENSOR = (150, 200)
TAGS = {"com.apple.quicktime.make": "Apple", "com.apple.quicktime.model": "iPhone 15"}


@pytest.fixture(scope="module")
def filmed(tmp_path_factory):
    """Two cameras: a fingerprint of each one's photographs, two videos of each (16:9 frames cut from the
    sensor resized to 0.8), and one video of the first at the sensor's own size."""
    folder = tmp_path_factory.mktemp("filmed")
    rng = np.random.default_rng(26)
    patterns = [sensor_pattern(rng, SENSOR) for _ in range(2)]
    for camera, pattern in enumerate(patterns):
        prnu.save_fingerprint(folder / f"photos{camera}.npz",
                              prnu.fingerprint([shot(rng, pattern) for _ in range(8)]), {"sigma": 3.0})
        for take in range(2):
            film(folder / f"video{camera}{take}.mp4", rng, pattern, size=(160, 90), frames=60, gop=10, tags=TAGS)
    film(folder / "full.mp4", rng, patterns[0], frames=60, gop=10)
    return folder


@pytest.mark.filterwarnings(r"ignore:only \d+ images? used:UserWarning")
def test_a_video_fingerprint_records_its_videos_and_finds_their_camera(filmed, tmp_path):
    status, _, err = run("fingerprint", filmed / "video00.mp4", filmed / "video01.mp4", "-o", tmp_path / "v.npz")
    assert status == 0 and "12 images of 90x160" in err and "only" not in err, err  # six key frames each
    _, metadata = prnu.load_fingerprint(tmp_path / "v.npz")
    [first, second] = metadata["inputs"]
    assert (first["file"], first["sha256"]) == (str(filmed / "video00.mp4"), file_sha256(filmed / "video00.mp4"))
    assert (first["make"], first["model"], first["codec"], first["width"], first["height"]) == \
        ("Apple", "iPhone 15", "h264", 160, 90)
    assert first["frames"] == [0, 10, 20, 30, 40, 50] and second["file"] == str(filmed / "video01.mp4")
    status, out, _ = run("inspect", tmp_path / "v.npz")
    assert status == 0 and f"    file {filmed / 'video00.mp4'}, sha256 {first['sha256']}, make Apple" in out
    # Every 20th frame, at most two: the record says which were used.
    assert run("fingerprint", filmed / "video00.mp4", "-o", tmp_path / "w.npz", "--frames", "20",
               "--max-frames", "2")[0] == 0
    assert prnu.load_fingerprint(tmp_path / "w.npz")[1]["inputs"][0]["frames"] == [0, 20]


def test_a_video_is_matched_against_photographs_and_videos_of_its_camera(filmed, tmp_path):
    status, out, err = run("match", filmed / "video01.mp4", filmed / "video10.mp4", "--fingerprints",
                           filmed / "photos0.npz", filmed / "photos1.npz", "--min-scale", "0.75", "--json")
    record = json.loads(out)
    assert status == 0, err
    assert [image["verdict"] for image in record["images"]] == ["photos0", "photos1"]
    own = record["images"][0]["matches"][0]
    assert own["orientation"] == "rot0" and own["scale"] == pytest.approx(0.8, abs=0.01), own
    # Searched only near where its frames span the sensor (0.8 here), and its p-value counts just that.
    photograph = prnu.match(prnu.load_fingerprint(filmed / "photos0.npz")[0], np.zeros((90, 160), np.uint8),
                            min_scale=0.75)
    assert own["scales"] < photograph.scales and own["positions"] < photograph.positions
    assert record["images"][0]["sha256"] == file_sha256(filmed / "video01.mp4")
    assert record["images"][0]["codec"] == "h264" and record["images"][0]["used"] == [0, 10, 20, 30, 40, 50]
    # Against a video fingerprint of the same frame size: at zero shift, as a shot as taken.
    assert run("fingerprint", filmed / "video00.mp4", "-o", tmp_path / "v0.npz")[0] == 0
    status, out, _ = run("match", filmed / "video01.mp4", filmed / "video10.mp4", "--fingerprints",
                         tmp_path / "v0.npz", "--csv", "-")
    rows = list(csv.DictReader(io.StringIO(out)))
    assert [(row["verdict"], row["positions"]) for row in rows] == [("v0", "2"), ("none", "2")]


@pytest.mark.filterwarnings(r"ignore:only \d+ images? used:UserWarning")
def test_a_library_holds_video_cameras_and_identifies_videos(filmed, tmp_path):
    with prnu.Library(tmp_path / "lib", create=True) as library:
        camera = library.add("phone", [filmed / "video00.mp4"])
        library.add("other", [filmed / "video10.mp4"])
        assert camera.shape == (90, 160) and camera.images == 6 and camera.make == "Apple"
        assert camera.sources[0].sha256 == file_sha256(filmed / "video00.mp4")
        found = library.identify(filmed / "video01.mp4")
        assert found.verdict == "phone" and found.sha256 == file_sha256(filmed / "video01.mp4")
        # The very video the camera was made from is said to be.
        assert library.identify(filmed / "video00.mp4").candidates[0].match.flags == ("source image",)
    status, out, err = run("library", "identify", tmp_path / "lib", filmed / "video11.mp4")
    camera, _, verdict, _ = out.splitlines()[2].split()[1:]
    assert status == 0 and (camera, verdict) == ("other", "other"), err


def test_videos_and_photographs_are_not_mixed_in_one_fingerprint(filmed, tmp_path):
    image = tmp_path / "photo.png"
    Image.fromarray(shot(np.random.default_rng(1), sensor_pattern(np.random.default_rng(2), SENSOR))).save(image)
    status, _, err = run("fingerprint", filmed / "video00.mp4", image, "-o", tmp_path / "k.npz")
    assert status == 1 and "photo.png: not a video, among videos" in err and not (tmp_path / "k.npz").exists()
