from typing import Literal, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Buffer

# A 2-D float64 array: a NumPy array, or any buffer with strides.
_Array: TypeAlias = NDArray[np.float64] | Buffer

def lawmlNC(
    coeffs: _Array,
    variance: _Array,
    scratch: _Array | None,
    denoised: _Array,
    noise_var: SupportsFloat | SupportsIndex,
    multiscale: SupportsIndex,
    /,
) -> Literal[0]:
    """Extracción de ruido de imagen"""
