"""The ``morvekin library`` subcommands: add, list, remove, verify and identify, over
:class:`morvekin_prnu.Library`.
"""

import contextlib
import os
import sys
from concurrent.futures import ThreadPoolExecutor

from tqdm import tqdm

import morvekin_prnu as prnu

from . import cli
from ._threads import in_order
from .fingerprints import READ_ERRORS
from .matching import questioned
from .reporting import identifications_csv, print_cameras, print_identifications, printable
from .sharded import identified, spreading
from .storage import atomic_write


def add_library_commands(commands):
    """Add the 'library' subcommand and its actions to the command's subparsers."""
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
    add.add_argument("images", nargs="*", metavar="IMAGE|FOLDER", help=cli.INPUTS_HELP)
    add.add_argument("--fingerprint", metavar="FILE.npz", help="add this fingerprint file instead of photographs")
    cli.add_common(add)
    cli.add_frames(add)
    cli.add_where(add)
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
            p-value, or none. The index takes shots as taken or turned, and photographs resized whole
            (up-sampled to each sensor size); the cameras of sensors that the image fits neither way (a
            crop) are tested in full. A candidate whose fingerprint file is missing, changed or damaged is
            not tested and is named on standard error and in the CSV (--strict stops instead). With
            --scheduler the index is spread over the cluster's workers, each holding a share.""")
    identify.add_argument("library", metavar="LIB", help="the library's folder")
    identify.add_argument("images", nargs="+", metavar="IMAGE|FOLDER", help=cli.INPUTS_HELP)
    cli.add_verdict(identify, "one row per image: image, camera, pce, ncc, peak_row, peak_column, verdict, p_value, "
                              "scale, orientation, positions, scales, orientations, flags (as for 'morvekin match', of "
                              "the best camera), score "
                              "(the index's), tested (cameras tested in full), cameras (searched), untested "
                              "(candidates whose file could not be read), image_sha256 (of the bytes decoded), "
                              "fingerprint_sha256 (the camera's, if tested)")
    identify.add_argument("--exhaustive", action="store_true",
                          help="test every camera in full instead of the index's candidates")
    cli.add_common(identify, sigma=False)
    cli.add_frames(identify)
    cli.add_where(identify)
    identify.set_defaults(run=_library_identify, command="library identify")


def _library_add(args):
    if bool(args.images) == bool(args.fingerprint):
        raise cli.CommandError("give either photographs or --fingerprint FILE.npz")
    # Absolute: the catalogue outlives the folder the command runs in.
    sources = [args.fingerprint] if args.fingerprint else cli.inputs(args.images, absolute=True)
    fresh = not os.path.lexists(args.library)
    skipped = []

    def skip(label, error):
        skipped.append(cli.skipped(args, label, error))

    try:
        with prnu.Library(args.library, create=True) as library:
            cli.checked_outputs([("LIB", os.path.join(library.path, prnu.library.CATALOGUE))], sources)
            with cli.cluster(args) as client, cli.warnings_said(args):
                if args.fingerprint:
                    camera = library.add_fingerprint(args.name, args.fingerprint)
                else:
                    camera = library.add(args.name, sources, sigma=args.sigma, progress=sys.stderr.isatty(),
                                         workers=cli.in_flight(args, client), executor=client,
                                         onerror=None if args.strict else skip, frames=args.frames,
                                         max_frames=args.max_frames)
    except BaseException:
        if fresh:
            _remove_if_empty(args.library)
        raise
    cli.say(f"added {camera.name} to {args.library}: "
            + (f"{camera.images} images of " if camera.images is not None else "")
            + f"{camera.shape[0]}x{camera.shape[1]}" + (f", {len(skipped)} skipped" if skipped else ""))
    for field in ("make", "model", "serial"):
        if " / " in (getattr(camera, field) or ""):
            cli.say(f"warning: the photographs name more than one {field}: {getattr(camera, field)}")


def _remove_if_empty(folder):
    """Remove a library this command made but could not add to, unless someone else added a camera meanwhile.

    The fingerprint folder goes first, and only if it is empty: every camera has its file there, so while
    it holds one nothing else is removed, and once it is gone no add can complete.
    """
    with contextlib.suppress(OSError):
        os.rmdir(os.path.join(folder, prnu.library.FINGERPRINTS))
        for name in (prnu.library.CATALOGUE, prnu.library.CATALOGUE + "-journal"):
            with contextlib.suppress(FileNotFoundError):
                os.remove(os.path.join(folder, name))
        os.rmdir(folder)


def _library_list(args):
    with prnu.Library(args.library) as library:
        print_cameras(library.cameras())


def _library_remove(args):
    with prnu.Library(args.library) as library:
        library.remove(args.name)
    cli.say(f"removed {args.name} from {args.library}")


def _library_verify(args):
    with prnu.Library(args.library) as library:
        problems = library.verify()
        count = len(library.cameras())
    for problem in problems:
        words = (problem.kind + ":", problem.camera, problem.file, "-", problem.detail)
        print(printable(" ".join(word for word in words if word)))
    if problems:
        raise cli.CommandError(f"{len(problems)} problem{'s' if len(problems) > 1 else ''} found (see above)")
    cli.say(f"{args.library}: {count} cameras; every file is as the catalogue records it")


def _library_identify(args):
    sources = cli.inputs(args.images, absolute=args.scheduler is not None)
    rule = cli.rule_of(args)
    rows = []
    with cli.cluster(args) as client, ThreadPoolExecutor(args.workers) as pool:
        with prnu.Library(args.library) as library:  # on a cluster, the index goes to the workers as it is read
            search = library.search(None if client is None else spreading(client))
            catalogue = os.path.join(library.path, prnu.library.CATALOGUE)
        if not len(search):
            raise cli.CommandError(f"{args.library} holds no cameras yet: add some with 'morvekin library add'")
        csv_path = args.csv if args.csv != "-" else None
        # Neither an image nor the library is overwritten.
        cli.checked_outputs([("--csv", csv_path)] if csv_path else [],
                            [*sources, catalogue, *(entry.file for entry in search.entries)])
        frames = dict(frames=args.frames, max_frames=args.max_frames)
        if client is None:
            outcomes = in_order(pool, _identified, ((source,) for source in sources), args.workers, search, rule,
                                args.exhaustive, not args.strict, frames)
        else:
            outcomes = _outcomes(identified(client, search, sources, rule, args.exhaustive,
                                            cli.in_flight(args, client), frames), not args.strict)
        for source, outcome in zip(sources, tqdm(outcomes, total=len(sources), disable=None, unit="image")):
            if isinstance(outcome, Exception):
                cli.skipped(args, source, outcome)
                continue
            for camera, reason in outcome.unreadable:
                if args.strict:
                    raise cli.CommandError(f"camera {camera}: {reason}")
                tqdm.write(printable(f"morvekin {args.command}: {source}: camera {camera} not tested: {reason}"),
                           file=sys.stderr)
            rows.append(outcome)
    cli.check_any(rows, sources)
    print_identifications(rows, cli.decided_by(rule), file=sys.stderr if args.csv == "-" else None)
    if args.csv == "-":
        cli.to_stdout(identifications_csv(rows))
    if csv_path:
        with atomic_write(csv_path) as file:
            file.write(identifications_csv(rows).encode("utf-8", "surrogateescape"))
        cli.say(f"wrote {csv_path}")


def _outcomes(futures, skip):
    """Each image's Identification from its future; or, when skipping, the error that reading it raised."""
    for future in futures:
        try:
            yield future.result()
        except READ_ERRORS as error:
            if not skip:
                raise
            yield error


def _identified(source, search, rule, exhaustive, skip, frames):
    """One image or video (its ``frames`` chosen so) searched for in a library; or, when skipping, the error
    that stopped it. A task for an executor."""
    try:
        return search.identify(questioned(source, search.sigmas(), **frames), **rule._asdict(), exhaustive=exhaustive)
    except READ_ERRORS as error:
        if not skip:
            raise
        return error
