"""The ``morvekin evidence`` and ``morvekin validate`` subcommands, over :mod:`morvekin_prnu.evidence` and
:mod:`morvekin_prnu.validation`.
"""

import csv
import importlib.util
import io
import math
import os
import sys

from tqdm import tqdm

import morvekin_prnu as prnu

from . import cli
from .evidence import HD, HP, Case, camera_fingerprint
from .fingerprints import READ_ERRORS
from .likelihood import MIN_REFERENCES
from .provenance import custody, file_entry
from .reporting import json_text, plain_cell, printable
from .storage import atomic_write
from .validation import STRONG, ece_png, performance, tippett_png, validate

POPULATION_HELP = ("other cameras' fingerprints: a library's folder (every camera in it), a folder of fingerprint "
                   "files, or fingerprint files")


def add_evidence_commands(commands):
    """Add the 'evidence' and 'validate' subcommands to the command's subparsers."""
    evidence = commands.add_parser(
        "evidence", help="the likelihood ratio that a suspect camera took each image",
        description="""For each questioned image, the likelihood ratio (LR) of its match with the suspect
            camera's fingerprint: how much more probable its score (-log10 of the p-value of the search done)
            is if the suspect camera took it than if another camera did. The LR is calibrated on reference
            comparisons made with the same search: the suspect camera's own images (not used in its
            fingerprint) against its fingerprint, and the questioned image against a population of other
            cameras' fingerprints (of the suspect's shape) and/or other cameras' images against the suspect
            fingerprint; at least 10 of each kind. It is then kept within the empirical bounds (ELUB) the
            reference data support and put on the ENFSI verbal scale. Prints one row per image. Needs lir:
            pip install "morvekin[evidence]".""")
    evidence.add_argument("images", nargs="+", metavar="IMAGE|FOLDER", help=cli.INPUTS_HELP)
    evidence.add_argument("--fingerprint", required=True, metavar="K.npz",
                          help="the suspect camera's fingerprint file")
    evidence.add_argument("--same-source", nargs="+", required=True, metavar="IMAGE|FOLDER",
                          help="images the suspect camera took that its fingerprint was not made from")
    evidence.add_argument("--population", nargs="+", default=[], metavar="LIB|FOLDER|FILE.npz",
                          help=POPULATION_HELP + "; the suspect's own fingerprint among them is left out")
    evidence.add_argument("--different-source", nargs="+", default=[], metavar="IMAGE|FOLDER",
                          help="images other cameras took, compared with the suspect fingerprint")
    cli.add_verdict(evidence, "one row per image: image, pce, p_value, same_camera, score, log10_lr, lr, lr_lower, "
                              "lr_upper, bounded_lr, log10_bounded_lr, verbal, same_source and different_source "
                              "(the numbers of references), conditions, image_sha256, fingerprint_sha256")
    evidence.add_argument("--json", action="store_true",
                          help="write the whole result to standard output as JSON (the table then goes to standard "
                               "error): the propositions, the options, the fingerprint, and for each image its "
                               "SHA-256, match, score, LR, bounds, bounded LR, verbal scale, conditions and every "
                               "reference it rests on with its SHA-256 and score")
    evidence.add_argument("--report", metavar="CASE.html",
                          help="also write the examiner's report: one self-contained HTML file")
    cli.add_common(evidence, sigma=False)
    evidence.set_defaults(run=_evidence)

    validation = commands.add_parser(
        "validate", help="measure how the likelihood ratios perform on labelled images",
        description="""Compare every image with every fingerprint and give each comparison the LR a case
            would give it, calibrated on the other comparisons of the set (never on itself); then print
            Cllr, Cllr-min, the rates of misleading evidence and how often a different-source LR reached its
            bounds. Labels: each FOLDER holds the images of one camera, named by the folder; a fingerprint
            file's camera is its name without the extension, a library's cameras go by their names. A camera
            with images and a fingerprint is a suspect in turn (it needs at least 11 images); the other
            fingerprints and images serve as different-source references. Needs lir: pip install
            "morvekin[evidence]".""")
    validation.add_argument("folders", nargs="+", metavar="FOLDER", help="one folder of images per camera")
    validation.add_argument("--fingerprints", nargs="+", required=True, metavar="LIB|FOLDER|FILE.npz",
                            help="the cameras' fingerprints: " + POPULATION_HELP)
    cli.add_verdict(validation, "one row per comparison: image, camera, fingerprint, same_source, score, log10_lr, "
                                "log10_lower, log10_upper, log10_bounded_lr, image_sha256, fingerprint_sha256")
    validation.add_argument("--json", action="store_true",
                            help="write the measures and every comparison to standard output as JSON")
    validation.add_argument("--tippett", metavar="FILE.png", help="also draw a Tippett plot")
    validation.add_argument("--ece", metavar="FILE.png", help="also draw an empirical cross-entropy plot")
    cli.add_common(validation, sigma=False)
    validation.set_defaults(run=_validate)


def _evidence(args):
    _refuse_both_on_stdout(args)
    sources = cli.inputs(args.images)
    same = cli.inputs(args.same_source)
    different = cli.inputs(args.different_source) if args.different_source else []
    population = _fingerprints(args.population) if args.population else []
    csv_path = args.csv if args.csv != "-" else None
    outputs = [(option, path) for option, path in (("--csv", csv_path), ("--report", args.report)) if path]
    cli.checked_outputs(outputs, [*sources, *same, *different, args.fingerprint, *_files(population)])
    _need_lir()
    for option, count in (("--same-source", len(same)), ("--population and --different-source",
                                                         len(population) + len(different))):
        if count < MIN_REFERENCES:
            raise cli.CommandError(f"{option}: {count} references, fewer than the {MIN_REFERENCES} an LR is "
                                   "calibrated on (its bounds grow with log10 of their number); give more")
    skipped = {}

    def skip(label, error):
        skipped[label] = cli.skipped(args, label, error)

    case = Case(args.fingerprint, same_source=same, population=population, different_source=different,
                **cli.rule_of(args)._asdict(), onerror=None if args.strict else skip, progress=sys.stderr.isatty())
    items = []
    for source in tqdm(sources, disable=None, unit="image"):
        try:
            items.append((source, case.evidence(source)))
        except READ_ERRORS as error:
            if args.strict:
                raise
            skip(source, error)
    cli.check_any(items, sources)
    # Everything is made before anything is written, so a failure leaves no output behind.
    record = custody(**case.rule._asdict())
    csv_text = args.csv and _evidence_csv(items, case)
    json_record = args.json and _evidence_record(record, case, items, skipped)
    page = args.report and _report(case, items, record, skipped)
    _print_evidence(items, case, file=sys.stderr if args.json or args.csv == "-" else None)
    if args.csv == "-" or args.json:
        cli.to_stdout(csv_text if args.csv == "-" else json_text(json_record))
    _write(csv_path, csv_text and csv_text.encode("utf-8", "surrogateescape"))
    _write(args.report, page and page.encode("utf-8", "surrogateescape"))
    for _, path in outputs:
        cli.say(f"wrote {path}")


def _validate(args):
    _refuse_both_on_stdout(args)
    cameras = {}
    for folder in args.folders:
        if not os.path.isdir(folder):
            raise cli.CommandError(f"{folder}: not a folder; give one folder of images per camera")
        name = os.path.basename(os.path.normpath(folder))
        if name in cameras:
            raise cli.CommandError(f"{folder}: another folder is also named {name}; each camera needs its own name")
        cameras[name] = cli.inputs([folder])
    images = [(camera, path) for camera, paths in cameras.items() for path in paths]
    population = _fingerprints(args.fingerprints)
    csv_path = args.csv if args.csv != "-" else None
    outputs = [(option, path) for option, path in (("--csv", csv_path), ("--tippett", args.tippett),
                                                   ("--ece", args.ece)) if path]
    cli.checked_outputs(outputs, [path for _, path in images] + _files(population))
    _need_lir()
    skipped = {}

    def skip(label, error):
        skipped[label] = cli.skipped(args, label, error)

    fingerprints = []
    for item in population:
        try:
            fingerprints.append(camera_fingerprint(item, _name(item)))
        except READ_ERRORS as error:
            if args.strict:
                raise
            skip(getattr(item, "file", item), error)
    result, used = validate(images, fingerprints, **cli.rule_of(args)._asdict(), onerror=None if args.strict else skip,
                            progress=sys.stderr.isatty())
    measured = performance(result)
    record = custody(**cli.rule_of(args)._asdict())
    csv_text = args.csv and _validation_csv(result, used, fingerprints)
    json_record = args.json and _validation_record(record, measured, result, used, fingerprints, skipped)
    pictures = {path: draw(result) for path, draw in ((args.tippett, tippett_png), (args.ece, ece_png)) if path}
    _print_performance(measured, file=sys.stderr if args.json or args.csv == "-" else None)
    if args.csv == "-" or args.json:
        cli.to_stdout(csv_text if args.csv == "-" else json_text(json_record))
    _write(csv_path, csv_text and csv_text.encode("utf-8", "surrogateescape"))
    for path, picture in pictures.items():
        _write(path, picture)
    for _, path in outputs:
        cli.say(f"wrote {path}")


def _refuse_both_on_stdout(args):
    if args.json and args.csv == "-":
        raise cli.CommandError("--json and --csv - would both write to standard output; give --csv a file")


def _need_lir():
    if importlib.util.find_spec("lir") is None:
        raise cli.CommandError('likelihood ratios need lir: pip install "morvekin[evidence]"')


def _fingerprints(arguments):
    """Library cameras and fingerprint files from LIB folders, folders of files and files, in order."""
    found = []
    for argument in arguments:
        if os.path.isfile(os.path.join(argument, prnu.library.CATALOGUE)):
            with prnu.Library(argument) as library:
                found.extend(library.cameras())
        else:
            found.extend(cli.inputs([argument]))
    return found


def _files(population):
    return [getattr(item, "file", item) for item in population]


def _name(item):
    return getattr(item, "name", None) or os.path.splitext(os.path.basename(item))[0]


def _write(path, data):
    if path:
        with atomic_write(path) as file:
            file.write(data)


def _print_evidence(items, case, file=None):
    print(f"Likelihood ratio of each image: the suspect camera against {len(case.population)} population cameras and "
          f"{len(case.others)} other images, {len(case.same_source)} same-source images; reported LR within its "
          "bounds (ELUB)", file=file)
    cells = [[source, f"{found.match.pce:.1f}", f"{found.ratio.score:.3f}", _number(found.ratio.lr),
              f"{_number(found.ratio.lr_bounds[0])}..{_number(found.ratio.lr_bounds[1])}",
              _number(found.ratio.bounded_lr), found.ratio.verbal] for source, found in items]
    _columns(["image", "pce", "score", "lr", "bounds", "reported", "verbal"], cells, file)
    for source, found in items:
        for condition in found.conditions:
            print(printable(f"{source}: {condition.kind}: {condition.detail}"), file=file)


def _print_performance(measured, file=None):
    print(f"Validation: {measured.same_source} same-source and {measured.different_source} different-source "
          "comparisons, each LR calibrated on the others and bounded", file=file)
    rows = [("Cllr (bits)", f"{measured.cllr:.3f}"), ("Cllr-min (bits)", f"{measured.cllr_min:.3f}"),
            ("same source with LR < 1", f"{measured.misleading_same:.1%}"),
            ("different source with LR > 1", f"{measured.misleading_different:.1%}"),
            (f"different source with LR > {STRONG:g}", f"{measured.strongly_misleading:.1%}"),
            ("different source beyond the upper bound before bounding", str(measured.beyond_bound)),
            ("largest different-source LR", _number(10.0 ** measured.largest_different))]
    _columns(["measure", "value"], rows, file)


def _columns(header, cells, file):
    lines = [[printable(str(cell)) for cell in line] for line in [header, *cells]]
    widths = [max(len(line[k]) for line in lines) for k in range(len(header))]
    for line in lines:
        print("  ".join(value.ljust(width) for value, width in zip(line, widths)).rstrip(), file=file)


def _number(value):
    return "inf" if value == math.inf else f"{value:.3g}"


def _evidence_csv(items, case):
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(["image", "pce", "p_value", "same_camera", "score", "log10_lr", "lr", "lr_lower", "lr_upper",
                     "bounded_lr", "log10_bounded_lr", "verbal", "same_source", "different_source", "conditions",
                     "image_sha256", "fingerprint_sha256"])
    for source, found in items:
        ratio = found.ratio
        writer.writerow(map(plain_cell, [source, found.match.pce, found.match.p_value, found.match.same_camera,
                                         ratio.score, ratio.log10_lr, ratio.lr, *ratio.lr_bounds, ratio.bounded_lr,
                                         ratio.log10_bounded_lr, ratio.verbal, ratio.same_source,
                                         ratio.different_source,
                                         ";".join(condition.kind for condition in found.conditions),
                                         found.image.sha256, case.suspect.stored.sha256]))
    return text.getvalue()


def _evidence_record(record, case, items, skipped):
    suspect = case.suspect
    return {**record, "propositions": {"hp": HP, "hd": HD},
            "fingerprint": {**file_entry(suspect.file, suspect.stored.sha256), "sigma": suspect.sigma,
                            "make": suspect.make, "model": suspect.model,
                            "warnings": list(suspect.stored.metadata.get("warnings") or ())},
            "images": [_image_record(source, found) for source, found in items],
            "skipped": [{"file": label, "reason": reason} for label, reason in skipped.items()]}


def _image_record(source, found):
    ratio = found.ratio
    return {"image": source, "image_sha256": found.image.sha256, **found.image.camera(),
            "score": ratio.score, "pce": found.match.pce, "p_value": found.match.p_value,
            "same_camera": found.match.same_camera, "lr": _finite(ratio.lr), "log10_lr": ratio.log10_lr,
            "lr_bounds": [_finite(bound) for bound in ratio.lr_bounds], "log10_lr_bounds": list(ratio.log10_bounds),
            "bounded_lr": _finite(ratio.bounded_lr), "log10_bounded_lr": ratio.log10_bounded_lr,
            "verbal": ratio.verbal,
            "match": {key: list(value) if isinstance(value, tuple) else value
                      for key, value in found.match._asdict().items()},
            "conditions": [condition._asdict() for condition in found.conditions],
            "same_source": {"count": ratio.same_source, "references": [_reference(r) for r in found.same_source]},
            "different_source": {"count": ratio.different_source,
                                 "references": [_reference(r) for r in found.different_source]}}


def _reference(reference):
    return {"kind": reference.kind, "name": reference.name, "file": reference.file, "sha256": reference.sha256,
            "pce": reference.match.pce, "score": reference.score}


def _finite(value):
    return value if math.isfinite(value) else None


def _report(case, items, record, skipped):
    from .report import report_html

    return report_html(case, items, record, list(skipped.items()))


def _validation_csv(result, used, fingerprints):
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(["image", "camera", "fingerprint", "same_source", "score", "log10_lr", "log10_lower",
                     "log10_upper", "log10_bounded_lr", "image_sha256", "fingerprint_sha256"])
    for row, (i, f) in enumerate(result.pairs):
        label, camera, facts = used[i]
        writer.writerow(map(plain_cell, [label, camera, fingerprints[f].name, bool(result.same_source[row]),
                                         result.scores[row], result.log10_lrs[row], *result.log10_bounds[row],
                                         result.log10_bounded_lrs[row], facts.sha256,
                                         fingerprints[f].stored.sha256]))
    return text.getvalue()


def _validation_record(record, measured, result, used, fingerprints, skipped):
    return {**record, "performance": measured._asdict(),
            "fingerprints": [{"name": fingerprint.name, **file_entry(fingerprint.file, fingerprint.stored.sha256)}
                             for fingerprint in fingerprints],
            "comparisons": [{"image": used[i][0], "camera": used[i][1], "image_sha256": used[i][2].sha256,
                             "fingerprint": fingerprints[f].name, "same_source": bool(result.same_source[row]),
                             "score": float(result.scores[row]), "log10_lr": float(result.log10_lrs[row]),
                             "log10_lr_bounds": [float(bound) for bound in result.log10_bounds[row]],
                             "log10_bounded_lr": float(result.log10_bounded_lrs[row])}
                            for row, (i, f) in enumerate(result.pairs)],
            "skipped": [{"file": label, "reason": reason} for label, reason in skipped.items()]}
