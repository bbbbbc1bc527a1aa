"""Wavelet-domain denoising of one channel (Lukáš, Fridrich and Goljan 2006).

The separable 2-D transform filters along rows only: after each 1-D pass the
halves are written transposed, so the next pass also runs along contiguous
memory (PyWavelets is several times slower across rows), and the sub-bands of
alternate levels are stored transposed; the square LAWML windows do not mind.
"""

import numpy as np
import pywt

import morvekin

from ._threads import in_blocks

# Signal extension: mirroring at the borders, rather than wrapping them round
# (periodization), adds no false edges there, which raises the PCE of true
# matches; PyWavelets also runs it faster (docs/performance.md).
MODE = "symmetric"


def removed_noise(channel, noise_var, wavelet, levels, name="image"):
    """Decompose ``channel`` and return what LAWML shrinkage takes out of each detail sub-band.

    Parameters
    ----------
    channel : ndarray, shape (H, W), float32 or float64, C order
    noise_var : float
        sigma², the noise variance given to ``morvekin.lawmlNC``.
    wavelet : pywt.Wavelet
    levels : int
        At most this many levels; fewer when the channel is too small.
    name : str, optional
        What to call the image if it is too small for one level.

    Returns
    -------
    shapes : list of tuple
        The shape entering each level, finest first.
    noise : list of list of ndarray
        Per level, three sub-bands of c - shrunk(c) in the channel's dtype.
    """
    usable = pywt.dwt_max_level(min(channel.shape), wavelet.dec_len)
    if usable < 1:
        raise ValueError(
            f"{name}: shape {channel.shape} is too small for the {wavelet.name} wavelet "
            f"(needs at least {2 * (wavelet.dec_len - 1)} pixels each way)"
        )
    shapes, noise = [], []
    approximation = channel
    for _ in range(min(levels, usable)):
        shapes.append(approximation.shape)
        approximation, details = dwt_level(approximation, wavelet)
        noise.append(shrinkage_loss(details, noise_var, channel.dtype))
    return shapes, noise


def rebuild(shapes, noise, wavelet):
    """The image of the removed noise alone: the inverse transform with a zero approximation.

    The approximation keeps all of the image, so its share of the residual is
    zero; rebuilding the noise directly avoids the rounding of image - denoised.

    Returns
    -------
    ndarray, shape shapes[0], the dtype of the noise
    """
    coarsest = noise[-1][0]
    rebuilt = np.zeros(coarsest.shape, coarsest.dtype)
    for shape, details in zip(reversed(shapes), reversed(noise)):
        rebuilt = idwt_level(rebuilt, details, shape, wavelet)
    return rebuilt


def dwt_level(x, wavelet):
    """One 2-D level of x: the approximation (x's dtype) and three float64 details, all transposed."""
    rows, columns = x.shape
    half_columns = pywt.dwt_coeff_len(columns, wavelet.dec_len, MODE)
    half_rows = pywt.dwt_coeff_len(rows, wavelet.dec_len, MODE)
    low, high = (np.empty((half_columns, rows), x.dtype) for _ in range(2))

    def along_rows(block):
        block_low, block_high = pywt.dwt(x[block], wavelet, mode=MODE, axis=-1)
        low[:, block] = block_low.T
        high[:, block] = block_high.T

    in_blocks(along_rows, rows)
    approximation = np.empty((half_columns, half_rows), x.dtype)
    details = [np.empty((half_columns, half_rows)) for _ in range(3)]  # float64 for lawmlNC

    def along_columns(block):
        approximation[block], details[0][block] = pywt.dwt(low[block], wavelet, mode=MODE, axis=-1)
        details[1][block], details[2][block] = pywt.dwt(high[block], wavelet, mode=MODE, axis=-1)

    in_blocks(along_columns, half_columns)
    return approximation, details


def idwt_level(approximation, details, shape, wavelet):
    """Inverse of :func:`dwt_level` for an input of the given shape."""
    rows, columns = shape
    half_columns = approximation.shape[0]
    low, high = (np.empty((rows, half_columns), approximation.dtype) for _ in range(2))

    def along_columns(block):
        low[:, block] = pywt.idwt(approximation[block], details[0][block], wavelet, mode=MODE, axis=-1)[:, :rows].T
        high[:, block] = pywt.idwt(details[1][block], details[2][block], wavelet, mode=MODE, axis=-1)[:, :rows].T

    in_blocks(along_columns, half_columns)
    result = np.empty(shape, approximation.dtype)

    def along_rows(block):
        result[block] = pywt.idwt(low[block], high[block], wavelet, mode=MODE, axis=-1)[:, :columns]

    in_blocks(along_rows, rows)
    return result


def shrinkage_loss(bands, noise_var, dtype):
    """c - shrunk(c) for float64 sub-bands of one level, shrunk by ``morvekin.lawmlNC`` (3x3 to 9x9 windows)."""
    variance, scratch, shrunk = (np.empty_like(bands[0]) for _ in range(3))
    losses = []
    for coeffs in bands:
        morvekin.lawmlNC(coeffs, variance, scratch, shrunk, noise_var, 1)
        loss = np.empty(coeffs.shape, dtype)

        def subtract(block):
            np.subtract(coeffs[block], shrunk[block], out=loss[block], casting="same_kind")

        in_blocks(subtract, coeffs.shape[0])
        losses.append(loss)
    return losses
