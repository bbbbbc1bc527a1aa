"""Camera identification from sensor pattern noise, on morvekin's LAWML filter.

Given photographs, which camera took them? The photo-response non-uniformity
(PRNU) of a camera's sensor leaves a faint multiplicative pattern on every
picture it takes:

- :func:`noise_residual` extracts an image's noise (Lukáš, Fridrich and
  Goljan 2006), post-processed by :func:`zero_mean` and :func:`wiener_dft`
  (Chen, Fridrich, Goljan and Lukáš 2008);
- :func:`fingerprint` estimates a camera's pattern from its photographs
  (Chen et al. 2008);
- :func:`match` tests a photograph against a fingerprint with the
  peak-to-correlation energy (Goljan, Fridrich and Filler 2009), built from
  :func:`crosscorr`, :func:`pce` and :func:`ncc`;
- :func:`load_image` reads the photographs every function accepts.
"""

from .fingerprints import fingerprint, saturated
from .images import load_image
from .matching import Match, crosscorr, match, ncc, pce
from .residual import noise_residual, wiener_dft, zero_mean

__all__ = [
    "Match",
    "crosscorr",
    "fingerprint",
    "load_image",
    "match",
    "ncc",
    "noise_residual",
    "pce",
    "saturated",
    "wiener_dft",
    "zero_mean",
]
