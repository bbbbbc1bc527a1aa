"""Real 2-D FFTs whose rows and columns are spread over the package's threads.

Each 1-D transform (``scipy.fft``) depends on its own row or column alone, and
the blocks are fixed in size, so any thread count gives the same bits as one
thread. A caller that runs several transforms at once, one per thread, asks
for each to be done in its own thread instead (``spread=False``): each pass in
one call, which is quicker in one thread than block after block and gives
bits of its own, the same wherever it runs.
"""

import numpy as np
import scipy.fft

from ._threads import in_blocks


def rfft2(x, shape=None, dtype=np.float64, spread=True):
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
    spread : bool, optional
        Over the package's threads (by default), or all in this thread.

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
        spectrum[:, block] = scipy.fft.fft(spectrum[:, block], axis=0, overwrite_x=True)

    if not spread:
        spectrum[:x.shape[0]] = scipy.fft.rfft(x, n=columns, axis=1)
        return scipy.fft.fft(spectrum, axis=0, overwrite_x=True)
    in_blocks(along_rows, x.shape[0])
    in_blocks(along_columns, spectrum.shape[1])
    return spectrum


def irfft2(spectrum, shape, rows=None, spread=True):
    """The real array of ``shape`` whose :func:`rfft2` is ``spectrum``; overwrites ``spectrum``.

    Parameters
    ----------
    spectrum : ndarray, shape (H, W // 2 + 1), complex128 or complex64
    shape : tuple of int
        (H, W) of the real array.
    rows : int, optional
        Only the first ``rows`` rows of the result are computed (all by
        default): the last pass transforms those rows alone.
    spread : bool, optional
        As for :func:`rfft2`.

    Returns
    -------
    ndarray, shape (rows, W), float64 (float32 for complex64)
    """
    rows = shape[0] if rows is None else rows
    if not spread:
        return scipy.fft.irfft(scipy.fft.ifft(spectrum, axis=0, overwrite_x=True)[:rows], n=shape[1], axis=1)
    result = np.empty((rows, shape[1]), np.float32 if spectrum.dtype == np.complex64 else np.float64)

    def along_columns(block):
        spectrum[:, block] = scipy.fft.ifft(spectrum[:, block], axis=0, overwrite_x=True)

    def along_rows(block):
        result[block] = scipy.fft.irfft(spectrum[block], n=shape[1], axis=1)

    in_blocks(along_columns, spectrum.shape[1])
    in_blocks(along_rows, rows)
    return result
