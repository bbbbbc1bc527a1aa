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
from .matching import THRESHOLD
from .reporting import heatmap, print_table, residual_picture, write_csv
from .reporting import print_cameras, print_identifications, shown, write_identifications
from .residual import LEVELS, SIGMA, WAVELET, denoised_and_residual_of_pixels
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
            Prints a table of PCE with the verdict: the camera whose PCE is highest and above the
            threshold, or 'none'. Each fingerprint is matched with the sigma it was made with; an
            image of another size is padded, cut or turned as morvekin_prnu.match does.""")
    match.add_argument("images", nargs="+", metavar="IMAGE|FOLDER", help=_INPUTS_HELP)
    match.add_argument("--fingerprints", nargs="+", required=True, metavar="FILE.npz",
                       help="fingerprint files written by 'morvekin fingerprint'; put this option after "
                            "the images")
    match.add_argument("--threshold", type=_positive, default=THRESHOLD,
                       help=f"PCE above which an image is attributed to a camera (default {THRESHOLD:g})")
    match.add_argument("--csv", metavar="FILE.csv",
                       help="also write one row per image and fingerprint: image, fingerprint, pce, ncc, "
                            "peak_row, peak_column (where the image's top-left pixel lies on the "
                            "fingerprint), verdict")
    match.add_argument("--plot", metavar="FILE.png",
                       help="also draw a heatmap of PCE, images down and fingerprints across, on a log "
                            "colour scale (below 1 shown as 1), with cells above the threshold framed "
                            "in red and the threshold marked on the scale. It is 100 dpi, 4.5 inches "
                            "wide plus 1 per fingerprint and 2 tall plus a quarter per image, at most "
                            "400 images' worth. Needs matplotlib: pip install \"morvekin[plot]\"")
    _add_common(match, sigma=False)
    _add_where(match)
    match.set_defaults(run=_match)
    _add_library(commands)
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
    with _cluster(args) as client, ThreadPoolExecutor(args.workers) as pool:
        if client is not None:  # sent to each worker once, not with every task
            fingerprints = client.scatter(fingerprints, broadcast=True)
        outcomes = in_order(pool if client is None else client, _matched, ((source,) for source in sources),
                            _in_flight(args, client), fingerprints, sigmas, args.threshold, not args.strict)
        for source, outcome in zip(sources, tqdm(outcomes, total=len(sources), disable=None, unit="image")):
            if isinstance(outcome, Exception):
                _skipped(args, source, outcome)
            else:
                rows.append((source, outcome, _verdict(outcome, names)))
    _check_any(rows, sources)
    print_table(rows, names, args.threshold)
    if csv_path:
        write_csv(csv_path, rows, names)
    if plot_path:
        pce = np.array([[outcome.pce for outcome in found] for _, found, _ in rows])
        with atomic_write(plot_path) as file:
            heatmap([source for source, _, _ in rows], names, pce, args.threshold).savefig(file, format="png")
    for path in filter(None, (csv_path, plot_path)):
        _say(f"wrote {path}")


def _matched(source, fingerprints, sigmas, threshold, skip):
    """One image against every fingerprint, its residual taken once per sigma among them; or, when
    skipping, the error that stopped it. A task for an executor."""
    outcomes = [None] * len(fingerprints)
    try:
        for sigma in dict.fromkeys(sigmas):
            chosen = [k for k, of in enumerate(sigmas) if of == sigma]
            found = prnu.match_all([fingerprints[k] for k in chosen], source, sigma=sigma, threshold=threshold)
            for k, outcome in zip(chosen, found):
                outcomes[k] = outcome
    except READ_ERRORS as error:
        if not skip:
            raise
        return error
    return outcomes


def _verdict(outcomes, names):
    """The camera with the highest PCE if that is above the threshold, else None."""
    best = max(range(len(outcomes)), key=lambda k: outcomes[k].pce)
    return names[best] if outcomes[best].same_camera else None


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
    tqdm.write(f"morvekin {args.command}: skipped {shown(label)}: {shown(reason)}", file=sys.stderr)
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
            the candidates, which are tested in full (their PCE is the same as 'morvekin match' gives); the
            verdict is the camera with the highest PCE if that is above the threshold, else none. Cameras
            whose fingerprint has another shape than the image (a crop, a resized or turned picture) are
            always tested in full. A candidate whose fingerprint file is missing, changed or damaged is not
            tested and is named on standard error and in the CSV (--strict stops instead).""")
    identify.add_argument("library", metavar="LIB", help="the library's folder")
    identify.add_argument("images", nargs="+", metavar="IMAGE|FOLDER", help=_INPUTS_HELP)
    identify.add_argument("--threshold", type=_positive, default=THRESHOLD,
                          help=f"PCE above which an image is attributed to a camera (default {THRESHOLD:g})")
    identify.add_argument("--csv", metavar="FILE.csv",
                          help="also write one row per image: image, camera, pce, ncc, peak_row, peak_column, "
                               "verdict, score (the index's), tested (cameras tested in full), cameras (searched), "
                               "untested (candidates whose file could not be read)")
    identify.add_argument("--exhaustive", action="store_true",
                          help="test every camera in full instead of the index's candidates")
    _add_common(identify, sigma=False)
    _add_where(identify)
    identify.set_defaults(run=_library_identify, command="library identify")


def _library_add(args):
    if bool(args.images) == bool(args.fingerprint):
        raise CommandError("give either photographs or --fingerprint FILE.npz")
    sources = [] if args.fingerprint else _inputs(args.images)
    fresh = not os.path.lexists(args.library)
    try:
        with prnu.Library(args.library, create=True) as library, _cluster(args) as client:
            if args.fingerprint:
                camera = library.add_fingerprint(args.name, args.fingerprint)
            else:
                camera = library.add(args.name, sources, sigma=args.sigma, progress=sys.stderr.isatty(),
                                     workers=_in_flight(args, client), executor=client,
                                     onerror=None if args.strict else lambda label, error: _skipped(args, label, error))
    except BaseException:
        if fresh:
            _remove_if_empty(args.library)
        raise
    skipped = len(sources) - camera.images if sources else 0
    _say(f"added {shown(camera.name)} to {shown(args.library)}: "
         + (f"{camera.images} images of " if camera.images is not None else "")
         + f"{camera.shape[0]}x{camera.shape[1]}" + (f", {skipped} skipped" if skipped else ""))
    for field in ("make", "model", "serial"):
        if " / " in (getattr(camera, field) or ""):
            _say(f"warning: the photographs name more than one {field}: {shown(getattr(camera, field))}")


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
    _say(f"removed {shown(args.name)} from {shown(args.library)}")


def _library_verify(args):
    with prnu.Library(args.library) as library:
        problems = library.verify()
        count = len(library.cameras())
    for problem in problems:
        print(shown(" ".join(filter(None, (problem.kind + ":", problem.camera, problem.file, "-", problem.detail)))))
    if problems:
        raise CommandError(f"{len(problems)} problem{'s' if len(problems) > 1 else ''} found (see above)")
    _say(f"{shown(args.library)}: {count} cameras; every file is as the catalogue records it")


def _library_identify(args):
    csv_path = args.csv and _checked_output(args.csv, "--csv")
    with prnu.Library(args.library) as library:
        search = library.search()
    if not len(search):
        raise CommandError(f"{shown(args.library)} holds no cameras yet: add some with 'morvekin library add'")
    sources = _inputs(args.images)
    rows = []
    with _cluster(args) as client, ThreadPoolExecutor(args.workers) as pool:
        if client is not None:  # the index goes to each worker once; each reads its candidates' files itself
            search = client.scatter(search, broadcast=True)
        outcomes = in_order(pool if client is None else client, _identified, ((source,) for source in sources),
                            _in_flight(args, client), search, args.threshold, args.exhaustive, not args.strict)
        for source, outcome in zip(sources, tqdm(outcomes, total=len(sources), disable=None, unit="image")):
            if isinstance(outcome, Exception):
                _skipped(args, source, outcome)
                continue
            for camera, reason in outcome.unreadable:
                if args.strict:
                    raise CommandError(f"camera {camera}: {reason}")
                tqdm.write(f"morvekin {args.command}: {shown(source)}: camera {shown(camera)} not tested: "
                           f"{shown(reason)}", file=sys.stderr)
            rows.append(outcome)
    _check_any(rows, sources)
    print_identifications(rows, args.threshold)
    if csv_path:
        write_identifications(csv_path, rows)
        _say(f"wrote {shown(csv_path)}")


def _identified(source, search, threshold, exhaustive, skip):
    """One image searched for in a library; or, when skipping, the error that stopped it. A task for an executor."""
    try:
        return search.identify(source, threshold=threshold, exhaustive=exhaustive)
    except READ_ERRORS as error:
        if not skip:
            raise
        return error
