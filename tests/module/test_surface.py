"""The module as Python sees it: its surface, its argument parsing and its result."""

import inspect

import numpy as np
import pytest

import morvekin


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


def test_integer_noise_var_is_converted_to_float():
    coeffs, *first = arrays()
    _, *second = arrays()
    morvekin.lawmlNC(coeffs, *first, 4, 1)
    morvekin.lawmlNC(coeffs, *second, 4.0, 1)
    for a, b in zip(first, second):
        np.testing.assert_array_equal(a.view(np.uint64), b.view(np.uint64))


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda a: morvekin.lawmlNC(*a, 1.0), id="five arguments"),
        pytest.param(lambda a: morvekin.lawmlNC(*a, 1.0, 1, 2), id="seven arguments"),
        pytest.param(lambda a: morvekin.lawmlNC(*a, noise_var=1.0, multiscale=1), id="keywords"),
        pytest.param(lambda a: morvekin.lawmlNC(*a, "1.0", 1), id="string noise_var"),
        pytest.param(lambda a: morvekin.lawmlNC(*a, None, 1), id="None noise_var"),
        pytest.param(lambda a: morvekin.lawmlNC(*a, 1.0, 1.0), id="float multiscale"),
        pytest.param(lambda a: morvekin.lawmlNC(*a, 1.0, "1"), id="string multiscale"),
    ],
)
def test_arguments_the_parser_refuses(call):
    a = arrays()
    before = [x.copy() for x in a]
    with pytest.raises(TypeError):
        call(a)
    for x, y in zip(a, before):
        np.testing.assert_array_equal(x.view(np.uint64), y.view(np.uint64))


def test_multiscale_beyond_int_range_is_refused_by_the_parser():
    with pytest.raises(OverflowError):
        morvekin.lawmlNC(*arrays(), 1.0, 2**40)
