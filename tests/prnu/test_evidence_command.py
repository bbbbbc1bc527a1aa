"""The evidence and validate subcommands end to end: rows, JSON, CSV, the examiner's report, refusals."""

import csv
import html.parser
import importlib.util
import io
import json
import math

import numpy as np
import pytest
import pywt
from PIL import Image

import morvekin_prnu as prnu
from cameras import sensor_pattern, shot
from morvekin_prnu.provenance import file_sha256
from test_command import run

SHAPE = (128, 128)
TRAINING = (pywt.data.camera, pywt.data.ascent)
QUESTIONED = (pywt.data.aero,)
HOSTILE = 'q"><script>alert(1)<img src=x onerror=alert(2)>.png'

pytestmark = [pytest.mark.filterwarnings(r"ignore:only \d+ images? used:UserWarning"),
              pytest.mark.filterwarnings(r"ignore:.* dominates the estimate:UserWarning")]


def photographs(folder, rng, pattern, count, scenes=QUESTIONED):
    folder.mkdir()
    for k in range(count):
        Image.fromarray(shot(rng, pattern, scenes)).save(folder / f"{k:02}.png")
    return folder


@pytest.fixture(scope="module")
def scene(tmp_path_factory):
    """The suspect camera's fingerprint (made by the command from 6 shots), 10 held-out shots of it, a library
    of 10 other cameras with the suspect's fingerprint among them, 10 shots of other cameras, and questioned/:
    a shot of the suspect camera, one of an unknown camera and one of the suspect's under a hostile name."""
    folder = tmp_path_factory.mktemp("case")
    rng = np.random.default_rng(23)
    pattern = sensor_pattern(rng, SHAPE)
    photographs(folder / "training", rng, pattern, 6, TRAINING)
    assert run("fingerprint", folder / "training", "-o", folder / "suspect.npz")[0] == 0
    photographs(folder / "same", rng, pattern, 10)
    (folder / "others").mkdir()
    with prnu.Library(folder / "lib", create=True) as library:
        library.add_fingerprint("suspect", folder / "suspect.npz")
        for k in range(10):
            other = sensor_pattern(rng, SHAPE)
            library.add(f"camera{k}", [shot(rng, other, TRAINING) for _ in range(5)])
            Image.fromarray(shot(rng, other, QUESTIONED)).save(folder / "others" / f"{k}.png")
    photographs(folder / "questioned", rng, pattern, 1)
    Image.fromarray(shot(rng, sensor_pattern(rng, SHAPE), QUESTIONED)).save(folder / "questioned" / "unknown.png")
    Image.fromarray(shot(rng, pattern, QUESTIONED)).save(folder / "questioned" / HOSTILE)
    return folder


@pytest.fixture(scope="module")
def outcome(scene):
    status, out, err = run("evidence", scene / "questioned", "--fingerprint", scene / "suspect.npz", "--same-source",
                           scene / "same", "--population", scene / "lib", "--different-source", scene / "others",
                           "--json", "--report", scene / "case.html", "--csv", scene / "rows.csv")
    assert status == 0, err
    return json.loads(out), err


def test_json_gives_each_images_lr_and_every_reference_with_its_sha256(scene, outcome):
    record, _ = outcome
    assert record["fingerprint"]["sha256"] == file_sha256(scene / "suspect.npz")
    assert any("only 6 images" in warning for warning in record["fingerprint"]["warnings"])
    assert record["parameters"] == {"p_fa": 1e-6, "threshold": None, "orientations": 4, "min_scale": 0.5}
    images = {entry["image"]: entry for entry in record["images"]}
    assert sorted(images) == sorted(str(path) for path in (scene / "questioned").iterdir())
    with prnu.Library(scene / "lib") as library:
        population = {camera.name: camera.sha256 for camera in library.cameras() if camera.name != "suspect"}
    for name, entry in images.items():
        assert entry["image_sha256"] == file_sha256(name)
        same = entry["same_source"]
        assert same["count"] == 10 and [reference["sha256"] for reference in same["references"]] == \
            [file_sha256(path) for path in sorted((scene / "same").iterdir())]
        different = entry["different_source"]["references"]
        assert entry["different_source"]["count"] == 20 == len(different)
        assert {r["name"]: r["sha256"] for r in different if r["kind"] == "fingerprint"} == population
        assert [r["sha256"] for r in different if r["kind"] == "image"] == \
            [file_sha256(scene / "others" / f"{k}.png") for k in range(10)]
        lower, upper = entry["log10_lr_bounds"]
        assert lower <= entry["log10_bounded_lr"] <= upper
        assert entry["bounded_lr"] == pytest.approx(10 ** entry["log10_bounded_lr"])
        assert entry["lr"] == pytest.approx(10 ** entry["log10_lr"]) and entry["lr_bounds"][1] == pytest.approx(
            10 ** upper)
        assert entry["score"] == -math.log10(max(entry["p_value"], 1e-300)) == -math.log10(
            max(entry["match"]["p_value"], 1e-300))
    assert images[str(scene / "questioned" / "00.png")]["verbal"].endswith("support for Hp")
    assert images[str(scene / "questioned" / "unknown.png")]["verbal"].endswith("support for Hd")


def test_the_table_gives_one_row_per_image_and_the_csv_the_numbers_to_the_last_bit(scene, outcome):
    record, err = outcome
    rows = err.splitlines()[1:5]
    assert rows[0].split()[:3] == ["image", "pce", "score"] and rows[0].split()[-1] == "verbal"
    assert [row.split()[0] for row in rows[1:]] == [str(scene / "questioned" / name) for name in
                                                    ("00.png", 'q"><script>alert(1)<img', "unknown.png")]
    with open(scene / "rows.csv", newline="", encoding="utf-8") as file:
        cells = list(csv.DictReader(file))
    for row, entry in zip(cells, record["images"]):
        assert row["image"] == entry["image"] and row["image_sha256"] == entry["image_sha256"]
        for key in ("pce", "score", "log10_lr", "log10_bounded_lr"):
            assert float(row[key]) == entry[key]
        assert row["verbal"] == entry["verbal"] and row["fingerprint_sha256"] == record["fingerprint"]["sha256"]


class Page(html.parser.HTMLParser):
    """Every tag, attribute and piece of text of a page."""

    def __init__(self, text):
        super().__init__()
        self.tags, self.attributes, self.texts = [], [], []
        self.feed(text)

    def handle_starttag(self, tag, attributes):
        self.tags.append(tag)
        self.attributes += attributes

    def handle_data(self, data):
        self.texts.append(data)


def test_the_report_holds_every_hash_and_number_and_nothing_from_outside(scene, outcome):
    record, _ = outcome
    page = Page((scene / "case.html").read_text(encoding="utf-8"))
    text = " ".join(page.texts)
    assert "script" not in page.tags and not any(name.startswith("on") for name, _ in page.attributes)
    sources = [value for name, value in page.attributes if name in ("src", "href")]
    assert sources and all(value.startswith("data:image/png;base64,") for value in sources)
    assert HOSTILE in text  # shown as it is, as text
    hashes = [record["fingerprint"]["sha256"]]
    for entry in record["images"]:
        hashes += [entry["image_sha256"]] + [r["sha256"] for r in entry["same_source"]["references"]] + \
            [r["sha256"] for r in entry["different_source"]["references"]]
        p_value = f"{entry['p_value']:.3g}" if entry["p_value"] >= 1e-300 else "below 1e-300"
        numbers = [f"{entry['pce']:.1f}", p_value, f"{entry['score']:.3f}",
                   f"{entry['lr']:.3g}", f"{entry['bounded_lr']:.3g}", *(f"{b:.3g}" for b in entry["lr_bounds"]),
                   f"{entry['log10_lr']:+.2f}", f"{entry['log10_bounded_lr']:+.2f}", entry["verbal"]]
        numbers += [f"{r['pce']:.1f}" for r in entry["different_source"]["references"]]
        assert all(number in text for number in numbers), [number for number in numbers if number not in text]
    for entry in prnu.load_fingerprint(scene / "suspect.npz")[1]["inputs"]:
        hashes.append(entry["sha256"])
    assert all(digest in text for digest in hashes)
    for words in ("Hp", "Hd", "Propositions", "Method and parameters", "Limits", "Conditions", "only 6 images",
                  "ELUB", "Brümmer", "Vergeer", "van Houten", "sigma 3"):
        assert words in text


def test_the_report_lists_the_conditions_found(scene, tmp_path):
    training = sorted((scene / "training").iterdir())
    status, out, err = run("evidence", training[0], "--fingerprint", scene / "suspect.npz", "--same-source",
                           scene / "same", "--population", scene / "lib", "--report", tmp_path / "case.html")
    assert status == 0, err
    assert f"{training[0]}: source image: the questioned image is one of the images" in out
    text = " ".join(Page((tmp_path / "case.html").read_text(encoding="utf-8")).texts)
    assert "source image" in text and "scene content" not in text


@pytest.fixture
def broken_same(scene, tmp_path):
    folder = tmp_path / "same"
    folder.mkdir()
    for path in (scene / "same").iterdir():
        (folder / path.name).write_bytes(path.read_bytes())
    (folder / "notes.txt").write_text("not a picture")
    return folder


def test_an_unreadable_reference_is_skipped_or_stops_the_job_with_strict(scene, broken_same):
    arguments = ["evidence", scene / "questioned" / "00.png", "--fingerprint", scene / "suspect.npz",
                 "--same-source", broken_same, "--population", scene / "lib"]
    status, out, err = run(*arguments, "--json")
    assert status == 0 and f"skipped {broken_same / 'notes.txt'}: " in err
    record = json.loads(out)
    assert record["skipped"][0]["file"] == str(broken_same / "notes.txt")
    assert record["images"][0]["same_source"]["count"] == 10
    status, _, err = run(*arguments, "--strict")
    assert status == 1 and "notes.txt" in err


@pytest.mark.parametrize("change, message", [
    (lambda scene, args: args.__setitem__(args.index("--same-source") + 1, scene / "same" / "00.png"),
     "--same-source: 1 references, fewer than the 10"),
    (lambda scene, args: args.__setitem__(args.index("--report") + 1, scene / "same" / "00.png"),
     "is the input"),
    (lambda scene, args: args.extend(["--json", "--csv", "-"]), "--json and --csv - would both write"),
    (lambda scene, args: args.__setitem__(args.index("--population") + 1, scene / "missing"),
     "no such file or folder"),
])
def test_a_job_that_cannot_be_done_is_refused_before_any_work_and_writes_nothing(scene, tmp_path, monkeypatch,
                                                                                  change, message):
    monkeypatch.setattr(prnu, "weighted_residual", None)  # nothing may be matched
    arguments = ["evidence", scene / "questioned", "--fingerprint", scene / "suspect.npz", "--same-source",
                 scene / "same", "--population", scene / "lib", "--report", tmp_path / "case.html"]
    change(scene, arguments)
    status, _, err = run(*arguments)
    assert status == 1 and message in err and len(err.strip().splitlines()) == 1
    assert not (tmp_path / "case.html").exists()


def test_without_lir_the_command_says_what_to_install(scene, monkeypatch, tmp_path):
    find = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *rest: None if name == "lir" else find(name, *rest))
    status, _, err = run("evidence", scene / "questioned", "--fingerprint", scene / "suspect.npz", "--same-source",
                         scene / "same", "--population", scene / "lib")
    assert status == 1 and 'pip install "morvekin[evidence]"' in err


@pytest.fixture(scope="module")
def labelled(tmp_path_factory):
    """Two cameras of 11 images each, their fingerprints and a third camera's, for validate."""
    folder = tmp_path_factory.mktemp("labelled")
    rng = np.random.default_rng(29)
    for name in ("alpha", "beta", "gamma"):
        pattern = sensor_pattern(rng, SHAPE)
        prnu.save_fingerprint(folder / f"{name}.npz", prnu.fingerprint([shot(rng, pattern, TRAINING)
                                                                         for _ in range(5)]), {"sigma": 3.0})
        if name != "gamma":
            photographs(folder / name, rng, pattern, 11)
    return folder


def test_validate_prints_the_measures_and_writes_the_plots(labelled, tmp_path):
    status, out, err = run("validate", labelled / "alpha", labelled / "beta", "--fingerprints", labelled / "alpha.npz",
                           labelled / "beta.npz", labelled / "gamma.npz", "--json", "--tippett", tmp_path / "t.png",
                           "--ece", tmp_path / "e.png", "--csv", tmp_path / "pairs.csv")
    assert status == 0, err
    record = json.loads(out)
    measured = record["performance"]
    assert (measured["same_source"], measured["different_source"]) == (22, 22)
    assert 0.0 <= measured["cllr_min"] <= measured["cllr"] < 1.0 and measured["misleading_same"] == 0.0
    assert len(record["comparisons"]) == 44 and {c["fingerprint"] for c in record["comparisons"]} == {"alpha", "beta"}
    assert "Cllr (bits)" in err and f"{measured['cllr']:.3f}" in err
    for picture in ("t.png", "e.png"):
        with Image.open(tmp_path / picture) as image:
            assert image.format == "PNG"
    with open(tmp_path / "pairs.csv", newline="", encoding="utf-8") as file:
        rows = list(csv.DictReader(file))
    assert [float(row["log10_bounded_lr"]) for row in rows] == [c["log10_bounded_lr"] for c in record["comparisons"]]


def test_validate_refuses_a_camera_with_too_few_images_naming_it(labelled, tmp_path):
    folder = tmp_path / "alpha"
    folder.mkdir()
    for path in sorted((labelled / "alpha").iterdir())[:6]:
        (folder / path.name).write_bytes(path.read_bytes())
    status, _, err = run("validate", folder, labelled / "beta", "--fingerprints", labelled / "alpha.npz",
                         labelled / "beta.npz", "--tippett", tmp_path / "t.png")
    assert status == 1 and "camera alpha: 5 same-source references" in err
    assert not (tmp_path / "t.png").exists()


def test_validate_csv_carries_each_comparison(labelled):
    status, out, _ = run("validate", labelled / "alpha", labelled / "beta", "--fingerprints", labelled / "alpha.npz",
                         labelled / "beta.npz", labelled / "gamma.npz", "--csv", "-")
    rows = list(csv.DictReader(io.StringIO(out)))
    assert status == 0 and len(rows) == 44
    assert {(row["camera"], row["fingerprint"], row["same_source"]) for row in rows} == {
        ("alpha", "alpha", "True"), ("alpha", "beta", "False"), ("beta", "alpha", "False"), ("beta", "beta", "True")}
