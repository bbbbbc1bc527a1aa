"""The ``morvekin`` command: noise residuals, camera fingerprints and matches from the shell.

Each subcommand is a thin layer over :mod:`morvekin_prnu`: it expands folders
into files, runs the library on them (here, in local threads, or on a Dask
cluster), reports the files it cannot read, and writes its outputs
atomically. Everything that can fail is checked before any work (the
outputs can be written, and none of them is an input) and prepared before
anything is written. ``main(argv)`` returns the exit status: 0 on success, 1
when the job fails (one line on standard error names the file or argument),
2 for a bad command line, 130 when interrupted. The library subcommands are
in :mod:`morvekin_prnu.library_command`, what all of them share in
:mod:`morvekin_prnu.cli`.
"""

import argparse
import importlib.util
import os
import signal
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pywt
from tqdm import tqdm

import morvekin_prnu as prnu

from . import cli
from ._threads import in_order
from .fingerprints import READ_ERRORS, recorded_fingerprint
from .evidence_command import add_evidence_commands
from .library_command import add_library_commands
from .matching import questioned
from .provenance import custody, file_entry, morvekin_version
from .reporting import (fingerprint_picture, heatmap_png, json_text, match_csv, match_record, print_table, printable,
                        residual_picture)
from .residual import denoised_and_residual_of_pixels
from .storage import atomic_write
from .verdict import strongest


def main(argv=None):
    """Run the command with ``argv`` (default: ``sys.argv[1:]``); return the exit status."""
    args = _parser().parse_args(argv)
    previous = _terminate_as_interrupt()
    try:
        args.run(args)
        return 0
    except KeyboardInterrupt:
        print(f"morvekin {args.command}: interrupted; nothing was left half written", file=sys.stderr)
        return 130
    except BrokenPipeError:  # the reader of standard output went away (| head)
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except MemoryError:
        print(f"morvekin {args.command}: error: out of memory", file=sys.stderr)
        return 1
    except (cli.CommandError, OSError, ValueError, TypeError, ArithmeticError) as error:
        print(printable(f"morvekin {args.command}: error: {error}"), file=sys.stderr)
        return 1
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)


def _parser():
    parser = argparse.ArgumentParser(
        prog="morvekin", description="Camera identification from sensor pattern noise (PRNU).",
        epilog="Run 'morvekin COMMAND --help' for each command's options.")
    parser.add_argument("--version", action="version", version=f"morvekin {morvekin_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    residual = commands.add_parser(
        "residual", help="write pictures of images' noise residuals",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="""Write a picture of each image's noise residual: three panels side by side,
  image     the picture as stored (its EXIF orientation is not applied: noise is
            analysed in the sensor's pixel order); 16-bit images shown in 8 bits,
  denoised  each colour channel as the wavelet denoiser leaves it (in colour for
            a colour photograph),
  residual  the noise residual that 'fingerprint' and 'match' use (the noise
            removed from the channels, combined to luminance, zero-mean and
            Wiener filtered), stretched so that the 99.5th percentile of its
            magnitude spans black to white.
With no IMAGE it uses PyWavelets' bundled 512x512 'camera' picture. Each
IMAGE.ext becomes DIR/IMAGE_residual.png (and IMAGE_residual.npy with
--save-npy: the residual as float32).""")
    residual.add_argument("images", nargs="*", metavar="IMAGE|FOLDER", help=cli.INPUTS_HELP)
    residual.add_argument("-o", "--output", default=".", metavar="DIR",
                          help="folder for the pictures, made if missing (default: the current folder)")
    residual.add_argument("--save-npy", action="store_true", help="also write each residual as .npy")
    cli.add_common(residual, written="the pictures of the files before it stay")
    residual.set_defaults(run=_residual)

    fingerprint = commands.add_parser(
        "fingerprint", help="estimate a camera's fingerprint from its photographs",
        description="""Estimate one camera's sensor fingerprint from photographs it took (all of
            one shape; bright, flat, in-focus pictures are best, 20 to 50 are usual) and write it
            with its metadata: the image count, shape, sigma, wavelet and levels, the files used
            (with the SHA-256 of each and the camera's make, model and serial number from its
            EXIF), the files skipped and why, warnings on its quality, the time (UTC) and
            morvekin's version. The images of the shape most have are used; a file given twice
            (or two files of the same bytes) counts once. The file is written whole or not at
            all. The result is the same bits with any --workers and on a cluster.""")
    fingerprint.add_argument("images", nargs="+", metavar="IMAGE|FOLDER", help=cli.INPUTS_HELP)
    fingerprint.add_argument("-o", "--output", required=True, metavar="FILE.npz",
                             help="the fingerprint file to write (replaced if it exists)")
    cli.add_common(fingerprint)
    cli.add_frames(fingerprint)
    cli.add_where(fingerprint)
    fingerprint.set_defaults(run=_fingerprint)

    match = commands.add_parser(
        "match", help="test images against camera fingerprints",
        description="""Test every image against every fingerprint: the peak-to-correlation
            energy (PCE) and normalised cross-correlation (NCC) of its noise residual with each.
            An image of the fingerprint's shape is tested as it was taken (and turned); a smaller
            one is searched over scales and crop positions, as morvekin_prnu.match does. Each test
            decides with a false-alarm probability of --p-fa for whatever was searched. Prints a
            table of PCE with the verdict: of the cameras the image is attributed to, the one with
            the smallest p-value, or 'none'. Each fingerprint is matched with the sigma it was
            made with.""")
    match.add_argument("images", nargs="+", metavar="IMAGE|FOLDER", help=cli.INPUTS_HELP)
    match.add_argument("--fingerprints", nargs="+", required=True, metavar="FILE.npz",
                       help="fingerprint files written by 'morvekin fingerprint'; put this option after "
                            "the images")
    cli.add_verdict(match, "one row per image and fingerprint: image, fingerprint, pce, ncc, peak_row, peak_column "
                           "(where the image's top-left pixel lies on the fingerprint), verdict, p_value, scale and "
                           "orientation (how the image was resized and turned at the peak), positions, scales and "
                           "orientations (the tests the p-value accounts for, and the scales and orientations among "
                           "them), flags (when the p-value may not hold: 'source image', 'shared scene'), "
                           "image_sha256, fingerprint_sha256")
    match.add_argument("--json", action="store_true",
                       help="write the whole result to standard output as JSON (the table then goes to "
                            "standard error): when and with which morvekin it was made, the options that "
                            "decide, each fingerprint file with its SHA-256 and sigma, each image with its "
                            "SHA-256, camera, verdict and matches (every field of morvekin_prnu.Match), and "
                            "the files skipped")
    match.add_argument("--plot", metavar="FILE.png",
                       help="also draw a heatmap of PCE, images down and fingerprints across, on a log "
                            "colour scale (below 1 shown as 1), with cells attributed to the camera framed "
                            "in red (and a --threshold marked on the scale). It is 100 dpi, 4.5 inches "
                            "wide plus 1 per fingerprint and 2 tall plus a quarter per image, at most "
                            "400 images' worth. Needs matplotlib: pip install \"morvekin[plot]\"")
    cli.add_common(match, sigma=False)
    cli.add_frames(match)
    cli.add_where(match)
    match.set_defaults(run=_match)

    inspect = commands.add_parser(
        "inspect", help="print a fingerprint file's metadata",
        description="""Print what a fingerprint file records: its SHA-256, shape, sigma, wavelet and
            levels, when and with which morvekin it was made, each image used with its SHA-256 and
            camera, the files skipped, warnings, and the estimate's range. The file is checked as
            'match' checks it.""")
    inspect.add_argument("fingerprint", metavar="FILE.npz")
    inspect.add_argument("--json", action="store_true", help="print it as JSON")
    inspect.set_defaults(run=_inspect)

    show = commands.add_parser(
        "show", help="draw a fingerprint as a picture",
        description="""Draw a fingerprint as an 8-bit grey PNG of its own size: mid-grey is zero,
            and the 99.5th percentile of its magnitude spans black (negative) to white (positive).""")
    show.add_argument("fingerprint", metavar="FILE.npz")
    show.add_argument("-o", "--output", required=True, metavar="FILE.png",
                      help="the picture to write (replaced if it exists)")
    show.set_defaults(run=_show)

    add_library_commands(commands)
    add_evidence_commands(commands)
    return parser


def _residual(args):
    sources = cli.inputs(args.images) if args.images else [None]
    folder = Path(args.output)
    stems = {}
    for source in sources:
        stem = "camera" if source is None else Path(source).stem
        if stem in stems:
            raise cli.CommandError(f"{stems[stem]} and {source} would both be written as {stem}_residual.png; "
                                   "process them into different --output folders")
        stems[stem] = source
    folder.mkdir(parents=True, exist_ok=True)
    cli.checked_outputs([("-o", str(folder / f"{stem}_residual.{suffix}")) for stem in stems
                         for suffix in (("png", "npy") if args.save_npy else ("png",))],
                        [source for source in sources if source is not None])
    written = []
    for source, stem in tqdm(list(zip(sources, stems)), disable=None if len(sources) > 1 else True,
                             unit="image"):
        try:
            pixels = pywt.data.camera() if source is None else prnu.load_image(source, orient=False)
            denoised, residual = denoised_and_residual_of_pixels(pixels, args.sigma, name=source or "camera")
        except READ_ERRORS as error:
            if args.strict:
                raise
            cli.skipped(args, source, error)
            continue
        with atomic_write(folder / f"{stem}_residual.png") as file:
            residual_picture(pixels, denoised, residual).save(file, format="PNG")
        if args.save_npy:
            with atomic_write(folder / f"{stem}_residual.npy") as file:
                np.save(file, residual)
        written.append(folder / f"{stem}_residual.png")
    cli.check_any(written, sources)
    cli.say(f"wrote {written[0]}" if len(written) == 1 else f"wrote {len(written)} pictures into {folder}")


def _fingerprint(args):
    sources = cli.inputs(args.images, absolute=args.scheduler is not None)
    output = args.output
    cli.checked_outputs([("-o", output)], sources)
    skipped = []

    def skip(label, error):
        skipped.append(cli.skipped(args, label, error))

    with cli.cluster(args) as client, cli.warnings_said(args):
        estimate, metadata = recorded_fingerprint(sources, sigma=args.sigma, progress=sys.stderr.isatty(),
                                                  workers=cli.in_flight(args, client),
                                                  onerror=None if args.strict else skip, executor=client,
                                                  frames=args.frames, max_frames=args.max_frames)
    prnu.save_fingerprint(output, estimate, metadata)
    cli.say(f"wrote {output}: {metadata['images']} images of {estimate.shape[0]}x{estimate.shape[1]}"
            + (f", {len(skipped)} skipped" if skipped else ""))


def _match(args):
    if args.json and args.csv == "-":
        raise cli.CommandError("--json and --csv - would both write to standard output; give --csv a file")
    sources = cli.inputs(args.images, absolute=args.scheduler is not None)
    csv_path = args.csv if args.csv != "-" else None
    outputs = [(option, path) for option, path in (("--csv", csv_path), ("--plot", args.plot)) if path]
    cli.checked_outputs(outputs, [*sources, *args.fingerprints])
    if args.plot and importlib.util.find_spec("matplotlib") is None:
        raise cli.CommandError('--plot needs matplotlib: pip install "morvekin[plot]"')
    stored = [prnu.read_fingerprint(path) for path in args.fingerprints]
    names = [Path(path).stem for path in args.fingerprints]
    if len(set(names)) < len(names):
        names = list(args.fingerprints)
    rows, skipped = [], {}
    rule = cli.rule_of(args)
    with cli.cluster(args) as client, ThreadPoolExecutor(args.workers) as pool:
        # Sent to each worker once, not with every task.
        fingerprints = stored if client is None else client.scatter(stored, broadcast=True)
        outcomes = in_order(pool if client is None else client, _matched, ((source,) for source in sources),
                            cli.in_flight(args, client), fingerprints, rule, not args.strict,
                            dict(frames=args.frames, max_frames=args.max_frames))
        for source, outcome in zip(sources, tqdm(outcomes, total=len(sources), disable=None, unit="image")):
            if isinstance(outcome, Exception):
                skipped[source] = cli.skipped(args, source, outcome)
            else:
                found, facts = outcome
                rows.append((source, found, _verdict(found, names), facts))
    cli.check_any(rows, sources)
    # Everything is made before anything is written, so a failure leaves no output behind.
    digests = [digest for _, _, digest in stored]
    csv_text = args.csv and match_csv(rows, names, digests)
    picture = args.plot and heatmap_png([row[0] for row in rows], names,
                                        np.array([[outcome.pce for outcome in row[1]] for row in rows]),
                                        np.array([[outcome.same_camera for outcome in row[1]] for row in rows]),
                                        cli.decided_by(rule), rule.threshold)
    record = args.json and match_record(
        custody(**rule._asdict()),
        [{"name": name, **file_entry(path, digest), "sigma": metadata["sigma"]}
         for name, path, (_, metadata, digest) in zip(names, args.fingerprints, stored)],
        rows, names, skipped)
    print_table(rows, names, cli.decided_by(rule), file=sys.stderr if args.json or args.csv == "-" else None)
    if args.csv == "-" or args.json:
        cli.to_stdout(csv_text if args.csv == "-" else json_text(record))
    if csv_path:
        with atomic_write(csv_path) as file:
            file.write(csv_text.encode("utf-8", "surrogateescape"))
    if args.plot:
        with atomic_write(args.plot) as file:
            file.write(picture)
    for _, path in outputs:
        cli.say(f"wrote {path}")


def _matched(source, stored, rule, skip, frames):
    """One image or video (its ``frames`` chosen so) against every fingerprint file read, with its facts; or,
    when skipping, the error that stopped it. A task for an executor."""
    try:
        question = questioned(source, {fingerprint.metadata["sigma"] for fingerprint in stored}, **frames)
        return prnu.match_all(stored, question, **rule._asdict()), question.facts
    except READ_ERRORS as error:
        if not skip:
            raise
        return error


def _inspect(args):
    stored = prnu.read_fingerprint(args.fingerprint)
    estimate = stored.fingerprint
    summary = {"file": args.fingerprint, "sha256": stored.sha256,
               "range": {"min": float(estimate.min()), "max": float(estimate.max()),
                         "rms": float(np.sqrt(np.mean(np.square(estimate, dtype=np.float64))))},
               "metadata": stored.metadata}
    if args.json:
        cli.to_stdout(json_text(summary))
        return
    # The file's own name, SHA-256 and range first, then what its metadata says, indented under it: whatever
    # keys the metadata holds, it cannot pass for the file's own facts.
    metadata = summary.pop("metadata")
    lines = _described(summary, "") + ["metadata (as the file records it):"] + _described(metadata, "  ")
    print("\n".join(printable(line) for line in lines))


def _described(fields, indent):
    """Lines of ``key: value`` for people: lists of records one per line, numbers short."""
    lines = []
    for key, value in fields.items():
        if isinstance(value, list) and value and all(isinstance(item, dict) for item in value):
            lines.append(f"{indent}{key}: {len(value)}")
            lines += [f"{indent}  " + ", ".join(f"{k} {v}" for k, v in item.items() if v is not None) for item in value]
        elif isinstance(value, list) and not all(isinstance(item, (int, float)) for item in value):
            lines.append(f"{indent}{key}: {len(value)}")
            lines += [f"{indent}  {item}" for item in value]
        elif isinstance(value, dict):
            lines.append(f"{indent}{key}: " + ", ".join(f"{k} {v:.6g}" if isinstance(v, float) else f"{k} {v}"
                                                        for k, v in value.items()))
        else:
            lines.append(f"{indent}{key}: {value}")
    return lines


def _show(args):
    output = args.output
    cli.checked_outputs([("-o", output)], [args.fingerprint])
    estimate, _ = prnu.load_fingerprint(args.fingerprint)
    with atomic_write(output) as file:
        fingerprint_picture(estimate).save(file, format="PNG")
    cli.say(f"wrote {output}: {estimate.shape[0]}x{estimate.shape[1]}")


def _verdict(outcomes, names):
    """Of the cameras the image is attributed to, the one with the smallest p-value; None if none."""
    best = strongest(outcomes)
    return None if best is None else names[best]


def _terminate_as_interrupt():
    """Make SIGTERM end the run as Ctrl-C does, so no temporary file is left; the handler it replaced."""
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    try:
        return signal.signal(signal.SIGTERM, interrupt)
    except ValueError:  # not the main thread: leave signals alone
        return None
