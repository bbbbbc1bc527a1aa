"""The module as Python sees it: its surface, its argument parsing and its result."""

import inspect
import sys
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import morvekin
from support import assert_same_bits


def arrays(shape=(4, 5)):
    coeffs = np.arange(float(np.prod(shape))).reshape(shape)
    return coeffs, np.empty(shape), np.empty(shape), np.empty(shape)


def test_module_has_one_public_function_and_no_doc():
    assert morvekin.__doc__ is None
    assert [name for name in dir(morvekin) if not name.startswith("_")] == ["lawmlNC"]
    assert morvekin.lawmlNC.__name__ == "lawmlNC"


def test_doc_and_signature():
    assert morvekin.lawmlNC.__doc__ == "Extracción de ruido de imagen"
    parameters = inspect.signature(morvekin.lawmlNC).parameters
    assert list(parameters) == ["coeffs", "variance", "scratch", "denoised", "noise_var", "multiscale"]
    assert all(p.kind is inspect.Parameter.POSITIONAL_ONLY for p in parameters.values())


@pytest.mark.parametrize("multiscale", [1, 0])
def test_every_successful_call_returns_int_zero(multiscale):
    result = morvekin.lawmlNC(*arrays(), 4.0, multiscale)
    assert type(result) is int and result == 0


class Index:
    """An integer-like object that is not an int: only __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def outputs_after(noise_var, multiscale):
    coeffs = arrays()[0]
    coeffs[1, 2] = -30.0
    outputs = [np.full(coeffs.shape, -2.0) for _ in range(3)]
    morvekin.lawmlNC(coeffs, *outputs, noise_var, multiscale)
    return outputs


@pytest.mark.parametrize("noise_var", [4, 2**80, True, Fraction(9, 4), Decimal("2.25"), np.float32(0.1), Index(3)],
                         ids=repr)
def test_any_real_noise_var_counts_as_its_float(noise_var):
    for actual, expected in zip(outputs_after(noise_var, 1), outputs_after(float(noise_var), 1)):
        assert_same_bits(actual, expected)


@pytest.mark.parametrize("multiscale, same_as", [(True, 1), (False, 0), (np.int64(1), 1), (Index(1), 1), (2**31, 0),
                                                 (2**100 + 1, 0), (-(2**100), 0)], ids=repr)
def test_any_int_multiscale_is_compared_with_one(multiscale, same_as):
    for actual, expected in zip(outputs_after(1.5, multiscale), outputs_after(1.5, same_as)):
        assert_same_bits(actual, expected)


# (arguments after the four arrays, exception, words of the message, type of the chained cause)
ARGUMENT_ERRORS = {
    "five arguments": ((1.0,), TypeError, ["lawmlNC()", "exactly 6", "5 given"], None),
    "seven arguments": ((1.0, 1, 2), TypeError, ["lawmlNC()", "7 given"], None),
    "string noise_var": (("1.0", 1), TypeError, ["noise_var", "real number", "str"], TypeError),
    "complex noise_var": ((1j, 1), TypeError, ["noise_var", "complex"], TypeError),
    "huge int noise_var": ((-(10**400), 1), OverflowError, ["noise_var", "float64", "int of 1329 bits"], OverflowError),
    "huge Fraction noise_var": ((Fraction(10**400, 3), 1), OverflowError, ["noise_var", "Fraction"], OverflowError),
    "float multiscale": ((1.0, 1.0), TypeError, ["multiscale", "int", "float"], TypeError),
    "None multiscale": ((1.0, None), TypeError, ["multiscale", "NoneType"], TypeError),
}


@pytest.mark.parametrize("rest, error, words, cause", ARGUMENT_ERRORS.values(), ids=ARGUMENT_ERRORS.keys())
def test_argument_errors_name_the_argument(rest, error, words, cause):
    a = arrays()
    before = [x.copy() for x in a]
    with pytest.raises(error) as caught:
        morvekin.lawmlNC(*a, *rest)
    assert all(word in str(caught.value) for word in words), str(caught.value)
    assert type(caught.value.__cause__) is (type(None) if cause is None else cause)
    for x, y in zip(a, before):
        assert_same_bits(x, y)


def test_keywords_are_refused_naming_the_function():
    with pytest.raises(TypeError, match=r"lawmlNC\(\) takes no keyword arguments"):
        morvekin.lawmlNC(*arrays(), noise_var=1.0, multiscale=1)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="names the Linux extension suffix")
def test_module_is_built_on_the_stable_abi():
    assert morvekin.__file__.endswith(".abi3.so")
