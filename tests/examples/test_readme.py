"""The README's Python examples that say they run as they are do run, as they are."""

import contextlib
import io
import warnings
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
# Sections whose examples run as they are; the examples of one section run in turn in one namespace,
# and "Reading a verdict" continues "In Python".
RUNNABLE = (("### In Python", "### Reading a verdict"), ("### Fingerprint library",), ("### Videos",))


def blocks(heading):
    """The fenced code blocks of the README's section under ``heading`` (to the next heading of its level or
    above), as (language, text)."""
    level = len(heading.split()[0])
    found, inside, fence = [], False, None
    for line in README.read_text(encoding="utf-8").splitlines(keepends=True):
        if fence is None and line.startswith("#"):
            marks = len(line) - len(line.lstrip("#"))
            if inside and marks <= level:
                break
            inside = inside or line.strip() == heading
        elif inside and line.startswith("```"):
            if fence is None:
                fence = (line[3:].strip(), [])
            else:
                found.append((fence[0], "".join(fence[1])))
                fence = None
        elif fence is not None:
            fence[1].append(line)
    return found


def run(code, namespace, name):
    """Run README code in ``namespace``; what it printed."""
    output = io.StringIO()
    with contextlib.redirect_stdout(output), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        exec(compile(code, f"README.md {name}", "exec"), namespace)
    return output.getvalue()


@pytest.mark.slow
@pytest.mark.parametrize("sections", RUNNABLE, ids=lambda sections: sections[0].strip("# "))
def test_the_readme_s_examples_run(tmp_path, monkeypatch, sections):
    monkeypatch.chdir(tmp_path)
    namespace = {}
    for heading in sections:
        python = [code for language, code in blocks(heading) if language == "python"]
        assert python, heading
        for code in python:
            run(code, namespace, heading)


@pytest.mark.slow
def test_the_evidence_example_prints_what_the_readme_says(tmp_path, monkeypatch):
    python = [code for language, code in blocks("### Evidence") if language == "python"]
    printed = [code for language, code in blocks("### Evidence") if language == ""]
    assert len(python) == 1 and len(printed) == 1
    monkeypatch.chdir(tmp_path)
    assert run(python[0], {}, "### Evidence") == printed[0]
