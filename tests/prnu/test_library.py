"""The fingerprint library: catalogue, index, identify, and its safety under crashes, readers and tampering."""

import contextlib
import csv
import io
import math
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import threading

import numpy as np
import pytest
import pywt
from PIL import ExifTags, Image

import morvekin_prnu as prnu
from cameras import assert_same_bits, resized, sensor_pattern, shot
from morvekin_prnu import fingerprint_folder, identification
from morvekin_prnu import library as library_module
from morvekin_prnu.matching import significance
from morvekin_prnu.provenance import array_sha256, file_sha256
from morvekin_prnu.storage import as_stored
from test_command import run

SHAPE = (128, 128)
TRAINING = (pywt.data.camera, pywt.data.ascent)
QUESTIONED = (pywt.data.aero,)  # other scenes than the fingerprints'
NAMES = ("alpha", "beta", "gamma", "outsider")  # the last is not in the library
EXIF = {"make": "Acme", "model": "Shooter 3", "serial": "A-0001"}

# The simulated cameras take a few shots each, far fewer than a real fingerprint needs, and one of alpha's
# five carries half of their energy.
pytestmark = [pytest.mark.filterwarnings(r"ignore:only \d+ images? used:UserWarning"),
              pytest.mark.filterwarnings(r"ignore:.* dominates the estimate:UserWarning")]


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """Five shots per camera (alpha's with EXIF), two questioned shots each, and a library of the first three:
    alpha and beta from their photographs, gamma from the file 'morvekin fingerprint' made of its."""
    folder = tmp_path_factory.mktemp("library")
    rng = np.random.default_rng(19)
    exif = Image.Exif()
    exif[ExifTags.Base.Make], exif[ExifTags.Base.Model] = EXIF["make"], EXIF["model"]
    exif.get_ifd(ExifTags.IFD.Exif)[ExifTags.Base.BodySerialNumber] = EXIF["serial"]
    shots, queries = {}, {}
    for name in NAMES:
        pattern = sensor_pattern(rng, SHAPE)
        (folder / name).mkdir()
        shots[name] = [folder / name / f"{k}.png" for k in range(5)]
        for path in shots[name]:
            Image.fromarray(shot(rng, pattern, TRAINING)).save(path, exif=exif if name == "alpha" else None)
        queries[name] = [shot(rng, pattern, QUESTIONED) for _ in range(2)]
    assert run("fingerprint", folder / "gamma", "-o", folder / "gamma.npz", "--sigma", 2.5)[0] == 0
    with prnu.Library(folder / "lib", create=True) as library:
        library.add("alpha", shots["alpha"])
        library.add("beta", shots["beta"], sigma=3.5)
        library.add_fingerprint("gamma", folder / "gamma.npz")
    return folder, shots, queries


@pytest.fixture
def copy(made, tmp_path):
    """A copy of the module's library to change."""
    shutil.copytree(made[0] / "lib", tmp_path / "lib")
    return tmp_path / "lib"


def test_the_catalogue_records_each_camera_and_its_files(made):
    folder, shots, _ = made
    with prnu.Library(folder / "lib") as library:
        alpha, beta, gamma = library.cameras()
    assert [c.name for c in (alpha, beta, gamma)] == ["alpha", "beta", "gamma"]
    assert (alpha.make, alpha.model, alpha.serial) == (EXIF["make"], EXIF["model"], EXIF["serial"])
    assert beta.make is None and alpha.origin == beta.origin == "images"
    for camera, sigma in ((alpha, 3.0), (beta, 3.5), (gamma, 2.5)):
        assert (camera.images, camera.shape, camera.sigma, camera.wavelet, camera.levels) == (5, SHAPE, sigma, "db4", 4)
        # Each photograph as it was read: its SHA-256 and camera.
        assert camera.sources == tuple(
            (str(path), file_sha256(path), *((EXIF["make"], EXIF["model"], EXIF["serial"]) if camera is alpha
                                             else (None, None, None))) for path in shots[camera.name])
        stored, metadata = prnu.load_fingerprint(camera.file)
        assert_same_bits(stored, as_stored(prnu.fingerprint(shots[camera.name], sigma=sigma)))
        assert metadata["files"] == [str(path) for path in shots[camera.name]]
        assert [entry["sha256"] for entry in metadata["inputs"]] == [source.sha256 for source in camera.sources]
        assert camera.sha256 == file_sha256(camera.file)
    # From a fingerprint file: copied byte for byte, its photographs as its metadata records them.
    assert open(gamma.file, "rb").read() == (folder / "gamma.npz").read_bytes()
    assert gamma.origin == f"fingerprint file {folder / 'gamma.npz'}"


@pytest.mark.parametrize("recorded, sources", [
    ({"files": ["a.png", 7]}, [("a.png", None, None, None, None)]),
    ({"inputs": "a.png", "files": ["b.png"]}, [("b.png", None, None, None, None)]),
    ({"inputs": [{"file": "a.png", "sha256": "ab", "make": ["Acme"], "serial": "7"}, "b.png", {"sha256": "cd"}]},
     [("a.png", "ab", None, None, "7")]),
])
def test_a_fingerprint_file_s_record_of_its_photographs_is_kept_as_far_as_it_is_text(made, copy, recorded, sources):
    written = copy.parent / "crafted.npz"
    prnu.save_fingerprint(written, prnu.load_fingerprint(made[0] / "gamma.npz")[0], {"sigma": 2.5, **recorded})
    with prnu.Library(copy) as library:
        assert library.add_fingerprint("crafted", written).sources == tuple(sources)
        assert library.verify() == []


@pytest.mark.parametrize("camera", NAMES)
@pytest.mark.parametrize("taken, options", [(0, {}), (1, {}), (0, {"orientations": 1, "p_fa": 1e-3}),
                                            (1, {"orientations": 8, "threshold": 60.0})])
def test_identify_finds_the_camera_exhaustive_search_finds_with_the_same_bits(made, camera, taken, options):
    folder, _, queries = made
    image = queries[camera][taken]
    with prnu.Library(folder / "lib") as library:
        found = library.identify(image, **options)
        full = library.identify(image, exhaustive=True, **options)
        stored = {c.name: (prnu.load_fingerprint(c.file)[0], c.sigma) for c in library.cameras()}
    assert found.verdict == full.verdict == (None if camera == "outsider" else camera)
    assert (found.cameras, full.tested, found.exhaustive, full.exhaustive) == (3, 3, False, True)
    assert found.tested < 3 and found.unreadable == full.unreadable == ()
    # Every Match is the one match() gives with the same options, bit for bit, each camera with its own sigma.
    for candidate in found.candidates + full.candidates:
        if candidate.match is not None:
            fingerprint, sigma = stored[candidate.camera]
            expected = prnu.match(fingerprint, image, sigma=sigma, **options)
            assert candidate.match == expected
            assert_same_bits(np.float64([candidate.match.pce, candidate.match.p_value]),
                             np.float64([expected.pce, expected.p_value]))
    # Ranked: tested, the most significant first, then the others by score.
    tested = [c for c in found.candidates if c.match is not None]
    assert found.candidates[:len(tested)] == tuple(tested)
    assert [significance(c.match) for c in tested] == sorted(significance(c.match) for c in tested)
    rest = [c.score for c in found.candidates[len(tested):]]
    assert rest == sorted(rest, reverse=True) and None not in rest


@pytest.mark.parametrize("turn, options, orientation", [(lambda p: np.rot90(p, 2), {}, "rot180"),
                                                        (lambda p: np.rot90(p[:, ::-1]), {"orientations": 8},
                                                         "mirror+rot90")])
def test_the_index_picks_the_camera_of_a_turned_shot(made, turn, options, orientation):
    folder, _, queries = made
    image = turn(queries["beta"][0])
    with prnu.Library(folder / "lib") as library:
        found = library.identify(image, **options)
        as_stored = library.identify(image, orientations=1)
    best = found.candidates[0]
    assert found.verdict == "beta" and found.tested == 1 and best.score >= identification.cuts(best.match.pce)[1]
    # A square shot: one test at zero shift per orientation tried.
    assert best.match.orientation == orientation and best.match.positions == options.get("orientations", 4)
    assert as_stored.verdict is None  # not searched for in that orientation


@pytest.mark.parametrize("scale", [0.75, 0.6])
def test_a_photograph_resized_whole_goes_through_the_index(made, scale):
    folder, _, queries = made
    image = resized(queries["gamma"][0], scale)
    with prnu.Library(folder / "lib") as library:
        found = library.identify(image)
        gamma = next(camera for camera in library.cameras() if camera.name == "gamma")
    best = found.candidates[0]
    # Up-sampled to the sensor's size and compared with the index: only its camera is tested, as match tests it.
    assert found.verdict == "gamma" and found.tested == 1 and best.score > 5 and all(
        candidate.score is not None for candidate in found.candidates)
    assert best.match == prnu.match(prnu.read_fingerprint(gamma.file), image)
    assert best.match.scale == pytest.approx(scale, abs=0.01) and best.match.peak == (0, 0)


@pytest.mark.parametrize("options, message", [({"p_fa": 0.0}, "p_fa"), ({"orientations": 3}, "orientations"),
                                              ({"min_scale": 2.0}, "min_scale"), ({"threshold": "60"}, "threshold")])
def test_identify_refuses_bad_options_before_reading_the_image(made, options, message):
    with prnu.Library(made[0] / "lib") as library, pytest.raises(ValueError, match=message):
        library.identify(made[0] / "no such image.png", **options)


def test_other_shapes_are_tested_in_full(made, copy):
    _, shots, queries = made
    with prnu.Library(copy) as library:
        library.add("wide", [np.asarray(Image.open(path))[:96] for path in shots["outsider"]])
        assert library.cameras()[-1].sources[0] == ("images[0]", array_sha256(np.asarray(Image.open(
            shots["outsider"][0]))[:96]), None, None, None)
        whole = library.identify(queries["alpha"][0])
        crop = queries["alpha"][0][10:110, 20:]
        cropped, full = library.identify(crop), library.identify(crop, exhaustive=True)
        expected = prnu.match(prnu.load_fingerprint(library.cameras()[0].file)[0], crop)
    wide = next(c for c in whole.candidates if c.camera == "wide")
    assert wide.score is None and wide.match is not None and whole.verdict == "alpha"
    # A crop matches no fingerprint's shape: every camera is tested as match() tests it.
    assert cropped.tested == 4 and all(c.score is None for c in cropped.candidates)
    assert cropped.verdict == full.verdict == "alpha" and cropped.candidates == full.candidates
    assert cropped.candidates[0].match == expected


def test_a_nan_pce_never_wins(made, monkeypatch):
    folder, _, queries = made
    tested = identification.tested_question
    with prnu.Library(folder / "lib") as library:
        poisoned = fingerprint_folder.read_stored(*next((c.file, c.sha256) for c in library.cameras() if c.name == "beta"))

        def crafted(fingerprint, *arguments):
            if fingerprint is poisoned:  # claims the image, with a NaN PCE
                return prnu.Match(pce=math.nan, ncc=math.nan, peak=(0, 0), same_camera=True, p_value=0.0)
            return tested(fingerprint, *arguments)

        monkeypatch.setattr(identification, "tested_question", crafted)
        found = library.identify(queries["gamma"][0], exhaustive=True)
    assert found.verdict == "gamma" and [c.camera for c in found.candidates] == ["gamma", "alpha", "beta"]


def _kill_during_add(library, name, paths, when):
    """Run add in another process that kills itself with SIGKILL: while writing the fingerprint file, or
    just before the commit."""
    code = """if True:
        import os, signal, sqlite3, sys
        import numpy as np
        import morvekin_prnu as prnu
        library, name, when, *paths = sys.argv[1:]
        die = lambda: os.kill(os.getpid(), signal.SIGKILL)
        if when == "writing the file":
            os.fsync = lambda descriptor: die()  # written, not yet renamed into place
        else:
            connect, inserted = sqlite3.connect, []
            def traced(statement):
                inserted.append(statement.startswith("INSERT INTO signatures"))
                if statement == "COMMIT" and any(inserted):
                    die()
            def connecting(*arguments, **options):
                connection = connect(*arguments, **options)
                connection.set_trace_callback(traced)
                return connection
            sqlite3.connect = connecting
        prnu.Library(library).add(name, paths)
    """
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", code, str(library), name, when, *map(str, paths)],
                          env=environment, capture_output=True, text=True)
    assert done.returncode == -signal.SIGKILL, done.stderr


@pytest.mark.skipif(sys.platform == "win32", reason="no SIGKILL")
@pytest.mark.parametrize("when", ["writing the file", "committing"])
def test_a_crash_during_add_leaves_the_library_as_it_was(made, copy, when):
    _, shots, queries = made
    with prnu.Library(copy) as library:
        before = library.cameras()
    _kill_during_add(copy, "outsider", shots["outsider"], when)
    with prnu.Library(copy) as library:
        assert library.cameras() == before
        [orphan] = library.verify()
        assert orphan.kind == "orphan" and "interrupted" in orphan.detail
        assert library.identify(queries["beta"][0]).verdict == "beta"
        library.add("outsider", shots["outsider"])  # the next write clears what the crash left
        assert library.verify() == []
        assert sorted(os.listdir(copy / "fingerprints")) == sorted(os.path.basename(c.file) for c in library.cameras())


def test_ctrl_c_during_add_leaves_the_library_as_it_was(made, copy, monkeypatch):
    _, shots, _ = made

    def interrupted(*arguments):
        raise KeyboardInterrupt

    with prnu.Library(copy) as library:
        before = library.cameras()
        with monkeypatch.context() as patch, pytest.raises(KeyboardInterrupt):
            patch.setattr(library_module, "insert_camera", interrupted)  # once the file is written
            library.add("outsider", shots["outsider"])
        assert library.cameras() == before and library.verify() == []
    assert len(os.listdir(copy / "fingerprints")) == 3


def test_readers_see_whole_states_while_a_writer_adds_and_removes(made, copy):
    folder, _, queries = made
    errors, states, done = [], set(), threading.Event()

    def read():
        try:
            with prnu.Library(copy) as library:
                while not done.is_set():
                    search = library.search()
                    for entry in search.entries:  # every camera listed has its file, as recorded ...
                        try:
                            fingerprint_folder.read_stored(entry.file, entry.sha256)
                        except FileNotFoundError:  # ... unless it was removed since: its row went first
                            assert entry.name not in {later.name for later in library.search().entries}
                    states.add(tuple(entry.name for entry in search.entries))
                    assert library.identify(queries["alpha"][0]).verdict == "alpha"
        except Exception as error:  # reported below
            errors.append(error)

    readers = [threading.Thread(target=read) for _ in range(3)]
    for reader in readers:
        reader.start()
    with prnu.Library(copy) as library:
        written = {tuple(camera.name for camera in library.cameras())}
        for round in range(8):
            library.add_fingerprint(f"copy{round}", folder / "gamma.npz")
            written.add(tuple(camera.name for camera in library.cameras()))
            if round % 2:
                library.remove(f"copy{round - 1}")
                written.add(tuple(camera.name for camera in library.cameras()))
    done.set()
    for reader in readers:
        reader.join()
    assert errors == []
    assert states and states <= written, states - written


def _tamper(path, what):
    """Change a library behind morvekin's back; return the (kind, camera) verify should report."""
    with prnu.Library(path) as library:
        _, beta, gamma = library.cameras()
    with contextlib.closing(sqlite3.connect(path / library_module.CATALOGUE, isolation_level=None)) as catalogue:
        if what == "altered":  # another camera's fingerprint, which reads as well as its own
            shutil.copy(gamma.file, beta.file)
        elif what == "damaged":
            data = bytearray(open(beta.file, "rb").read())
            data[-200] ^= 1
            open(beta.file, "wb").write(bytes(data))
            return [("altered", "beta")]
        elif what == "missing":
            os.remove(beta.file)
        elif what == "unreadable":
            os.replace(beta.file, path / "elsewhere.npz")
            os.symlink(path / "elsewhere.npz", beta.file)
        elif what == "row":  # the row's digest no longer fits, nor does the file
            catalogue.execute("UPDATE cameras SET sigma = 2.0 WHERE name = 'beta'")
            return [("row", "beta"), ("row", "beta")]
        elif what == "catalogue":
            for table, column in (("cameras", "name"), ("sources", "camera"), ("signatures", "camera")):
                catalogue.execute(f"DELETE FROM {table} WHERE {column} = 'beta'")
            return [("catalogue", None), ("orphan", None)]
        elif what == "index":
            catalogue.execute("UPDATE signatures SET bits = zeroblob(length(bits)) WHERE camera = 'beta'")
        elif what == "orphan":
            shutil.copy(beta.file, path / "fingerprints" / ("0" * 32 + ".npz"))
            return [("orphan", None)]
    return [(what, "beta")]


@pytest.mark.parametrize("what", ["altered", "damaged", "missing", "unreadable", "row", "catalogue", "index", "orphan"])
def test_verify_finds_what_was_changed_behind_its_back(made, copy, what):
    _, _, queries = made
    with prnu.Library(copy) as library:
        assert library.verify() == []
    expected = _tamper(copy, what)
    with prnu.Library(copy) as library:
        problems = library.verify()
        assert [(problem.kind, problem.camera) for problem in problems] == expected, problems
        found = library.identify(queries["beta"][0], exhaustive=True)
    status, out, err = run("library", "verify", copy)
    assert status == 1 and f"{len(expected)} problem" in err and out.count("\n") == len(expected)
    # A fingerprint file that cannot be trusted is named, never tested nor skipped in silence.
    if what in ("altered", "damaged", "missing", "unreadable"):
        [(camera, reason)] = found.unreadable
        assert camera == "beta" and str(copy / "fingerprints") in reason and found.verdict is None
        assert what != "altered" or "the file was changed" in reason
        status, _, err = run("library", "identify", copy, _saved(copy, queries["beta"][0]), "--exhaustive")
        assert status == 0 and "camera beta not tested" in err


def _saved(library, image):
    """The image as a PNG file beside the library."""
    Image.fromarray(image).save(library.parent / "q.png")
    return library.parent / "q.png"


@pytest.mark.parametrize("setup, message", [
    ("UPDATE library SET value = '3' WHERE key = 'version'",
     r"format version 3, written by a newer morvekin; this morvekin \(.*\) reads versions 1 to 2: upgrade"),
    ("PRAGMA application_id = 7", "not the catalogue of a morvekin library"),
    ("DROP TABLE signatures", "damaged, or not a morvekin catalogue: no such table"),
])
def test_a_library_it_cannot_read_is_refused(copy, setup, message):
    with contextlib.closing(sqlite3.connect(copy / library_module.CATALOGUE, isolation_level=None)) as catalogue:
        catalogue.execute(setup)
    status, _, err = run("library", "identify", copy, "q.png")
    assert status == 1 and len(err.splitlines()) == 1
    with pytest.raises(ValueError, match=message), prnu.Library(copy) as library:
        library.search()


def test_the_commands_add_list_identify_and_remove(made, tmp_path, monkeypatch):
    folder, shots, queries = made
    library = tmp_path / "lib"
    shutil.copy(shots["alpha"][0], tmp_path / "again.png")
    monkeypatch.chdir(folder)
    status, _, err = run("library", "add", library, "alpha", "alpha", tmp_path / "again.png")
    # Said as 'morvekin fingerprint' says it; the copy counts once and is no file skipped.
    assert status == 0 and "morvekin library add: warning: only 5 images used" in err
    assert "again.png is the same picture as" in err and "5 images of 128x128\n" in err
    with prnu.Library(library) as opened:  # recorded by absolute path
        assert [source.file for source in opened.cameras()[0].sources] == list(map(str, shots["alpha"]))
    status, _, err = run("library", "add", library, "gamma", "--fingerprint", folder / "gamma.npz")
    assert status == 0 and "added gamma" in err
    status, out, _ = run("library", "list", library)
    lines = out.splitlines()
    assert status == 0 and lines[0] == "2 cameras"
    assert lines[2].split()[:7] == ["alpha", "128x128", "5", "3", "Acme", "Shooter", "3"]
    assert lines[3].split()[:4] == ["gamma", "128x128", "5", "2.5"]
    (tmp_path / "q").mkdir()
    for name in ("alpha", "gamma", "outsider"):
        Image.fromarray(queries[name][0]).save(tmp_path / "q" / f"{name}.png")
    (tmp_path / "q" / "\x1b[31mred.png").write_bytes(b"not an image")
    Image.fromarray(queries["alpha"][0][:8, :8]).save(tmp_path / "q" / "small.png")
    status, out, err = run("library", "identify", library, tmp_path / "q", "--csv", tmp_path / "found.csv")
    assert status == 0 and "\x1b" not in out + err and "\\x1b[31mred.png: not an image" in err
    assert "skipped " + str(tmp_path / "q" / "small.png: shape (8, 8) is too small") in err
    written = (tmp_path / "found.csv").read_text(encoding="utf-8")
    _, csv_out, table_err = run("library", "identify", library, tmp_path / "q", "--csv", "-")
    assert csv_out == written and table_err.endswith(out)
    rows = list(csv.DictReader(io.StringIO(written)))
    assert [(os.path.basename(row["image"]), row["verdict"]) for row in rows] == \
        [("alpha.png", "alpha"), ("gamma.png", "gamma"), ("outsider.png", "none")]
    assert out.splitlines()[2].split()[-2:] == ["alpha", "1"]
    assert "verdict at a false-alarm probability 1e-06" in out.splitlines()[0]
    assert list(rows[0]) == ["image", "camera", "pce", "ncc", "peak_row", "peak_column", "verdict", "p_value",
                             "scale", "orientation", "positions", "scales", "orientations", "flags", "score", "tested",
                             "cameras", "untested", "image_sha256", "fingerprint_sha256"]
    expected = prnu.match(prnu.load_fingerprint(folder / "gamma.npz")[0], tmp_path / "q" / "gamma.png", sigma=2.5)
    assert [float(rows[1][key]) for key in ("pce", "ncc", "p_value", "scale", "positions", "scales")] == \
        [expected.pce, expected.ncc, expected.p_value, expected.scale, expected.positions, expected.scales]
    assert rows[1]["orientation"] == expected.orientation and expected.p_value < 1e-6
    # A fixed threshold wins over the false-alarm probability.
    status, csv_out, table_err = run("library", "identify", library, tmp_path / "q" / "gamma.png", "--threshold", "1e9",
                                     "--csv", "-")
    [row] = csv.DictReader(io.StringIO(csv_out))
    assert status == 0 and "verdict at a PCE above 1e+09" in table_err and row["verdict"] == "none"
    assert (row["tested"], row["pce"]) == ("0", "")  # the index knows that no camera can pass: none is tested
    assert {row["cameras"] for row in rows} == {"2"} and rows[0]["untested"] == ""
    with prnu.Library(library) as opened:
        digests = {camera.name: camera.sha256 for camera in opened.cameras()}
    # The fingerprint's SHA-256 where the camera was tested; the outsider's best camera was not.
    assert [(row["image_sha256"], row["fingerprint_sha256"]) for row in rows] == \
        [(file_sha256(row["image"]), digests[row["camera"]] if row["tested"] == "1" else "") for row in rows]
    assert rows[2]["tested"] == "0"
    assert run("library", "remove", library, "alpha")[0] == 0
    status, out, _ = run("library", "identify", library, tmp_path / "q" / "alpha.png", "--exhaustive")
    camera, _, verdict, tested = out.splitlines()[2].split()[1:]
    assert status == 0 and (camera, verdict, tested) == ("gamma", "none", "1")


@pytest.mark.parametrize("argv, message", [
    (["add", "{lib}", "alpha"], "give either photographs or --fingerprint"),
    (["add", "{lib}", "alpha", "{folder}/alpha", "--fingerprint", "{folder}/gamma.npz"], "give either"),
    (["add", "{lib}", "alpha", "{folder}/alpha"], "already holds a camera named 'alpha'; remove it first"),
    (["add", "{lib}", "bad\tname", "--fingerprint", "{folder}/gamma.npz"], "must be 1 to 200 printable"),
    (["add", "{lib}", "other", "--fingerprint", "{folder}/alpha/0.png"], "0.png: not a morvekin fingerprint"),
    (["add", "{tmp}/none/lib", "x", "--fingerprint", "{folder}/gamma.npz"], "none: no such folder"),
    (["add", "{folder}/alpha", "x", "--fingerprint", "{folder}/gamma.npz"], "holds other files .* and no catalogue"),
    (["add", "{tmp}/new", "x", "{folder}/gamma.npz", "--strict"], "gamma.npz: not an image file"),
    (["add", "{lib}", "x", "{lib}/catalogue.sqlite"], r"LIB .*catalogue.sqlite: is the input"),
    (["identify", "{lib}", "{folder}/alpha", "--csv", "{folder}/alpha/1.png"], "--csv .*1.png: is the input"),
    (["identify", "{lib}", "{folder}/alpha", "--csv", "{lib}/catalogue.sqlite"], "catalogue.sqlite: is the input"),
    (["identify", "{lib}", "{folder}/alpha", "--csv", "{stored}"], r"\.npz: is the input"),
    (["remove", "{lib}", "delta"], "holds no camera named 'delta'"),
    (["list", "{tmp}"], "no morvekin library here"),
])
def test_library_mistakes_are_refused_and_change_nothing(made, copy, tmp_path, argv, message):
    folder = made[0]
    before = {path: path.read_bytes() for path in copy.rglob("*") if path.is_file()}
    stored = next((copy / "fingerprints").iterdir())
    status, _, err = run("library", *(a.format(lib=copy, folder=folder, tmp=tmp_path, stored=stored) for a in argv))
    assert status == 1 and len(err.splitlines()) == 1 and re.search(message, err), err
    assert {path: path.read_bytes() for path in copy.rglob("*") if path.is_file()} == before
    assert sorted(os.listdir(folder / "alpha")) == [f"{k}.png" for k in range(5)]
    assert os.listdir(tmp_path) == ["lib"]  # a library made for an add that failed is gone


@pytest.mark.slow
def test_identify_on_a_dask_cluster_gives_the_same_csv(made, copy, tmp_path):
    from distributed import LocalCluster

    _, _, queries = made
    (tmp_path / "q").mkdir()
    for name in NAMES:
        Image.fromarray(queries[name][1]).save(tmp_path / "q" / f"{name}.png")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster:
        assert run("library", "identify", copy, tmp_path / "q", "--csv", tmp_path / "cluster.csv",
                   "--scheduler", cluster.scheduler_address)[0] == 0
    assert run("library", "identify", copy, tmp_path / "q", "--csv", tmp_path / "here.csv")[0] == 0
    assert (tmp_path / "cluster.csv").read_bytes() == (tmp_path / "here.csv").read_bytes()
