"""Real 2-D FFTs whose rows and columns are spread over the package's threads.

Each 1-D transform (``scipy.fft``) depends on its own row or column alone, and
the blocks are fixed in size, so any thread count gives the same bits as one
thread.
"""

import numpy as np
import scipy.fft

from ._threads import in_blocks


def rfft2(x, shape=None, dtype=np.float64):
    """Real 2-D FFT of ``x``, zero-padded at the bottom and right to ``shape``.

    Rows past ``x``'s are zero and are not transformed, so an image placed at
    the top left of a larger area costs the transforms of its own rows.

    Parameters
    ----------
    x : ndarray, shape (h, w)
        Real values.
    shape : tuple of int, optional
        (rows, columns) of the padded array, at least (h, w); (h, w) by
        default, which gives ``numpy.fft.rfft2`` (x).
    dtype : {numpy.float64, numpy.float32}, optional
        The precision of the arithmetic.

    Returns
    -------
    ndarray, shape (rows, columns // 2 + 1), complex128 (complex64 for float32)
    """
    x = np.asarray(x, dtype=dtype)
    rows, columns = x.shape if shape is None else shape
    spectrum = np.empty((rows, columns // 2 + 1), np.result_type(x.dtype, np.complex64))
    spectrum[x.shape[0]:] = 0

    def along_rows(block):
        spectrum[block] = scipy.fft.rfft(x[block], n=columns, axis=1)

    def along_columns(block):
        spectrum[:, block] = scipy.fft.fft(spectrum[:, block], axis=0)

    in_blocks(along_rows, x.shape[0])
    in_blocks(along_columns, spectrum.shape[1])
    return spectrum


def irfft2(spectrum, shape):
    """The real array of ``shape`` whose :func:`rfft2` is ``spectrum``; overwrites ``spectrum``.

    Parameters
    ----------
    spectrum : ndarray, shape (H, W // 2 + 1), complex128 or complex64
    shape : tuple of int
        (H, W) of the real array.

    Returns
    -------
    ndarray, shape (H, W), float64 (float32 for complex64)
    """
    result = np.empty(shape, np.float32 if spectrum.dtype == np.complex64 else np.float64)

    def along_columns(block):
        spectrum[:, block] = scipy.fft.ifft(spectrum[:, block], axis=0)

    def along_rows(block):
        result[block] = scipy.fft.irfft(spectrum[block], n=shape[1], axis=1)

    in_blocks(along_columns, spectrum.shape[1])
    in_blocks(along_rows, shape[0])
    return result
