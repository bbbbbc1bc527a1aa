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
  :func:`crosscorr`, :func:`pce` and :func:`ncc`, searching a resized,
  cropped or turned one over scales, crop positions and orientations
  (:mod:`morvekin_prnu.search`, Goljan and Fridrich 2008), and decides with a
  false-alarm probability that holds for the search done; :func:`match_all` against
  several at once, and :func:`weighted_residual` with :func:`match_residual`
  split the image's side of the test from the fingerprint's;
- :func:`save_fingerprint` and :func:`load_fingerprint` write and read
  fingerprint files with their metadata (:func:`read_fingerprint` also gives
  the file's SHA-256);
- :class:`Library` keeps many cameras' fingerprints in a folder with a
  catalogue and a compact index (:mod:`morvekin_prnu.binary`), and
  :meth:`Library.identify` finds which of them took a photograph;
- :mod:`morvekin_prnu.evidence` gives the likelihood ratio that a suspect
  camera took an image, calibrated on reference comparisons and bounded
  (:mod:`morvekin_prnu.likelihood`), and :mod:`morvekin_prnu.validation`
  measures such ratios on a laboratory's labelled images;
- :func:`load_image` reads the photographs every function accepts
  (:func:`read_image` also gives their SHA-256 and camera, for the record), and
  :func:`denoise` shows what the denoiser leaves of one
  (:func:`denoise_with_residual` gives both at once);
- :func:`read_video` decodes the frames of a video to estimate its camera's
  fingerprint from (Chen, Fridrich, Goljan and Lukáš 2007; averaged frames
  after Taspinar, Mohanty and Memon 2020), with a :class:`VideoFacts` record,
  and :class:`VideoFrames` feeds several videos' frames to :func:`fingerprint`
  (:mod:`morvekin_prnu.video`, which also tells a video from a photograph).

The ``morvekin`` command (``python -m morvekin_prnu``) runs these from the shell.
"""

from .fingerprints import FingerprintWarning, fingerprint, saturated
from .images import ImageFacts, load_image, read_image
from .library import (Camera, Candidate, DamagedCatalogue, Identification, Library, NameTaken, NewerFormat, Problem,
                      Search, Source, UnknownCamera)
from .matching import Match, crosscorr, match, match_all, match_residual, ncc, pce, weighted_residual
from .postprocessing import wiener_dft, zero_mean
from .residual import denoise, denoise_with_residual, noise_residual
from .storage import StoredFingerprint, load_fingerprint, read_fingerprint, save_fingerprint
from .video import VideoFacts, VideoFrames, read_video

__all__ = [
    "Camera",
    "Candidate",
    "DamagedCatalogue",
    "FingerprintWarning",
    "Identification",
    "ImageFacts",
    "Library",
    "Match",
    "NameTaken",
    "NewerFormat",
    "Problem",
    "Search",
    "Source",
    "StoredFingerprint",
    "UnknownCamera",
    "VideoFacts",
    "VideoFrames",
    "crosscorr",
    "denoise",
    "denoise_with_residual",
    "fingerprint",
    "load_fingerprint",
    "load_image",
    "match",
    "match_all",
    "match_residual",
    "ncc",
    "noise_residual",
    "pce",
    "read_fingerprint",
    "read_image",
    "read_video",
    "saturated",
    "save_fingerprint",
    "weighted_residual",
    "wiener_dft",
    "zero_mean",
]
