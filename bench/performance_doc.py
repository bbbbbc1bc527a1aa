"""Keeps docs/performance.md in step with the benchmarks that produce it.

Each benchmark owns one section of the document, between the lines
``<!-- begin NAME -->`` and ``<!-- end NAME -->``. Run with ``--doc``, a
benchmark prints as usual and, when it finishes, replaces its section with
what it printed (markdown: tables, and lines separated by blank lines);
the rest of the document is left as it was.
"""

import contextlib
import io
import os
import sys
from pathlib import Path

DOC = Path(__file__).resolve().parent.parent / "docs" / "performance.md"


class _Tee(io.TextIOBase):
    def __init__(self, *streams):
        self.streams = streams

    def write(self, text):
        for stream in self.streams:
            stream.write(text)
        return len(text)

    def flush(self):
        for stream in self.streams:
            stream.flush()


HELP = "also replace this benchmark's section of docs/performance.md with what it prints"


@contextlib.contextmanager
def recorded(name, path=DOC):
    """With ``--doc`` among the arguments, copy standard output into section ``name`` of the document
    once the block has finished without an exception."""
    if "--doc" not in sys.argv[1:]:
        yield
        return
    captured = io.StringIO()
    with contextlib.redirect_stdout(_Tee(sys.stdout, captured)):
        yield
    replace_section(path, name, captured.getvalue())


def replace_section(path, name, body):
    """Replace the text between the section's markers, writing the file atomically."""
    begin, end = f"<!-- begin {name} -->", f"<!-- end {name} -->"
    text = Path(path).read_text(encoding="utf-8")
    if text.count(begin) != 1 or text.count(end) != 1 or text.index(begin) > text.index(end):
        raise ValueError(f"{path} has no single section {name!r} between {begin} and {end}")
    head, rest = text.split(begin)
    tail = rest.split(end)[1]
    temporary = Path(path).with_suffix(".tmp")
    temporary.write_text(f"{head}{begin}\n{body.strip()}\n{end}{tail}", encoding="utf-8")
    os.replace(temporary, path)
