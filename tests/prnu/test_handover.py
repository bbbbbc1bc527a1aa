"""A library folder handed over by someone else, damaged or crafted: it never destroys or falsifies anything."""

import contextlib
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import threading

import numpy as np
import pytest
import pywt
from PIL import Image

import morvekin_prnu as prnu
from cameras import sensor_pattern, shot
from morvekin_prnu import catalogue as catalogue_module
from morvekin_prnu import library as library_module
from morvekin_prnu.provenance import file_sha256
from test_command import run

SHAPE = (128, 128)
TRAINING = (pywt.data.camera, pywt.data.ascent)
QUESTIONED = (pywt.data.aero,)

pytestmark = [pytest.mark.filterwarnings(r"ignore:only \d+ images? used:UserWarning"),
              pytest.mark.filterwarnings(r"ignore:.* dominates the estimate:UserWarning")]


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """Fingerprint files of three cameras, a questioned shot of each, and a library of them."""
    folder = tmp_path_factory.mktemp("handover")
    rng = np.random.default_rng(25)
    queries = {}
    for name in ("alpha", "beta", "gamma"):
        pattern = sensor_pattern(rng, SHAPE)
        prnu.save_fingerprint(folder / f"{name}.npz", prnu.fingerprint([shot(rng, pattern, TRAINING)
                                                                        for _ in range(4)]), {"sigma": 3.0})
        Image.fromarray(shot(rng, pattern, QUESTIONED)).save(folder / f"{name}.png")
        queries[name] = folder / f"{name}.png"
    with prnu.Library(folder / "lib", create=True) as library:
        for name in ("alpha", "beta", "gamma"):
            library.add_fingerprint(name, folder / f"{name}.npz")
    return folder, queries


@pytest.fixture
def two(made, tmp_path):
    """Two copies of the library: 'mine', which is changed, and 'theirs', which nothing may touch."""
    for name in ("mine", "theirs"):
        shutil.copytree(made[0] / "lib", tmp_path / name)
    return tmp_path / "mine", tmp_path / "theirs"


def snapshot(folder):
    """Every file under a folder (links not followed) with its bytes."""
    return {path: path.read_bytes() for path in sorted(folder.rglob("*")) if path.is_file() and not path.is_symlink()}


def refused(*argv, timeout=60):
    """Run the command in another process (so a hang is seen as one): its exit status and standard error."""
    done = subprocess.run([sys.executable, "-m", "morvekin_prnu", *map(str, argv)], capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    return done.returncode, done.stderr


@pytest.mark.parametrize("link, argv", [
    ("fingerprints", ("library", "add", "{mine}", "delta", "--fingerprint", "{folder}/alpha.npz")),
    ("catalogue.sqlite", ("library", "remove", "{mine}", "alpha")),
    ("catalogue.sqlite-journal", ("library", "list", "{mine}")),
])
def test_a_part_of_the_library_linked_elsewhere_is_refused_and_the_other_library_untouched(made, two, link, argv):
    mine, theirs = two
    target = theirs / link
    if link == "catalogue.sqlite-journal":
        target.write_bytes(b"")
    shutil.rmtree(mine / link) if (mine / link).is_dir() else (mine / link).unlink(missing_ok=True)
    (mine / link).symlink_to(target)
    before = snapshot(theirs)
    status, _, err = run(*(a.format(mine=mine, folder=made[0]) for a in argv))
    assert status == 1 and len(err.splitlines()) == 1 and f"{link}: a symbolic link" in err, err
    assert snapshot(theirs) == before


def test_a_catalogue_with_another_name_is_read_but_never_written(made, two):
    mine, theirs = two
    os.remove(mine / "catalogue.sqlite")
    os.link(theirs / "catalogue.sqlite", mine / "catalogue.sqlite")
    before = snapshot(theirs)
    assert run("library", "list", mine)[0] == 0
    status, _, err = run("library", "remove", mine, "alpha")
    assert status == 1 and "has 2 names (hard links)" in err and snapshot(theirs) == before


@pytest.mark.parametrize("damage", ["deleted", "emptied"])
def test_a_catalogue_missing_beside_fingerprint_files_is_damage_and_every_file_is_kept(made, two, damage):
    mine, _ = two
    (mine / "catalogue.sqlite").write_bytes(b"") if damage == "emptied" else os.remove(mine / "catalogue.sqlite")
    before = snapshot(mine)
    for argv in (("library", "add", mine, "delta", "--fingerprint", made[0] / "alpha.npz"), ("library", "list", mine)):
        status, _, err = run(*argv)
        assert status == 1 and "catalogue beside 3 fingerprint files" in err and snapshot(mine) == before, err
    with pytest.raises(prnu.DamagedCatalogue):
        prnu.Library(mine, create=True)


@pytest.mark.parametrize("content", [
    lambda catalogue: catalogue[:1000],  # truncated
    lambda catalogue: np.random.default_rng(1).bytes(len(catalogue)),
    lambda catalogue: catalogue[:100] + np.random.default_rng(2).bytes(len(catalogue) - 100),  # the header kept
    lambda catalogue: b"SQLite format 3\0" + np.random.default_rng(3).bytes(4000),
], ids=["truncated", "random", "header and random", "sqlite magic and random"])
def test_a_damaged_catalogue_is_one_line_and_exit_status_1(made, two, content):
    mine, _ = two
    (mine / "catalogue.sqlite").write_bytes(content((mine / "catalogue.sqlite").read_bytes()))
    for action in ("list", "verify", "identify"):
        status, err = refused("library", action, mine, *([made[1]["alpha"]] if action == "identify" else []))
        assert status == 1 and len(err.splitlines()) == 1 and "Traceback" not in err, err
        assert "catalogue.sqlite: damaged, or not" in err or "not the catalogue of a morvekin library" in err, err


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs")
@pytest.mark.parametrize("companion", ["-journal", "-wal"])
def test_a_fifo_beside_the_catalogue_is_refused_without_waiting_on_it(made, two, companion):
    mine, _ = two
    os.mkfifo(mine / f"catalogue.sqlite{companion}")
    for argv in (("list", mine), ("verify", mine), ("identify", mine, made[1]["alpha"])):
        status, err = refused("library", *argv, timeout=30)
        assert status == 1 and f"catalogue.sqlite{companion}: not a regular file" in err, err


@pytest.mark.skipif(sys.platform == "win32", reason="no SIGTERM")
def test_sigterm_ends_a_command_waiting_for_another_s_write(two):
    mine, _ = two
    with contextlib.closing(sqlite3.connect(mine / "catalogue.sqlite", isolation_level=None)) as holder:
        holder.execute("BEGIN EXCLUSIVE")
        waiting = subprocess.Popen([sys.executable, "-m", "morvekin_prnu", "library", "list", str(mine)],
                                   stderr=subprocess.PIPE, text=True,
                                   env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
        with pytest.raises(subprocess.TimeoutExpired):
            waiting.wait(timeout=3)  # it waits for the lock ...
        waiting.send_signal(signal.SIGTERM)
        assert waiting.wait(timeout=10) == 130  # ... and a signal ends the wait
        holder.execute("ROLLBACK")


def test_adding_a_file_of_the_fingerprint_folder_stores_the_bytes_it_checked(made, two, monkeypatch):
    mine, _ = two
    left_over = mine / "fingerprints" / ("0" * 32 + ".npz")  # what an interrupted add leaves
    shutil.copy(made[0] / "beta.npz", left_over)
    status, _, err = run("library", "add", mine, "delta", "--fingerprint", left_over)
    assert status == 0 and left_over.exists(), err
    # The file replaced once read: what is stored and recorded is what was checked.
    parsed = library_module.parsed_fingerprint

    def swapped(data, name):
        shutil.copy(made[0] / "gamma.npz", name)
        return parsed(data, name)

    shutil.copy(made[0] / "alpha.npz", mine.parent / "given.npz")
    monkeypatch.setattr(library_module, "parsed_fingerprint", swapped)
    with prnu.Library(mine) as library:
        camera = library.add_fingerprint("epsilon", mine.parent / "given.npz")
        assert camera.sha256 == file_sha256(camera.file) == file_sha256(made[0] / "alpha.npz")
        assert library.verify() == []


def test_a_camera_whose_index_entry_does_not_verify_is_tested_in_full(made, two):
    mine, _ = two
    with contextlib.closing(sqlite3.connect(mine / "catalogue.sqlite", isolation_level=None)) as catalogue:
        [(bits,)] = catalogue.execute("SELECT bits FROM signatures WHERE camera = 'beta'")
        inverted = bytes(255 - byte for byte in bits)
        catalogue.execute("UPDATE signatures SET bits = ? WHERE camera = 'beta'", (inverted,))
    with prnu.Library(mine) as library:
        found = library.identify(made[1]["beta"])
        [problem] = library.verify()
    beta = next(candidate for candidate in found.candidates if candidate.camera == "beta")
    assert found.verdict == "beta" and beta.score is None and beta.match.same_camera
    assert (problem.kind, problem.camera) == ("index", "beta")


def test_a_fingerprint_file_of_the_first_version_is_kept_as_it_is_and_searched(made, two, tmp_path):
    mine, _ = two
    estimate, metadata = prnu.load_fingerprint(made[0] / "beta.npz")
    first = {**{key: value for key, value in metadata.items() if key != "step"}, "version": 1}
    np.savez(tmp_path / "first.npz", fingerprint=estimate, metadata=np.frombuffer(json.dumps(first).encode(), np.uint8))
    with prnu.Library(mine) as library:
        library.remove("beta")
        camera = library.add_fingerprint("beta", tmp_path / "first.npz")
        found = library.identify(made[1]["beta"])
        assert library.verify() == []
    # Its float32 bytes are stored as they came, and its index is that of the estimate they hold.
    assert open(camera.file, "rb").read() == (tmp_path / "first.npz").read_bytes()
    beta = found.candidates[0]
    assert found.verdict == "beta" and found.tested == 1 and beta.score is not None
    assert beta.match == prnu.match(prnu.read_fingerprint(tmp_path / "first.npz"), made[1]["beta"])


def test_a_library_of_the_first_format_is_read_and_upgraded_by_its_next_write(made, two):
    mine, _ = two
    with contextlib.closing(sqlite3.connect(mine / "catalogue.sqlite", isolation_level=None)) as catalogue:
        # As the first format wrote it: no index digest, and row digests without one.
        sources = catalogue_module.camera_sources(catalogue)
        for row in catalogue_module.camera_rows(catalogue, 2):
            row["index_sha256"] = None
            catalogue.execute("UPDATE cameras SET digest = ? WHERE name = ?",
                              (catalogue_module.row_digest(row, sources.get(row["name"], ())), row["name"]))
        catalogue_module.record_digest(catalogue)
        rows = catalogue.execute("SELECT name, digest FROM cameras").fetchall()
        catalogue.execute("ALTER TABLE cameras DROP COLUMN index_sha256")
        catalogue.execute("UPDATE library SET value = '1' WHERE key = 'version'")
    with prnu.Library(mine) as library:
        found = library.identify(made[1]["gamma"])
        assert found.verdict == "gamma" and found.tested == 3  # no entry verifies: every camera tested in full
        library.add_fingerprint("delta", made[0] / "alpha.npz")
        assert library.verify() == []
        scores = {candidate.camera: candidate.score for candidate in library.identify(made[1]["gamma"]).candidates}
        assert scores["delta"] is not None and [scores[name] for name in ("alpha", "beta", "gamma")] == [None] * 3
    with contextlib.closing(sqlite3.connect(mine / "catalogue.sqlite", isolation_level=None)) as catalogue:
        assert catalogue.execute("SELECT name, digest FROM cameras WHERE name != 'delta'").fetchall() == rows
        assert catalogue.execute("SELECT value FROM library WHERE key = 'version'").fetchone() == ("2",)


@pytest.mark.parametrize("sigma", ["NULL", "'abc'", "-1"])
def test_a_damaged_row_names_its_camera_untested_and_blames_no_image(made, two, sigma):
    mine, _ = two
    with contextlib.closing(sqlite3.connect(mine / "catalogue.sqlite", isolation_level=None)) as catalogue:
        catalogue.execute("PRAGMA writable_schema = ON")  # a catalogue made elsewhere need not say NOT NULL
        catalogue.execute("UPDATE sqlite_master SET sql = replace(sql, 'sigma REAL NOT NULL', 'sigma REAL') "
                          "WHERE name = 'cameras'")
    with contextlib.closing(sqlite3.connect(mine / "catalogue.sqlite", isolation_level=None)) as catalogue:
        catalogue.execute(f"UPDATE cameras SET sigma = {sigma} WHERE name = 'beta'")
    with prnu.Library(mine) as library:
        found = library.identify(made[1]["alpha"])
    assert found.verdict == "alpha" and found.cameras == 3
    [(camera, reason)] = found.unreadable
    assert camera == "beta" and "its row holds sigma" in reason
    status, out, _ = run("library", "list", mine)
    assert status == 0 and out.splitlines()[0] == "3 cameras"
    status, _, err = run("library", "identify", mine, made[1]["gamma"])
    assert status == 0 and "camera beta not tested: its row holds sigma" in err and "skipped" not in err


def test_a_closed_library_or_one_of_another_thread_says_so(made):
    library = prnu.Library(made[0] / "lib")
    errors = []
    thread = threading.Thread(target=lambda: errors.append(pytest.raises(RuntimeError, library.cameras)))
    thread.start()
    thread.join()
    assert "opened in another thread" in str(errors[0].value)
    library.close()
    with pytest.raises(ValueError, match="the library is closed") as closed:
        library.cameras()
    assert not isinstance(closed.value, prnu.DamagedCatalogue)


def test_errors_callers_tell_apart_have_types_of_their_own(made, two):
    mine, _ = two
    with prnu.Library(mine) as library:
        with pytest.raises(prnu.UnknownCamera, match="holds no camera named 'delta'"):
            library.remove("delta")
        with pytest.raises(prnu.NameTaken, match="already holds a camera named 'alpha'"):
            library.add_fingerprint("alpha", made[0] / "beta.npz")
    with contextlib.closing(sqlite3.connect(mine / "catalogue.sqlite", isolation_level=None)) as catalogue:
        catalogue.execute("UPDATE library SET value = '9' WHERE key = 'version'")
    with pytest.raises(prnu.NewerFormat):
        prnu.Library(mine)
    for error in (prnu.UnknownCamera, prnu.NameTaken, prnu.NewerFormat, prnu.DamagedCatalogue):
        assert issubclass(error, ValueError)


def test_photographs_whose_names_are_not_utf8_are_added_and_recorded(made, tmp_path):
    rng = np.random.default_rng(7)
    pattern = sensor_pattern(rng, SHAPE)
    folder = os.fsencode(tmp_path)
    names = [os.path.join(folder, b"caf\xe9-%d.png" % k) for k in range(3)]
    for name in names:
        Image.fromarray(shot(rng, pattern, TRAINING)).save(name)
    with prnu.Library(tmp_path / "lib", create=True) as library:
        camera = library.add("latin", [os.fsdecode(name) for name in names], sigma=np.float32(2.5))
        assert [source.file for source in library.cameras()[0].sources] == [os.fsdecode(name) for name in names]
        assert camera.sigma == 2.5 and library.verify() == []
        # As 'morvekin fingerprint' records them: with the warnings on the estimate's quality.
        assert any("only 3 images used" in text for text in prnu.load_fingerprint(camera.file)[1]["warnings"])


def test_an_image_the_camera_was_made_from_is_flagged(made, tmp_path):
    folder, queries = made
    rng = np.random.default_rng(8)
    others = [shot(rng, sensor_pattern(rng, SHAPE), TRAINING) for _ in range(3)]
    with prnu.Library(tmp_path / "lib", create=True) as library:
        for name in ("alpha", "beta"):
            library.add_fingerprint(name, folder / f"{name}.npz")
        library.add("decoy", [queries["alpha"], *others])  # made from the questioned photograph itself
        found = library.identify(queries["alpha"], exhaustive=True)
    flags = {candidate.camera: candidate.match.flags for candidate in found.candidates}
    assert flags["decoy"][0] == "source image" and "source image" not in flags["alpha"]
    status, out, err = run("library", "identify", tmp_path / "lib", queries["alpha"], "--exhaustive", "--csv", "-")
    assert status == 0 and "caution: " in err and "with decoy: the image is one of the photographs" in err
    stored = prnu.read_fingerprint(prnu.Library(tmp_path / "lib").cameras()[-1].file)
    assert prnu.match(stored, queries["alpha"]).flags[:1] == ("source image",)
    assert prnu.match(stored, queries["beta"]).flags == ()


def test_the_threshold_and_sigma_are_checked_alike_everywhere(made, tmp_path):
    folder, queries = made
    with pytest.raises(ValueError, match="threshold must be a positive finite number"):
        prnu.match(prnu.load_fingerprint(folder / "alpha.npz")[0], queries["alpha"], threshold=0)
    status, _, err = run("match", queries["alpha"], "--fingerprints", folder / "alpha.npz", "--threshold", "0")
    assert status == 2 and "--threshold: must be a positive finite number or None, not 0.0" in err


def test_a_float_image_too_large_to_analyse_is_refused_alike_by_match_and_identify(made, tmp_path):
    folder, _ = made
    Image.fromarray(np.full(SHAPE, 3e38, np.float32) * np.linspace(0.5, 1, SHAPE[1], dtype=np.float32)).save(
        tmp_path / "huge.tif")
    message = r"huge.tif: its pixel values \(up to 3e\+38\) are too large to analyse"
    with pytest.raises(ValueError, match=message):
        prnu.match(prnu.load_fingerprint(folder / "alpha.npz")[0], tmp_path / "huge.tif")
    with pytest.raises(ValueError, match=message), prnu.Library(folder / "lib") as library:
        library.identify(tmp_path / "huge.tif")


def test_inspect_shows_the_file_s_own_facts_whatever_its_metadata_says(made, tmp_path):
    estimate = prnu.load_fingerprint(made[0] / "alpha.npz")[0]
    forged = {"sigma": 3.0, "sha256": "0" * 64, "file": "innocent.npz", "range": "forged",
              "\x1b]0;owned\x07": "title", "\x1b[2J": ["wipe"], "inputs": [{"\x1b[31mfile": "x"}]}
    prnu.save_fingerprint(tmp_path / "forged.npz", estimate, forged)
    status, out, _ = run("inspect", tmp_path / "forged.npz")
    lines = out.splitlines()
    assert status == 0 and "\x1b" not in out
    assert lines[:2] == [f"file: {tmp_path / 'forged.npz'}", f"sha256: {file_sha256(tmp_path / 'forged.npz')}"]
    assert lines[2].startswith("range: min ") and lines[3] == "metadata (as the file records it):"
    assert "  sha256: " + "0" * 64 in lines and "  file: innocent.npz" in lines
    assert "  \\x1b]0;owned\\x07: title" in lines and "  \\x1b[2J: 1" in lines and "    \\x1b[31mfile x" in lines


def test_a_library_made_for_an_add_that_failed_is_removed_only_while_it_holds_no_file(made, two):
    from morvekin_prnu.library_command import _remove_if_empty

    mine, _ = two
    before = snapshot(mine)
    _remove_if_empty(mine)  # another add's camera is there: nothing goes, the catalogue least of all
    assert snapshot(mine) == before
    for path in (mine / "fingerprints").iterdir():
        path.unlink()
    _remove_if_empty(mine)
    assert not mine.exists()
