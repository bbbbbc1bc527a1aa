"""Results against the NumPy oracle, bit for bit, over shapes, layouts and values."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from numpy.lib.stride_tricks import as_strided

import morvekin
from support import LAYOUTS, assert_same_bits, make, special_values
from oracle import lawml


def run_and_compare(coeffs, noise_var, multiscale, layouts=("c", "c", "c"), shapes=None):
    """Calls lawmlNC on fresh outputs and compares every array with the oracle."""
    shapes = shapes or [coeffs.shape] * 3
    outputs = [make(shape, layout, fill=f) for shape, layout, f in zip(shapes, layouts, (-1.5, np.nan, 3.0))]
    expected = lawml(coeffs, *outputs, noise_var, multiscale)
    coeffs_before = coeffs.copy()
    assert morvekin.lawmlNC(coeffs, outputs[0], outputs[1], outputs[2], noise_var, multiscale) == 0
    for name, actual, wanted in zip(("variance", "scratch", "denoised"), outputs, expected):
        assert_same_bits(actual, wanted, name)
    assert_same_bits(coeffs, coeffs_before, "coeffs")
    return outputs


SHAPES = [(1, 1), (1, 9), (9, 1), (2, 50), (3, 3), (4, 4), (7, 13), (17, 11), (33, 65)]


@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: f"{s[0]}x{s[1]}")
@pytest.mark.parametrize("multiscale", [1, 0])
@pytest.mark.parametrize("noise_var", [0.0, 2.5, -1.0, np.inf, np.nan])
def test_special_values_match_oracle(rng, shape, multiscale, noise_var):
    run_and_compare(special_values(rng, shape), noise_var, multiscale)


@pytest.mark.parametrize("value", [5.0, 0.1, -0.0, 1e300, 5e-324])
@pytest.mark.parametrize("noise_var", [0.0, 1.0])
def test_constant_arrays_match_oracle(value, noise_var):
    run_and_compare(np.full((6, 11), value), noise_var, 1)


@pytest.mark.parametrize("array", ["coeffs", "variance", "scratch", "denoised"])
@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_strided_views_of_each_array(rng, array, layout):
    shape = (13, 10)
    coeffs_layout = layout if array == "coeffs" else "c"
    coeffs = make(shape, coeffs_layout, special_values(rng, shape))
    layouts = [layout if name == array else "c" for name in ("variance", "scratch", "denoised")]
    run_and_compare(coeffs, 0.5, 1, layouts)


@pytest.mark.parametrize("multiscale", [0, 2, -1, -(2**31), 2**31 - 1])
def test_other_multiscale_values_use_width_three_and_leave_scratch(rng, multiscale):
    coeffs = special_values(rng, (8, 9))
    scratch = np.full((8, 9), 42.0)
    untouched_variance, untouched_denoised = np.empty((8, 9)), np.empty((8, 9))
    morvekin.lawmlNC(coeffs, untouched_variance, None, untouched_denoised, 1.0, 0)
    outputs = run_and_compare(coeffs, 1.0, multiscale)
    assert_same_bits(outputs[0], untouched_variance, "variance")
    variance, denoised = np.empty((8, 9)), np.empty((8, 9))
    assert morvekin.lawmlNC(coeffs, variance, scratch, denoised, 1.0, multiscale) == 0
    assert (scratch == 42.0).all()


def test_scratch_is_not_inspected_unless_multiscale_is_one(rng):
    coeffs = special_values(rng, (5, 5))
    variance, denoised = np.empty((5, 5)), np.empty((5, 5))
    for dummy in (None, "not an array", np.zeros(3, dtype=np.int8)):
        assert morvekin.lawmlNC(coeffs, variance, dummy, denoised, 1.0, 0) == 0


def test_worked_example():
    coeffs = np.arange(1.0, 10.0).reshape(3, 3)
    variance, scratch, denoised = np.empty((3, 3)), np.empty((3, 3)), np.empty((3, 3))
    morvekin.lawmlNC(coeffs, variance, scratch, denoised, 1.0, 1)
    assert variance[0, 0] == 1.5 and variance[1, 1] == 60.0 / 9.0 - 1.0
    assert denoised[0, 0] == 0.6 and denoised[1, 1] == 4.25
    assert (scratch == 60.0 / 9.0 - 1.0).all()


@pytest.mark.parametrize("multiscale", [1, 0])
def test_denoised_may_be_coeffs(rng, multiscale):
    coeffs = special_values(rng, (21, 19))
    expected = lawml(coeffs, np.empty(coeffs.shape), np.empty(coeffs.shape), np.empty(coeffs.shape), 0.7, multiscale)
    variance, scratch = np.empty(coeffs.shape), np.empty(coeffs.shape)
    morvekin.lawmlNC(coeffs, variance, scratch, coeffs, 0.7, multiscale)
    assert_same_bits(coeffs, expected[2], "denoised")
    assert_same_bits(variance, expected[0], "variance")


def test_larger_outputs_keep_what_lies_beyond_coeffs(rng):
    coeffs = special_values(rng, (6, 7))
    run_and_compare(coeffs, 0.25, 1, shapes=[(8, 9), (9, 12), (6, 10)])
    run_and_compare(coeffs, 0.25, 0, shapes=[(8, 9), (9, 12), (6, 10)])


@pytest.mark.parametrize("shape", [(0, 0), (0, 5), (4, 0)])
@pytest.mark.parametrize("multiscale", [1, 0])
def test_empty_shapes(shape, multiscale):
    run_and_compare(np.empty(shape), 1.0, multiscale)


def test_empty_coeffs_with_larger_variance_still_merges(rng):
    # The minimum sweeps variance's own extent, even when coeffs has none.
    run_and_compare(np.empty((0, 3)), 1.0, 1, shapes=[(2, 3), (2, 4), (0, 3)])


def test_nan_coefficient_zeroes_estimates_within_four(rng):
    coeffs = rng.normal(size=(20, 20))
    coeffs[10, 6] = np.nan
    variance, scratch, denoised = run_and_compare(coeffs, 0.0, 1)
    near = np.zeros((20, 20), dtype=bool)
    near[6:15, 2:11] = True
    assert (variance[near] == 0.0).all() and (variance[~near] > 0.0).all()
    assert np.isnan(denoised[10, 6])


PAYLOAD_NAN = np.array(0x7FF8_0000_0000_0123, dtype=np.uint64).view(np.float64)


@pytest.mark.parametrize(
    "coefficient, noise_var, expected",
    [(2.0, 0.0, 0xFFF8_0000_0000_0000),  # 0 / 0 on a flat band
     (np.inf, 1.0, 0xFFF8_0000_0000_0000),  # 0 * inf
     (PAYLOAD_NAN, 1.0, 0x7FF8_0000_0000_0123),
     (2.0, PAYLOAD_NAN, 0x7FF8_0000_0000_0123)],
)
def test_shrinkage_nans_are_the_same_bits_on_every_cpu(coefficient, noise_var, expected):
    coeffs = np.full((5, 6), 2.0)
    coeffs[2, 3] = coefficient
    variance, scratch, denoised = run_and_compare(coeffs, noise_var, 1)
    assert denoised[2:3, 3:4].view(np.uint64)[0, 0] == expected


@settings(max_examples=150, deadline=None)
@given(
    coeffs=hnp.arrays(np.float64, hnp.array_shapes(min_dims=2, max_dims=2, min_side=1, max_side=12)),
    noise_var=st.floats(allow_nan=True, allow_infinity=True),
    multiscale=st.sampled_from([1, 0, 2]),
    layout=st.sampled_from(sorted(LAYOUTS)),
)
def test_property_matches_oracle(coeffs, noise_var, multiscale, layout):
    run_and_compare(make(coeffs.shape, layout, coeffs), noise_var, multiscale, (layout, "c", layout))


def call_and_compare(coeffs, variance, scratch, denoised, noise_var, multiscale):
    """One call on the given (possibly shared) arrays against the oracle run on copies."""
    expected = lawml(coeffs.copy(), variance, scratch, denoised, noise_var, multiscale)
    assert morvekin.lawmlNC(coeffs, variance, scratch, denoised, noise_var, multiscale) == 0
    for name, actual, wanted in zip(("variance", "scratch", "denoised"), (variance, scratch, denoised), expected):
        assert_same_bits(actual, wanted, name)


@pytest.mark.parametrize("multiscale", [1, 0])
@pytest.mark.parametrize("by", ["columns", "rows"])
def test_arrays_interleaved_in_one_buffer(rng, multiscale, by):
    # numpy.shares_memory calls every pair disjoint, and so must lawmlNC.
    base = special_values(rng, (9, 4 * 14) if by == "columns" else (4 * 9, 14))
    call_and_compare(*(base[:, k::4] if by == "columns" else base[k::4] for k in range(4)), 0.5, multiscale)


@pytest.mark.parametrize("multiscale", [1, 0])
@pytest.mark.parametrize("along", ["row", "column"])
def test_in_place_into_larger_denoised_from_one_row_or_column(rng, multiscale, along):
    # coeffs' stride along its dimension of one element differs from
    # denoised's, but addresses nothing: the elements are the same.
    denoised = special_values(rng, (5, 7))
    coeffs = denoised[0][np.newaxis, :] if along == "row" else denoised[:, 0][:, np.newaxis]
    assert coeffs.strides != denoised.strides
    call_and_compare(coeffs, make(coeffs.shape, fill=2.0), make(coeffs.shape, fill=3.0), denoised, 0.25, multiscale)


@pytest.mark.parametrize("output", ["variance", "scratch", "denoised"])
def test_outputs_with_distinct_but_tangled_elements(rng, output):
    # Rows 16 bytes apart and columns 24: elements at 0, 24, 16, 40, 32, 56.
    coeffs = special_values(rng, (3, 2))
    arrays = {name: make((3, 2), fill=-4.0) for name in ("variance", "scratch", "denoised")}
    arrays[output] = as_strided(np.full(8, -4.0), (3, 2), (16, 24))
    call_and_compare(coeffs, arrays["variance"], arrays["scratch"], arrays["denoised"], 0.5, 1)

