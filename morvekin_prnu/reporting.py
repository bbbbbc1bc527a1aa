"""What the ``morvekin`` command shows and writes: tables, CSV and JSON, the heatmap and pictures.

File names are data, and may be hostile: on the terminal their control
characters are shown as escapes, and in CSV a cell that a spreadsheet would
take for a formula is made plain text.
"""

import csv
import io
import json
import math
import unicodedata

import numpy as np
from PIL import Image, ImageDraw

GAP = 8  # pixels between the panels of a residual picture
LABEL_HEIGHT = 20  # pixels above them for their labels
DPI = 100  # of the heatmap
LEAST_TOP = 100.0  # the heatmap's colour scale reaches at least this PCE, so weak cells never look strong
SPREAD = 99.5  # percentile of the magnitude that spans black to white in a stretched picture
# What a spreadsheet takes for the start of a formula (or of a command, through DDE), full-width forms too.
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r", "\n", "|", "%", "\uff1d", "\uff0b", "\uff0d", "\uff20")
# The columns a CSV row gives of a Match after the verdict, in the order of its fields (as in the JSON record):
# how significant the peak is, where it was found, what was searched, and when the p-value may not hold.
SEARCHED = ("p_value", "scale", "orientation", "positions", "scales", "orientations", "flags")
# What each flag of a Match means, for people.
CAUTIONS = {"source image": "the image is one of the photographs the fingerprint was made from",
            "shared scene": "its peak may come from scene content it shares with the fingerprint's photographs, "
                            "not from the sensor"}


def printable(text):
    """``text`` with every control, format or unpaired surrogate character shown as an escape.

    A newline, ESC (which starts terminal control sequences), a right-to-left
    override or a byte of a file name that is not UTF-8 becomes ``\\n``,
    ``\\x1b``, ``\\u202e`` or ``\\udcff``: one name stays on one line and
    cannot move the cursor, recolour the terminal or reorder what follows.
    """
    return "".join(repr(c)[1:-1] if unicodedata.category(c)[0] == "C" else c for c in text)


def print_table(rows, names, decided_by, file=None):
    """Print PCE of each image (down) against each fingerprint (across), with the verdict.

    ``rows`` holds (image, list of Match, verdict or None, ...); ``names`` the fingerprints';
    ``decided_by`` says how the verdicts were decided. Names are shown through
    :func:`printable`. ``file`` is standard output by default.
    """
    print(f"PCE of each image against each fingerprint; verdict at a {decided_by}: the most significant, or none",
          file=file)
    cells = [[source, *(_shown(outcome.pce, 1) for outcome in found), verdict or "none"]
             for source, found, verdict, *_ in rows]
    _print_columns(["image", *names, "verdict"], cells, right=range(1, len(names) + 1), file=file)
    _print_cautions([(source, name, outcome) for source, found, *_ in rows for name, outcome in zip(names, found)],
                    file)


def print_cameras(cameras):
    """Print a library's cameras (a list of ``morvekin_prnu.Camera``), one per line."""
    print(f"{len(cameras)} camera{'' if len(cameras) == 1 else 's'}")
    header = ["name", "shape", "images", "sigma", "make", "model", "serial", "added"]
    cells = [[camera.name, "x".join(map(str, camera.shape)), "?" if camera.images is None else camera.images,
              f"{camera.sigma:g}" if isinstance(camera.sigma, float) else repr(camera.sigma), camera.make or "-",
              camera.model or "-", camera.serial or "-", camera.added] for camera in cameras]
    _print_columns(header, cells, right={2, 3})


def print_identifications(found, decided_by, file=None):
    """Print the best camera of each image (a list of ``morvekin_prnu.Identification``) with the verdict.

    ``decided_by`` says how the verdicts were decided; ``file`` is standard output by default.
    """
    searched = max(identification.cameras for identification in found)
    print(f"Best camera of each image among {searched} in the library; verdict at a {decided_by}: the most "
          "significant, or none", file=file)
    cells = []
    for identification in found:
        best = identification.candidates[0]
        cells.append([identification.image, best.camera, "-" if best.match is None else _shown(best.match.pce, 1),
                      identification.verdict or "none", identification.tested])
    _print_columns(["image", "camera", "pce", "verdict", "tested"], cells, right={2, 4}, file=file)
    _print_cautions([(identification.image, candidate.camera, candidate.match) for identification in found
                     for candidate in identification.candidates if candidate.match is not None], file)
    for identification in found:
        if identification.grouped and identification.verdict is None:
            print(printable(f"caution: {identification.image}: {identification.grouped} cameras were searched in "
                            "groups, where a weak match can be missed; --exhaustive tests each alone"), file=file)


def _print_cautions(tested, file):
    """A line under a table for each flag of each (image, fingerprint or camera, Match) tested."""
    for image, name, outcome in tested:
        for flag in outcome.flags:
            print(printable(f"caution: {image} with {name}: {CAUTIONS.get(flag, flag)}"), file=file)


def _shown(value, digits):
    """A PCE rounded for people: a slightly negative one is 0, not -0."""
    return f"{round(value, digits) + 0.0:.{digits}f}"


def _print_columns(header, cells, right, file=None):
    """Print a table, the columns whose index is in ``right`` aligned right, every cell through :func:`printable`."""
    lines = [[printable(str(cell)) for cell in line] for line in [header, *cells]]
    widths = [max(len(line[k]) for line in lines) for k in range(len(header))]
    for line in lines:
        print("  ".join(value.rjust(width) if k in right else value.ljust(width)
                        for k, (value, width) in enumerate(zip(line, widths))).rstrip(), file=file)


def plain_cell(value):
    """A CSV cell that no spreadsheet runs: text that would start a formula gets a leading apostrophe."""
    return f"'{value}" if isinstance(value, str) and value.startswith(FORMULA_STARTS) else value


def match_csv(rows, names, digests):
    """One row per image and fingerprint as CSV text; numbers to the last bit.

    ``rows`` holds (image, list of Match, verdict or None, ImageFacts); ``digests`` the
    fingerprint files' SHA-256, in the order of ``names``.
    """
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(["image", "fingerprint", "pce", "ncc", "peak_row", "peak_column", "verdict", *SEARCHED,
                     "image_sha256", "fingerprint_sha256"])
    for source, found, verdict, facts in rows:
        for name, outcome, digest in zip(names, found, digests):
            writer.writerow(map(plain_cell, [source, name, outcome.pce, outcome.ncc, *outcome.peak, verdict or "none",
                                             *_searched(outcome), facts.sha256, digest]))
    return text.getvalue()


def identifications_csv(found):
    """One row per image (``morvekin_prnu.Identification``) as CSV text; numbers to the last bit.

    The match columns are those of :func:`match_csv`, of the image's best candidate; empty when it was not tested.
    """
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(["image", "camera", "pce", "ncc", "peak_row", "peak_column", "verdict", *SEARCHED, "score",
                     "tested", "cameras", "untested", "image_sha256", "fingerprint_sha256"])
    for identification in found:
        best = identification.candidates[0]
        tested = best.match is not None
        numbers = [best.match.pce, best.match.ncc, *best.match.peak] if tested else [""] * 4
        searched = _searched(best.match) if tested else [""] * len(SEARCHED)
        digest = best.sha256 if tested else ""  # of the fingerprint tested
        untested = ";".join(camera for camera, _ in identification.unreadable)
        writer.writerow(map(plain_cell, [identification.image, best.camera, *numbers, identification.verdict or "none",
                                         *searched, "" if best.score is None else best.score, identification.tested,
                                         identification.cameras, untested, identification.sha256, digest]))
    return text.getvalue()


def _searched(outcome):
    return [";".join(outcome.flags) if field == "flags" else getattr(outcome, field) for field in SEARCHED]


def match_record(custody, fingerprints, rows, names, skipped):
    """The whole result of a match as one JSON-ready dict: custody, fingerprints, images, skipped.

    ``fingerprints`` holds a record entry per fingerprint file (name, file, sha256, ...);
    ``rows`` as for :func:`match_csv`; ``skipped`` maps a file to the reason it was left out.
    Every field of each Match is kept; numbers that are not finite become null.
    """
    images = [{**_plain(facts._asdict()), "file": source, "verdict": verdict,
               "matches": [{"fingerprint": name, **_plain(outcome._asdict())} for name, outcome in zip(names, found)]}
              for source, found, verdict, facts in rows]
    return {**custody, "fingerprints": fingerprints, "images": images,
            "skipped": [{"file": label, "reason": reason} for label, reason in skipped.items()]}


def json_text(record):
    """``record`` as indented JSON in ASCII: no character of a name can act on a terminal."""
    return json.dumps(record, ensure_ascii=True, allow_nan=False, indent=1) + "\n"


def _plain(value):
    """``value`` with tuples as lists, NumPy scalars as Python numbers and non-finite floats as None."""
    if isinstance(value, dict):
        return {key: _plain(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def heatmap_png(labels, names, pce, same_camera, decided_by, threshold=None):
    """:func:`heatmap` drawn as PNG bytes, so that nothing is written before it is ready."""
    buffer = io.BytesIO()
    heatmap(labels, names, pce, same_camera, decided_by, threshold).savefig(buffer, format="png")
    return buffer.getvalue()


def heatmap(labels, names, pce, same_camera, decided_by, threshold=None):
    """A matplotlib Figure of PCE, images down and fingerprints across, log colour scale.

    Cells where ``same_camera`` holds (the verdicts, decided as ``decided_by``
    says) are framed in red, and a fixed ``threshold`` is marked on the scale;
    values are written in the cells while there are at most 200.
    """
    from matplotlib.colors import LogNorm
    from matplotlib.figure import Figure
    from matplotlib.patches import Rectangle

    rows, columns = pce.shape
    figure = Figure(figsize=(4.5 + columns, 2 + 0.25 * min(rows, 400)), dpi=DPI, layout="constrained")
    axes = figure.add_subplot()
    shown = np.maximum(pce, 1.0)  # a log scale has no place for PCE of 1 or less
    norm = LogNorm(vmin=1.0, vmax=max(float(shown.max()), LEAST_TOP, 10.0 * (threshold or 0.0)))
    picture = axes.imshow(shown, norm=norm, cmap="viridis", aspect="auto", interpolation="nearest")
    axes.set_xticks(range(columns), [printable(name) for name in names], rotation=30, ha="right")
    if rows <= 400:
        axes.set_yticks(range(rows), [printable(label) for label in labels], fontsize=8)
    for row, column in zip(*np.nonzero(same_camera)):
        axes.add_patch(Rectangle((column - 0.5, row - 0.5), 1, 1, fill=False, edgecolor="red", linewidth=2))
    if rows * columns <= 200:
        for (row, column), value in np.ndenumerate(pce):
            axes.text(column, row, _shown(value, 0), ha="center", va="center", fontsize=8,
                      color="black" if norm(max(value, 1.0)) > 0.6 else "white")
    scale = figure.colorbar(picture, ax=axes, label="PCE (log scale)")
    if threshold is not None:
        scale.ax.axhline(threshold, color="red", linewidth=2)
    axes.set_title(f"PCE of each image against each fingerprint\nred: the same camera at a {decided_by}",
                   fontsize=10)
    axes.set_xlabel("fingerprint")
    axes.set_ylabel("image")
    return figure


def residual_picture(pixels, denoised, residual):
    """Image, denoised image and stretched residual side by side under labels: 8-bit grey or RGB.

    The residual is stretched so that the 99.5th percentile of its magnitude
    spans black to white; 16-bit images are shown in 8 bits.
    """
    scale = 255.0 / 65535.0 if pixels.dtype == np.uint16 else 1.0
    stretched, spread = _stretched(residual)
    if pixels.ndim == 3:
        stretched = np.repeat(stretched[..., None], 3, axis=2)
    panels = [("image", scale * pixels), ("denoised", scale * denoised),
              (f"residual, ±{spread:.3g} stretched", stretched)]
    rows, columns = pixels.shape[:2]
    canvas = Image.new("RGB" if pixels.ndim == 3 else "L", (3 * columns + 2 * GAP, rows + LABEL_HEIGHT), "white")
    draw = ImageDraw.Draw(canvas)
    for k, (label, values) in enumerate(panels):
        left = k * (columns + GAP)
        canvas.paste(Image.fromarray(np.round(np.clip(values, 0, 255)).astype(np.uint8)), (left, LABEL_HEIGHT))
        draw.text((left + 4, 4), label, fill="black")
    return canvas


def fingerprint_picture(fingerprint):
    """A fingerprint as an 8-bit grey picture of its own size, stretched as a residual picture is.

    The 99.5th percentile of its magnitude spans black (negative) to white
    (positive), mid-grey being zero.
    """
    stretched, _ = _stretched(np.asarray(fingerprint, dtype=np.float64))
    return Image.fromarray(np.round(stretched).astype(np.uint8))


def _stretched(x):
    """x on 0..255 with zero at 127.5 and the SPREAD percentile of |x| at the ends; and that spread."""
    spread = float(np.percentile(np.abs(x), SPREAD)) or 1.0
    return 127.5 + 127.5 * np.clip(x / spread, -1.0, 1.0), spread
