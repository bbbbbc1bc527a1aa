import sys
import zlib
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))


@pytest.fixture
def rng(request):
    # A distinct, reproducible stream per test.
    return np.random.default_rng(zlib.crc32(request.node.nodeid.encode()))
