"""The ``morvekin`` command: noise residuals, camera fingerprints and matches from the shell.

Each subcommand is a thin layer over :mod:`morvekin_prnu`: it expands folders
into files, runs the library on them (here, in local threads, or on a Dask
cluster), reports the files it cannot read, and writes its outputs
atomically. ``main(argv)`` returns the exit status: 0 on success, 1 when the
job fails (one line on standard error names the file or argument), 2 for a
bad command line, 130 when interrupted.
"""

import argparse
import contextlib
import importlib.metadata
import importlib.util
import math
import os
import signal
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pywt
from tqdm import tqdm

import morvekin_prnu as prnu

from ._threads import in_order
from .fingerprints import READ_ERRORS
from .matching import P_FA, checked_rule, strongest
from .reporting import heatmap, print_table, residual_picture, write_csv
from .residual import LEVELS, SIGMA, WAVELET, denoised_and_residual_of_pixels
from .search import MIN_SCALE
from .storage import atomic_write

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
    except (CommandError, OSError, ValueError, TypeError) as error:
        print(f"morvekin {args.command}: error: {error}", file=sys.stderr)
        return 1
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)


def _parser():
    parser = argparse.ArgumentParser(
        prog="morvekin", description="Camera identification from sensor pattern noise (PRNU).",
        epilog="Run 'morvekin COMMAND --help' for each command's options.")
    parser.add_argument("--version", action="version", version=f"morvekin {_version()}")
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
            with its metadata: the image count, shape, sigma, wavelet and levels, the files used,
            the files skipped and why, and morvekin's version. The file is written whole or not
            at all. The result is the same bits with any --workers and on a cluster.""")
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
    match.add_argument("--p-fa", type=_probability, default=P_FA, metavar="P",
                       help=f"probability that an image from another camera is attributed to a fingerprint, "
                            f"for the whole search done (default {P_FA:g})")
    match.add_argument("--threshold", type=_finite, metavar="PCE",
                       help="decide with this fixed PCE instead of --p-fa (60 is the usual one for shots as "
                            "taken)")
    match.add_argument("--orientations", type=int, choices=(1, 4, 8), default=4,
                       help="orientations tried: 1 the image as stored, 4 its quarter turns (default), 8 also "
                            "those of its mirror image")
    match.add_argument("--min-scale", type=_scale, default=MIN_SCALE, metavar="S",
                       help=f"smallest scale searched for a resized image, in (0, 1] (default {MIN_SCALE:g}: "
                            "half the camera's size)")
    match.add_argument("--csv", metavar="FILE.csv",
                       help="also write one row per image and fingerprint: image, fingerprint, pce, ncc, "
                            "peak_row, peak_column (where the image's top-left pixel lies on the "
                            "fingerprint), verdict, scale, orientation, p_value and positions (the number "
                            "of tests the p-value accounts for)")
    match.add_argument("--plot", metavar="FILE.png",
                       help="also draw a heatmap of PCE, images down and fingerprints across, on a log "
                            "colour scale (below 1 shown as 1), with cells attributed to the camera framed "
                            "in red (and a --threshold marked on the scale). It is 100 dpi, 4.5 inches "
                            "wide plus 1 per fingerprint and 2 tall plus a quarter per image, at most "
                            "400 images' worth. Needs matplotlib: pip install \"morvekin[plot]\"")
    _add_common(match, sigma=False)
    _add_where(match)
    match.set_defaults(run=_match)
    return parser


_INPUTS_HELP = ("image files, or folders whose files are all taken (not their subfolders nor hidden "
                "files), sorted by name")


def _add_common(parser, sigma=True, written="nothing is written"):
    if sigma:
        parser.add_argument("--sigma", type=_positive, default=SIGMA,
                            help=f"the denoiser's noise standard deviation in 8-bit grey levels (default {SIGMA:g})")
    parser.add_argument("--strict", action="store_true",
                        help=f"stop at the first file that cannot be read, with exit status 1 ({written}); "
                             "without it such files are reported on standard error and skipped")


def _add_where(parser):
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_count, default=1, metavar="N",
                       help="images processed at once in threads here (default 1: each image already uses "
                            "every core)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run the per-image work on this dask.distributed scheduler (e.g. "
                            "tcp://10.0.0.5:8786); each worker reads its own files, so they must see the "
                            "same paths, and needs morvekin installed. Needs pip install \"morvekin[dask]\"")


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
    output = _checked_output(args.output, "-o")
    sources = _inputs(args.images)
    skipped = {}

    def skip(label, error):
        skipped[label] = _skipped(args, label, error)

    with _cluster(args) as client:
        estimate = prnu.fingerprint(sources, sigma=args.sigma, progress=sys.stderr.isatty(),
                                    workers=_in_flight(args, client), onerror=None if args.strict else skip,
                                    executor=client)
    used = [source for source in sources if source not in skipped]
    metadata = {
        "images": len(used), "sigma": args.sigma, "wavelet": WAVELET, "levels": LEVELS,
        "files": used, "skipped": [{"file": label, "reason": reason} for label, reason in skipped.items()],
        "morvekin": _version(),
    }
    prnu.save_fingerprint(output, estimate, metadata)
    _say(f"wrote {output}: {len(used)} images of {estimate.shape[0]}x{estimate.shape[1]}"
         + (f", {len(skipped)} skipped" if skipped else ""))


def _match(args):
    csv_path = args.csv and _checked_output(args.csv, "--csv")
    plot_path = args.plot and _checked_output(args.plot, "--plot")
    if plot_path and importlib.util.find_spec("matplotlib") is None:
        raise CommandError('--plot needs matplotlib: pip install "morvekin[plot]"')
    stored = [prnu.load_fingerprint(path) for path in args.fingerprints]
    names = [Path(path).stem for path in args.fingerprints]
    if len(set(names)) < len(names):
        names = list(args.fingerprints)
    sources = _inputs(args.images)
    rows = []
    fingerprints = [fingerprint for fingerprint, _ in stored]
    sigmas = [metadata["sigma"] for _, metadata in stored]
    rule = checked_rule(args.p_fa, args.threshold, args.orientations, args.min_scale)
    with _cluster(args) as client, ThreadPoolExecutor(args.workers) as pool:
        if client is not None:  # sent to each worker once, not with every task
            fingerprints = client.scatter(fingerprints, broadcast=True)
        outcomes = in_order(pool if client is None else client, _matched, ((source,) for source in sources),
                            _in_flight(args, client), fingerprints, sigmas, rule, not args.strict)
        for source, outcome in zip(sources, tqdm(outcomes, total=len(sources), disable=None, unit="image")):
            if isinstance(outcome, Exception):
                _skipped(args, source, outcome)
            else:
                rows.append((source, outcome, _verdict(outcome, names)))
    _check_any(rows, sources)
    print_table(rows, names, _decided_by(rule))
    if csv_path:
        write_csv(csv_path, rows, names)
    if plot_path:
        pce = np.array([[outcome.pce for outcome in found] for _, found, _ in rows])
        same = np.array([[outcome.same_camera for outcome in found] for _, found, _ in rows])
        with atomic_write(plot_path) as file:
            heatmap([source for source, _, _ in rows], names, pce, same, _decided_by(rule),
                    args.threshold).savefig(file, format="png")
    for path in filter(None, (csv_path, plot_path)):
        _say(f"wrote {path}")


def _matched(source, fingerprints, sigmas, rule, skip):
    """One image against every fingerprint, its residual taken once per sigma among them; or, when
    skipping, the error that stopped it. A task for an executor."""
    outcomes = [None] * len(fingerprints)
    try:
        for sigma in dict.fromkeys(sigmas):
            chosen = [k for k, of in enumerate(sigmas) if of == sigma]
            found = prnu.match_all([fingerprints[k] for k in chosen], source, sigma=sigma, **rule._asdict())
            for k, outcome in zip(chosen, found):
                outcomes[k] = outcome
    except READ_ERRORS as error:
        if not skip:
            raise
        return error
    return outcomes


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


def _inputs(arguments):
    """The files named, and the files in the folders named, in order."""
    files = []
    for argument in arguments:
        path = Path(argument)
        if path.is_dir():
            found = sorted(entry.name for entry in path.iterdir()
                           if not entry.name.startswith(".") and (entry.is_file() or entry.is_symlink()))
            if not found:
                raise CommandError(f"{argument}: the folder holds no files")
            files += [os.path.join(argument, name) for name in found]
        elif path.exists():
            files.append(argument)
        else:
            raise CommandError(f"{argument}: no such file or folder")
    return files


def _checked_output(path, option):
    """An output path whose folder exists and that is not a folder itself."""
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        raise CommandError(f"{option} {path}: the folder {folder} does not exist")
    if os.path.isdir(path):
        raise CommandError(f"{option} {path}: is a folder, not a file")
    return path


def _skipped(args, label, error):
    """Say that a file is skipped and why; return the reason (the error's message, less the file name)."""
    reason = str(error).removeprefix(f"{label}: ")
    tqdm.write(f"morvekin {args.command}: skipped {label}: {reason}", file=sys.stderr)
    return reason


def _check_any(done, sources):
    if not done:
        raise CommandError(f"none of the {len(sources)} files could be read (see above)")


def _say(message):
    print(f"morvekin: {message}", file=sys.stderr)


def _positive(text):
    value = float(text)
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"must be a positive finite number, not {text}")
    return value


def _finite(text):
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, not {text}")
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


def _version():
    try:
        return importlib.metadata.version("morvekin")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def _terminate_as_interrupt():
    """Make SIGTERM end the run as Ctrl-C does, so no temporary file is left; the handler it replaced."""
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    try:
        return signal.signal(signal.SIGTERM, interrupt)
    except ValueError:  # not the main thread: leave signals alone
        return None
