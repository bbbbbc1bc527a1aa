import zlib

import numpy as np
import pytest


@pytest.fixture
def rng(request):
    # A distinct, reproducible stream per test.
    return np.random.default_rng(zlib.crc32(request.node.nodeid.encode()))


def pytest_configure(config):
    # The simulated cameras take a few shots each, far fewer than a real fingerprint needs.
    config.addinivalue_line(
        "filterwarnings", r"ignore:only \d+ images? used:morvekin_prnu.fingerprints.FingerprintWarning")
