"""What every subcommand of the ``morvekin`` command shares: the files it is given, the outputs it
may write, the options that decide a verdict or say where to work, and its messages.
"""

import argparse
import contextlib
import importlib.util
import os
import sys
import tempfile
import warnings

from tqdm import tqdm

import morvekin_prnu as prnu

from ._checks import checked_sigma
from .verdict import P_FA
from .video import FRAMES, LIMIT
from .provenance import file_identity
from .reporting import printable
from .residual import SIGMA
from .search import MIN_SCALE, checked_rule


class CommandError(Exception):
    """A job that cannot be done, with a message for the user."""


INPUTS_HELP = ("image files, or folders whose files are all taken (not their subfolders nor hidden "
               "files), sorted by name")


def add_common(parser, sigma=True, written="nothing is written"):
    """--sigma (unless the fingerprints carry it) and --strict; ``written`` says what a stop leaves."""
    if sigma:
        parser.add_argument("--sigma", type=sigma_option, default=SIGMA,
                            help=f"the denoiser's noise standard deviation in 8-bit grey levels (default {SIGMA:g})")
    parser.add_argument("--strict", action="store_true",
                        help=f"stop at the first file that cannot be read, with exit status 1 ({written}); "
                             "without it such files are reported on standard error and skipped")


def add_verdict(parser, rows):
    """The options that decide a verdict, and --csv, whose ``rows`` the help describes."""
    parser.add_argument("--p-fa", type=probability_option, default=P_FA, metavar="P",
                        help="probability that an image from another camera is attributed to a fingerprint, "
                             f"for the whole search done (default {P_FA:g})")
    parser.add_argument("--threshold", type=threshold_option, metavar="PCE",
                        help="decide with this fixed PCE instead of --p-fa, whatever was searched (60 is the usual "
                             "one for shots as taken)")
    parser.add_argument("--orientations", type=int, choices=(1, 4, 8), default=4,
                        help="orientations tried: 1 the image as stored, 4 its quarter turns (default), 8 also "
                             "those of its mirror image")
    parser.add_argument("--min-scale", type=scale_option, default=MIN_SCALE, metavar="S",
                        help=f"smallest scale searched for a resized image, in (0, 1] (default {MIN_SCALE:g}: "
                             "half the camera's size)")
    parser.add_argument("--csv", metavar="FILE.csv",
                        help=f"also write {rows}; '-' writes it to standard output (the table then goes to "
                             "standard error)")


def rule_of(args):
    """--p-fa, --threshold, --orientations and --min-scale as a morvekin_prnu.search.Rule."""
    return checked_rule(args.p_fa, args.threshold, args.orientations, args.min_scale)


def add_frames(parser):
    """--frames and --max-frames: which frames of a video are used."""
    parser.add_argument("--frames", type=frames_option, default=FRAMES, metavar="key|N",
                        help="for videos: their key frames (the default: the least compressed, and the other "
                             "frames mostly copy them), or every N-th frame")
    parser.add_argument("--max-frames", type=count_option, default=LIMIT, metavar="N",
                        help=f"for videos: at most N frames of each (default {LIMIT})")


def add_where(parser):
    """--workers here or --scheduler for a Dask cluster, one or the other."""
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=count_option, default=1, metavar="N",
                       help="images processed at once in threads here (default 1: each image already uses "
                            "every core)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run the per-image work on this dask.distributed scheduler (e.g. "
                            "tcp://10.0.0.5:8786); each worker reads its own files, sent as absolute paths, "
                            "so they must see the files under the same absolute paths, and needs morvekin "
                            "installed. Needs pip install \"morvekin[dask]\"")


def decided_by(rule):
    """How the verdicts were decided, for the table and the heatmap."""
    return f"PCE above {rule.threshold:g}" if rule.threshold is not None else f"false-alarm probability {rule.p_fa:g}"


@contextlib.contextmanager
def cluster(args):
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


def in_flight(args, client):
    """Tasks to keep submitted: --workers here; on a cluster, two per worker thread, which keeps every
    thread busy without piling up results."""
    return args.workers if client is None else 2 * max(1, sum(client.nthreads().values()))


def inputs(arguments, absolute=False):
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
            identity = file_identity(path)
            if identity is not None and identity in seen:
                say(f"{path} is the same file as {seen[identity]}: counted once")
                continue
            seen[identity] = path
            files.append(os.path.abspath(path) if absolute else path)
    return files


def checked_outputs(outputs, sources):
    """Check (option, path) outputs before any work: each one's folder exists and can be written, it
    is not a folder, it is none of the sources (the same file, whatever links lead to it), and no two
    outputs are the same file."""
    taken = {file_identity(source): source for source in sources}
    taken.pop(None, None)
    written, writable = {}, set()
    for option, path in outputs:
        folder = os.path.dirname(path) or "."
        if not os.path.isdir(folder):
            raise CommandError(f"{option} {path}: the folder {folder} does not exist")
        if os.path.isdir(path):
            raise CommandError(f"{option} {path}: is a folder, not a file")
        if file_identity(path) in taken:
            raise CommandError(f"{option} {path}: is the input {taken[file_identity(path)]}, which would be "
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
def warnings_said(args):
    """Catch the library's warnings on a fingerprint's quality and say each on standard error once the
    block ends; other warnings pass on as usual."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", prnu.FingerprintWarning)
        try:
            yield
        finally:
            for warning in caught:
                if issubclass(warning.category, prnu.FingerprintWarning):
                    tqdm.write(printable(f"morvekin {args.command}: warning: {warning.message}"), file=sys.stderr)
                else:
                    warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)


def to_stdout(text):
    """Write text to standard output, a file name's bytes that are not UTF-8 as they are."""
    buffer = getattr(sys.stdout, "buffer", None)
    if buffer is None:
        sys.stdout.write(text)
        return
    sys.stdout.flush()
    buffer.write(text.encode("utf-8", "surrogateescape"))
    buffer.flush()


def skipped(args, label, error):
    """Say that a file is skipped and why; return the reason (the error's message, less the file name)."""
    reason = str(error).removeprefix(f"{label}: ")
    tqdm.write(printable(f"morvekin {args.command}: skipped {label}: {reason}"), file=sys.stderr)
    return reason


def check_any(done, sources):
    """Fail the job when none of the sources gave a result."""
    if not done:
        raise CommandError(f"none of the {len(sources)} files could be read (see above)")


def say(message):
    """A message on standard error, escaped for the terminal."""
    print(printable(f"morvekin: {message}"), file=sys.stderr)


# The types of options: each turns the text given into a value, or refuses it as the library refuses that
# value, in words argparse shows.


def _number(text, check, name):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number, not {text}") from None
    try:
        return check(value)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error).removeprefix(f"{name} ")) from None


def sigma_option(text):
    return _number(text, checked_sigma, "sigma")


def probability_option(text):
    return _number(text, lambda value: checked_rule(value, None, 4, MIN_SCALE).p_fa, "p_fa")


def threshold_option(text):
    return _number(text, lambda value: checked_rule(P_FA, value, 4, MIN_SCALE).threshold, "threshold")


def scale_option(text):
    return _number(text, lambda value: checked_rule(P_FA, None, 4, value).min_scale, "min_scale")


def frames_option(text):
    return "key" if text == "key" else count_option(text)


def count_option(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, not {text}")
    return value
