"""Identifying images on a Dask cluster whose workers hold the library's index, each a share of its shards.

The client reads the catalogue once and sends each shard of the index to a
worker as soon as it is read (:func:`spreading`), round robin, so that neither
the client nor any worker holds the whole index. For each image it then
chains tasks (:func:`identified`): the image is read and its probes made on a
worker (:func:`morvekin_prnu.matching.questioned`,
:func:`morvekin_prnu.identification.probed`), each shard is scanned on the
worker that holds it (:func:`morvekin_prnu.identification.scanned`), and the
candidates are tested in full where the image was read
(:meth:`morvekin_prnu.identification.Search.decided`), each worker reading
the fingerprint files from the library's folder. Every step is the one
:meth:`morvekin_prnu.Search.identify` takes on one machine, so the
Identification is the same, bit for bit.
"""

import itertools
from collections import deque
from typing import NamedTuple

from .identification import probed, scanned
from .matching import questioned


class Held(NamedTuple):
    """A shard of the index as a cluster holds it."""

    future: object  # the dask.distributed Future of the Shard
    address: str  # the worker that holds it
    key: tuple  # its (shape, sigma)


def spreading(client):
    """A ``place`` for :meth:`morvekin_prnu.Library.search`: each shard to the next worker, held there.

    Parameters
    ----------
    client : dask.distributed.Client

    Returns
    -------
    callable
        Shard -> :class:`Held`.
    """
    workers = itertools.cycle(sorted(client.scheduler_info()["workers"]))

    def place(shard):
        address = next(workers)
        # In a list: scattered alone, a Shard (a tuple) would become one future per field.
        [future] = client.scatter([shard], workers=[address], hash=False)
        return Held(future, address, (shard.shape, shard.sigma))

    return place


def identified(client, search, sources, rule, exhaustive, window, frames):
    """Identify each image on the cluster, the index held where :func:`spreading` placed its shards.

    Parameters
    ----------
    client : dask.distributed.Client
    search : morvekin_prnu.Search
        From :meth:`morvekin_prnu.Library.search` with :func:`spreading`:
        its shards are :class:`Held`.
    sources : iterable of str
        Image files, by absolute path (each worker reads them).
    rule : morvekin_prnu.search.Rule
    exhaustive : bool
        Test every camera in full, without the index.
    window : int
        Images in flight at once.
    frames : dict
        For videos, ``frames`` and ``max_frames`` as
        :func:`morvekin_prnu.matching.questioned` takes them.

    Yields
    ------
    concurrent.futures.Future-like
        Per image, in order, the future of its Identification: its
        ``result()`` raises what reading the image raised.
    """
    decider = client.scatter(search.unsharded(), broadcast=True)
    keys = {shard.key for shard in search.shards}
    pending = deque()
    for source in sources:
        question = client.submit(questioned, source, search.sigmas(), pure=False, **frames)
        probes, scored = None, []
        if not exhaustive and keys:
            probes = client.submit(probed, question, keys, rule, pure=False)
            scored = [client.submit(_scanned, shard.future, probes, workers=[shard.address],
                                    allow_other_workers=False, pure=False) for shard in search.shards]
        pending.append(client.submit(_decided, decider, question, probes, scored, rule, exhaustive, pure=False))
        if len(pending) >= window:
            yield pending.popleft()
    yield from pending


def _scanned(shard, probes):
    """The shard scanned against the probe of its shape and sigma, or None where the image has none."""
    probe = probes.get((shard.shape, shard.sigma))
    return None if probe is None else scanned(shard, probe)


def _decided(search, question, probes, scored, rule, exhaustive):
    """Search.decided with what the shards' scans said."""
    return search.decided(question, probes or {}, [outcome for outcome in scored if outcome is not None], rule,
                          exhaustive)
