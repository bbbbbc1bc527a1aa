"""Random objects for every argument: each call either raises a documented
exception naming the culprit with every array untouched, or succeeds with
exactly the oracle's results. It must never crash."""

import array
import os

import numpy as np
from hypothesis import event, given, settings
from hypothesis import strategies as st
from numpy.lib.stride_tricks import as_strided

import morvekin
from oracle import lawml
from support import assert_same_bits

NAMES = ("coeffs", "variance", "scratch", "denoised")
WRONG_DTYPES = ["float32", "float16", "int8", "int64", "uint64", "complex128", "bool", ">f8", "O", "M8[s]", "V8"]
NOT_BUFFERS = [None, 3, 2.5, "text", [[1.0, 2.0]], {}, object()]
LAYOUTS = ["c", "fortran", "transposed", "stepped", "reversed"]


def float64_view(base, layout, rows, cols):
    """A rows x cols view of base (rows + 2 by cols + 2 or larger) in the given layout."""
    if layout == "fortran":
        return np.asfortranarray(base)[1 : rows + 1, 1 : cols + 1]
    if layout == "transposed":
        return base.T[1 : cols + 1, 1 : rows + 1].T
    if layout == "stepped":
        return base[::2, ::2][:rows, :cols]
    if layout == "reversed":
        return base[rows::-1, cols::-1][:rows, :cols]
    return base[1 : rows + 1, 1 : cols + 1]


@st.composite
def argument(draw, name, earlier, shape, shared):
    """An object for one array argument, and the name of its kind; valid
    float64 arrays of the call's shape, or larger, come most often."""
    kinds = ["float64"] * 12 + ["any shape", "wrong dtype", "wrong ndim", "unaligned", "not a buffer",
                                "bytes-like", "memoryview", "read-only", "zero stride", "interleaved"]
    if earlier:
        kinds += ["same object", "overlapping view"]
    kind = draw(st.sampled_from(kinds))
    if kind == "any shape":
        rows, cols = draw(st.integers(0, 7)), draw(st.integers(0, 7))
        kind = "float64"
    else:
        extra = st.sampled_from([0, 0, 0, 1, 2]) if name != "coeffs" else st.just(0)
        rows, cols = shape[0] + draw(extra), shape[1] + draw(extra)
    values = st.floats(allow_nan=True, allow_infinity=True, width=64)
    fill = draw(st.lists(values, min_size=1, max_size=4))

    def fresh(shape):
        return np.resize(np.array(fill), shape)

    if kind in ("float64", "read-only"):
        layout = draw(st.sampled_from(LAYOUTS))
        base = fresh((2 * rows + 2, 2 * cols + 2))
        obj = float64_view(base, layout, rows, cols)
        if kind == "read-only":
            obj.flags.writeable = False
        kind = f"{kind} {layout}"
    elif kind == "wrong dtype":
        dtype = draw(st.sampled_from(WRONG_DTYPES))
        obj = np.zeros((rows, cols), dtype=dtype)
        kind = f"dtype {dtype}"
    elif kind == "wrong ndim":
        ndim = draw(st.sampled_from([0, 1, 3]))
        obj = fresh((rows + 1,) * ndim)
        kind = f"{ndim}-D"
    elif kind == "unaligned":
        raw = np.zeros(rows * cols * 8 + 1, dtype=np.uint8)
        obj = raw[1:].view(np.float64).reshape(rows, cols)
    elif kind == "not a buffer":
        obj = draw(st.sampled_from(NOT_BUFFERS))
        kind = f"not a buffer: {type(obj).__name__}"
    elif kind == "bytes-like":
        obj = draw(st.sampled_from([bytes(8 * rows * cols), bytearray(8 * rows), array.array("d", fill)]))
        kind = f"bytes-like: {type(obj).__name__}"
    elif kind == "memoryview":
        obj = memoryview(fresh((rows, cols)))
    elif kind == "interleaved":  # every third column or row of a buffer the call's arguments share
        offset, by_rows = draw(st.integers(0, 3)), draw(st.booleans())
        obj = shared[offset::3][:rows, :cols] if by_rows else shared[:, offset::3][:rows, :cols]
        kind = f"interleaved at {offset}"
    elif kind == "zero stride":
        obj = as_strided(fresh((rows + 1, cols + 1)), (rows + 2, cols + 1), (0, 8))
    elif kind == "same object":
        other = draw(st.sampled_from(sorted(earlier)))
        obj = earlier[other]
        kind = f"same object as {other}"
    else:  # a view one row and column away from an earlier float64 argument's memory
        other = draw(st.sampled_from(sorted(earlier)))
        target = earlier[other]
        base = target.base if isinstance(target, np.ndarray) and target.base is not None else target
        if isinstance(base, np.ndarray) and base.ndim == 2 and base.dtype == np.float64:
            obj = base[: max(base.shape[0] - 1, 0), : max(base.shape[1] - 1, 0)]
        else:
            obj = base
        kind = f"overlapping {other}"
    return obj, kind


@st.composite
def calls(draw):
    arguments, earlier = {}, {}
    shape = (draw(st.integers(0, 7)), draw(st.integers(0, 7)))
    shared = np.resize(np.array(draw(st.lists(st.floats(width=64), min_size=1, max_size=4))), (30, 30))
    for name in NAMES:
        obj, kind = draw(argument(name, earlier, shape, shared))
        event(f"{name}: {kind}")
        arguments[name] = obj
        earlier[name] = obj
    noise_var = draw(st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-(2**80), 2**80),
                               st.sampled_from([0.0, 1.0, 4.0])))
    multiscale = draw(st.one_of(st.sampled_from([1, 0, 2, -1, True, False, np.int64(1)]),
                                st.integers(-(2**100), 2**100)))
    return arguments, noise_var, multiscale


def snapshot(arguments):
    return {name: np.array(obj, copy=True) for name, obj in arguments.items()
            if isinstance(obj, (np.ndarray, memoryview))}


@settings(max_examples=int(os.environ.get("BINDING_FUZZ_EXAMPLES", 400)), deadline=None)
@given(calls())
def test_random_arguments(call):
    arguments, noise_var, multiscale = call
    before = snapshot(arguments)
    try:
        result = morvekin.lawmlNC(*(arguments[name] for name in NAMES), noise_var, multiscale)
    except OverflowError as error:
        # Only an int noise_var can lie beyond the range of a float64.
        assert str(error).startswith("noise_var ") and abs(noise_var) > 1e308, str(error)
        outcome = "refused"
    except (TypeError, ValueError) as error:
        assert str(error).split()[0] in NAMES, str(error)
        outcome = "refused"
    else:
        assert type(result) is int and result == 0
        outcome = "accepted"
        expected = lawml(before["coeffs"], before["variance"], before["scratch"] if multiscale == 1
                         else np.zeros((0, 0)), before["denoised"], float(noise_var), multiscale)
        assert_same_bits(np.asarray(arguments["variance"]), expected[0], "variance")
        if multiscale == 1:
            assert_same_bits(np.asarray(arguments["scratch"]), expected[1], "scratch")
        assert_same_bits(np.asarray(arguments["denoised"]), expected[2], "denoised")
    event(outcome)
    if outcome == "refused":
        for name, saved in before.items():
            assert np.asarray(arguments[name]).tobytes() == saved.tobytes(), f"{name} was written"
