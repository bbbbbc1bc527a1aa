"""The README's Python examples that say they run as they are do run, as they are."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
# The sections whose examples run as they are; the examples of one section run in turn, in one namespace.
RUNNABLE = ("### In Python", "### Reading a verdict", "### Fingerprint library")


def examples():
    """(section, code) of each runnable section of the README, its Python blocks joined in order."""
    found, section = {}, None
    for block in re.split(r"^(#{2,3} .*)$", README.read_text(encoding="utf-8"), flags=re.MULTILINE):
        if block.startswith("#"):
            section = block.strip()
        elif section in RUNNABLE:
            found[section] = "\n".join(re.findall(r"^```python\n(.*?)^```$", block, flags=re.MULTILINE | re.DOTALL))
    return found


@pytest.mark.slow
@pytest.mark.filterwarnings("ignore::UserWarning")
def test_the_readme_s_examples_run(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {}
    sections = examples()
    assert set(sections) == set(RUNNABLE) and all(sections.values())
    for section in RUNNABLE:  # "Reading a verdict" continues "In Python"
        exec(compile(sections[section], f"README.md {section}", "exec"), namespace)
