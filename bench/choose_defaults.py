"""Measures, on simulated cameras, the choices behind morvekin_prnu's defaults.

    python bench/choose_defaults.py [--size 384] [--train 10] [--test 4] [--seed 7]

Three cameras with known multiplicative patterns K (standard deviation 0.01)
photograph tinted crops of PyWavelets' pictures: fingerprints come from
``--train`` shots of "camera" and "ascent" per camera, and ``--test`` held-out
shots of "aero" per camera are matched against every fingerprint (no scene is
shared between the two sets, so only the sensor can link them). Printed per
choice: the weakest and the median PCE of a camera's own shots, the strongest
and the median PCE against other cameras, and the mean normalised correlation
of the fingerprints with their own K and with each other.

1. sigma, the denoiser's noise level, for shots with noise of standard
   deviation 1.5 and 3.
2. The DFT-domain Wiener filter: none, lawmlNC's mean-subtracted local
   variance (3x3 windows, or the minimum over 3x3 to 9x9), or the papers'
   windowed mean of squares (the same windows) — on shots that also carry a
   periodic pattern shared by all three cameras (8x8 blocks and a 2x2 cell, as
   JPEG and colour interpolation leave) and pass through JPEG at quality 90.
3. The transforms' dtype (float32, float64) and signal extension
   (periodization, symmetric), on the same shots.

Needs SciPy (``pip install ".[bench]"``) for the mean-of-squares windows.
"""

import argparse
import sys
from pathlib import Path

import numpy as np
import pywt
from scipy import ndimage

import morvekin
import morvekin_prnu
from morvekin_prnu import postprocessing, residual, wavelets

import performance_doc

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "prnu"))
import cameras  # noqa: E402

TRAIN_PICTURES = (pywt.data.camera, pywt.data.ascent)
TEST_PICTURES = (pywt.data.aero,)


def make_shots(size, train, test, noise, artefacts, seed):
    rng = np.random.default_rng(seed)
    shape = (size, size)
    shared = cameras.periodic_artefacts(rng, shape) if artefacts else None
    quality = 90 if artefacts else None
    patterns = [cameras.sensor_pattern(rng, shape) for _ in range(3)]
    take = lambda pattern, pictures: cameras.shot(  # noqa: E731
        rng, pattern, pictures, noise=noise, shared=shared, jpeg_quality=quality)
    training = [[take(k, TRAIN_PICTURES) for _ in range(train)] for k in patterns]
    testing = [[take(k, TEST_PICTURES) for _ in range(test)] for k in patterns]
    return patterns, training, testing


def channel_residuals(pixels, sigma):
    return [residual.channel_noise(c, sigma * sigma) for c in residual.transform_channels(pixels)]


def raw_fingerprint(shots, sigma):
    """Per-channel ML estimates sum(W I) / sum(I²) before post-processing, saturated pixels left out."""
    sums = None
    for pixels in shots:
        channels = list(residual.transform_channels(pixels))
        sums = sums or [(np.zeros(pixels.shape[:2]), np.zeros(pixels.shape[:2])) for _ in channels]
        for (products, squares), channel in zip(sums, channels):
            noise = residual.channel_noise(channel, sigma * sigma)
            intensity = np.where(morvekin_prnu.saturated(channel), 0.0, channel)
            products += noise * intensity
            squares += intensity * intensity
    return [n / np.where(d > 0, d, np.inf) for n, d in sums]


def lawml_variance(multiscale):
    def variance(magnitude, noise_var):
        v, d = np.empty_like(magnitude), np.empty_like(magnitude)
        s = np.empty_like(magnitude) if multiscale else None
        morvekin.lawmlNC(magnitude, v, s, d, noise_var, multiscale)
        return v
    return variance


def mean_square_variance(widths):
    def variance(magnitude, noise_var):
        squares = magnitude * magnitude
        estimates = [np.maximum(ndimage.uniform_filter(squares, w, mode="constant") - noise_var, 0.0) for w in widths]
        return np.minimum.reduce(estimates)
    return variance


def wiener_with(variance):
    """wiener_dft with another local-variance estimate of the magnitude; None: no filtering."""
    def wiener(x):
        if variance is None:
            return x
        spectrum = np.fft.rfft2(x)
        magnitude = np.abs(spectrum) / np.sqrt(x.size)
        noise_var = float(np.mean(magnitude * magnitude))
        spectrum *= noise_var / (variance(magnitude, noise_var) + noise_var)
        return np.fft.irfft2(spectrum, s=x.shape)
    return wiener


def post(channels, wiener):
    return wiener(morvekin_prnu.zero_mean(postprocessing.luminance(channels)))


def evaluate(patterns, fingerprints, test_residuals, test_shots):
    own, other = [], []
    for camera, (residuals, shots) in enumerate(zip(test_residuals, test_shots)):
        for w, pixels in zip(residuals, shots):
            weighted = w * postprocessing.luminance(list(residual.transform_channels(pixels)))
            for index, k in enumerate(fingerprints):
                surface = morvekin_prnu.crosscorr(weighted, k)
                peak = np.unravel_index(np.argmax(surface), surface.shape)
                value = morvekin_prnu.pce(surface, peak=peak)
                (own if index == camera else other).append(value)
    to_truth = np.mean([morvekin_prnu.ncc(f, k) for f, k in zip(fingerprints, patterns)])
    between = np.mean([morvekin_prnu.ncc(fingerprints[i], fingerprints[j]) for i in range(3) for j in range(i)])
    return (f"| {min(own):.0f} | {np.median(own):.0f} | {max(other):.1f} | {np.median(other):.1f} "
            f"| {to_truth:.3f} | {between:+.4f} |")


HEADER = "| own PCE, min | own, median | others' PCE, max | others', median | NCC with K | NCC between cameras |"
RULE = "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"


def run(patterns, training, testing, sigma, wiener):
    raws = [raw_fingerprint(shots, sigma) for shots in training]
    fingerprints = [post(raw, wiener) for raw in raws]
    test_residuals = [[post(channel_residuals(p, sigma), wiener) for p in shots] for shots in testing]
    return evaluate(patterns, fingerprints, test_residuals, testing)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=384)
    parser.add_argument("--train", type=int, default=10)
    parser.add_argument("--test", type=int, default=4)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--doc", action="store_true", help=performance_doc.HELP)
    args = parser.parse_args()
    default_wiener = morvekin_prnu.wiener_dft

    print(f"{args.size}x{args.size} colour shots, {args.train} per fingerprint, {args.test} held out per camera\n")
    print("## sigma (no shared artefacts)\n")
    print("| shot noise | sigma " + HEADER + "\n" + RULE + " --- |")
    for noise in (1.5, 3.0):
        data = make_shots(args.size, args.train, args.test, noise, False, args.seed)
        for sigma in (2.0, 3.0, 4.0, 5.0):
            print(f"| {noise} | {sigma:g} " + run(*data, sigma, default_wiener), flush=True)

    print("\n## DFT-domain Wiener filter (shared periodic artefacts, JPEG quality 90, shot noise 2)\n")
    data = make_shots(args.size, args.train, args.test, 2.0, True, args.seed)
    variants = {
        "none": None,
        "lawmlNC 3x3": lawml_variance(0),
        "lawmlNC 3..9": lawml_variance(1),
        "mean of squares 3x3": mean_square_variance((3,)),
        "mean of squares 3..9": mean_square_variance((3, 5, 7, 9)),
    }
    print("| filter " + HEADER + "\n" + RULE)
    for name, variance in variants.items():
        print(f"| {name} " + run(*data, residual.SIGMA, wiener_with(variance)), flush=True)

    print("\n## transform dtype and signal extension (same shots)\n")
    print("| dtype | mode " + HEADER + "\n" + RULE + " --- |")
    for dtype in (np.float32, np.float64):
        for mode in ("periodization", "symmetric"):
            residual.TRANSFORM_DTYPE, wavelets.MODE = dtype, mode
            print(f"| {dtype.__name__} | {mode} " + run(*data, residual.SIGMA, default_wiener), flush=True)


if __name__ == "__main__":
    with performance_doc.recorded("choose_defaults"):
        status = main()
    sys.exit(status)
