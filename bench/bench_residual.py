"""Times morvekin_prnu's whole road on a 12-megapixel colour photograph.

    python bench/bench_residual.py [--rows 3000 --columns 4000] [--rounds 3] [--photos 50]

The photograph is synthesised: PyWavelets' "camera" picture tiled to the size,
tinted per channel and noised, as uint8. Interleaved round by round, so every
road sees the same machine:

- ``noise_residual`` as shipped (float32 transforms, mirrored borders, row
  blocks over every core, lawmlNC on its OpenMP threads), split into
  decomposition, lawmlNC, reconstruction and post-processing;
- the same on one core (no thread pool, lawmlNC on one OpenMP thread);
- the same with float64 transforms, and with periodization borders;
- the shipped steps on the libraries' own threading instead of the package's
  row blocks: ``pywt.wavedec2`` / ``waverec2`` in float32, one channel per
  thread, ``lawmlNC``, and ``scipy.fft`` with ``workers`` for the spectral
  filter;
- a straightforward NumPy/SciPy road of the same steps: ``pywt.wavedec2`` /
  ``waverec2`` in float64 per channel, the usual windowed mean-of-squares
  shrinkage with ``scipy.ndimage.uniform_filter`` (3x3 to 9x9, minimum),
  image - denoised, luminance, zero-mean, and the spectral Wiener filter with
  a 3x3 mean of squares and ``numpy.fft``.

Then the peak memory of one ``noise_residual`` call in a fresh process that
holds only the photograph (tracemalloc's peak of traced allocations, NumPy's
included, and the peak resident set, VmHWM, above the one before the call), as a
multiple of the photograph's uint8 size; and
``fingerprint`` over ``--photos`` such photographs (three distinct ones
cycled by a generator) with one worker, and over a fifth as many with two.
"""

import argparse
import importlib.metadata
import os
import platform
import subprocess
import sys
import tempfile
import time
import tracemalloc
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pywt
import scipy
import scipy.fft
from scipy import ndimage
from threadpoolctl import threadpool_limits

import morvekin
import morvekin_prnu
from morvekin_prnu import _threads, postprocessing, residual, wavelets

import performance_doc

STEPS = ("decomposition", "lawmlNC", "reconstruction", "post-processing")


def photograph(rows, columns, seed=0):
    rng = np.random.default_rng(seed)
    tiles = -(-rows // 512), -(-columns // 512)
    grey = np.tile(pywt.data.camera().astype(np.float32), tiles)[:rows, :columns]
    tint = rng.uniform(0.6, 1.0, 3).astype(np.float32)
    noisy = grey[..., None] * tint + rng.normal(0.0, 2.0, (rows, columns, 3)).astype(np.float32)
    return np.clip(np.round(noisy), 0, 255).astype(np.uint8)


class Split:
    """Wraps the steps of the shipped road to add up their seconds."""

    def __init__(self):
        self.seconds = dict.fromkeys(STEPS, 0.0)
        lawml = morvekin.lawmlNC

        class Timed:
            @staticmethod
            def lawmlNC(*args):
                return self.timed("lawmlNC", lawml, *args)

        self.patches = [
            (wavelets, "dwt_level", lambda *a: self.timed("decomposition", self.dwt, *a)),
            (wavelets, "idwt_level", lambda *a: self.timed("reconstruction", self.idwt, *a)),
            (residual, "zero_mean", lambda *a: self.timed("post-processing", self.zero_mean, *a)),
            (residual, "wiener_dft", lambda *a: self.timed("post-processing", self.wiener, *a)),
            (wavelets, "morvekin", Timed),
        ]
        self.dwt, self.idwt = wavelets.dwt_level, wavelets.idwt_level
        self.zero_mean, self.wiener = residual.zero_mean, residual.wiener_dft

    def timed(self, step, function, *args):
        start = time.perf_counter()
        try:
            return function(*args)
        finally:
            self.seconds[step] += time.perf_counter() - start

    def __enter__(self):
        self.saved = [(module, name, getattr(module, name)) for module, name, _ in self.patches]
        for module, name, replacement in self.patches:
            setattr(module, name, replacement)
        return self

    def __exit__(self, *exc):
        for module, name, original in self.saved:
            setattr(module, name, original)


def shipped(image):
    return morvekin_prnu.noise_residual(image)


def one_core(image):
    pool = _threads._pool
    _threads._pool = lambda: None
    try:
        with threadpool_limits(limits=1, user_api="openmp"):
            return morvekin_prnu.noise_residual(image)
    finally:
        _threads._pool = pool


def with_setting(module, name, value):
    def road(image):
        saved = getattr(module, name)
        setattr(module, name, value)
        try:
            return morvekin_prnu.noise_residual(image)
        finally:
            setattr(module, name, saved)
    return road


def mean_square_shrink(coeffs, noise_var, widths):
    squares = coeffs * coeffs
    variance = np.minimum.reduce(
        [np.maximum(ndimage.uniform_filter(squares, w, mode="constant") - noise_var, 0.0) for w in widths])
    return coeffs * variance / (variance + noise_var)


def straightforward(image, sigma=3.0):
    """The same steps the usual way, in float64 NumPy/SciPy/PyWavelets."""
    noise_var = sigma * sigma
    channels = []
    for k in range(3):
        channel = image[..., k].astype(np.float64)
        coefficients = pywt.wavedec2(channel, "db4", mode="symmetric", level=4)
        shrunk = [coefficients[0]] + [
            tuple(mean_square_shrink(band, noise_var, (3, 5, 7, 9)) for band in level) for level in coefficients[1:]]
        denoised = pywt.waverec2(shrunk, "db4", mode="symmetric")[:channel.shape[0], :channel.shape[1]]
        channels.append(channel - denoised)
    luma = sum(w * c for w, c in zip(postprocessing.LUMA, channels))
    for row in (0, 1):
        for column in (0, 1):
            phase = luma[row::2, column::2]
            phase -= phase.mean(axis=0)
            phase -= phase.mean(axis=1, keepdims=True)
    spectrum = np.fft.rfft2(luma)
    magnitude = np.abs(spectrum) / np.sqrt(luma.size)
    power = float(np.mean(magnitude ** 2))
    variance = np.maximum(ndimage.uniform_filter(magnitude ** 2, 3, mode="constant") - power, 0.0)
    return np.fft.irfft2(spectrum * power / (variance + power), s=luma.shape).astype(np.float32)


def libraries(image, sigma=3.0):
    """The shipped steps on the libraries' own threading: ``pywt.wavedec2`` / ``waverec2`` in float32
    (one channel per thread), ``lawmlNC``, and ``scipy.fft`` with ``workers`` for the spectral filter."""
    noise_var = sigma * sigma
    cores = len(os.sched_getaffinity(0))

    def removed(k):
        coefficients = pywt.wavedec2(image[..., k].astype(np.float32), "db4", mode="symmetric", level=4)
        noise = [np.zeros_like(coefficients[0])]
        for level in coefficients[1:]:
            bands = []
            for band in level:
                band = band.astype(np.float64)
                variance, scratch, shrunk = (np.empty_like(band) for _ in range(3))
                morvekin.lawmlNC(band, variance, scratch, shrunk, noise_var, 1)
                bands.append((band - shrunk).astype(np.float32))
            noise.append(bands)
        return noise

    with ThreadPoolExecutor(cores) as pool:
        channels = list(pool.map(removed, range(3)))
    combined = [sum(w * c[0] for w, c in zip(postprocessing.LUMA, channels))]
    for level in range(1, len(channels[0])):
        combined.append(tuple(sum(w * c[level][band] for w, c in zip(postprocessing.LUMA, channels))
                              for band in range(3)))
    luma = pywt.waverec2(combined, "db4", mode="symmetric")[:image.shape[0], :image.shape[1]].astype(np.float64)
    for row in (0, 1):
        for column in (0, 1):
            phase = luma[row::2, column::2]
            phase -= phase.mean(axis=0)
            phase -= phase.mean(axis=1, keepdims=True)
    spectrum = scipy.fft.rfft2(luma, workers=cores)
    power = np.square(np.abs(spectrum)) / luma.size
    noise_power = float(np.mean(power))
    window = ndimage.uniform_filter(power, 3, mode="constant")
    spectrum *= noise_power / np.maximum(window, noise_power)
    return scipy.fft.irfft2(spectrum, s=luma.shape, workers=cores).astype(np.float32)


def seconds(road, image):
    start = time.perf_counter()
    road(image)
    return time.perf_counter() - start


def memory_child(path):
    """Run in a fresh process: the peak memory of one noise_residual call on the saved photograph."""
    image = np.load(path, allow_pickle=False)
    morvekin_prnu.noise_residual(image[:64, :64])  # imports, thread pools
    resident = resident_set("VmRSS")
    tracemalloc.start()
    morvekin_prnu.noise_residual(image)
    traced = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    print(traced, max(resident_set("VmHWM") - resident, 0), image.nbytes)


def resident_set(field):
    """Bytes of this process's current (VmRSS) or peak (VmHWM) resident set.

    Not ``ru_maxrss``: Linux carries it over from before ``exec``, so a child
    of a large process starts with its parent's peak.
    """
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))


def images(pictures, count):
    """``count`` distinct photographs: the pictures cycled, each copy one pixel apart (fingerprint counts a
    repeated picture once)."""
    for k in range(count):
        picture = pictures[k % len(pictures)].copy()
        picture.flat[k] ^= 1
        yield picture


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=3000)
    parser.add_argument("--columns", type=int, default=4000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--doc", action="store_true", help=performance_doc.HELP)
    parser.add_argument("--photos", type=int, default=50)
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        return memory_child(args.memory_child)

    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        model = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), model)
    versions = ", ".join(f"{name} {version}" for name, version in (
        ("Python", platform.python_version()), ("NumPy", np.__version__), ("PyWavelets", importlib.metadata.version("PyWavelets")),
        ("SciPy", scipy.__version__), ("morvekin", importlib.metadata.version("morvekin"))))
    print(f"{model}, {len(os.sched_getaffinity(0))} cores; {versions}; {platform.platform()}")
    image = photograph(args.rows, args.columns)
    megapixels = args.rows * args.columns / 1e6
    print(f"{args.rows}x{args.columns} colour uint8 ({megapixels:.1f} MP), medians of {args.rounds} interleaved rounds\n")

    roads = {
        "noise_residual (shipped: float32, symmetric, all cores)": shipped,
        "  on one core": one_core,
        "  with float64 transforms": with_setting(residual, "TRANSFORM_DTYPE", np.float64),
        "  with periodization borders": with_setting(wavelets, "MODE", "periodization"),
        "libraries' threading: pywt.wavedec2 float32 per channel in threads, lawmlNC, scipy.fft workers": libraries,
        "straightforward NumPy/SciPy road": straightforward,
    }
    shipped(image[:256, :256])  # warm up: imports, thread pools
    times = {name: [] for name in roads}
    splits = []
    for _ in range(args.rounds):
        with Split() as split:
            times[next(iter(roads))].append(seconds(shipped, image))
        splits.append(split.seconds)
        for name, road in list(roads.items())[1:]:
            times[name].append(seconds(road, image))
    median = {name: float(np.median(t)) for name, t in times.items()}
    base = median[next(iter(roads))]
    print("| road | seconds | × shipped |\n| --- | ---: | ---: |")
    for name, value in median.items():
        print(f"| {name.strip()} | {value:.2f} | {value / base:.2f} |")
    print("\n| step of the shipped road | seconds | share |\n| --- | ---: | ---: |")
    for step in STEPS:
        value = float(np.median([s[step] for s in splits]))
        print(f"| {step} | {value:.2f} | {value / base:.0%} |")
    rest = float(np.median([times[next(iter(roads))][k] - sum(s.values()) for k, s in enumerate(splits)]))
    print(f"| other (loading, conversions, sums) | {rest:.2f} | {rest / base:.0%} |")

    with tempfile.TemporaryDirectory() as folder:
        saved = os.path.join(folder, "photograph.npy")
        np.save(saved, image)
        child = subprocess.run([sys.executable, __file__, "--memory-child", saved],
                               check=True, capture_output=True, text=True)
    traced, resident, size = (int(v) for v in child.stdout.split())
    print(f"\npeak memory of one call, fresh process: traced {traced / 2**20:.0f} MiB = {traced / size:.1f}x "
          f"the uint8 photograph ({size / 2**20:.0f} MiB); resident set grew by {resident / 2**20:.0f} MiB "
          f"= {resident / size:.1f}x")

    if args.photos:
        pictures = [image, image[::-1].copy(), image[:, ::-1].copy()]
        for workers, count in ((1, args.photos), (2, max(1, args.photos // 5))):
            start = time.perf_counter()
            morvekin_prnu.fingerprint(images(pictures, count), workers=workers)
            elapsed = time.perf_counter() - start
            print(f"fingerprint of {count} photographs, workers={workers}: {elapsed:.1f} s, "
                  f"{elapsed / count:.2f} s per photograph ({elapsed / count / base:.2f}x noise_residual)")
    return 0


if __name__ == "__main__":
    with performance_doc.recorded("bench_residual"):
        status = main()
    sys.exit(status)
