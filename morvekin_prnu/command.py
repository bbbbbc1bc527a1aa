"""The ``morvekin`` command: noise residuals, camera fingerprints and matches from the shell.

Each subcommand is a thin layer over :mod:`morvekin_prnu`: it expands folders
into files, runs the library on them (here, in local threads, or on a Dask
cluster), reports the files it cannot read, and writes its outputs
atomically. Everything that can fail is checked before any work (the
outputs can be written, and none of them is an input) and prepared before
anything is written. ``main(argv)`` returns the exit status: 0 on success, 1
when the job fails (one line on standard error names the file or argument),
2 for a bad command line, 130 when interrupted.
"""

import argparse
import contextlib
import importlib.util
import math
import os
import signal
import sys
import tempfile
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pywt
from tqdm import tqdm

import morvekin_prnu as prnu

from ._checks import checked_sigma
from ._threads import in_order
from .fingerprints import READ_ERRORS
from .matching import P_FA, checked_rule, strongest
from .provenance import custody, file_entry, morvekin_version
from .reporting import (fingerprint_picture, heatmap_png, identifications_csv, json_text, match_csv, match_record,
                        print_cameras, print_identifications, print_table, printable, residual_picture)
from .residual import SIGMA, denoised_and_residual_of_pixels
from .search import MIN_SCALE
from .storage import atomic_write, fingerprint_metadata

class CommandError(Exception):
    """A job that cannot be done, with a message for the user."""


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
    except (CommandError, OSError, ValueError, TypeError, ArithmeticError) as error:
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
    residual.add_argument("images", nargs="*", metavar="IMAGE|FOLDER", help=_INPUTS_HELP)
    residual.add_argument("-o", "--output", default=".", metavar="DIR",
                          help="folder for the pictures, made if missing (default: the current folder)")
    residual.add_argument("--save-npy", action="store_true", help="also write each residual as .npy")
    _add_common(residual, written="the pictures of the files before it stay")
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
    fingerprint.add_argument("images", nargs="+", metavar="IMAGE|FOLDER", help=_INPUTS_HELP)
    fingerprint.add_argument("-o", "--output", required=True, metavar="FILE.npz",
                             help="the fingerprint file to write (replaced if it exists)")
    _add_common(fingerprint)
    _add_where(fingerprint)
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
    match.add_argument("images", nargs="+", metavar="IMAGE|FOLDER", help=_INPUTS_HELP)
    match.add_argument("--fingerprints", nargs="+", required=True, metavar="FILE.npz",
                       help="fingerprint files written by 'morvekin fingerprint'; put this option after "
                            "the images")
    _add_verdict(match, "one row per image and fingerprint: image, fingerprint, pce, ncc, peak_row, peak_column "
                        "(where the image's top-left pixel lies on the fingerprint), verdict, p_value, scale and "
                        "orientation (how the image was resized and turned at the peak), positions, scales and "
                        "orientations (the tests the p-value accounts for, and the scales and orientations among "
                        "them), image_sha256, fingerprint_sha256")
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
    _add_common(match, sigma=False)
    _add_where(match)
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

    _add_library(commands)
    return parser


_INPUTS_HELP = ("image files, or folders whose files are all taken (not their subfolders nor hidden "
                "files), sorted by name")


def _add_common(parser, sigma=True, written="nothing is written"):
    if sigma:
        parser.add_argument("--sigma", type=_sigma, default=SIGMA,
                            help=f"the denoiser's noise standard deviation in 8-bit grey levels (default {SIGMA:g})")
    parser.add_argument("--strict", action="store_true",
                        help=f"stop at the first file that cannot be read, with exit status 1 ({written}); "
                             "without it such files are reported on standard error and skipped")


def _add_verdict(parser, rows):
    parser.add_argument("--p-fa", type=_probability, default=P_FA, metavar="P",
                        help="probability that an image from another camera is attributed to a fingerprint, "
                             f"for the whole search done (default {P_FA:g})")
    parser.add_argument("--threshold", type=_positive, metavar="PCE",
                        help="decide with this fixed PCE instead of --p-fa, whatever was searched (60 is the usual "
                             "one for shots as taken)")
    parser.add_argument("--orientations", type=int, choices=(1, 4, 8), default=4,
                        help="orientations tried: 1 the image as stored, 4 its quarter turns (default), 8 also "
                             "those of its mirror image")
    parser.add_argument("--min-scale", type=_scale, default=MIN_SCALE, metavar="S",
                        help=f"smallest scale searched for a resized image, in (0, 1] (default {MIN_SCALE:g}: "
                             "half the camera's size)")
    parser.add_argument("--csv", metavar="FILE.csv",
                        help=f"also write {rows}; '-' writes it to standard output (the table then goes to "
                             "standard error)")


def _rule(args):
    """--p-fa, --threshold, --orientations and --min-scale as a morvekin_prnu.matching.Rule."""
    return checked_rule(args.p_fa, args.threshold, args.orientations, args.min_scale)


def _add_where(parser):
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_count, default=1, metavar="N",
                       help="images processed at once in threads here (default 1: each image already uses "
                            "every core)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run the per-image work on this dask.distributed scheduler (e.g. "
                            "tcp://10.0.0.5:8786); each worker reads its own files, sent as absolute paths, "
                            "so they must see the files under the same absolute paths, and needs morvekin "
                            "installed. Needs pip install \"morvekin[dask]\"")


def _residual(args):
    sources = _inputs(args.images) if args.images else [None]
    folder = Path(args.output)
    stems = {}
    for source in sources:
        stem = "camera" if source is None else Path(source).stem
        if stem in stems:
            raise CommandError(f"{stems[stem]} and {source} would both be written as {stem}_residual.png; "
                               "process them into different --output folders")
        stems[stem] = source
    folder.mkdir(parents=True, exist_ok=True)
    _checked_outputs([("-o", str(folder / f"{stem}_residual.{suffix}")) for stem in stems
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
            _skipped(args, source, error)
            continue
        with atomic_write(folder / f"{stem}_residual.png") as file:
            residual_picture(pixels, denoised, residual).save(file, format="PNG")
        if args.save_npy:
            with atomic_write(folder / f"{stem}_residual.npy") as file:
                np.save(file, residual)
        written.append(folder / f"{stem}_residual.png")
    _check_any(written, sources)
    _say(f"wrote {written[0]}" if len(written) == 1 else f"wrote {len(written)} pictures into {folder}")


def _fingerprint(args):
    sources = _inputs(args.images, absolute=args.scheduler is not None)
    output = args.output
    _checked_outputs([("-o", output)], sources)
    skipped, inputs = {}, []

    def skip(label, error):
        skipped[label] = _skipped(args, label, error)

    def read(label, facts):
        inputs.append(file_entry(label, facts.sha256, facts.camera()))

    with _cluster(args) as client, _warnings_said(args) as said:
        estimate = prnu.fingerprint(sources, sigma=args.sigma, progress=sys.stderr.isatty(),
                                    workers=_in_flight(args, client), onerror=None if args.strict else skip,
                                    executor=client, onread=read)
    prnu.save_fingerprint(output, estimate, {**fingerprint_metadata(args.sigma, inputs, skipped), "warnings": said})
    _say(f"wrote {output}: {len(inputs)} images of {estimate.shape[0]}x{estimate.shape[1]}"
         + (f", {len(skipped)} skipped" if skipped else ""))


def _match(args):
    if args.json and args.csv == "-":
        raise CommandError("--json and --csv - would both write to standard output; give --csv a file")
    sources = _inputs(args.images, absolute=args.scheduler is not None)
    csv_path = args.csv if args.csv != "-" else None
    outputs = [(option, path) for option, path in (("--csv", csv_path), ("--plot", args.plot)) if path]
    _checked_outputs(outputs, [*sources, *args.fingerprints])
    if args.plot and importlib.util.find_spec("matplotlib") is None:
        raise CommandError('--plot needs matplotlib: pip install "morvekin[plot]"')
    stored = [prnu.read_fingerprint(path) for path in args.fingerprints]
    names = [Path(path).stem for path in args.fingerprints]
    if len(set(names)) < len(names):
        names = list(args.fingerprints)
    rows, skipped = [], {}
    fingerprints = [fingerprint for fingerprint, _, _ in stored]
    sigmas = [metadata["sigma"] for _, metadata, _ in stored]
    rule = _rule(args)
    with _cluster(args) as client, ThreadPoolExecutor(args.workers) as pool:
        if client is not None:  # sent to each worker once, not with every task
            fingerprints = client.scatter(fingerprints, broadcast=True)
        outcomes = in_order(pool if client is None else client, _matched, ((source,) for source in sources),
                            _in_flight(args, client), fingerprints, sigmas, rule, not args.strict)
        for source, outcome in zip(sources, tqdm(outcomes, total=len(sources), disable=None, unit="image")):
            if isinstance(outcome, Exception):
                skipped[source] = _skipped(args, source, outcome)
            else:
                found, facts = outcome
                rows.append((source, found, _verdict(found, names), facts))
    _check_any(rows, sources)
    # Everything is made before anything is written, so a failure leaves no output behind.
    digests = [digest for _, _, digest in stored]
    csv_text = args.csv and match_csv(rows, names, digests)
    picture = args.plot and heatmap_png([row[0] for row in rows], names,
                                        np.array([[outcome.pce for outcome in row[1]] for row in rows]),
                                        np.array([[outcome.same_camera for outcome in row[1]] for row in rows]),
                                        _decided_by(rule), rule.threshold)
    record = args.json and match_record(
        custody(**rule._asdict()),
        [{"name": name, **file_entry(path, digest), "sigma": metadata["sigma"]}
         for name, path, (_, metadata, digest) in zip(names, args.fingerprints, stored)],
        rows, names, skipped)
    print_table(rows, names, _decided_by(rule), file=sys.stderr if args.json or args.csv == "-" else None)
    if args.csv == "-" or args.json:
        _to_stdout(csv_text if args.csv == "-" else json_text(record))
    if csv_path:
        with atomic_write(csv_path) as file:
            file.write(csv_text.encode("utf-8", "surrogateescape"))
    if args.plot:
        with atomic_write(args.plot) as file:
            file.write(picture)
    for _, path in outputs:
        _say(f"wrote {path}")


def _matched(source, fingerprints, sigmas, rule, skip):
    """One image against every fingerprint, its residual taken once per sigma among them, with its
    ImageFacts; or, when skipping, the error that stopped it. A task for an executor."""
    outcomes = [None] * len(fingerprints)
    try:
        pixels, facts = prnu.read_image(source, orient=False)
        for sigma in dict.fromkeys(sigmas):
            chosen = [k for k, of in enumerate(sigmas) if of == sigma]
            found = prnu.match_all([fingerprints[k] for k in chosen], pixels, sigma=sigma, **rule._asdict())
            for k, outcome in zip(chosen, found):
                outcomes[k] = outcome
    except READ_ERRORS as error:
        # The pixels are matched as an array: name the file in what is said of them.
        error = error if str(error).startswith(source) else ValueError(f"{source}: {error}")
        if not skip:
            raise error from None
        return error
    return outcomes, facts


def _inspect(args):
    stored = prnu.read_fingerprint(args.fingerprint)
    estimate = stored.fingerprint
    summary = {"file": args.fingerprint, "sha256": stored.sha256,
               "range": {"min": float(estimate.min()), "max": float(estimate.max()),
                         "rms": float(np.sqrt(np.mean(np.square(estimate, dtype=np.float64))))},
               "metadata": stored.metadata}
    if args.json:
        _to_stdout(json_text(summary))
        return
    metadata = summary.pop("metadata")
    for key, value in {**summary, **metadata}.items():
        if isinstance(value, list) and value and all(isinstance(item, dict) for item in value):
            print(f"{key}: {len(value)}")
            for item in value:
                print(printable("  " + ", ".join(f"{k} {v}" for k, v in item.items() if v is not None)))
        elif isinstance(value, list) and all(isinstance(item, (int, float)) for item in value):
            print(f"{key}: {value}")
        elif isinstance(value, list):
            print(f"{key}: {len(value)}")
            for item in value:
                print(printable(f"  {item}"))
        elif isinstance(value, dict):
            print(printable(f"{key}: " + ", ".join(f"{k} {v:.6g}" if isinstance(v, float) else f"{k} {v}"
                                                   for k, v in value.items())))
        else:
            print(printable(f"{key}: {value}"))


def _show(args):
    output = args.output
    _checked_outputs([("-o", output)], [args.fingerprint])
    estimate, _ = prnu.load_fingerprint(args.fingerprint)
    with atomic_write(output) as file:
        fingerprint_picture(estimate).save(file, format="PNG")
    _say(f"wrote {output}: {estimate.shape[0]}x{estimate.shape[1]}")


def _verdict(outcomes, names):
    """Of the cameras the image is attributed to, the one with the smallest p-value; None if none."""
    best = strongest(outcomes)
    return None if best is None else names[best]


def _decided_by(rule):
    """How the verdicts were decided, for the table and the heatmap."""
    return f"PCE above {rule.threshold:g}" if rule.threshold is not None else f"false-alarm probability {rule.p_fa:g}"


@contextlib.contextmanager
def _cluster(args):
    """A dask.distributed client connected to --scheduler, or None without one."""
    if args.scheduler is None:
        yield None
        return
    if importlib.util.find_spec("distributed") is None:
        raise CommandError('--scheduler needs dask.distributed: pip install "morvekin[dask]"')
    from distributed import Client

    try:
        client = Client(args.scheduler)
    except (OSError, ValueError) as error:
        raise CommandError(f"--scheduler {args.scheduler}: cannot connect: {error}") from None
    with client:
        yield client


def _in_flight(args, client):
    """Tasks to keep submitted: --workers here; on a cluster, two per worker thread, which keeps every
    thread busy without piling up results."""
    return args.workers if client is None else 2 * max(1, sum(client.nthreads().values()))


def _inputs(arguments, absolute=False):
    """The files named, and the files in the folders named, in order; a file named again (itself or
    through a link) counts once, and is said to. ``absolute`` makes every path absolute."""
    files, seen = [], {}
    for argument in arguments:
        if os.path.isdir(argument):
            # Every entry but folders and hidden ones: one that is no regular file is reported when read.
            found = sorted(entry.name for entry in os.scandir(argument)
                           if not entry.name.startswith(".") and not entry.is_dir())
            if not found:
                raise CommandError(f"{argument}: the folder holds no files")
            named = [os.path.join(argument, name) for name in found]
        elif os.path.exists(argument):
            named = [argument]
        else:
            raise CommandError(f"{argument}: no such file or folder")
        for path in named:
            identity = _identity(path)
            if identity is not None and identity in seen:
                _say(f"{path} is the same file as {seen[identity]}: counted once")
                continue
            seen[identity] = path
            files.append(os.path.abspath(path) if absolute else path)
    return files


def _identity(path):
    """The device and inode of the file a path leads to (links followed), or None if it leads nowhere."""
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return status.st_dev, status.st_ino


def _checked_outputs(outputs, inputs):
    """Check (option, path) outputs before any work: each one's folder exists and can be written, it
    is not a folder, it is none of the inputs (the same file, whatever links lead to it), and no two
    outputs are the same file."""
    taken = {_identity(source): source for source in inputs}
    taken.pop(None, None)
    written, writable = {}, set()
    for option, path in outputs:
        folder = os.path.dirname(path) or "."
        if not os.path.isdir(folder):
            raise CommandError(f"{option} {path}: the folder {folder} does not exist")
        if os.path.isdir(path):
            raise CommandError(f"{option} {path}: is a folder, not a file")
        if _identity(path) in taken:
            raise CommandError(f"{option} {path}: is the input {taken[_identity(path)]}, which would be "
                               "overwritten; write to another file")
        if os.path.realpath(path) in written:
            raise CommandError(f"{option} {path}: is also the output of {written[os.path.realpath(path)]}")
        written[os.path.realpath(path)] = option
        if folder not in writable:  # a file made and removed there, as the output's temporary file will be
            try:
                descriptor, probe = tempfile.mkstemp(dir=folder, prefix=".morvekin-", suffix=".tmp")
            except OSError as error:
                raise CommandError(f"{option} {path}: cannot be written: {error.strerror}") from None
            os.close(descriptor)
            os.remove(probe)
            writable.add(folder)


@contextlib.contextmanager
def _warnings_said(args):
    """Catch the library's warnings on a fingerprint's quality, say each on standard error, and yield
    the list of their texts (filled once the block ends); other warnings pass on as usual."""
    texts = []
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", prnu.FingerprintWarning)
        try:
            yield texts
        finally:
            for warning in caught:
                if issubclass(warning.category, prnu.FingerprintWarning):
                    texts.append(str(warning.message))
                    tqdm.write(printable(f"morvekin {args.command}: warning: {warning.message}"), file=sys.stderr)
                else:
                    warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)


def _to_stdout(text):
    """Write text to standard output, a file name's bytes that are not UTF-8 as they are."""
    buffer = getattr(sys.stdout, "buffer", None)
    if buffer is None:
        sys.stdout.write(text)
        return
    sys.stdout.flush()
    buffer.write(text.encode("utf-8", "surrogateescape"))
    buffer.flush()


def _skipped(args, label, error):
    """Say that a file is skipped and why; return the reason (the error's message, less the file name)."""
    reason = str(error).removeprefix(f"{label}: ")
    tqdm.write(printable(f"morvekin {args.command}: skipped {label}: {reason}"), file=sys.stderr)
    return reason


def _check_any(done, sources):
    if not done:
        raise CommandError(f"none of the {len(sources)} files could be read (see above)")


def _say(message):
    print(printable(f"morvekin: {message}"), file=sys.stderr)


def _sigma(text):
    try:
        return checked_sigma(float(text), "it")
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error).removeprefix("it ")) from None


def _positive(text):
    value = float(text)
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"must be a positive finite number, not {text}")
    return value


def _probability(text):
    value = float(text)
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(f"must be a number between 0 and 1, not {text}")
    return value


def _scale(text):
    value = float(text)
    if not 0 < value <= 1:
        raise argparse.ArgumentTypeError(f"must be a number in (0, 1], not {text}")
    return value


def _count(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, not {text}")
    return value


def _terminate_as_interrupt():
    """Make SIGTERM end the run as Ctrl-C does, so no temporary file is left; the handler it replaced."""
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    try:
        return signal.signal(signal.SIGTERM, interrupt)
    except ValueError:  # not the main thread: leave signals alone
        return None


def _add_library(commands):
    library = commands.add_parser(
        "library", help="keep a library of camera fingerprints and search it",
        description="""A library is a folder of fingerprints with an SQLite catalogue (name, EXIF make,
            model and serial, image count, shape, sigma, the SHA-256 of every source image and of the
            fingerprint file, dates) and a compact index that picks the few cameras worth the full test
            when identifying an image. Any number of commands may read a library while one writes it.""")
    actions = library.add_subparsers(dest="action", required=True, metavar="ACTION")

    add = actions.add_parser(
        "add", help="add a camera from its photographs or from a fingerprint file",
        description="""Add a camera to the library (made if it does not exist): its fingerprint is
            computed from its photographs as 'morvekin fingerprint' does, or taken from a file that
            command wrote (--fingerprint), then stored with its catalogue row in one transaction: an
            error or Ctrl-C leaves the library as it was.""")
    add.add_argument("library", metavar="LIB", help="the library's folder")
    add.add_argument("name", metavar="NAME", help="the camera's name in the library")
    add.add_argument("images", nargs="*", metavar="IMAGE|FOLDER", help=_INPUTS_HELP)
    add.add_argument("--fingerprint", metavar="FILE.npz", help="add this fingerprint file instead of photographs")
    _add_common(add)
    _add_where(add)
    add.set_defaults(run=_library_add, command="library add")

    listing = actions.add_parser("list", help="list the cameras of a library",
                                 description="List the library's cameras: name, shape, image count, sigma, EXIF make, "
                                             "model and serial, and when each was added.")
    listing.add_argument("library", metavar="LIB", help="the library's folder")
    listing.set_defaults(run=_library_list, command="library list")

    remove = actions.add_parser("remove", help="remove a camera from a library",
                                description="Remove a camera's row and index entry, then its fingerprint file.")
    remove.add_argument("library", metavar="LIB", help="the library's folder")
    remove.add_argument("name", metavar="NAME", help="the camera's name")
    remove.set_defaults(run=_library_remove, command="library remove")

    verify = actions.add_parser(
        "verify", help="check a library's files and catalogue",
        description="""Check that every fingerprint file is there, has the SHA-256 the catalogue records,
            reads as the fingerprint recorded and matches its index entry; that no catalogue row was changed
            outside morvekin; and that no file is left that no row names. Prints one line per problem; exit
            status 1 if there is any.""")
    verify.add_argument("library", metavar="LIB", help="the library's folder")
    verify.set_defaults(run=_library_verify, command="library verify")

    identify = actions.add_parser(
        "identify", help="find which of a library's cameras took each image",
        description="""For each image, find the camera of the library that took it: the compact index picks
            the candidates, which are tested in full as 'morvekin match' tests them (the same PCE and
            p-value); the verdict is, of the cameras the image is attributed to, the one with the smallest
            p-value, or none. Cameras whose fingerprint has another shape than the image in every
            orientation tried (a crop or a resized picture) are always tested in full. A candidate whose
            fingerprint file is missing, changed or damaged is not tested and is named on standard error
            and in the CSV (--strict stops instead).""")
    identify.add_argument("library", metavar="LIB", help="the library's folder")
    identify.add_argument("images", nargs="+", metavar="IMAGE|FOLDER", help=_INPUTS_HELP)
    _add_verdict(identify, "one row per image: image, camera, pce, ncc, peak_row, peak_column, verdict, p_value, "
                           "scale, orientation, positions, scales, orientations (as for 'morvekin match', of the "
                           "best camera), score "
                           "(the index's), tested (cameras tested in full), cameras (searched), untested "
                           "(candidates whose file could not be read), image_sha256 (of the bytes decoded), "
                           "fingerprint_sha256 (the camera's, if tested)")
    identify.add_argument("--exhaustive", action="store_true",
                          help="test every camera in full instead of the index's candidates")
    _add_common(identify, sigma=False)
    _add_where(identify)
    identify.set_defaults(run=_library_identify, command="library identify")


def _library_add(args):
    if bool(args.images) == bool(args.fingerprint):
        raise CommandError("give either photographs or --fingerprint FILE.npz")
    # Absolute: the catalogue outlives the folder the command runs in.
    sources = [args.fingerprint] if args.fingerprint else _inputs(args.images, absolute=True)
    fresh = not os.path.lexists(args.library)
    skipped = []

    def skip(label, error):
        skipped.append(_skipped(args, label, error))

    try:
        with prnu.Library(args.library, create=True) as library:
            _checked_outputs([("LIB", os.path.join(library.path, prnu.library.CATALOGUE))], sources)
            with _cluster(args) as client, _warnings_said(args):
                if args.fingerprint:
                    camera = library.add_fingerprint(args.name, args.fingerprint)
                else:
                    camera = library.add(args.name, sources, sigma=args.sigma, progress=sys.stderr.isatty(),
                                         workers=_in_flight(args, client), executor=client,
                                         onerror=None if args.strict else skip)
    except BaseException:
        if fresh:
            _remove_if_empty(args.library)
        raise
    _say(f"added {camera.name} to {args.library}: "
         + (f"{camera.images} images of " if camera.images is not None else "")
         + f"{camera.shape[0]}x{camera.shape[1]}" + (f", {len(skipped)} skipped" if skipped else ""))
    for field in ("make", "model", "serial"):
        if " / " in (getattr(camera, field) or ""):
            _say(f"warning: the photographs name more than one {field}: {getattr(camera, field)}")


def _remove_if_empty(folder):
    """Remove a library this command made but could not add to, unless someone else added a camera meanwhile."""
    with contextlib.suppress(OSError, ValueError):
        with prnu.Library(folder) as library:
            if library.cameras():
                return
        os.remove(os.path.join(folder, prnu.library.CATALOGUE))
        os.rmdir(os.path.join(folder, prnu.library.FINGERPRINTS))
        os.rmdir(folder)


def _library_list(args):
    with prnu.Library(args.library) as library:
        print_cameras(library.cameras())


def _library_remove(args):
    with prnu.Library(args.library) as library:
        library.remove(args.name)
    _say(f"removed {args.name} from {args.library}")


def _library_verify(args):
    with prnu.Library(args.library) as library:
        problems = library.verify()
        count = len(library.cameras())
    for problem in problems:
        words = (problem.kind + ":", problem.camera, problem.file, "-", problem.detail)
        print(printable(" ".join(word for word in words if word)))
    if problems:
        raise CommandError(f"{len(problems)} problem{'s' if len(problems) > 1 else ''} found (see above)")
    _say(f"{args.library}: {count} cameras; every file is as the catalogue records it")


def _library_identify(args):
    sources = _inputs(args.images, absolute=args.scheduler is not None)
    rule = _rule(args)
    with prnu.Library(args.library) as library:
        search = library.search()
        catalogue = os.path.join(library.path, prnu.library.CATALOGUE)
    if not len(search):
        raise CommandError(f"{args.library} holds no cameras yet: add some with 'morvekin library add'")
    csv_path = args.csv if args.csv != "-" else None
    # Neither an image nor the library is overwritten.
    _checked_outputs([("--csv", csv_path)] if csv_path else [],
                     [*sources, catalogue, *(entry.file for entry in search.entries)])
    rows = []
    with _cluster(args) as client, ThreadPoolExecutor(args.workers) as pool:
        if client is not None:  # the index goes to each worker once; each reads its candidates' files itself
            search = client.scatter(search, broadcast=True)
        outcomes = in_order(pool if client is None else client, _identified, ((source,) for source in sources),
                            _in_flight(args, client), search, rule, args.exhaustive, not args.strict)
        for source, outcome in zip(sources, tqdm(outcomes, total=len(sources), disable=None, unit="image")):
            if isinstance(outcome, Exception):
                _skipped(args, source, outcome)
                continue
            for camera, reason in outcome.unreadable:
                if args.strict:
                    raise CommandError(f"camera {camera}: {reason}")
                tqdm.write(printable(f"morvekin {args.command}: {source}: camera {camera} not tested: {reason}"),
                           file=sys.stderr)
            rows.append(outcome)
    _check_any(rows, sources)
    print_identifications(rows, _decided_by(rule), file=sys.stderr if args.csv == "-" else None)
    if args.csv == "-":
        _to_stdout(identifications_csv(rows))
    if csv_path:
        with atomic_write(csv_path) as file:
            file.write(identifications_csv(rows).encode("utf-8", "surrogateescape"))
        _say(f"wrote {csv_path}")


def _identified(source, search, rule, exhaustive, skip):
    """One image searched for in a library; or, when skipping, the error that stopped it. A task for an executor."""
    try:
        return search.identify(source, **rule._asdict(), exhaustive=exhaustive)
    except READ_ERRORS as error:
        if not skip:
            raise
        return error
