"""Refused calls: the right exception, a message naming the argument, nothing written."""

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import morvekin

SHAPE = (5, 6)


def good():
    rng = np.random.default_rng(0)
    return {
        "coeffs": rng.normal(size=SHAPE),
        "variance": np.full(SHAPE, 1.0),
        "scratch": np.full(SHAPE, 2.0),
        "denoised": np.full(SHAPE, 3.0),
    }


def read_only(shape=SHAPE):
    a = np.zeros(shape)
    a.flags.writeable = False
    return a


def unaligned(shape=SHAPE):
    raw = np.zeros(int(np.prod(shape)) * 8 + 1, dtype=np.uint8)
    return raw[1:].view(np.float64).reshape(shape)


def overlapping_pair():
    """Two views of one buffer, offset by one row."""
    base = np.zeros((SHAPE[0] + 1, SHAPE[1]))
    return base[1:], base[:-1]


def interleaved(*offsets):
    """Views of every second column of one buffer, starting at the given columns."""
    base = np.zeros((SHAPE[0], 2 * SHAPE[1] + 2))
    return [base[:, k::2][:, : SHAPE[1]] for k in offsets]


def with_overlap(first, second):
    def build(arrays):
        arrays[first], arrays[second] = overlapping_pair()

    return build


def replace(name, make):
    def build(arrays):
        arrays[name] = make()

    return build


def same_as(name, other):
    def build(arrays):
        arrays[name] = arrays[other]

    return build


# (id, change to the good arguments, multiscale, exception, words the message must hold)
CASES = [
    ("coeffs list", replace("coeffs", lambda: [[1.0, 2.0]]), 1, TypeError, ["coeffs", "list"]),
    ("coeffs None", replace("coeffs", lambda: None), 1, TypeError, ["coeffs"]),
    ("variance bytes", replace("variance", lambda: b"12345678"), 1, TypeError, ["variance"]),
    ("scratch None", replace("scratch", lambda: None), 1, TypeError, ["scratch"]),
    ("coeffs float32", replace("coeffs", lambda: np.zeros(SHAPE, np.float32)), 1, TypeError,
     ["coeffs", "float32", "'f'", "numpy.asarray(coeffs, dtype=numpy.float64)"]),
    ("variance float32", replace("variance", lambda: np.zeros(SHAPE, np.float32)), 1, TypeError,
     ["variance", "float32", "numpy.asarray(variance, dtype=numpy.float64)", "read the results"]),
    ("variance int64", replace("variance", lambda: np.zeros(SHAPE, np.int64)), 1, TypeError, ["variance"]),
    ("scratch complex", replace("scratch", lambda: np.zeros(SHAPE, complex)), 1, TypeError, ["scratch"]),
    ("denoised float16", replace("denoised", lambda: np.zeros(SHAPE, np.float16)), 1, TypeError, ["denoised"]),
    ("coeffs object", replace("coeffs", lambda: np.zeros(SHAPE, object)), 1, TypeError, ["coeffs"]),
    ("coeffs datetime", replace("coeffs", lambda: np.zeros(SHAPE, "M8[s]")), 1, TypeError, ["coeffs", "buffer"]),
    ("coeffs byte-swapped", replace("coeffs", lambda: np.zeros(SHAPE, ">f8")), 1, TypeError, ["coeffs", "byte order"]),
    ("denoised byte-swapped", replace("denoised", lambda: np.zeros(SHAPE, ">f8")), 0, TypeError, ["denoised"]),
    ("variance unaligned", replace("variance", unaligned), 1, TypeError, ["variance", "aligned"]),
    ("coeffs unaligned", replace("coeffs", unaligned), 1, TypeError, ["coeffs", "aligned"]),
    ("coeffs 1-D", replace("coeffs", lambda: np.zeros(6)), 1, ValueError, ["coeffs", "2-D", "1-D"]),
    ("variance 3-D", replace("variance", lambda: np.zeros(SHAPE + (1,))), 1, ValueError, ["variance", "3-D"]),
    ("denoised 0-D", replace("denoised", lambda: np.zeros(())), 1, ValueError, ["denoised", "0-D"]),
    ("scratch 1-D", replace("scratch", lambda: np.zeros(30)), 1, ValueError, ["scratch"]),
    ("variance read-only", replace("variance", read_only), 1, ValueError, ["variance", "read-only"]),
    ("scratch read-only", replace("scratch", read_only), 1, ValueError, ["scratch", "read-only"]),
    ("denoised read-only", replace("denoised", read_only), 0, ValueError, ["denoised", "read-only"]),
    ("denoised bytes", replace("denoised", lambda: bytes(8 * 30)), 0, TypeError, ["denoised"]),
    ("variance too few rows", replace("variance", lambda: np.zeros((4, 6))), 1, ValueError, ["variance", "(4, 6)", "coeffs", "(5, 6)"]),
    ("denoised too few cols", replace("denoised", lambda: np.zeros((5, 5))), 0, ValueError, ["denoised", "(5, 5)", "(5, 6)"]),
    ("scratch smaller than variance",
     lambda a: a.update(variance=np.zeros((6, 6)), scratch=np.zeros((5, 9))), 1, ValueError, ["scratch", "(5, 9)", "variance", "(6, 6)"]),
    ("variance is coeffs", same_as("variance", "coeffs"), 1, ValueError, ["variance", "coeffs"]),
    ("scratch is coeffs", same_as("scratch", "coeffs"), 1, ValueError, ["scratch", "coeffs"]),
    ("scratch is variance", same_as("scratch", "variance"), 1, ValueError, ["scratch", "variance"]),
    ("denoised is variance", same_as("denoised", "variance"), 0, ValueError, ["denoised", "variance"]),
    ("denoised is scratch", same_as("denoised", "scratch"), 1, ValueError, ["denoised", "scratch"]),
    ("variance overlaps coeffs", with_overlap("variance", "coeffs"), 0, ValueError, ["variance", "coeffs"]),
    ("denoised overlaps coeffs", with_overlap("denoised", "coeffs"), 0, ValueError, ["denoised", "coeffs"]),
    ("scratch overlaps variance", with_overlap("scratch", "variance"), 1, ValueError, ["scratch", "variance"]),
    ("denoised transposed coeffs",
     lambda a: a.update(coeffs=np.zeros((6, 6)), variance=np.zeros((6, 6)), scratch=np.zeros((6, 6)),
                        denoised=None) or a.update(denoised=a["coeffs"].T), 1, ValueError, ["denoised", "coeffs"]),
    ("variance rows share memory",
     replace("variance", lambda: as_strided(np.zeros(SHAPE[1]), SHAPE, (0, 8))), 1, ValueError, ["variance", "share memory"]),
    ("denoised elements interleave",
     replace("denoised", lambda: as_strided(np.zeros(40), SHAPE, (8, 8))), 0, ValueError, ["denoised", "share memory"]),
    ("scratch elements meet three rows down",
     replace("scratch", lambda: as_strided(np.zeros(60), SHAPE, (16, 24))), 1, ValueError, ["scratch", "share memory"]),
    ("scratch interleaves with variance but meets it",
     lambda a: a.update(zip(("variance", "scratch"), interleaved(0, 2))), 1, ValueError,
     ["scratch", "shares memory with variance"]),
    ("denoised one element off coeffs",
     lambda a: a.update(zip(("coeffs", "denoised"), interleaved(1, 3))), 0, ValueError,
     ["denoised", "shares memory with coeffs"]),
]


def snapshot(arrays):
    return {name: np.array(a, copy=True) for name, a in arrays.items() if isinstance(a, np.ndarray)}


@pytest.mark.parametrize("build, multiscale, error, words", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_refused_call_writes_nothing(build, multiscale, error, words):
    arrays = good()
    build(arrays)
    before = snapshot(arrays)
    with pytest.raises(error) as caught:
        morvekin.lawmlNC(arrays["coeffs"], arrays["variance"], arrays["scratch"], arrays["denoised"], 0.5, multiscale)
    for word in words:
        assert word in str(caught.value)
    for name, a in before.items():
        assert np.asarray(arrays[name]).tobytes() == a.tobytes(), f"{name} was written"


@pytest.mark.parametrize(
    "build, multiscale",
    [
        (replace("coeffs", read_only), 1),
        (lambda a: a.update(scratch=np.zeros(3)), 0),
        (lambda a: a.update(variance=np.zeros((7, 8)), scratch=np.zeros((7, 9)), denoised=np.zeros((6, 6))), 1),
        (lambda a: a.update(coeffs=np.broadcast_to(np.arange(6.0), SHAPE)), 1),
        (same_as("denoised", "coeffs"), 1),
        (lambda a: a.update(denoised=a["coeffs"][:, :]), 1),
        (lambda a: a.update(denoised=np.zeros((1, 6)), coeffs=np.zeros((1, 6)), variance=np.zeros((1, 6)),
                            scratch=as_strided(np.zeros(6), (1, 6), (0, 8))), 1),
    ],
    ids=["read-only coeffs", "dummy scratch", "larger outputs", "coeffs broadcast",
         "denoised is coeffs", "denoised views coeffs", "single row with zero row stride"],
)
def test_accepted_edge_cases(build, multiscale):
    arrays = good()
    build(arrays)
    assert morvekin.lawmlNC(arrays["coeffs"], arrays["variance"], arrays["scratch"], arrays["denoised"], 0.5, multiscale) == 0


@pytest.mark.parametrize(
    "name, make, error, cause",
    [
        ("variance", read_only, ValueError, ValueError),
        ("denoised", lambda: memoryview(read_only()), ValueError, BufferError),
        ("coeffs", lambda: np.zeros(SHAPE, "M8[s]"), TypeError, ValueError),
    ],
)
def test_refused_buffers_chain_the_original_error(name, make, error, cause):
    arrays = good()
    arrays[name] = make()
    with pytest.raises(error, match=name) as caught:
        morvekin.lawmlNC(arrays["coeffs"], arrays["variance"], arrays["scratch"], arrays["denoised"], 0.5, 1)
    assert type(caught.value.__cause__) is cause


@pytest.mark.parametrize("name", ["coeffs", "variance", "scratch", "denoised"])
@pytest.mark.parametrize("shape, strides", [((2**54, 1), (2**10, 8)), ((2**50, 2), (-(2**12), 8))],
                         ids=["extent overflows", "below address zero"])
def test_views_beyond_the_address_space_are_refused(name, shape, strides):
    # NumPy builds such views without touching memory, and so must lawmlNC.
    arrays = good()
    before = snapshot(arrays)
    arrays[name] = as_strided(np.zeros(1), shape, strides)
    with pytest.raises(ValueError, match=f"^{name} has shape .* address space"):
        morvekin.lawmlNC(arrays["coeffs"], arrays["variance"], arrays["scratch"], arrays["denoised"], 0.5, 1)
    assert all(arrays[other].tobytes() == a.tobytes() for other, a in before.items() if other != name)


def test_layouts_too_intricate_to_check_are_refused_as_possibly_sharing():
    # Four unrelated strides over long dimensions, in views that are never read.
    coeffs, variance, denoised = (as_strided(np.zeros(1), (10**5, 10**5), s) for s in
                                  [(8 * 1000003, 8 * 7), (8 * 999983, 8 * 13), (8 * 10**5, 8)])
    with pytest.raises(ValueError, match="variance may share memory with coeffs"):
        morvekin.lawmlNC(coeffs, variance, None, denoised, 0.5, 0)
