"""Array layouts, special values and bit-for-bit comparison shared by the module tests."""

import numpy as np

SPECIALS = np.array([np.nan, np.inf, -np.inf, -0.0, 0.0, 5e-324, -2.2e-310, 1e300, -1e300, 1e-300])

# Ways a 2-D float64 array can sit in memory; each makes a writable view of
# the given shape whose storage the test owns.
LAYOUTS = {
    "c": lambda rows, cols: np.empty((rows, cols)),
    "fortran": lambda rows, cols: np.empty((rows, cols), order="F"),
    "transposed": lambda rows, cols: np.empty((cols, rows)).T,
    "stepped": lambda rows, cols: np.empty((2 * rows, 3 * cols))[::2, ::3],
    "reversed": lambda rows, cols: np.empty((rows, cols))[::-1, ::-1],
    "negative_rows": lambda rows, cols: np.empty((cols, 2 * rows)).T[::-2, :],
}


def make(shape, layout="c", values=None, fill=-7.25):
    array = LAYOUTS[layout](*shape)
    array[...] = fill if values is None else values
    return array


def special_values(rng, shape, rate=0.05):
    """Normal values with NaN, infinities, signed zeros, subnormals and huge values mixed in."""
    values = rng.normal(0.0, 3.0, shape)
    mask = rng.random(shape) < rate
    values[mask] = rng.choice(SPECIALS, mask.sum())
    return values


def assert_same_bits(actual, expected, what="array"):
    actual = np.ascontiguousarray(actual, dtype=np.float64)
    expected = np.ascontiguousarray(expected, dtype=np.float64)
    assert actual.shape == expected.shape, f"{what}: shape {actual.shape} != {expected.shape}"
    differ = actual.view(np.uint64) != expected.view(np.uint64)
    if differ.any():
        first = tuple(int(i) for i in np.argwhere(differ)[0])
        raise AssertionError(
            f"{what}: {int(differ.sum())} of {differ.size} elements differ; "
            f"first at {first}: {actual[first]!r} != {expected[first]!r}"
        )
