"""Real 2-D FFTs whose rows and columns are spread over the package's threads.

Each 1-D transform depends on its own row or column alone, and the blocks are
fixed in size, so any thread count gives the same bits as ``numpy.fft``'s
one-thread result.
"""

import numpy as np

from ._threads import in_blocks


def rfft2(x):
    """``numpy.fft.rfft2`` of a 2-D array.

    Parameters
    ----------
    x : ndarray, shape (H, W)
        Real values.

    Returns
    -------
    ndarray, shape (H, W // 2 + 1), complex128
    """
    x = np.asarray(x, dtype=np.float64)
    spectrum = np.empty((x.shape[0], x.shape[1] // 2 + 1), dtype=np.complex128)

    def along_rows(block):
        spectrum[block] = np.fft.rfft(x[block], axis=1)

    def along_columns(block):
        spectrum[:, block] = np.fft.fft(spectrum[:, block], axis=0)

    in_blocks(along_rows, spectrum.shape[0])
    in_blocks(along_columns, spectrum.shape[1])
    return spectrum


def irfft2(spectrum, shape):
    """``numpy.fft.irfft2`` back to a real array of ``shape``; overwrites ``spectrum``.

    Parameters
    ----------
    spectrum : ndarray, shape (H, W // 2 + 1), complex128
    shape : tuple of int
        (H, W) of the real array.

    Returns
    -------
    ndarray, shape (H, W), float64
    """
    result = np.empty(shape)

    def along_columns(block):
        spectrum[:, block] = np.fft.ifft(spectrum[:, block], axis=0)

    def along_rows(block):
        result[block] = np.fft.irfft(spectrum[block], n=shape[1], axis=1)

    in_blocks(along_columns, spectrum.shape[1])
    in_blocks(along_rows, shape[0])
    return result
