"""Measures, on simulated raw cameras, which pixels of a raw file identify a camera best.

    python bench/choose_raw_road.py [--size 512] [--train 8] [--test 4] [--seed 3]

Two simulated 12-bit cameras with known multiplicative patterns K (standard
deviation 0.01 per photosite) photograph tinted crops of PyWavelets' pictures
through an RGGB colour filter, with shot and read noise; every frame is
written as a DNG file and read back with rawpy (LibRaw). Fingerprints come
from ``--train`` frames of "camera" and "ascent" per camera, and ``--test``
held-out frames of "aero" per camera are matched against both fingerprints.
Each road turns a DNG file into the pixels that morvekin_prnu analyses:

- mosaic: the raw photosites, black level subtracted, one grey plane scaled
  so that the white level is 255 (what morvekin_prnu reads);
- mosaic, white-balanced: the same with each colour scaled by the camera's
  white balance, so that a grey scene gives a flat plane;
- demosaiced, linear: LibRaw's default demosaicing (AHD), camera white
  balance, linear 16-bit RGB, no brightening;
- demosaiced, sRGB: LibRaw's default output (8-bit, sRGB gamma, brightened),
  as a raw converter shows the picture.

Printed per road: the weakest and the median PCE of a camera's own held-out
frames, the strongest PCE against the other camera, the median PCE of the
camera's own held-out frames read as a raw converter shows them (the sRGB
road, standing in for the camera's own JPEGs), the correlation of the
fingerprint with the camera's own K, and the seconds to read one frame.
Needs ``pip install ".[raw,test]"`` (rawpy; tifffile writes the DNG files).
"""

import argparse
import platform
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pywt
import rawpy

import morvekin_prnu
import performance_doc

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "prnu"))
import cameras  # noqa: E402
import raw_camera  # noqa: E402

TRAIN_PICTURES = (pywt.data.camera, pywt.data.ascent)
TEST_PICTURES = (pywt.data.aero,)


def mosaic(raw):
    black, white = raw_camera.BLACK, raw_camera.WHITE
    return ((raw.raw_image_visible.astype(np.float32) - black) * (255.0 / (white - black)))


def balanced(raw):
    gains = np.asarray(raw.camera_whitebalance[:3]) / raw.camera_whitebalance[1]
    colours = np.where(raw.raw_colors_visible == 3, 1, raw.raw_colors_visible)  # the second green
    return mosaic(raw) * gains[colours].astype(np.float32)


def linear(raw):
    return raw.postprocess(gamma=(1, 1), no_auto_bright=True, output_bps=16, use_camera_wb=True, user_flip=0)


def srgb(raw):
    return raw.postprocess(use_camera_wb=True, user_flip=0)


ROADS = {"mosaic": mosaic, "mosaic, white-balanced": balanced, "demosaiced, linear": linear,
         "demosaiced, sRGB": srgb}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=512)
    parser.add_argument("--train", type=int, default=8)
    parser.add_argument("--test", type=int, default=4)
    parser.add_argument("--seed", type=int, default=3)
    parser.add_argument("--doc", action="store_true", help=performance_doc.HELP)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    shape = (args.size, args.size)
    patterns = [cameras.sensor_pattern(rng, shape) for _ in range(2)]
    with tempfile.TemporaryDirectory() as folder:
        files = {}
        for camera, pattern in enumerate(patterns):
            for kind, count, pictures in (("train", args.train, TRAIN_PICTURES), ("test", args.test, TEST_PICTURES)):
                files[camera, kind] = []
                for k in range(count):
                    path = Path(folder) / f"{camera}_{kind}_{k}.dng"
                    raw_camera.write_dng(path, raw_camera.mosaic(rng, pattern, pictures))
                    files[camera, kind].append(path)
        print(f"{platform.processor() or platform.machine()}; Python {platform.python_version()}, "
              f"NumPy {np.__version__}, PyWavelets {pywt.__version__}, rawpy {rawpy.__version__} "
              f"(LibRaw {rawpy.libraw_version}); {args.size}x{args.size}, {args.train} training and "
              f"{args.test} held-out frames per camera, seed {args.seed}\n")
        print("| road | weakest own PCE | median own PCE | strongest other PCE | median own PCE, sRGB frames "
              "| NCC with own K | s per frame |")
        print("| --- | ---: | ---: | ---: | ---: | ---: | ---: |")
        for name, road in ROADS.items():
            started = time.perf_counter()
            pixels = {}
            for key, paths in files.items():
                pixels[key] = []
                for path in paths:
                    with rawpy.imread(str(path)) as raw:
                        pixels[key].append(road(raw))
            seconds = (time.perf_counter() - started) / sum(len(p) for p in files.values())
            estimates = [morvekin_prnu.fingerprint(pixels[camera, "train"]) for camera in range(2)]
            own, other, converted = [], [], []
            for camera in range(2):
                for image in pixels[camera, "test"]:
                    found = morvekin_prnu.match_all(estimates, image)
                    own.append(found[camera].pce)
                    other.append(found[1 - camera].pce)
                for path in files[camera, "test"]:
                    with rawpy.imread(str(path)) as raw:
                        converted.append(morvekin_prnu.match(estimates[camera], srgb(raw)).pce)
            correlation = np.mean([morvekin_prnu.ncc(estimates[c], patterns[c]) for c in range(2)])
            print(f"| {name} | {min(own):.0f} | {np.median(own):.0f} | {max(other):.1f} | {np.median(converted):.0f} "
                  f"| {correlation:.3f} "
                  f"| {seconds:.3f} |")


if __name__ == "__main__":
    with performance_doc.recorded("choose_raw_road"):
        main()
