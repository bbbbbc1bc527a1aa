import zlib

import numpy as np
import pytest


@pytest.fixture
def rng(request):
    # A distinct, reproducible stream per test.
    return np.random.default_rng(zlib.crc32(request.node.nodeid.encode()))
