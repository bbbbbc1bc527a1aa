"""The threads that spread transforms and FFTs over the cores.

PyWavelets, NumPy's FFT and elementwise NumPy all release the GIL, so row
blocks of one image run in parallel. Blocks are fixed in size, not in number,
and each row's result depends on that row alone: any thread count gives the
same bits.
"""

import functools
import os
from collections import deque
from concurrent.futures import ThreadPoolExecutor

BLOCK = 128  # rows (or columns) per task


def in_blocks(function, length):
    """Call ``function(block)`` for consecutive slices of ``range(length)``; return when all are done."""
    in_parallel(function, [slice(start, min(start + BLOCK, length)) for start in range(0, length, BLOCK)])


def in_parallel(function, items):
    """Call ``function(item)`` for every item in the shared pool (here, if there is one item or one core)."""
    pool = _pool()
    if pool is None or len(items) < 2:
        for item in items:
            function(item)
        return
    futures = []
    for item in items:
        try:
            futures.append(pool.submit(function, item))
        except RuntimeError:  # no thread to be had (a limit, or shutdown): do it here
            function(item)
    for future in futures:
        future.result()


def in_order(executor, function, items, window, *args):
    """function(*item, *args) for each item, submitted to ``executor``, results yielded in input order.

    At most ``window`` calls are pending at once: unlike ``Executor.map``,
    which takes the whole iterable up front, this never holds more than a few
    items' results. ``executor`` is anything with ``submit(function, *args)``
    returning a future with ``result()``: a ``concurrent.futures`` executor or
    a ``dask.distributed.Client``.
    """
    pending = deque()
    for item in items:
        pending.append(executor.submit(function, *item, *args))
        if len(pending) >= window:
            yield pending.popleft().result()
    while pending:
        yield pending.popleft().result()


@functools.cache
def _pool():
    """One thread per core this process may use, at most OMP_NUM_THREADS when that is set; none for one."""
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    limit = os.environ.get("OMP_NUM_THREADS", "").split(",")[0].strip()
    if limit.isdigit() and int(limit) > 0:  # OpenMP's own reading: the first level of a list
        cores = min(cores, int(limit))
    return ThreadPoolExecutor(max_workers=cores, thread_name_prefix="morvekin_prnu") if cores > 1 else None


# A forked child has none of its parent's threads: it makes its own pool.
os.register_at_fork(after_in_child=_pool.cache_clear)
