"""Reading photographs and checking image arrays.

Everything that enters the library goes through :func:`load_image` (or
:func:`read_image`, which also says what was read), so every entry point
refuses the same things with the same messages, naming the file or the
argument. Files are read only if they are regular files, whole and once: the
SHA-256 recorded for a file is that of the very bytes decoded.
"""

import contextlib
import io
import os
from typing import NamedTuple

import numpy as np
from PIL import Image, UnidentifiedImageError

from .provenance import bytes_sha256, open_regular

# Pillow modes read as one grey channel, and what they become as arrays.
_GREY_MODES = {"1": "L", "L": "L", "LA": "L", "La": "L", "I;16": "I;16", "I;16L": "I;16", "I;16B": "I;16",
               "I;16N": "I;16", "I": "I", "F": "F"}
# A compressed file this many times smaller than its pixel count is a decompression bomb: real
# photographs carry sensor noise, which no codec packs below a few pixels per byte.
MAX_PIXELS_PER_BYTE = 1000
# Raw camera files, told by name: most are TIFF inside, and Pillow would read their preview.
RAW_SUFFIXES = frozenset(".3fr .ari .arw .cr2 .cr3 .crw .dcr .dng .erf .fff .iiq .k25 .kdc .mef .mos .mrw .nef "
                         ".nrw .orf .pef .raf .raw .rw2 .rwl .sr2 .srf .srw .x3f".split())
# The ISO base media file brands of HEIF pictures (ISO/IEC 23008-12).
HEIF_BRANDS = frozenset(b"heic heix hevc hevx heim heis hevm hevs mif1 msf1".split())
_DNG_VERSION = 50706  # the TIFF tag that makes a TIFF file a DNG
_LONGEST_TAG = 128  # characters kept of a make, model or serial number
# EXIF orientation -> the array operation that shows the stored picture upright (TIFF 6.0 and EXIF 2.3).
_UPRIGHT = {
    2: lambda a: a[:, ::-1], 3: lambda a: a[::-1, ::-1], 4: lambda a: a[::-1],
    5: lambda a: a.swapaxes(0, 1), 6: lambda a: np.rot90(a, -1), 7: lambda a: a[::-1, ::-1].swapaxes(0, 1),
    8: lambda a: np.rot90(a, 1),
}
_INVERSE = {6: 8, 8: 6}  # the other orientations undo themselves


class ImageFacts(NamedTuple):
    """What is known of a photograph file besides its pixels, for the record.

    Attributes
    ----------
    sha256 : str
        SHA-256 of the file's bytes, those that were decoded.
    make, model, serial : str or None
        The camera's maker, model and serial number from the file's EXIF
        (TIFF tags 271 and 272; EXIF BodySerialNumber or DNG
        CameraSerialNumber), or None where the file does not say.
    """

    sha256: str
    make: str | None = None
    model: str | None = None
    serial: str | None = None

    def camera(self):
        """make, model and serial as a dict, for a record."""
        return {"make": self.make, "model": self.model, "serial": self.serial}


def load_image(source, *, name="image", orient=True):
    """Load a photograph, or check an array, as the pixel values to analyse.

    Parameters
    ----------
    source : str, os.PathLike or ndarray
        A file as :func:`read_image` reads it, or an array of shape (H, W) or
        (H, W, 3) and dtype uint8, uint16 or floating point, in either byte
        order.
    name : str, optional
        What to call an array in error messages (a file is called by its path).
    orient : bool, optional
        Apply the file's EXIF orientation tag, turning the picture the way it
        is meant to be seen (the default). Camera identification passes False:
        the sensor's pattern lies on the pixels in the order they are stored,
        whichever way the camera was held.

    Returns
    -------
    ndarray, shape (H, W) or (H, W, 3)
        uint8, uint16 or float32/float64 pixel values: a file's own bit depth
        is kept, so the top of its range stays known. An array in native
        byte order is returned as given (not copied).

    Raises
    ------
    OSError, ValueError
        As for :func:`read_image`; for an array, a wrong shape, an empty one,
        or NaN or infinity.
    TypeError
        The source is neither a path nor an array, or the array's dtype is
        not uint8, uint16 or floating point.
    """
    if isinstance(source, (str, os.PathLike)):
        return read_image(source, orient=orient)[0]
    if not isinstance(source, np.ndarray):
        raise TypeError(f"{name} must be a path or a NumPy array, not {type(source).__name__}")
    return _checked_array(source, name)


def read_image(path, *, orient=True):
    """Read a photograph file: its pixels, and its SHA-256 and camera for the record.

    JPEG, PNG and TIFF (and every other format Pillow reads), 16-bit colour
    PNG and TIFF at their full depth (through imagecodecs, as Pillow keeps
    only 8 bits of them), HEIC/HEIF from phones (through pillow-heif: ``pip
    install "morvekin[heif]"``) and camera raw files, DNG included (through
    rawpy: ``pip install "morvekin[raw]"``). Files may be grey, grey with
    alpha, RGB, RGBA, palette, 16-bit grey, 32-bit float grey or CMYK; alpha
    is dropped, palettes and CMYK become RGB. Only the first frame of a
    multi-frame file is read.

    A raw file is demosaiced by LibRaw (its default, AHD) into linear 16-bit
    RGB with the camera's white balance, no brightening and no gamma: the
    picture a camera's own processing starts from, at the sensor's full
    depth, the same pixels whether a fingerprint or a questioned picture
    comes from it. Its mosaic of photosites carries the sensor's pattern
    less spread, but the colour filter's checkerboard of levels (whatever
    the white balance, in any coloured part of a scene) leaks into the
    residual, so that on simulated cameras the mosaic matched less reliably,
    and matched the camera's processed pictures worse, than the demosaiced
    image (``bench/choose_raw_road.py`` measures both). A HEIF picture comes
    as libheif decodes it; its rotation, which HEIF stores apart from the
    pixels, is undone as far as the EXIF orientation tells when ``orient``
    is False.

    Work is bounded before anything is decoded: a file that is not a regular
    file (a FIFO, a device) is refused without waiting on it, and one of more
    pixels than ``PIL.Image.MAX_IMAGE_PIXELS`` or more than
    :data:`MAX_PIXELS_PER_BYTE` pixels per byte of file is refused as a
    possible decompression bomb.

    Parameters
    ----------
    path : str or os.PathLike
    orient : bool, optional
        As for :func:`load_image`.

    Returns
    -------
    pixels : ndarray, shape (H, W) or (H, W, 3)
        uint8, uint16 or float32, as for :func:`load_image`.
    facts : ImageFacts
        The SHA-256 of the bytes decoded, and the camera's make, model and
        serial number where the file's EXIF gives them.

    Raises
    ------
    OSError
        The file is missing (FileNotFoundError), a folder, or not readable.
    ValueError
        Not a regular file; not an image that can be decoded; a possible
        decompression bomb; a HEIF or raw file without the extra that reads
        it (the message names it). The message names the file.

    Notes
    -----
    Nothing read from a file is unpickled.
    """
    path = os.fspath(path)
    with open_regular(path) as file:
        limit = _byte_limit()
        data = file.read() if limit is None else file.read(limit + 1)
    if limit is not None and len(data) > limit:
        raise ValueError(f"{path}: larger than {limit} bytes, more than any image of at most "
                         f"{Image.MAX_IMAGE_PIXELS} pixels (PIL.Image.MAX_IMAGE_PIXELS) takes")
    tags = _tiff_tags(data)
    if data[4:8] == b"ftyp" and data[8:12] in HEIF_BRANDS:
        pixels, exif, orientation = _heif(data, path, orient)
    elif os.path.splitext(path)[1].lower() in RAW_SUFFIXES or _DNG_VERSION in tags:
        pixels, exif, orientation = _raw(data, path, orient), tags, 1
    else:
        pixels, exif, orientation = _pillow(data, path)
    if orient and orientation in _UPRIGHT:
        pixels = np.ascontiguousarray(_UPRIGHT[orientation](pixels))
    return _checked_array(pixels, path), ImageFacts(bytes_sha256(data), *_camera(exif))


def _byte_limit():
    """The most bytes an image file of at most MAX_IMAGE_PIXELS pixels can take, stored plainly."""
    pixels = Image.MAX_IMAGE_PIXELS
    return None if pixels is None else 16 * pixels + (1 << 20)  # RGBA float32, and room for headers


def _bounded(path, width, height, size):
    """Refuse an image whose pixels exceed Pillow's limit, or so many for so few bytes of file."""
    limit = Image.MAX_IMAGE_PIXELS
    # Pillow only warns up to twice its limit; a stranger's file that large is refused before it is decoded.
    if limit is not None and width * height > limit:
        raise ValueError(f"{path}: {width}x{height} pixels exceeds the limit of {limit} "
                         "(PIL.Image.MAX_IMAGE_PIXELS); refused as a possible decompression bomb")
    if width * height > MAX_PIXELS_PER_BYTE * size:
        raise ValueError(f"{path}: {width}x{height} pixels from only {size} bytes of file (more than "
                         f"{MAX_PIXELS_PER_BYTE} per byte); refused as a possible decompression bomb")


def _pillow(data, path):
    try:
        with Image.open(io.BytesIO(data)) as image:
            _bounded(path, image.width, image.height, len(data))
            if ";16" in _rawmode(image) and image.mode in ("RGB", "RGBA", "RGBX", "LA"):
                pixels = _deep_colour(data, image.format, path)
            else:
                pixels = _pixels(image, path)
            exif = image.getexif()  # after the pixels: for a PNG it may decode them
    except Image.DecompressionBombError as error:
        raise ValueError(f"{path}: refused as a possible decompression bomb ({error})") from None
    except UnidentifiedImageError:
        raise ValueError(f"{path}: not an image file that can be read") from None
    except (OSError, SyntaxError, IndexError) as error:
        # Pillow reports truncated and corrupt data as OSError or SyntaxError.
        raise ValueError(f"{path}: the image data cannot be decoded ({error})") from None
    return pixels, exif, exif.get(0x0112)


def _rawmode(image):
    """How the file stores the pixels Pillow is about to decode (e.g. "RGB;16B"), or "" if it does not say."""
    args = image.tile[0].args if image.tile else ""
    if isinstance(args, tuple) and args:
        args = args[0]
    return args if isinstance(args, str) else ""


def _deep_colour(data, kind, path):
    """16-bit colour PNG or TIFF at full depth, alpha dropped: Pillow would keep only the top 8 bits."""
    if kind not in ("PNG", "TIFF"):
        raise ValueError(f"{path}: 16-bit colour {kind} is not supported (Pillow reads it at 8 bits); "
                         "convert it to 16-bit PNG or TIFF")
    import imagecodecs

    try:
        pixels = imagecodecs.png_decode(data) if kind == "PNG" else imagecodecs.tiff_decode(data)
    except (imagecodecs.PngError, imagecodecs.TiffError, ValueError) as error:
        raise ValueError(f"{path}: the image data cannot be decoded ({error})") from None
    if pixels.dtype != np.uint16 or pixels.ndim != 3 or pixels.shape[2] not in (2, 3, 4):
        raise ValueError(f"{path}: 16-bit colour of {pixels.shape} {pixels.dtype} samples is not supported")
    return pixels[..., 0] if pixels.shape[2] == 2 else pixels[..., :3]


def _heif(data, path, orient):
    """The primary picture of a HEIF file at its own bit depth (uint16 above 8 bits), its EXIF and how
    to turn it upright."""
    pillow_heif = _extra("pillow_heif", "heif", "HEIC/HEIF", path)
    errors = (RuntimeError, ValueError, OSError, SyntaxError)
    with _decoding(path, "HEIF", errors):
        heif = pillow_heif.open_heif(io.BytesIO(data), convert_hdr_to_8bit=False)
    _bounded(path, *heif.size, len(data))
    with _decoding(path, "HEIF", errors):
        pixels = np.asarray(heif)
    exif = Image.Exif()
    if heif.info.get("exif"):
        exif.load(heif.info["exif"])
    # libheif has turned the picture upright already, as its EXIF orientation says: undo that for
    # the sensor's order.
    turned = exif.get(0x0112)
    if not orient and turned in _UPRIGHT:
        pixels = _UPRIGHT[_INVERSE.get(turned, turned)](pixels)
    pixels = pixels if pixels.ndim == 2 else pixels[..., :3]
    return np.ascontiguousarray(pixels), exif, 1


def _raw(data, path, orient):
    """A raw file demosaiced to linear 16-bit RGB; turned upright as its maker says only if ``orient``."""
    rawpy = _extra("rawpy", "raw", "camera raw (DNG, CR2, NEF …)", path)
    errors = (rawpy.LibRawError, ValueError, OSError)
    with _decoding(path, "raw", errors):
        raw = rawpy.imread(io.BytesIO(data))
    with raw:
        _bounded(path, raw.sizes.raw_width, raw.sizes.raw_height, len(data))
        with _decoding(path, "raw", errors):
            return raw.postprocess(gamma=(1, 1), no_auto_bright=True, output_bps=16, use_camera_wb=True,
                                   user_flip=None if orient else 0)


@contextlib.contextmanager
def _decoding(path, kind, errors):
    """Report what a decoder raises as a ValueError naming the file."""
    try:
        yield
    except errors as error:
        raise ValueError(f"{path}: the {kind} data cannot be decoded ({error or type(error).__name__})") from None


def _extra(module, extra, kind, path):
    try:
        return __import__(module)
    except ImportError:
        raise ValueError(f'{path}: reading {kind} files needs {module}: pip install "morvekin[{extra}]"') \
            from None


def _tiff_tags(data):
    """The first directory's tags of a TIFF-based file (raw files mostly are), or none."""
    exif = Image.Exif()
    if data[:4] in (b"II*\0", b"MM\0*"):
        try:
            exif.load(data)
        except (OSError, SyntaxError, ValueError, KeyError, IndexError):
            pass
    return exif


def _camera(exif):
    """Make, model and serial number from EXIF, each as text or None."""
    try:
        serial = exif.get_ifd(0x8769).get(0xA431) or exif.get(50735)
    except (OSError, SyntaxError, ValueError, KeyError, IndexError):
        serial = exif.get(50735)
    return tuple(_text(value) for value in (exif.get(0x010F), exif.get(0x0110), serial))


def _text(value):
    if isinstance(value, bytes):
        value = value.decode("latin-1")
    if not isinstance(value, str):
        return None
    return value.strip("\0 \t\r\n")[:_LONGEST_TAG] or None


def _pixels(image, path):
    """The decoded pixels of an open Pillow image as uint8, uint16 or float32."""
    mode = _GREY_MODES.get(image.mode)
    if mode == "L":
        return np.asarray(image.convert("L"))
    if mode == "I;16":
        return np.asarray(image).astype(np.uint16)  # native byte order
    if mode == "F":
        return np.asarray(image, dtype=np.float32)
    if mode == "I":
        values = np.asarray(image)
        if values.size and (values.min() < 0 or values.max() > np.iinfo(np.uint16).max):
            raise ValueError(f"{path}: 32-bit integer pixels outside 0..65535 are not supported")
        return values.astype(np.uint16)
    if image.mode in ("RGB", "RGBA", "RGBa", "RGBX", "P", "PA", "CMYK", "YCbCr", "LAB", "HSV"):
        # Through RGBA, so palette transparency is dropped like any alpha.
        return np.asarray(image.convert("RGBA"))[..., :3]
    raise ValueError(f"{path}: pixel mode {image.mode!r} is not supported")


def _checked_array(pixels, name):
    if not pixels.dtype.isnative:
        pixels = pixels.astype(pixels.dtype.newbyteorder("="))
    if not (pixels.dtype in (np.uint8, np.uint16) or np.issubdtype(pixels.dtype, np.floating)):
        raise TypeError(f"{name}: dtype {pixels.dtype} is not supported; use uint8, uint16 or floating point")
    if not (pixels.ndim == 2 or (pixels.ndim == 3 and pixels.shape[2] == 3)):
        raise ValueError(f"{name}: shape {pixels.shape} is neither (H, W) grey nor (H, W, 3) colour")
    if pixels.size == 0:
        raise ValueError(f"{name}: the image is empty, shape {pixels.shape}")
    if pixels.dtype.kind == "f" and not np.isfinite(pixels).all():
        raise ValueError(f"{name}: holds NaN or infinite values")
    return pixels
