"""Reading photographs and checking image arrays.

Everything that enters the library goes through :func:`load_image`, so every
entry point refuses the same things with the same messages, naming the file or
the argument.
"""

import os

import numpy as np
from PIL import Image, ImageOps, UnidentifiedImageError

# Pillow modes read as one grey channel, and what they become as arrays.
_GREY_MODES = {"1": "L", "L": "L", "LA": "L", "La": "L", "I;16": "I;16", "I;16L": "I;16", "I;16B": "I;16",
               "I;16N": "I;16", "I": "I", "F": "F"}


def load_image(source, *, name="image", orient=True):
    """Load a photograph, or check an array, as the pixel values to analyse.

    Parameters
    ----------
    source : str, os.PathLike or ndarray
        A JPEG, PNG or TIFF file (any format Pillow reads), or an array of
        shape (H, W) or (H, W, 3) and dtype uint8, uint16 or floating point.
        Files may be grey, grey with alpha, RGB, RGBA, palette, 16-bit grey,
        32-bit float grey or CMYK; alpha is dropped, palettes and CMYK become
        RGB. Only the first frame of a multi-frame file is read.
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
        is kept, so the top of its range stays known. An array is returned as
        given (not copied).

    Raises
    ------
    OSError
        The file is missing (FileNotFoundError), a folder, or not readable.
    ValueError
        The file is not an image Pillow can decode, holds more pixels than
        ``PIL.Image.MAX_IMAGE_PIXELS`` (a decompression bomb: refused here,
        not merely warned about), or the array has the wrong shape, is empty,
        or holds NaN or infinity.
    TypeError
        The source is neither a path nor an array, or the array's dtype is
        not uint8, uint16 or floating point.

    Notes
    -----
    Pixels are decoded by Pillow; nothing read from a file is unpickled.
    """
    if isinstance(source, (str, os.PathLike)):
        return _read_file(os.fspath(source), orient)
    if not isinstance(source, np.ndarray):
        raise TypeError(f"{name} must be a path or a NumPy array, not {type(source).__name__}")
    return _checked_array(source, name)


def _read_file(path, orient):
    try:
        with Image.open(path) as image:
            limit = Image.MAX_IMAGE_PIXELS
            # Pillow only warns up to twice its limit; a stranger's file
            # that large is refused before it is decoded.
            if limit is not None and image.width * image.height > limit:
                raise ValueError(
                    f"{path}: {image.width}x{image.height} pixels exceeds the limit of {limit} "
                    "(PIL.Image.MAX_IMAGE_PIXELS); refused as a possible decompression bomb"
                )
            if orient:
                image = ImageOps.exif_transpose(image)
            pixels = _pixels(image, path)
    except Image.DecompressionBombError as error:
        raise ValueError(f"{path}: refused as a possible decompression bomb ({error})") from None
    except UnidentifiedImageError:
        raise ValueError(f"{path}: not an image file that can be read") from None
    except (OSError, SyntaxError) as error:
        if getattr(error, "errno", None) is not None:
            raise  # the file system's own error (missing, a folder, no permission) names the path
        # Pillow reports truncated and corrupt data as OSError or SyntaxError.
        raise ValueError(f"{path}: the image data cannot be decoded ({error})") from None
    return _checked_array(pixels, path)


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
    if not (pixels.dtype in (np.uint8, np.uint16) or np.issubdtype(pixels.dtype, np.floating)):
        raise TypeError(f"{name}: dtype {pixels.dtype} is not supported; use uint8, uint16 or floating point")
    if not (pixels.ndim == 2 or (pixels.ndim == 3 and pixels.shape[2] == 3)):
        raise ValueError(f"{name}: shape {pixels.shape} is neither (H, W) grey nor (H, W, 3) colour")
    if pixels.size == 0:
        raise ValueError(f"{name}: the image is empty, shape {pixels.shape}")
    if pixels.dtype.kind == "f" and not np.isfinite(pixels).all():
        raise ValueError(f"{name}: holds NaN or infinite values")
    return pixels
