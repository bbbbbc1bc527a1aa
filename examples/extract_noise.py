"""Extract the noise residual of an image with morvekin's LAWML Wiener filter.

    python examples/extract_noise.py [IMAGE | FOLDER] [--sigma 3] [--no-multiscale]
                                     [--output PATH] [--save-residual] [--workers N]

The image (PyWavelets' bundled 512x512 "camera" test image when none is given;
grey, 16-bit, palette and colour images with or without alpha, colour turned
into luminance) is decomposed into 4 levels of db8 wavelets (fewer if the
image is too small for them) in periodization mode, so every sub-band is half
the size of the one above and no border extension is filtered. Every detail
sub-band is shrunk with lawmlNC at noise variance sigma², the shrunk coefficients are
reconstructed into the denoised image, and the noise residual is the image
minus the denoised image. The script writes a PNG of image, denoised image and
contrast-stretched residual side by side and prints how long the filter and
the whole run took; --save-residual also writes the residual as .npy.

Given a folder, it processes every image in it (in a pool of --workers
threads: lawmlNC releases the GIL) and writes the results into --output; a
file that cannot be read or processed is reported on stderr and skipped, and
the exit status is then 1.
"""

import argparse
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pywt
from PIL import Image, ImageDraw

import morvekin

WAVELET = "db8"
LEVELS = 4
MODE = "periodization"
IMAGE_SUFFIXES = {".png", ".jpg", ".jpeg", ".tif", ".tiff", ".bmp", ".gif", ".pgm", ".ppm", ".webp"}
GAP = 8  # pixels between the panels of the picture
LABEL_HEIGHT = 20
# Single-channel modes whose values are the grey levels as stored (8-bit,
# 16-bit, 32-bit integer and floating point).
GREY_MODES = {"L", "I", "F", "I;16", "I;16L", "I;16B", "I;16N"}
BT601_LUMA = np.array([0.299, 0.587, 0.114])


def load_luminance(path):
    """An image file as float64 grey levels: any alpha channel is dropped, a
    palette is looked up, bilevel becomes 0 and 255, and colour is weighted as
    ITU-R BT.601 luma."""
    with Image.open(path) as image:
        if image.mode in GREY_MODES:
            return np.asarray(image, dtype=np.float64)
        if image.mode in ("1", "LA", "La"):
            return np.asarray(image.convert("L"), dtype=np.float64)
        return np.asarray(image.convert("RGB"), dtype=np.float64) @ BT601_LUMA


def shrink_detail_bands(coefficients, noise_var, multiscale):
    """Runs lawmlNC on every detail sub-band; returns the shrunk coefficients and the seconds it took."""
    seconds = 0.0
    shrunk = [coefficients[0]]
    for level in coefficients[1:]:
        bands = []
        for band in level:
            variance, denoised = np.empty_like(band), np.empty_like(band)
            scratch = np.empty_like(band) if multiscale else None
            start = time.perf_counter()
            morvekin.lawmlNC(band, variance, scratch, denoised, noise_var, 1 if multiscale else 0)
            seconds += time.perf_counter() - start
            bands.append(denoised)
        shrunk.append(tuple(bands))
    return shrunk, seconds


def decompose(image):
    levels = min(LEVELS, pywt.dwtn_max_level(image.shape, WAVELET))
    return pywt.wavedec2(image, WAVELET, mode=MODE, level=levels)


def reconstruct(coefficients, shape):
    # Odd sizes come back one larger; the image is the top-left part.
    return pywt.waverec2(coefficients, WAVELET, mode=MODE)[: shape[0], : shape[1]]


def extract_noise(image, sigma=3.0, multiscale=True):
    """Returns the denoised image, the noise residual (image - denoised) and the seconds spent in lawmlNC."""
    image = np.asarray(image, dtype=np.float64)
    shrunk, seconds = shrink_detail_bands(decompose(image), sigma * sigma, multiscale)
    denoised = reconstruct(shrunk, image.shape)
    return denoised, image - denoised, seconds


def picture(image, denoised, residual):
    """Image, denoised image and residual side by side, each under a label."""
    spread = float(np.percentile(np.abs(residual), 99.5)) or 1.0
    scale = 255.0 / max(255.0, float(np.nanmax(image)))  # 16-bit images are shown in 8 bits
    panels = [
        ("image", np.clip(scale * image, 0, 255)),
        ("denoised", np.clip(scale * denoised, 0, 255)),
        (f"noise residual, ±{spread:.1f} stretched", 127.5 + 127.5 * np.clip(residual / spread, -1, 1)),
    ]
    height, width = image.shape
    canvas = Image.new("L", (3 * width + 2 * GAP, height + LABEL_HEIGHT), color=255)
    draw = ImageDraw.Draw(canvas)
    for k, (label, values) in enumerate(panels):
        left = k * (width + GAP)
        canvas.paste(Image.fromarray(np.round(values).astype(np.uint8)), (left, LABEL_HEIGHT))
        draw.text((left + 4, 4), label, fill=0)
    return canvas


def process(image, output, sigma, multiscale, save_residual):
    """Extracts the noise of one image and writes the picture (and the residual); returns the filter seconds."""
    denoised, residual, seconds = extract_noise(image, sigma, multiscale)
    picture(image, denoised, residual).save(output)
    if save_residual:
        np.save(output.with_name(output.stem + "_residual.npy"), residual)
    return seconds


def process_folder(folder, output, sigma, multiscale, save_residual, workers):
    """Processes every image in folder; returns the filter seconds and the
    files that failed, each reported on stderr and skipped."""
    from tqdm import tqdm

    paths = sorted(p for p in folder.iterdir() if p.suffix.lower() in IMAGE_SUFFIXES)
    output.mkdir(parents=True, exist_ok=True)

    def one(path):
        # Decoders raise errors of many kinds on damaged files; whatever one
        # file raises is reported and the batch goes on.
        try:
            return process(load_luminance(path), output / f"{path.stem}_noise.png", sigma, multiscale,
                           save_residual), None
        except Exception as error:
            return 0.0, error

    seconds, failed = 0.0, []
    with ThreadPoolExecutor(max_workers=workers) as pool:
        for path, (spent, error) in zip(paths, tqdm(pool.map(one, paths), total=len(paths), unit="image")):
            seconds += spent
            if error is not None:
                failed.append(path)
                tqdm.write(f"skipped {path}: {error}", file=sys.stderr)
    return seconds, failed


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source", nargs="?", type=Path, help="an image or a folder of images (default: camera)")
    parser.add_argument("--sigma", type=float, default=3.0, help="noise standard deviation (default 3)")
    parser.add_argument("--no-multiscale", dest="multiscale", action="store_false", help="3x3 windows only")
    parser.add_argument("--output", type=Path, help="picture to write, or folder for a folder of images")
    parser.add_argument("--save-residual", action="store_true", help="also write the residual as .npy")
    parser.add_argument("--workers", type=int, default=1, help="threads for a folder of images")
    args = parser.parse_args(argv)
    if args.sigma <= 0:
        parser.error("--sigma must be positive")  # with no noise a flat region would give 0/0

    start = time.perf_counter()
    failed = []
    if args.source is not None and args.source.is_dir():
        output = args.output or Path("noise")
        seconds, failed = process_folder(args.source, output, args.sigma, args.multiscale, args.save_residual,
                                         args.workers)
        written = f"{output}/"
    else:
        image = pywt.data.camera() if args.source is None else load_luminance(args.source)
        name = "camera" if args.source is None else args.source.stem
        output = args.output or Path(f"{name}_noise.png")
        seconds = process(image, output, args.sigma, args.multiscale, args.save_residual)
        written = str(output)
    total = time.perf_counter() - start
    print(f"wrote {written}")
    print(f"filter (lawmlNC on every detail sub-band): {1e3 * seconds:.1f} ms; whole run: {1e3 * total:.1f} ms")
    if failed:
        print(f"{len(failed)} image(s) could not be processed", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
