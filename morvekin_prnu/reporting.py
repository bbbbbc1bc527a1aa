"""What the ``morvekin`` command shows and writes: tables, CSV files, the heatmap and residual pictures."""

import csv
import io

import numpy as np
from PIL import Image, ImageDraw

from .storage import atomic_write

GAP = 8  # pixels between the panels of a residual picture
LABEL_HEIGHT = 20  # pixels above them for their labels
DPI = 100  # of the heatmap
LEAST_TOP = 100.0  # the heatmap's colour scale reaches at least this PCE, so weak cells never look strong


def print_table(rows, names, decided_by):
    """Print PCE of each image (down) against each fingerprint (across), with the verdict.

    ``rows`` holds (image, list of Match, verdict or None); ``names`` the fingerprints';
    ``decided_by`` says how the verdicts were decided.
    """
    print(f"PCE of each image against each fingerprint; verdict at a {decided_by}: the most significant, or none")
    header = ["image", *names, "verdict"]
    cells = [[source, *(f"{outcome.pce:.1f}" for outcome in found), verdict or "none"]
             for source, found, verdict in rows]
    widths = [max(len(line[k]) for line in [header, *cells]) for k in range(len(header))]
    for line in [header, *cells]:
        middle = [value.rjust(width) for value, width in zip(line[1:-1], widths[1:-1])]
        print("  ".join([line[0].ljust(widths[0]), *middle, line[-1]]))


def write_csv(path, rows, names):
    """Write one row per image and fingerprint, atomically; numbers to the last bit."""
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(["image", "fingerprint", "pce", "ncc", "peak_row", "peak_column", "verdict",
                     "scale", "orientation", "p_value", "positions"])
    for source, found, verdict in rows:
        for name, outcome in zip(names, found):
            writer.writerow([source, name, outcome.pce, outcome.ncc, *outcome.peak, verdict or "none",
                             outcome.scale, outcome.orientation, outcome.p_value, outcome.positions])
    with atomic_write(path) as file:
        file.write(text.getvalue().encode("utf-8"))


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
    axes.set_xticks(range(columns), names, rotation=30, ha="right")
    if rows <= 400:
        axes.set_yticks(range(rows), labels, fontsize=8)
    for row, column in zip(*np.nonzero(same_camera)):
        axes.add_patch(Rectangle((column - 0.5, row - 0.5), 1, 1, fill=False, edgecolor="red", linewidth=2))
    if rows * columns <= 200:
        for (row, column), value in np.ndenumerate(pce):
            axes.text(column, row, f"{value:.0f}", ha="center", va="center", fontsize=8,
                      color="black" if norm(max(value, 1.0)) > 0.6 else "white")
    scale = figure.colorbar(picture, ax=axes, label="PCE (log scale)")
    if threshold is not None:
        scale.ax.axhline(threshold, color="red", linewidth=2)
    axes.set_title(f"PCE of each image against each fingerprint; red: the same camera at a {decided_by}",
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
    spread = float(np.percentile(np.abs(residual), 99.5)) or 1.0
    stretched = 127.5 + 127.5 * np.clip(residual / spread, -1.0, 1.0)
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
