"""A case: the suspect's fingerprint, reference comparisons made with the questioned one's search, and the LR."""

import math
import os

import numpy as np
import pytest
import pywt

import morvekin_prnu as prnu
from cameras import assert_same_bits, sensor_pattern, shot
from morvekin_prnu import evidence
from morvekin_prnu.evidence import Case, peak_surface
from morvekin_prnu.provenance import array_sha256, file_entry

SHAPE = (128, 128)
TRAINING = (pywt.data.camera, pywt.data.ascent)
QUESTIONED = (pywt.data.aero,)
MODEL = {"make": "Acme", "model": "Shooter 3"}

pytestmark = [pytest.mark.filterwarnings(r"ignore:only \d+ images? used:UserWarning"),
              pytest.mark.filterwarnings(r"ignore:.* dominates the estimate:UserWarning")]


def saved(path, shots, camera=None):
    """A fingerprint file of shots whose metadata records each shot's SHA-256 (and camera), as the command's do."""
    inputs = [file_entry(f"shot{k}", array_sha256(pixels), camera) for k, pixels in enumerate(shots)]
    prnu.save_fingerprint(path, prnu.fingerprint(shots), {"sigma": 3.0, "inputs": inputs})
    return path


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    """The suspect camera (its training shots, 11 held-out shots, 3 questioned ones), 11 other cameras of the
    same model with fingerprint files and one held-out shot each, and a fingerprint of another shape."""
    folder = tmp_path_factory.mktemp("evidence")
    rng = np.random.default_rng(41)
    pattern = sensor_pattern(rng, SHAPE)
    training = [shot(rng, pattern, TRAINING) for _ in range(6)]
    world = {"folder": folder, "pattern": pattern, "training": training,
             "suspect": saved(folder / "suspect.npz", training, MODEL),
             "same": [shot(rng, pattern, QUESTIONED) for _ in range(11)],
             "questioned": shot(rng, pattern, QUESTIONED), "population": [], "others": [], "patterns": []}
    for k in range(11):
        other = sensor_pattern(rng, SHAPE)
        world["patterns"].append(other)
        world["population"].append(saved(folder / f"other{k}.npz", [shot(rng, other, TRAINING) for _ in range(5)],
                                         MODEL))
        world["others"].append(shot(rng, other, QUESTIONED))
    world["unrelated"] = shot(rng, sensor_pattern(rng, SHAPE), QUESTIONED)
    wide = sensor_pattern(rng, (128, 192))
    world["wide"] = saved(folder / "wide.npz", [shot(rng, wide, TRAINING) for _ in range(5)])
    return world


@pytest.fixture(scope="module")
def case(world):
    return Case(world["suspect"], same_source=world["same"], population=world["population"][:10])


def test_the_suspect_cameras_shot_supports_hp_and_an_unrelated_one_hd(world, case):
    own, unrelated = case.evidence(world["questioned"]), case.evidence(world["unrelated"])
    assert own.match.same_camera and own.ratio.log10_bounded_lr > 0.0 and own.ratio.verbal.endswith("for Hp")
    assert not unrelated.match.same_camera and unrelated.ratio.log10_bounded_lr < 0.0
    assert unrelated.ratio.verbal.endswith("for Hd")
    for found in (own, unrelated):
        lower, upper = found.ratio.log10_bounds
        assert lower <= found.ratio.log10_bounded_lr <= upper
        assert (found.ratio.same_source, found.ratio.different_source) == (11, 10)
        assert found.conditions == ()


def test_the_references_are_recorded_with_their_sha256_and_scores(world, case):
    found = case.evidence(world["questioned"])
    assert [reference.sha256 for reference in found.same_source] == [array_sha256(pixels) for pixels in world["same"]]
    assert [reference.name for reference in found.same_source] == [f"same_source[{k}]" for k in range(11)]
    population = [prnu.read_fingerprint(path).sha256 for path in world["population"][:10]]
    assert [reference.sha256 for reference in found.different_source] == population
    assert [reference.name for reference in found.different_source] == [f"other{k}" for k in range(10)]
    assert found.image.sha256 == array_sha256(world["questioned"])
    for reference in (*found.same_source, *found.different_source):
        assert reference.score == -math.log10(max(reference.match.p_value, 1e-300))


def test_a_case_gives_the_bits_of_the_one_shot_function(world, case):
    once = evidence.evidence(world["questioned"], world["suspect"], same_source=world["same"],
                             population=world["population"][:10])
    again = case.evidence(world["questioned"])
    assert_same_bits(np.array([once.ratio.log10_lr, *once.ratio.log10_bounds, once.ratio.score]),
                     np.array([again.ratio.log10_lr, *again.ratio.log10_bounds, again.ratio.score]))
    assert_same_bits(once.surface, again.surface)


def test_images_of_other_cameras_serve_as_different_source_references(world):
    case = Case(world["suspect"], same_source=world["same"], different_source=world["others"][:10])
    found = case.evidence(world["questioned"])
    assert found.ratio.different_source == 10 and found.ratio.log10_bounded_lr > 0.0
    assert {reference.kind for reference in found.different_source} == {"image"}


@pytest.mark.parametrize("same, population, others, named", [
    (9, 10, 0, "same_source: 9 images"),
    (11, 5, 4, "population and different_source: 9 fingerprints and images"),
    (11, 0, 0, "population and different_source: 0 fingerprints and images"),
])
def test_too_few_references_are_refused_before_any_is_scored(world, monkeypatch, same, population, others, named):
    monkeypatch.setattr(evidence, "match_residual", None)  # nothing may be matched
    with pytest.raises(ValueError, match=f"{named}, fewer than the 10"):
        Case(world["suspect"], same_source=world["same"][:same], population=world["population"][:population],
             different_source=world["others"][:others])


def test_an_image_the_fingerprint_was_made_from_is_no_reference(world):
    same = [world["training"][0], *world["same"][:10]]
    with pytest.raises(ValueError, match=r"same_source\[0\]: the suspect fingerprint was made from this image"):
        Case(world["suspect"], same_source=same, population=world["population"][:10])
    skipped = []
    with pytest.raises(ValueError, match="same_source: 9 usable images, fewer than the 10") as refused:
        Case(world["suspect"], same_source=same[:10], population=world["population"][:10],
             onerror=lambda label, error: skipped.append((label, str(error))))
    assert refused.value is not None and [label for label, _ in skipped] == ["same_source[0]"]
    assert "hold it out of the fingerprint" in skipped[0][1]
    with pytest.raises(ValueError, match="it cannot be another camera's"):
        Case(world["suspect"], same_source=world["same"], different_source=[world["training"][1], *world["others"]])


def test_the_population_leaves_out_the_suspect_repeats_and_other_shapes(world):
    skipped = []
    population = [world["suspect"], *world["population"][:10], world["population"][0], world["wide"]]
    case = Case(world["suspect"], same_source=world["same"], population=population,
                onerror=lambda label, error: skipped.append((label, str(error))))
    assert [member.name for member in case.population] == [f"other{k}" for k in range(10)]
    reason = ("wide: its shape 128x192 is not the suspect fingerprint's 128x128: the questioned image would be "
              "searched otherwise against it")
    assert skipped == [("wide", reason)]


def test_a_population_fingerprint_made_from_the_suspects_images_is_refused(world, tmp_path):
    shared = saved(tmp_path / "shared.npz", [world["training"][0], *world["training"][2:4]])
    with pytest.raises(ValueError, match="shared: it was made from images the suspect fingerprint was made from"):
        Case(world["suspect"], same_source=world["same"], population=[*world["population"][:10], shared])


def test_a_population_file_changed_since_the_case_opened_is_refused(world, tmp_path):
    population = [tmp_path / os.path.basename(path) for path in world["population"][:10]]
    for source, copy in zip(world["population"], population):
        copy.write_bytes(source.read_bytes())
    case = Case(world["suspect"], same_source=world["same"], population=population)
    population[3].write_bytes(world["population"][10].read_bytes())
    with pytest.raises(ValueError, match="population fingerprint other3 changed since the case was opened"):
        case.evidence(world["questioned"])


def test_a_reference_of_the_questioned_images_own_bytes_is_left_out(world):
    case = Case(world["suspect"], same_source=[*world["same"], world["questioned"]],
                population=world["population"][:10])
    found = case.evidence(world["questioned"])
    assert found.ratio.same_source == 11
    assert [condition.kind for condition in found.conditions] == ["questioned image among the references"]
    case = Case(world["suspect"], same_source=[*world["same"][:9], world["questioned"]],
                population=world["population"][:10])
    with pytest.raises(ValueError, match="same_source: 9 images other than the questioned one, fewer than the 10"):
        case.evidence(world["questioned"])


def test_the_questioned_image_among_the_fingerprints_sources_is_a_condition(world, case):
    found = case.evidence(world["training"][2])
    assert [condition.kind for condition in found.conditions] == ["source image"]


def test_a_population_camera_scoring_high_is_a_condition_naming_its_model(world):
    case = Case(world["suspect"], same_source=world["same"], population=world["population"])
    found = case.evidence(world["others"][4])  # taken by the camera of population fingerprint other4
    [condition] = found.conditions
    assert condition.kind == "high different-source score"
    assert condition.detail.startswith("population camera other4 (Acme Shooter 3) scored PCE")
    assert "it is of the suspect camera's make and model" in condition.detail


def test_the_matchs_own_flags_are_conditions(world, case, monkeypatch):
    found = case.evidence(world["training"][2])  # one of the photographs the fingerprint was made from
    assert found.match.flags[:1] == ("source image",) and found.conditions[0].kind == "source image"
    assert "overstates" in found.conditions[0].detail
    tested = evidence.tested_question
    monkeypatch.setattr(evidence, "tested_question", lambda *arguments: tested(*arguments)._replace(
        flags=("shared scene",)))
    [condition] = case.evidence(world["questioned"]).conditions
    assert condition.kind == "shared scene" and "scene content" in condition.detail


def test_the_surface_has_the_peak_at_its_centre_wherever_the_image_was_cut(world):
    fingerprint = prnu.load_fingerprint(world["suspect"])[0]
    for image in (world["questioned"], world["questioned"][20:100, 30:110]):
        weighted = prnu.weighted_residual(image)
        found = prnu.match_residual(fingerprint, weighted)
        surface = peak_surface(fingerprint, weighted, found)
        assert surface.shape == (33, 33) and np.unravel_index(np.argmax(surface), surface.shape) == (16, 16)
        assert surface[16, 16] > 5 * np.delete(surface.ravel(), 16 * 33 + 16).std()
    assert found.peak == (20, 30)


def test_a_library_camera_serves_as_the_suspect_and_in_the_population(world, tmp_path):
    with prnu.Library(tmp_path / "lib", create=True) as library:
        library.add("suspect", world["training"])
        for k in range(10):
            library.add_fingerprint(f"other{k}", world["population"][k])
        cameras = library.cameras()
    suspect = next(camera for camera in cameras if camera.name == "suspect")
    case = Case(suspect, same_source=world["same"], population=cameras)
    assert len(case.population) == 10 and case.suspect.name == "suspect"
    with pytest.raises(ValueError, match="the suspect fingerprint was made from this image"):
        Case(suspect, same_source=[world["training"][0], *world["same"]], population=cameras)
