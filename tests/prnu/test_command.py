"""The morvekin command end to end, on simulated cameras."""

import concurrent.futures
import contextlib
import csv
import hashlib
import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import sysconfig

import numpy as np
import pytest
import pywt
from PIL import Image

import morvekin_prnu
from cameras import assert_same_bits, resized, scene, sensor_pattern, shot
from morvekin_prnu import cli, command, fingerprints, reporting

# The simulated cameras take a few shots each, far fewer than a real fingerprint needs.
pytestmark = pytest.mark.filterwarnings(r"ignore:only \d+ images? used:UserWarning")

SHAPE = (256, 256)
TRAINING = (pywt.data.camera, pywt.data.ascent)
CAMERAS = ("alpha", "beta")
SKIPPED = {"cut.jpg": "cannot be decoded", "empty.jpg": "not an image file", "notes.txt": "not an image file"}


def run(*argv):
    """main(argv) in this process: (exit status, standard output, standard error)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = command.main([str(a) for a in argv])
        except SystemExit as done:  # argparse's refusals
            status = done.code
    return status, out.getvalue(), err.getvalue()


@pytest.fixture(scope="module")
def photos(tmp_path_factory):
    """Shots to fingerprint: alpha's four colour PNGs, with a corrupt JPEG, a text file and an empty
    file after them; beta's six grey float TIFFs (their sums round, so only the same order of additions
    gives the same bits). In questioned/, two held-out shots per camera and one of an unknown camera."""
    folder = tmp_path_factory.mktemp("photos")
    rng = np.random.default_rng(10)
    (folder / "questioned").mkdir()
    for name in CAMERAS:
        pattern = sensor_pattern(rng, SHAPE)
        (folder / name).mkdir()
        for k in range(4 if name == "alpha" else 6):
            if name == "alpha":
                Image.fromarray(shot(rng, pattern, TRAINING)).save(folder / name / f"{k}.png")
            else:
                grey = scene(rng, SHAPE, TRAINING)[..., 1] * (1 + pattern) + rng.normal(0, 2, SHAPE)
                Image.fromarray(grey.astype(np.float32)).save(folder / name / f"{k}.tif")
        for k in range(2):
            Image.fromarray(shot(rng, pattern, (pywt.data.aero,))).save(folder / "questioned" / f"{name}{k}.png")
    Image.fromarray(shot(rng, sensor_pattern(rng, SHAPE), (pywt.data.aero,))).save(folder / "questioned" / "z.png")
    jpeg = io.BytesIO()
    Image.fromarray(shot(rng, pattern)).save(jpeg, "JPEG")
    (folder / "alpha" / "cut.jpg").write_bytes(jpeg.getvalue()[:len(jpeg.getvalue()) // 2])
    (folder / "alpha" / "notes.txt").write_text("shot on the roof")
    (folder / "alpha" / "empty.jpg").write_bytes(b"")
    return folder


def identify(photos, output, *where):
    """Fingerprint both cameras (beta with sigma 2.5), then match questioned/ against them. Returns the
    table, and the float64 estimates of the fingerprints before post-processing cast them to float32."""
    estimates = []
    postprocess = fingerprints.postprocess

    def kept(channels):
        estimates.append(np.stack(channels))
        return postprocess(channels)

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(fingerprints, "postprocess", kept)
        for name, sigma in zip(CAMERAS, (3, 2.5)):
            status, _, err = run("fingerprint", photos / name, "-o", output / f"{name}.npz", "--sigma", sigma, *where)
            assert status == 0, err
    status, out, err = run("match", photos / "questioned", "--fingerprints", output / "alpha.npz",
                           output / "beta.npz", "--csv", output / "pce.csv", "--plot", output / "pce.png", *where)
    assert status == 0, err
    return out, estimates


@pytest.fixture(scope="module")
def local(photos, tmp_path_factory):
    output = tmp_path_factory.mktemp("local")
    return output, *identify(photos, output)


def test_fingerprints_record_the_files_used_and_skipped(photos, local):
    output, _, _ = local
    _, metadata = morvekin_prnu.load_fingerprint(output / "alpha.npz")
    assert metadata["files"] == [str(photos / "alpha" / f"{k}.png") for k in range(4)]
    assert metadata["images"] == 4 and metadata["shape"] == list(SHAPE) and metadata["sigma"] == 3.0
    assert (metadata["wavelet"], metadata["levels"]) == ("db4", 4)
    assert [entry["file"] for entry in metadata["skipped"]] == [str(photos / "alpha" / name) for name in SKIPPED]
    for entry, reason in zip(metadata["skipped"], SKIPPED.values()):
        assert reason in entry["reason"]
    assert morvekin_prnu.load_fingerprint(output / "beta.npz")[1]["skipped"] == []


def test_match_names_each_camera_in_the_table_and_the_csv(photos, local):
    output, table, _ = local
    expected = {"alpha0": "alpha", "alpha1": "alpha", "beta0": "beta", "beta1": "beta", "z": "none"}
    lines = table.splitlines()[2:]
    assert [(line.split()[0], line.split()[-1]) for line in lines] == \
        [(str(photos / "questioned" / f"{image}.png"), verdict) for image, verdict in expected.items()]
    with open(output / "pce.csv", newline="", encoding="utf-8") as file:
        rows = list(csv.DictReader(file))
    assert len(rows) == 2 * len(expected)
    for row in rows:
        image = os.path.basename(row["image"])[:-4]
        assert row["verdict"] == expected[image]
        assert (float(row["p_value"]) <= 1e-6) == (row["fingerprint"] == expected[image])
    # Each fingerprint is matched with the sigma it was made with.
    beta = morvekin_prnu.load_fingerprint(output / "beta.npz")[0]
    found = morvekin_prnu.match(beta, rows[-1]["image"], sigma=2.5)
    assert (rows[-1]["fingerprint"], float(rows[-1]["pce"]), float(rows[-1]["ncc"])) == ("beta", found.pce, found.ncc)


@pytest.mark.parametrize("decide", [[], ["--threshold", "1e9"]])
def test_match_finds_altered_shots_and_says_where(photos, local, tmp_path, decide):
    with Image.open(photos / "questioned" / "alpha0.png") as picture:
        pixels = np.asarray(picture)
    Image.fromarray(pixels[:, ::-1]).save(tmp_path / "mirrored.png")
    Image.fromarray(resized(pixels, 0.75)[10:170, 20:180]).save(tmp_path / "smaller.png")
    status, out, err = run("match", tmp_path / "mirrored.png", tmp_path / "smaller.png", "--fingerprints",
                           local[0] / "alpha.npz", local[0] / "beta.npz", "--orientations", "8",
                           "--csv", tmp_path / "pce.csv", *decide)
    assert status == 0, err
    with open(tmp_path / "pce.csv", newline="", encoding="utf-8") as file:
        rows = list(csv.DictReader(file))
    assert list(rows[0])[:7] == ["image", "fingerprint", "pce", "ncc", "peak_row", "peak_column", "verdict"]
    found = {(os.path.basename(row["image"]), row["fingerprint"]): row for row in rows}
    mirrored, smaller = found["mirrored.png", "alpha"], found["smaller.png", "alpha"]
    assert (mirrored["orientation"], float(mirrored["scale"]), int(mirrored["positions"])) == ("mirror", 1.0, 8)
    assert smaller["orientation"] == "rot0" and abs(float(smaller["scale"]) - 0.75) < 0.01
    assert (int(smaller["peak_row"]), int(smaller["peak_column"])) in {(13, 27), (13, 26), (14, 27), (14, 26)}
    verdict = "none" if decide else "alpha"
    assert {row["verdict"] for row in rows} == {verdict} and out.splitlines()[-1].endswith(verdict)
    assert all(float(row["p_value"]) > 1e-3 for row in rows if row["fingerprint"] == "beta")
    assert ("PCE above 1e+09" if decide else "false-alarm probability 1e-06") in out.splitlines()[0]


def test_the_heatmap_is_a_png_of_the_documented_size(local):
    output, _, _ = local
    with Image.open(output / "pce.png") as picture:
        assert picture.format == "PNG"
        # 100 dpi; 4.5 inches plus 1 per fingerprint, 2 plus a quarter per image.
        assert picture.size == (650, 325)
        assert len(picture.convert("RGB").getcolors(maxcolors=100_000)) > 50


@pytest.mark.parametrize("where", ["--workers 2",
                                   pytest.param("dask.distributed.LocalCluster", marks=pytest.mark.slow)])
def test_the_same_job_elsewhere_gives_the_same_bytes(photos, local, tmp_path, where):
    with contextlib.ExitStack() as stack:
        if where.startswith("--"):
            options = where.split()
        else:
            from distributed import LocalCluster

            cluster = stack.enter_context(LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                                       host="127.0.0.1", dashboard_address=None))
            options = ["--scheduler", cluster.scheduler_address]
        _, estimates = identify(photos, tmp_path, *options)
    for estimate, expected in zip(estimates, local[2], strict=True):
        assert_same_bits(estimate, expected)
    for name in ("alpha.npz", "beta.npz"):  # the same estimate and record, but for the time it was made
        (estimate, metadata), (expected, record) = (morvekin_prnu.load_fingerprint(folder / name)
                                                    for folder in (tmp_path, local[0]))
        assert_same_bits(estimate, expected)
        assert {**metadata, "created": None} == {**record, "created": None}
    # The CSV holds every PCE and NCC to the last bit; the fingerprint files' digests differ with their times.
    tables = [[row[:-1] for row in csv.reader((folder / "pce.csv").read_text(encoding="utf-8").splitlines())]
              for folder in (tmp_path, local[0])]
    assert tables[0] == tables[1]


@pytest.mark.parametrize("subcommand", ["residual", "fingerprint", "match"])
def test_strict_stops_at_the_first_bad_file(photos, local, tmp_path, subcommand):
    argv = {"residual": ["-o", tmp_path], "fingerprint": ["-o", tmp_path / "alpha.npz"],
            "match": ["--fingerprints", local[0] / "alpha.npz", "--csv", tmp_path / "pce.csv"]}[subcommand]
    status, _, err = run(subcommand, photos / "alpha", *argv, "--strict")
    assert status == 1 and err.startswith(f"morvekin {subcommand}: error: ") and "cut.jpg" in err
    # Only the pictures of the images before it (0.png to 3.png) are written.
    assert sorted(os.listdir(tmp_path)) == ([f"{k}_residual.png" for k in range(4)] if subcommand == "residual" else [])


@pytest.mark.parametrize("previous", [None, b"the fingerprint before"])
@pytest.mark.parametrize("interrupt", ["Ctrl-C", "SIGTERM"])
def test_an_interrupted_write_leaves_no_file_behind(photos, tmp_path, monkeypatch, previous, interrupt):
    if interrupt == "SIGTERM" and sys.platform == "win32":
        pytest.skip("Windows has no SIGTERM to catch")
    output = tmp_path / "camera.npz"
    if previous:
        output.write_bytes(previous)
    write_array = np.lib.format.write_array

    def write_then_stop(file, array, **options):  # the estimate is written, then the metadata is cut off
        if array.dtype == np.uint8:
            file.write(b"half of the metadata")
            if interrupt == "SIGTERM":
                os.kill(os.getpid(), signal.SIGTERM)  # its handler raises here
            else:
                raise KeyboardInterrupt
        write_array(file, array, **options)

    monkeypatch.setattr(np.lib.format, "write_array", write_then_stop)
    status, _, err = run("fingerprint", photos / "beta" / "0.tif", "-o", output)
    assert status == 130 and "interrupted" in err
    assert os.listdir(tmp_path) == (["camera.npz"] if previous else [])
    if previous:
        assert output.read_bytes() == previous


def test_the_console_script_writes_the_camera_residual(tmp_path):
    script = shutil.which("morvekin", path=sysconfig.get_path("scripts"))
    done = subprocess.run([script, "residual", "--save-npy"], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "camera_residual.png") as picture:
        assert picture.size == (3 * 512 + 2 * reporting.GAP, 512 + reporting.LABEL_HEIGHT)
    assert_same_bits(np.load(tmp_path / "camera_residual.npy"), morvekin_prnu.noise_residual(pywt.data.camera()))
    version = subprocess.run([sys.executable, "-m", "morvekin_prnu", "--version"], capture_output=True, text=True)
    assert version.stdout.startswith("morvekin ") and version.returncode == 0


PALETTE = np.array([[255, 0, 0], [0, 255, 0], [0, 0, 255], [10, 20, 30]], dtype=np.uint8)


def test_residual_pictures_every_kind_of_image_and_skips_bad_files(tmp_path, rng):
    grey = rng.integers(0, 256, (40, 48), dtype=np.uint8)
    palette = Image.fromarray(rng.integers(0, 4, grey.shape, dtype=np.uint8), "P")
    palette.putpalette(PALETTE.ravel().tolist())
    kinds = {  # file: (image, what the picture's first panel shows, picture mode)
        "grey.png": (Image.fromarray(grey), grey, "L"),
        "grey_alpha.png": (Image.fromarray(np.dstack([grey, 255 - grey]), "LA"), grey, "L"),
        "palette.gif": (palette, np.asarray(palette.convert("RGB")), "RGB"),
        "palette_alpha.tif": (palette.convert("PA"), np.asarray(palette.convert("RGB")), "RGB"),
        "sixteen.png": (Image.fromarray(grey.astype(np.uint16) * 200),
                        np.round(grey * (200 * 255 / 65535)).astype(np.uint8), "L"),
    }
    (tmp_path / "in").mkdir()
    for name, (image, _, _) in kinds.items():
        image.save(tmp_path / "in" / name)
    (tmp_path / "in" / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n not really")
    status, _, err = run("residual", tmp_path / "in", "-o", tmp_path / "out", "--save-npy")
    assert status == 0 and "broken.png" in err and "wrote 5 pictures" in err
    assert len(os.listdir(tmp_path / "out")) == 2 * len(kinds)
    for name, (_, shown, mode) in kinds.items():
        stem = name.split(".")[0]
        with Image.open(tmp_path / "out" / f"{stem}_residual.png") as picture:
            assert picture.mode == mode and picture.size == (3 * 48 + 2 * reporting.GAP, 40 + reporting.LABEL_HEIGHT)
            panel = np.asarray(picture)[reporting.LABEL_HEIGHT:, :48]
        np.testing.assert_array_equal(panel, shown, err_msg=name)
        assert_same_bits(np.load(tmp_path / "out" / f"{stem}_residual.npy"),
                         morvekin_prnu.noise_residual(tmp_path / "in" / name))


@pytest.mark.parametrize(
    "argv, status, message",
    [(["fingerprint", "{tmp}/missing", "-o", "{tmp}/k.npz"], 1, "missing: no such file or folder"),
     (["fingerprint", "{tmp}/empty", "-o", "{tmp}/k.npz"], 1, "empty: the folder holds no files"),
     (["fingerprint", "{photos}/beta", "-o", "{tmp}/nowhere/k.npz"], 1, "the folder .*nowhere does not exist"),
     (["fingerprint", "{photos}/beta", "-o", "{tmp}"], 1, "is a folder, not a file"),
     (["match", "{photos}/beta", "--fingerprints", "{photos}/beta/0.tif"], 1, "0.tif: not a morvekin fingerprint"),
     (["residual", "{photos}/alpha/0.png", "{photos}/beta/0.tif", "-o", "{tmp}"], 1, "would both be written"),
     (["match", "{photos}/beta", "--fingerprints", "k.npz", "--threshold", "nan"], 2, "--threshold: must be"),
     (["residual", "--sigma", "0"], 2, "--sigma: must be a positive"),
     (["match", "{photos}/beta", "--fingerprints", "k.npz", "--p-fa", "1"], 2, "--p-fa: must be a number between"),
     (["match", "{photos}/beta", "--fingerprints", "k.npz", "--orientations", "2"], 2, "--orientations: invalid"),
     (["match", "{photos}/beta", "--fingerprints", "k.npz", "--min-scale", "0"], 2, "--min-scale: must be"),
     (["fingerprint", "{photos}/beta", "-o", "{tmp}/k.npz", "--workers", "2", "--scheduler", "tcp://127.0.0.1:9"],
      2, "not allowed with"),
     (["match", "{photos}/beta/0.tif", "--fingerprints", "{local}/beta.npz", "--plot", "{tmp}/p.png"], 1,
      r'--plot needs matplotlib: pip install "morvekin\[plot\]"'),
     (["fingerprint", "{photos}/beta", "-o", "{tmp}/k.npz", "--scheduler", "tcp://127.0.0.1:9"], 1,
      r'--scheduler needs dask.distributed: pip install "morvekin\[dask\]"'),
     (["fingerprint", "{photos}/beta", "-o", "{tmp}/k.npz", "--sigma", "1e200"], 2,
      "--sigma: must be a positive number of at most 10000, not 1e"),
     (["match", "{photos}/questioned/z.png", "--fingerprints", "{crafted}/sigma.npz"], 1,
      "sigma.npz: not a morvekin fingerprint file: its metadata's sigma must be a positive number of at most"),
     (["match", "{photos}/questioned/alpha0.png", "--fingerprints", "{crafted}/extremes.npz", "{local}/alpha.npz",
       "--csv", "{tmp}/pce.csv"], 1, "extremes.npz: not a morvekin fingerprint file: .*magnitude 3.4e"),
     (["match", "{photos}/beta/0.tif", "--fingerprints", "{local}/beta.npz", "--json", "--csv", "-"], 1,
      "--json and --csv - would both write to standard output")],
)
def test_mistakes_are_refused_naming_the_argument_and_nothing_is_written(
        photos, local, crafted, tmp_path, monkeypatch, argv, status, message):
    (tmp_path / "empty").mkdir()
    find_spec = command.importlib.util.find_spec  # as if the optional extras were not installed:
    monkeypatch.setattr(command.importlib.util, "find_spec",
                        lambda name: None if name in ("matplotlib", "distributed") else find_spec(name))
    done, out, err = run(*(a.format(tmp=tmp_path, photos=photos, local=local[0], crafted=crafted) for a in argv))
    assert done == status and re.search(message, err), err
    if status == 1:  # one line, no traceback (argparse adds its usage)
        assert len(err.splitlines()) == 1, err
    assert os.listdir(tmp_path) == ["empty"] and out == ""


@pytest.fixture(scope="module")
def crafted(tmp_path_factory, local):
    """Fingerprint files no estimate can be, written as a foreign writer would: float32 extremes
    (PCE NaN once hid a real match) and a sigma whose square overflows."""
    folder = tmp_path_factory.mktemp("crafted")
    estimate, metadata = morvekin_prnu.load_fingerprint(local[0] / "alpha.npz")
    metadata = {**{key: value for key, value in metadata.items() if key != "step"}, "version": 1}  # as float32
    extremes = np.full(SHAPE, 3.4e38, np.float32)
    extremes[::2] *= -1
    for name, values, changes in (("extremes", extremes, {}), ("sigma", estimate, {"sigma": 1e308})):
        text = json.dumps({**metadata, **changes}).encode()
        np.savez(folder / f"{name}.npz", fingerprint=values, metadata=np.frombuffer(text, np.uint8))
    return folder


@pytest.fixture
def no_work(monkeypatch):
    """Fail the test if any image or fingerprint is read: refusals must come first."""
    def refuse(*args, **kwargs):
        raise AssertionError("work was done before the refusal")

    for name in ("read_image", "load_image", "fingerprint", "read_fingerprint", "load_fingerprint"):
        monkeypatch.setattr(command.prnu, name, refuse, raising=False)


@pytest.mark.parametrize("argv", [
    ["fingerprint", "{tmp}/in", "-o", "{tmp}/in/0.png"],
    ["fingerprint", "{tmp}/in", "-o", "{tmp}/link.png"],
    ["match", "{tmp}/in/0.png", "--fingerprints", "{tmp}/alpha.npz", "--csv", "{tmp}/alpha.npz"],
    ["match", "{tmp}/in", "--fingerprints", "{tmp}/alpha.npz", "--plot", "{tmp}/link.png"],
    ["residual", "{tmp}/in/0.png", "{tmp}/in/0_residual.png", "-o", "{tmp}/in"],
    ["show", "{tmp}/alpha.npz", "-o", "{tmp}/alpha.npz"],
])
def test_an_output_that_is_an_input_is_refused_before_any_work(photos, local, tmp_path, no_work, argv):
    (tmp_path / "in").mkdir()
    for name in ("0.png", "0_residual.png"):
        shutil.copy(photos / "alpha" / "0.png", tmp_path / "in" / name)
    (tmp_path / "link.png").symlink_to(tmp_path / "in" / "0.png")
    shutil.copy(local[0] / "alpha.npz", tmp_path / "alpha.npz")
    before = {path: path.read_bytes() for path in tmp_path.rglob("*") if path.is_file()}
    status, out, err = run(*(a.format(tmp=tmp_path) for a in argv))
    assert status == 1 and "which would be overwritten" in err and len(err.splitlines()) == 1, err
    assert {path: path.read_bytes() for path in tmp_path.rglob("*") if path.is_file()} == before


@pytest.mark.skipif(not os.path.isdir("/proc"), reason="needs /proc, where no file can be made")
@pytest.mark.parametrize("option", [["-o", "/proc/k.npz"], ["--csv", "/proc/pce.csv"]])
def test_an_output_that_cannot_be_written_is_refused_before_any_work(photos, local, no_work, option):
    subcommand = ["fingerprint"] if option[0] == "-o" else ["match"]
    fingerprints = [] if option[0] == "-o" else ["--fingerprints", local[0] / "alpha.npz"]
    status, _, err = run(*subcommand, photos / "alpha" / "0.png", *fingerprints, *option)
    assert status == 1 and f"{' '.join(option)}: cannot be written" in err and ".tmp" not in err, err


# Five names that a spreadsheet would take for formulas, then three that would act on a terminal.
HOSTILE = ["=cmd|' -C calc'!A0.png", "+1.png", "-2.png", "@SUM(A1).png", "\tab.png", "line\nbreak.png",
           "esc\x1b[2J\x1b[31m.png", "rtl\u202egnp.png"]


def test_names_neither_start_formulas_nor_act_on_the_terminal(photos, local, tmp_path, monkeypatch):
    for name in HOSTILE:
        shutil.copy(photos / "questioned" / "alpha0.png", tmp_path / name)
    shutil.copy(local[0] / "alpha.npz", tmp_path / "=HYPERLINK(x)+1.npz")
    monkeypatch.chdir(tmp_path)  # names as given, so that each cell starts with one
    status, out, err = run("match", "--fingerprints", "=HYPERLINK(x)+1.npz", "--csv", "pce.csv", "--", *HOSTILE)
    assert status == 0, err
    for shown in (out, err):
        assert not set("\x1b\u202e\t") & set(shown)
    assert len(out.splitlines()) == 2 + len(HOSTILE)  # one line per image: no name breaks a line
    with open(tmp_path / "pce.csv", newline="", encoding="utf-8") as file:
        rows = list(csv.DictReader(file))
    assert [row["image"] for row in rows] == ["'" + name for name in HOSTILE[:5]] + HOSTILE[5:]
    for row in rows:
        assert row["fingerprint"] == "'=HYPERLINK(x)+1"
        for cell in (row["image"], row["fingerprint"], row["verdict"]):
            assert not cell.startswith(reporting.FORMULA_STARTS), cell


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
def test_fifos_are_skipped_and_the_run_ends(photos, local, tmp_path):
    (tmp_path / "in").mkdir()
    os.mkfifo(tmp_path / "in" / "a.png")
    (tmp_path / "in" / "b.png").symlink_to(tmp_path / "in" / "a.png")
    shutil.copy(photos / "questioned" / "alpha0.png", tmp_path / "in" / "c.png")
    script = shutil.which("morvekin", path=sysconfig.get_path("scripts"))
    with subprocess.Popen([script, "match", tmp_path / "in", "--fingerprints", local[0] / "alpha.npz"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as running:
        try:
            out, err = running.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            running.send_signal(signal.SIGTERM)  # one SIGTERM must end it
            try:
                running.communicate(timeout=10)
            finally:
                running.kill()
            pytest.fail("the run hung on a FIFO" + ("" if running.returncode is None else ", and ended on SIGTERM"))
    assert running.returncode == 0, err
    assert re.search(r"skipped \S+a\.png: not a regular file but a FIFO", err)
    assert "b.png is the same file as" in err and "c.png" in out


@pytest.mark.parametrize("where", ["--json", "--csv -"])
def test_structured_results_go_to_standard_output_with_their_custody(photos, local, tmp_path, monkeypatch, where):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "notes.png").write_text("no image")
    images = [photos / "questioned" / "alpha0.png", photos / "questioned" / "z.png", tmp_path / "notes.png"]
    status, out, err = run("match", *images, "--fingerprints", local[0] / "alpha.npz", local[0] / "beta.npz",
                           *where.split())
    assert status == 0 and os.listdir(tmp_path) == ["notes.png"], err
    assert "verdict at a false-alarm probability 1e-06" in err  # the table, out of the way
    digest = {str(path): hashlib.sha256(path.read_bytes()).hexdigest()
              for path in [*images[:2], local[0] / "alpha.npz", local[0] / "beta.npz"]}
    if where == "--json":
        record = json.loads(out)
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", record["created"])
        assert record["parameters"] == {"p_fa": 1e-6, "threshold": None, "orientations": 4, "min_scale": 0.5}
        assert record["morvekin"]
        assert [(f["name"], f["sha256"], f["sigma"]) for f in record["fingerprints"]] == \
            [("alpha", digest[str(local[0] / "alpha.npz")], 3.0), ("beta", digest[str(local[0] / "beta.npz")], 2.5)]
        assert [(i["file"], i["sha256"], i["verdict"]) for i in record["images"]] == \
            [(str(images[0]), digest[str(images[0])], "alpha"), (str(images[1]), digest[str(images[1])], None)]
        own, other = record["images"][0]["matches"]
        # Every field of the Match, in its order, as the CSV gives them.
        assert list(own) == ["fingerprint", *morvekin_prnu.Match._fields]
        # A square shot: tested at zero shift in each quarter turn.
        assert (own["same_camera"], own["peak"], own["orientation"], own["positions"]) == (True, [0, 0], "rot0", 4)
        assert own["p_value"] < 1e-100 and not other["same_camera"] and 0.01 < other["p_value"] <= 1
        assert record["skipped"] == [{"file": str(images[2]), "reason": "not an image file that can be read"}]
    else:
        rows = list(csv.DictReader(io.StringIO(out)))
        # The Match's fields in its order, as in the JSON record.
        assert list(rows[0]) == ["image", "fingerprint", "pce", "ncc", "peak_row", "peak_column", "verdict", "p_value",
                                 "scale", "orientation", "positions", "scales", "orientations", "flags",
                                 "image_sha256", "fingerprint_sha256"]
        assert [(row["image"], row["fingerprint"], row["image_sha256"], row["fingerprint_sha256"]) for row in rows] == \
            [(str(image), name, digest[str(image)], digest[str(local[0] / f"{name}.npz")])
             for image in images[:2] for name in CAMERAS]


class Client:
    """Stands in for a dask.distributed client: runs each task at once and keeps what it was sent."""

    def __init__(self):
        self.sent = []

    def submit(self, function, *args):
        self.sent.append(args)
        done = concurrent.futures.Future()
        done.set_result(function(*args))
        return done

    def nthreads(self):
        return {"worker": 1}

    def scatter(self, data, broadcast):
        return data


def test_a_cluster_is_sent_absolute_paths(photos, local, tmp_path, monkeypatch):
    client = Client()
    monkeypatch.setattr(cli, "cluster", lambda args: contextlib.nullcontext(client))
    monkeypatch.chdir(photos)
    for argv in (["fingerprint", "alpha", "-o", tmp_path / "alpha.npz"],
                 ["match", "questioned", "--fingerprints", local[0] / "alpha.npz"]):
        status, _, err = run(*argv, "--scheduler", "tcp://127.0.0.1:9")
        assert status == 0, err
    sent = [str(item[1] if isinstance(item, tuple) else item) for args in client.sent
            for item in (args[0] if isinstance(args[0], list) else args[:1])]
    assert len(sent) == 7 + 5 and all(os.path.isabs(path) for path in sent), sent
    assert morvekin_prnu.load_fingerprint(tmp_path / "alpha.npz")[1]["files"] == \
        [str(photos / "alpha" / f"{k}.png") for k in range(4)]


def test_the_majority_shape_wins_and_a_file_named_twice_counts_once(photos, tmp_path):
    (tmp_path / "in").mkdir()
    for k in range(4):
        (tmp_path / "in" / f"{k}.png").symlink_to(photos / "alpha" / f"{k}.png")
    Image.open(photos / "alpha" / "0.png").resize((128, 128)).save(tmp_path / "in" / "!thumbnail.png")
    status, _, err = run("fingerprint", tmp_path / "in", photos / "alpha" / "2.png", "-o", tmp_path / "alpha.npz")
    assert status == 0, err
    assert "4 images of 256x256, 1 skipped" in err and re.search(r"2\.png is the same file as \S+2\.png", err)
    _, metadata = morvekin_prnu.load_fingerprint(tmp_path / "alpha.npz")
    assert metadata["skipped"][0]["file"].endswith("!thumbnail.png")
    assert "differs from the majority's (256, 256, 3)" in metadata["skipped"][0]["reason"]
    assert [(entry["file"], entry["sha256"]) for entry in metadata["inputs"]] == \
        [(str(tmp_path / "in" / f"{k}.png"), hashlib.sha256((photos / "alpha" / f"{k}.png").read_bytes()).hexdigest())
         for k in range(4)]
    assert any("only 4 images used" in text for text in metadata["warnings"])
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", metadata["created"])


def test_inspect_and_show_a_fingerprint(local, tmp_path):
    path = local[0] / "alpha.npz"
    estimate, metadata = morvekin_prnu.load_fingerprint(path)
    status, out, err = run("inspect", path, "--json")
    summary = json.loads(out)
    assert status == 0 and summary["sha256"] == hashlib.sha256(path.read_bytes()).hexdigest(), err
    assert summary["metadata"] == metadata and summary["range"]["max"] == float(estimate.max())
    status, out, _ = run("inspect", path)
    assert f"sha256: {summary['sha256']}" in out.splitlines()
    for entry in metadata["inputs"]:
        assert f"    file {entry['file']}, sha256 {entry['sha256']}" in out.splitlines()
    status, _, err = run("show", path, "-o", tmp_path / "k.png")
    with Image.open(tmp_path / "k.png") as picture:
        assert status == 0 and picture.mode == "L" and picture.size == estimate.shape[::-1], err
        shown = np.asarray(picture, dtype=np.float64)
    assert morvekin_prnu.ncc(shown, estimate) > 0.95


def test_two_outputs_that_are_one_file_are_refused(photos, local, tmp_path, no_work):
    status, _, err = run("match", photos / "questioned" / "z.png", "--fingerprints", local[0] / "alpha.npz",
                         "--csv", tmp_path / "out", "--plot", tmp_path / "." / "out")
    assert status == 1 and "--plot" in err and "is also the output of --csv" in err and os.listdir(tmp_path) == []


def test_running_out_of_memory_is_one_line(photos, tmp_path, monkeypatch):
    def exhausted(*args, **kwargs):
        raise MemoryError

    monkeypatch.setattr(command.prnu, "load_image", exhausted)
    status, _, err = run("residual", photos / "alpha" / "0.png", "-o", tmp_path)
    assert status == 1 and err == "morvekin residual: error: out of memory\n"
