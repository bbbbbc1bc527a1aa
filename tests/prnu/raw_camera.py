"""A simulated raw camera: Bayer mosaics with a known sensor pattern, written as DNG files."""

import numpy as np
import tifffile

from cameras import scene

BLACK, WHITE = 64, 4095  # a 12-bit sensor's black and white levels
# What each colour of an RGGB cell records of a grey scene, relative to green (daylight, a typical sensor).
RESPONSE = {"R": 0.5, "G": 1.0, "B": 0.6}
PATTERN = "RGGB"
SCALE = 14.0  # digital numbers per 8-bit grey level of the scene, for green
ELECTRONS_PER_NUMBER = 4.0


def mosaic(rng, pattern, pictures, read_noise=2.0):
    """One raw frame: the scene through an RGGB colour filter, times 1 + K, with shot and read noise.

    Returns uint16 digital numbers, (H, W), black level BLACK, clipped at WHITE.
    """
    colour = scene(rng, pattern.shape, pictures)
    rows, columns = np.indices(pattern.shape)
    cell = (rows % 2) * 2 + columns % 2  # 0 R, 1 and 2 G, 3 B
    plane = np.choose(cell, [colour[..., 0], colour[..., 1], colour[..., 1], colour[..., 2]])
    response = np.choose(cell, [RESPONSE[c] for c in PATTERN])
    signal = SCALE * plane * response * (1.0 + pattern)
    shot_noise = rng.normal(0.0, 1.0, signal.shape) * np.sqrt(signal / ELECTRONS_PER_NUMBER)
    numbers = BLACK + signal + shot_noise + rng.normal(0.0, read_noise, signal.shape)
    return np.clip(np.round(numbers), 0, WHITE).astype(np.uint16)


def write_dng(path, numbers, make="Morvekin", model="Simulated 12", serial="SIM-0001"):
    """Write a mosaic as a minimal uncompressed DNG that LibRaw reads (rawpy)."""
    neutral = [RESPONSE["R"], RESPONSE["G"], RESPONSE["B"]]
    tags = [
        (271, "s", 0, make, True), (272, "s", 0, model, True),
        (33421, "H", 2, (2, 2), True), (33422, "B", 4, (0, 1, 1, 2), True),  # RGGB
        (50706, "B", 4, (1, 4, 0, 0), True), (50708, "s", 0, f"{make} {model}", True),
        (50714, "H", 1, (BLACK,), True), (50717, "H", 1, (WHITE,), True),
        (50721, "2i", 9, (1, 1, 0, 1, 0, 1, 0, 1, 1, 1, 0, 1, 0, 1, 0, 1, 1, 1), True),  # identity colour matrix
        (50728, "2I", 3, tuple(v for n in neutral for v in (round(1000 * n), 1000)), True),
        (50735, "s", 0, serial, True), (50778, "H", 1, (21,), True),  # D65
    ]
    tifffile.imwrite(path, numbers, photometric=32803, extratags=tags, metadata=None)
