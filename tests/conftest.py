"""What every test folder shares: a random stream per test, and the two tiers of the suite."""

import zlib

import numpy as np
import pytest


def pytest_addoption(parser):
    parser.addoption("--full", action="store_true",
                     help="also run the tests marked slow: the full set that CI runs")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--full"):
        return
    later = pytest.mark.skip(reason="slow: runs with --full")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(later)


@pytest.fixture
def rng(request):
    # A distinct, reproducible stream per test.
    return np.random.default_rng(zlib.crc32(request.node.nodeid.encode()))
