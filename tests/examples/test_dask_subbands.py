"""Chunked filtering with Dask gives the bits of one call on the whole array."""

import dask.array as da
import numpy as np
import pytest

from dask_subbands import lawml_block, lawml_dask


@pytest.mark.parametrize(
    "chunks",
    [
        ((60, 97), (100, 103)),
        ((40, 77, 40), (5, 90, 4, 104)),
        ((157,), (13,) * 15 + (8,)),
        ((9, 9, 9, 130), (203,)),
    ],
)
@pytest.mark.parametrize("multiscale", [1, 0])
def test_chunked_equals_whole(chunks, multiscale):
    band = np.random.default_rng(3).normal(0.0, 4.0, (157, 203))
    band[50, 60] = np.nan
    whole = lawml_block(band, 2.5, multiscale)
    chunked = lawml_dask(da.from_array(band, chunks=chunks), 2.5, multiscale).compute()
    np.testing.assert_array_equal(chunked.view(np.uint64), whole.view(np.uint64))
