"""Checking a library: every row against its digest and its file, every file against its row.

What :meth:`morvekin_prnu.Library.verify` reports. Nothing here changes the
library.
"""

import hashlib
import os
import stat
from typing import NamedTuple

from .catalogue import CATALOGUE, digest, row_digest, row_problem
from .fingerprint_folder import FINGERPRINTS, describe, is_file_name, path_of
from .identification import index_entry
from .provenance import file_sha256
from .storage import load_fingerprint


class Problem(NamedTuple):
    """Something :meth:`morvekin_prnu.Library.verify` found wrong.

    ``kind`` is one of "catalogue" (the list of cameras differs from its
    recorded digest), "row" (a camera's row was changed outside morvekin, is
    damaged, or disagrees with its file), "missing", "altered" (SHA-256
    differs), "unreadable" (not a regular file, or not a fingerprint file),
    "index" (an index entry differs from its file's quantized form or from
    the SHA-256 its row records) and "orphan" (a file no row names).
    ``camera`` and ``file`` are None where they do not apply.
    """

    kind: str
    camera: str | None
    file: str | None
    detail: str


def library_problems(library, rows, sources, recorded, indexed, present, bits_of):
    """Every Problem of a library as read: its list of cameras, each camera, its index and its folder.

    Parameters
    ----------
    library : str
        The library's folder.
    rows : list of dict
        :func:`morvekin_prnu.catalogue.camera_rows`.
    sources : dict
        :func:`morvekin_prnu.catalogue.camera_sources`.
    recorded : str
        The catalogue's recorded digest of its list of cameras.
    indexed : set of str
        The cameras the index has entries for.
    present : set of str
        The names in the fingerprint folder.
    bits_of : callable
        A camera's name -> its index entry (bytes, or None).

    Returns
    -------
    list of Problem
    """
    problems = []
    if digest([(row["name"], row["digest"]) for row in rows]) != recorded:
        problems.append(Problem("catalogue", None, os.path.join(library, CATALOGUE),
                                "the list of cameras differs from the digest recorded with it: a camera was "
                                "added, removed or renamed outside morvekin"))
    for row in rows:
        problems += [Problem(kind, row["name"], path, detail) for kind, path, detail in
                     camera_problems(library, row, sources.get(row["name"], ()), bits_of(row["name"]))]
    problems += [Problem("index", name, None, "an index entry for a camera the catalogue does not list")
                 for name in sorted(indexed - {row["name"] for row in rows})]
    return problems + orphans(library, present, {row["file"] for row in rows})


def camera_problems(library, row, sources, bits):
    """(kind, path, detail) of what is wrong with one camera's row, file and index entry.

    Parameters
    ----------
    library : str
        The library's folder.
    row : dict
        From :func:`morvekin_prnu.catalogue.camera_rows`.
    sources : sequence of tuple
        The camera's source rows.
    bits : bytes or None
        Its index entry as stored.
    """
    if row_digest(row, sources) != row["digest"]:
        yield "row", None, "its catalogue row was changed outside morvekin (its digest differs)"
    damage = row_problem(row)
    if damage is not None:
        yield "row", None, damage
        return
    if not is_file_name(row["file"]):
        yield "row", None, f"its row names the file {row['file']!r}, which no morvekin library writes"
        return
    path = path_of(library, row["file"])
    try:
        found = file_sha256(path) if stat.S_ISREG(os.lstat(path).st_mode) else None
    except FileNotFoundError:
        yield "missing", path, "the fingerprint file is missing"
        return
    except OSError as error:
        yield "unreadable", path, str(error)
        return
    if found is None:
        yield "unreadable", path, "not a regular file"
        return
    if found != row["sha256"]:
        yield "altered", path, f"its SHA-256 is {found}, not {row['sha256']} as recorded"
        return
    try:
        stored, metadata = load_fingerprint(path)
    except (OSError, ValueError) as error:
        yield "unreadable", path, str(error)
        return
    if stored.shape != (row["rows"], row["columns"]) or metadata["sigma"] != row["sigma"]:
        yield "row", path, (f"the file holds a {stored.shape} fingerprint of sigma {metadata['sigma']}, the "
                            f"row says {(row['rows'], row['columns'])} and {row['sigma']}")
    if bits != index_entry(stored):
        yield "index", path, "its index entry is missing or differs from the fingerprint's quantized form"
    elif row["index_sha256"] is not None and hashlib.sha256(bits).hexdigest() != row["index_sha256"]:
        yield "index", path, "its row records another SHA-256 for its index entry"


def orphans(library, present, referenced):
    """A Problem for each name in the fingerprint folder that no row names."""
    return [Problem("orphan", None, os.path.join(library, FINGERPRINTS, name), describe(name))
            for name in sorted(present - referenced)]


def still_holding(problems, listed, now):
    """The problems that still hold: not those of a camera removed or replaced since ``listed`` (name -> file
    and digest, when the check began) was read, as ``now`` shows, nor files since named or deleted."""
    referenced = {file for file, _ in now.values()}

    def holds(problem):
        if problem.camera in listed and now.get(problem.camera) != listed[problem.camera]:
            return False  # the camera was removed or replaced meanwhile
        if problem.kind == "orphan":
            return os.path.lexists(problem.file) and os.path.basename(problem.file) not in referenced
        return True

    return [problem for problem in problems if holds(problem)]
