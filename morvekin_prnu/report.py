"""The examiner's report: one self-contained HTML file on the strength of the evidence in a case.

It states the propositions, every input with its SHA-256 and what is
recorded of it, the method and its parameters, and for each questioned image
the match, the likelihood ratio with its bounds and verbal scale, pictures of
the correlation around the peak and of the reference data the LR rests on,
and the conditions and limits the examiner must weigh. The pictures are
embedded as data URIs, so nothing is fetched; a print style sheet keeps it
readable on paper. File names and metadata come from outside and are
escaped: nothing in them is read as markup.
"""

import base64
import html
import io
import math

import numpy as np

from .evidence import HD, HP, RADIUS
from .likelihood import MIN_REFERENCES, SMALLEST_P, VERBAL
from .reporting import printable

STYLE = """
body { font-family: Georgia, 'Times New Roman', serif; max-width: 60em; margin: 2em auto; padding: 0 1em;
       color: #111; line-height: 1.4; }
h1 { font-size: 1.6em; border-bottom: 2px solid #333; }
h2 { font-size: 1.25em; border-bottom: 1px solid #999; margin-top: 2em; }
h3 { font-size: 1.05em; }
table { border-collapse: collapse; margin: 0.5em 0 1em; font-size: 0.9em; }
th, td { border: 1px solid #bbb; padding: 0.2em 0.5em; text-align: left; vertical-align: top; }
th { background: #eee; }
td.number { text-align: right; font-variant-numeric: tabular-nums; }
.hash { font-family: 'DejaVu Sans Mono', Consolas, monospace; font-size: 0.85em; word-break: break-all; }
.verbal { font-weight: bold; }
.condition { border-left: 4px solid #b30000; padding-left: 0.5em; }
.figures { display: flex; flex-wrap: wrap; gap: 1em; align-items: flex-start; }
figure { margin: 0.5em 0; flex: 1 1 20em; max-width: 40em; }
figure.surface { flex: 2 1 16em; max-width: 28em; }
figure.calibration { flex: 3 1 24em; }
figure img { width: 100%; height: auto; }
figcaption { font-size: 0.85em; color: #333; }
@page { size: A4; margin: 15mm; }
@media print {
  body { max-width: none; margin: 0; font-size: 10pt; }
  h2, h3 { break-after: avoid; }
  section.item { break-before: page; }
  table, figure, .condition { break-inside: avoid; }
  .figures { flex-wrap: nowrap; }
  figure.surface { flex: 2 1 38%; }
  figure.calibration { flex: 3 1 58%; }
  th { background: none; }
}
"""


def report_html(case, items, custody, skipped=()):
    """The examiner's report of a case as one HTML document.

    Parameters
    ----------
    case : morvekin_prnu.evidence.Case
        The suspect fingerprint, the reference data and the search's options.
    items : sequence of (str, morvekin_prnu.evidence.Evidence)
        Each questioned image's label (its file) and evidence.
    custody : dict
        ``created``, ``morvekin`` and ``parameters``, as
        :func:`morvekin_prnu.provenance.custody` gives them.
    skipped : sequence of (str, str), optional
        Files left out of the case and why.

    Returns
    -------
    str
    """
    head = (f"<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            f"<title>Examiner's report: the source camera of {len(items)} questioned image"
            f"{'' if len(items) == 1 else 's'}</title>\n<style>{STYLE}</style>\n</head>\n<body>\n")
    parts = [head,
             _heading(case, items, custody), _propositions(case), _summary(items),
             *(_item(number, label, found, case) for number, (label, found) in enumerate(items, start=1)),
             _fingerprint(case), _references(case), _method(case, custody), _limits(case),
             _skipped(skipped), "</body>\n</html>\n"]
    return "".join(parts)


def text(value):
    """A value as HTML text: control characters shown as escapes, markup characters escaped."""
    return html.escape(printable(str(value)), quote=True)


def number(value, digits=3):
    """A number for people: ``digits`` significant digits; "not finite" for infinity and NaN."""
    if not math.isfinite(value):
        return "not finite"
    return f"{value:.{digits}g}"


def p_value_text(value):
    """A p-value with three significant digits; one that underflowed as below the smallest scored."""
    return number(value) if value >= SMALLEST_P else f"below {SMALLEST_P:g}"


def log10_text(value):
    """A log10 value with two decimals."""
    return f"{value:+.2f}"


def _heading(case, items, custody):
    return (f"<h1>Examiner's report: the source camera of questioned images</h1>\n"
            f"<p>Made {text(custody['created'])} by morvekin {text(custody['morvekin'])}. "
            f"{len(items)} questioned image{'' if len(items) == 1 else 's'} compared with the suspect camera's "
            f"fingerprint <span class=\"hash\">{text(case.suspect.file)}</span>.</p>\n")


def _propositions(case):
    population = [member.name for member in case.population]
    named = ", ".join(text(name) for name in population) or "none"
    return (f"<h2 id=\"propositions\">Propositions</h2>\n<ul>\n<li><b>Hp</b>: {text(HP)}.</li>\n"
            f"<li><b>Hd</b>: {text(HD)}.</li>\n</ul>\n"
            f"<p>The reference population: {len(population)} other cameras' fingerprints ({named}) and "
            f"{len(case.others)} images taken by other cameras. The likelihood ratio (LR) is the probability of "
            "the score under Hp over its probability under Hd: above 1 the finding supports Hp, below 1 Hd. It "
            "does not say how probable either proposition is: that also depends on the other information in "
            "the case.</p>\n")


def _summary(items):
    rows = "".join(
        f"<tr><td>{number_}</td><td>{text(label)}</td><td class=\"number\">{found.match.pce:.1f}</td>"
        f"<td class=\"number\">{p_value_text(found.match.p_value)}</td><td class=\"number\">{number(found.ratio.lr)}</td>"
        f"<td class=\"number\">{number(found.ratio.lr_bounds[0])} to {number(found.ratio.lr_bounds[1])}</td>"
        f"<td class=\"number\">{number(found.ratio.bounded_lr)}</td><td class=\"verbal\">{text(found.ratio.verbal)}"
        f"</td><td>{len(found.conditions)}</td></tr>\n"
        for number_, (label, found) in enumerate(items, start=1))
    return ("<h2 id=\"summary\">Summary</h2>\n<table>\n<tr><th>#</th><th>questioned image</th><th>PCE</th>"
            "<th>p-value</th><th>LR</th><th>bounds</th><th>reported LR</th><th>verbal scale</th><th>conditions</th>"
            f"</tr>\n{rows}</table>\n<p>The reported LR is the LR within its bounds.</p>\n")


def _item(index, label, found, case):
    match, ratio, image = found.match, found.ratio, found.image
    camera = ", ".join(f"{field} {text(value)}" for field, value in image._asdict().items()
                       if field != "sha256" and value) or "not recorded"
    verdict = "attributed to the suspect camera" if match.same_camera else "not attributed"
    conditions = "".join(f"<p class=\"condition\"><b>{text(condition.kind)}</b>: {text(condition.detail)}</p>\n"
                         for condition in found.conditions) or "<p>None found.</p>\n"
    surface = "<p>No position could be tested: no correlation to show.</p>\n" if found.surface is None else \
        _figure("surface", _surface_png(found.surface, match), "The normalised correlation of the image's noise with "
                f"the fingerprint at the shifts within {RADIUS} pixels of its peak (at the centre).")
    calibration = _figure("calibration", _calibration_png(found), "Above: the reference scores (same source, "
                          "different source) and the questioned score. Below: the calibrated log10 LR as a function "
                          "of the score, and the bounds the reference data support.")
    population = "".join(
        f"<tr><td>{text(reference.name)}</td><td class=\"number\">{reference.match.pce:.1f}</td>"
        f"<td class=\"number\">{p_value_text(reference.match.p_value)}</td><td class=\"number\">{reference.score:.3f}</td>"
        f"</tr>\n" for reference in found.different_source if reference.kind == "fingerprint")
    population_table = ("<table>\n<tr><th>population camera</th><th>PCE</th><th>p-value</th><th>score</th></tr>\n"
                        f"{population}</table>\n") if population else ""
    return (f"<section class=\"item\" id=\"item-{index}\">\n<h2>Questioned image {index}: {text(label)}</h2>\n"
            f"<table>\n<tr><th>SHA-256</th><td class=\"hash\">{text(image.sha256)}</td></tr>\n"
            f"<tr><th>camera (EXIF)</th><td>{camera}</td></tr>\n</table>\n"
            "<h3>The match with the suspect fingerprint</h3>\n<table>\n"
            f"<tr><th>PCE</th><td class=\"number\">{match.pce:.1f}</td></tr>\n"
            f"<tr><th>p-value of the search</th><td class=\"number\">{p_value_text(match.p_value)}</td></tr>\n"
            f"<tr><th>verdict at p_fa {number(case.rule.p_fa)}</th><td>{verdict}</td></tr>\n"
            f"<tr><th>searched</th><td>{_plural(match.positions, 'position')}, {_plural(match.scales, 'scale')}, "
            f"{_plural(match.orientations, 'orientation')}</td></tr>\n"
            f"<tr><th>found at</th><td>scale {match.scale:.3f}, orientation {text(match.orientation)}, peak "
            f"{tuple(match.peak)}</td></tr>\n</table>\n"
            "<h3>The strength of the evidence</h3>\n<table>\n"
            f"<tr><th>score (-log10 p-value)</th><td class=\"number\">{ratio.score:.3f}</td></tr>\n"
            f"<tr><th>LR (log10)</th><td class=\"number\">{number(ratio.lr)} ({log10_text(ratio.log10_lr)})</td></tr>\n"
            f"<tr><th>bounds (log10)</th><td class=\"number\">{number(ratio.lr_bounds[0])} to "
            f"{number(ratio.lr_bounds[1])} ({log10_text(ratio.log10_bounds[0])} to "
            f"{log10_text(ratio.log10_bounds[1])})</td></tr>\n"
            f"<tr><th>reported LR (log10)</th><td class=\"number\">{number(ratio.bounded_lr)} "
            f"({log10_text(ratio.log10_bounded_lr)})</td></tr>\n"
            f"<tr><th>verbal scale</th><td class=\"verbal\">{text(ratio.verbal)}</td></tr>\n"
            f"<tr><th>references</th><td>{ratio.same_source} same-source, {ratio.different_source} "
            "different-source comparisons</td></tr>\n</table>\n"
            f"<h3>Conditions</h3>\n{conditions}<div class=\"figures\">\n{surface}{calibration}</div>\n"
            f"<h3>The questioned image against the population</h3>\n{population_table or '<p>No population.</p>'}"
            "</section>\n")


def _fingerprint(case):
    suspect = case.suspect
    metadata = suspect.stored.metadata
    facts = "".join(f"<tr><th>{text(key)}</th><td>{text(metadata[key])}</td></tr>\n"
                    for key in ("shape", "sigma", "images", "wavelet", "levels", "created", "morvekin")
                    if key in metadata)
    warnings = "".join(f"<li>{text(warning)}</li>\n" for warning in metadata.get("warnings") or ())
    inputs = [entry for entry in metadata.get("inputs") or () if isinstance(entry, dict)]
    sources = "".join(f"<tr><td>{text(entry.get('file'))}</td><td class=\"hash\">{text(entry.get('sha256'))}</td>"
                      f"<td>{text(_camera_of(entry))}</td></tr>\n" for entry in inputs)
    return ("<h2 id=\"fingerprint\">The suspect camera's fingerprint</h2>\n<table>\n"
            f"<tr><th>file</th><td>{text(suspect.file)}</td></tr>\n"
            f"<tr><th>SHA-256</th><td class=\"hash\">{text(suspect.stored.sha256)}</td></tr>\n"
            f"<tr><th>camera</th><td>{text(' '.join(filter(None, (suspect.make, suspect.model))) or 'not recorded')}"
            f"</td></tr>\n{facts}</table>\n"
            f"<h3>Warnings on its quality</h3>\n{f'<ul>{warnings}</ul>' if warnings else '<p>None recorded.</p>'}\n"
            f"<h3>The {len(inputs)} images it was made from</h3>\n"
            + (f"<table>\n<tr><th>file</th><th>SHA-256</th><th>camera</th></tr>\n{sources}</table>\n" if sources
               else "<p>Its file records none.</p>\n"))


def _camera_of(entry):
    """The make, model and serial number a fingerprint's input records, as far as it does."""
    return " ".join(str(entry.get(key)) for key in ("make", "model", "serial") if entry.get(key))


def _references(case):
    same = "".join(_image_row(reference) for reference in case.same_source)
    others = "".join(_image_row(reference) for reference in case.others)
    population = "".join(
        f"<tr><td>{text(member.name)}</td><td>{text(member.file)}</td><td class=\"hash\">"
        f"{text(member.stored.sha256)}</td><td>{text(' '.join(filter(None, (member.make, member.model))) or '-')}"
        f"</td><td class=\"number\">{member.sigma:g}</td></tr>\n" for member in case.population)
    header = "<table>\n<tr><th>file</th><th>SHA-256</th><th>PCE</th><th>score</th></tr>\n"
    return ("<h2 id=\"references\">The reference data</h2>\n"
            f"<h3>Same source: {len(case.same_source)} images taken by the suspect camera, not used in its "
            f"fingerprint</h3>\n{header}{same}</table>\n"
            f"<h3>Different source: the population, {len(case.population)} other cameras' fingerprints</h3>\n"
            + (f"<table>\n<tr><th>camera</th><th>file</th><th>SHA-256</th><th>make and model</th><th>sigma</th></tr>\n"
               f"{population}</table>\n" if population else "<p>None.</p>\n")
            + f"<h3>Different source: {len(case.others)} images taken by other cameras</h3>\n"
            + (f"{header}{others}</table>\n" if others else "<p>None.</p>\n")
            + "<p>Each questioned image is compared with every population fingerprint (its scores are listed "
              "with it above); the reference images are compared with the suspect fingerprint. A reference of "
              "the questioned image's own bytes is left out of its references.</p>\n")


def _image_row(reference):
    return (f"<tr><td>{text(reference.name)}</td><td class=\"hash\">{text(reference.sha256)}</td>"
            f"<td class=\"number\">{reference.match.pce:.1f}</td>"
            f"<td class=\"number\">{reference.score:.3f}</td></tr>\n")


def _method(case, custody):
    rule = case.rule
    parameters = "".join(f"<tr><th>{text(key)}</th><td>{text('none' if value is None else value)}</td></tr>\n"
                         for key, value in custody["parameters"].items())
    tops = [None, *(least for least, _ in VERBAL[:-1])]
    bands = "".join(f"<tr><td>{text(words)}</td><td>{_band(least, top)}</td><td>{_band(-top if top else None, -least)}"
                    "</td></tr>\n" for (least, words), top in zip(VERBAL, tops))
    threshold = (f"a PCE above {rule.threshold:g}" if rule.threshold is not None
                 else f"a p-value of at most {number(rule.p_fa)} for the search done")
    return (
        "<h2 id=\"method\">Method and parameters</h2>\n"
        f"<p>morvekin {text(custody['morvekin'])}. Each image's noise residual is extracted with the wavelet "
        f"denoiser at sigma {case.suspect.sigma:g} (the fingerprint's), weighted by the image's luminance and "
        "correlated with the fingerprint; the peak-to-correlation energy (PCE) of the correlation peak measures the "
        "agreement (Goljan, Fridrich and Filler 2009). An image of the fingerprint's shape is tested at zero shift "
        "in each orientation that gives that shape; a smaller one is searched over scales and crop positions "
        "(Goljan and Fridrich 2008). Every comparison, questioned or reference, is made with the same search: "
        f"orientations {rule.orientations}, smallest scale {rule.min_scale:g}. The verdict reported beside the LR is "
        f"{threshold}.</p>\n"
        "<p><b>Score.</b> -log10 of the p-value of the search done: the chance that an image from another "
        "camera gives a peak at least as strong somewhere in that search, for which the PCE of a different-source "
        "comparison is taken to follow the law of Goljan et al. (2009). Unlike the PCE itself, it has one "
        "distribution for different-source comparisons whatever was searched, and whether the peak came from a "
        f"test at zero shift or from a search. A p-value below {SMALLEST_P:g} counts as {SMALLEST_P:g}.</p>\n"
        "<p><b>Calibration.</b> The LR is score-based (van Houten, Alberink and Geradts 2011): log10 LR is a line "
        "in the score, fitted by logistic regression (Brümmer and du Preez 2006) to the same-source and "
        "different-source reference scores, each side weighted to half, with one misleading reference added to "
        "each side so that the fit stays finite when the sides do not overlap.</p>\n"
        "<p><b>Bounds.</b> A score beyond the reference data would give an LR that no data support, so the LR is "
        "kept within the empirical lower and upper bounds (ELUB) of Vergeer, van Es, de Jongh, Alberink and Stoel "
        "(2016), computed with the lir package: they grow with the amount of reference data, the upper one at most "
        "log10 of one plus the number of different-source references. The reported LR is the LR within its "
        f"bounds. At least {MIN_REFERENCES} references of each kind are required.</p>\n"
        "<p><b>Verbal scale</b> (ENFSI guideline for evaluative reporting, 2015), of the reported LR; the same "
        "words for LRs below 1, in favour of Hd; each band holds its end nearer 1, and an LR of exactly 1 "
        "supports neither:</p>\n"
        f"<table>\n<tr><th>support</th><th>for Hp: LR</th><th>for Hd: LR</th></tr>\n{bands}</table>\n"
        f"<h3>Parameters</h3>\n<table>\n{parameters}</table>\n")


def _limits(case):
    return (
        "<h2 id=\"limits\">Limits</h2>\n<ul>\n"
        "<li>The LR is as good as its reference data: it holds for questioned images taken and processed as the "
        "reference images were (size, compression, resizing, scene), and for a population of cameras like the "
        "alternative sources in the case. References of another size are listed among the conditions.</li>\n"
        f"<li>It rests on {len(case.same_source)} same-source and {len(case.population)} population fingerprints "
        f"plus {len(case.others)} other images; its bounds, and so the largest LR that can be reported, grow only "
        "with the logarithm of their number.</li>\n"
        "<li>Cameras of one model can share patterns (from the sensor's design or its processing) that raise the "
        "scores of different-source comparisons; a population of other models does not show this. High "
        "different-source scores are listed among the conditions.</li>\n"
        "<li>The numbers are reproducible: the same inputs and options give the same bits on any number of "
        "threads (the report's time of making aside).</li>\n"
        "<li>How the method performs on a laboratory's own data is measured by <code>morvekin validate</code> "
        "(Cllr, rates of misleading evidence, Tippett and ECE plots), which should precede its use in a case.</li>\n"
        "</ul>\n")


def _band(low, high):
    """The LRs between 10 ** low and 10 ** high (None: no end) as words."""
    if high is None:
        return f"{10.0 ** low:g} and above"
    if low is None:
        return f"{10.0 ** high:g} and below"
    return f"{10.0 ** low:g} to {10.0 ** high:g}"


def _plural(count, noun):
    return f"{count} {noun}{'' if count == 1 else 's'}"


def _skipped(skipped):
    if not skipped:
        return ""
    rows = "".join(f"<tr><td>{text(label)}</td><td>{text(reason)}</td></tr>\n" for label, reason in skipped)
    return f"<h2 id=\"skipped\">Files left out</h2>\n<table>\n<tr><th>file</th><th>why</th></tr>\n{rows}</table>\n"


def _figure(kind, png, caption):
    encoded = base64.b64encode(png).decode("ascii")
    return (f"<figure class=\"{kind}\"><img alt=\"{text(caption)}\" src=\"data:image/png;base64,{encoded}\">"
            f"<figcaption>{text(caption)}</figcaption></figure>\n")


def _surface_png(surface, match):
    from matplotlib.figure import Figure

    figure = Figure(figsize=(4.2, 3.4), dpi=100, layout="constrained")
    axes = figure.add_subplot()
    extent = (-RADIUS - 0.5, RADIUS + 0.5, RADIUS + 0.5, -RADIUS - 0.5)
    picture = axes.imshow(surface, cmap="viridis", extent=extent, interpolation="nearest")
    figure.colorbar(picture, ax=axes, label="normalised correlation")
    axes.set_xlabel("column shift from the peak")
    axes.set_ylabel("row shift from the peak")
    axes.set_title(f"Correlation around the peak (PCE {match.pce:.1f})", fontsize=10)
    return _png(figure)


def _calibration_png(found):
    from matplotlib.figure import Figure

    ratio = found.ratio
    same = np.array([reference.score for reference in found.same_source])
    different = np.array([reference.score for reference in found.different_source])
    scores = np.concatenate([same, different, [ratio.score]])
    low, high = float(scores.min()), float(scores.max())
    margin = 0.1 * (high - low) or 0.5
    grid = np.linspace(max(low - margin, 0.0), high + margin, 400)
    figure = Figure(figsize=(6.4, 4.6), dpi=100, layout="constrained")
    top, bottom = figure.subplots(2, 1, sharex=True, height_ratios=(1, 2))
    top.plot(different, np.zeros(different.size), "|", color="tab:blue", markersize=18, label="different source")
    top.plot(same, np.ones(same.size), "|", color="tab:red", markersize=18, label="same source")
    top.axvline(ratio.score, color="black", linestyle="--", label="questioned")
    top.set_yticks([0, 1], ["different", "same"])
    top.set_ylim(-0.6, 1.6)
    top.set_xscale("symlog", linthresh=1.0)  # linear to 1, then logarithmic: different-source scores stay apart
    top.set_title("Reference scores and the calibrated LR", fontsize=10)
    bottom.plot(grid, ratio.calibration.log10_lr(grid), color="black", label="calibrated log10 LR")
    for bound in ratio.log10_bounds:
        bottom.axhline(bound, color="tab:gray", linestyle=":")
    bottom.plot([ratio.score], [ratio.log10_bounded_lr], "o", color="black", label="reported")
    bottom.set_ylim(ratio.log10_bounds[0] - 1.0, ratio.log10_bounds[1] + 1.0)
    bottom.set_xlabel("score: -log10 p-value (logarithmic above 1)")
    bottom.set_ylabel("log10 LR (dotted: bounds)")
    bottom.legend(fontsize=8, loc="upper left")
    top.legend(fontsize=8, loc="center left", bbox_to_anchor=(1.0, 0.5))
    return _png(figure)


def _png(figure):
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png")
    return buffer.getvalue()
