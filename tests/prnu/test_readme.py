"""The README's worked examples run as they are and print what it says they print."""

import contextlib
import io
import re
import warnings
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"


def blocks(heading):
    """The fenced code blocks of the README section under ``heading``, as (language, text)."""
    text = README.read_text(encoding="utf-8")
    start = text.index(f"\n{heading}\n")
    level = heading.split()[0]
    following = re.search(rf"\n#{{1,{len(level)}}} ", text[start + len(heading) + 2:])
    section = text[start:start + len(heading) + 2 + following.start()] if following else text[start:]
    return re.findall(r"```(\w*)\n(.*?)```", section, flags=re.DOTALL)


@pytest.mark.slow
def test_the_evidence_example_prints_what_the_readme_says(tmp_path, monkeypatch):
    python = [code for language, code in blocks("### Evidence") if language == "python"]
    printed = [code for language, code in blocks("### Evidence") if language == ""]
    assert len(python) == 1 and len(printed) == 1
    monkeypatch.chdir(tmp_path)
    output = io.StringIO()
    with contextlib.redirect_stdout(output), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        exec(compile(python[0], "README.md", "exec"), {})
    assert output.getvalue() == printed[0]
