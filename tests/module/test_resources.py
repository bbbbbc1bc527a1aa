"""What a call holds on to and how it shares the interpreter: references, memory, threads."""

import multiprocessing
import os
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from threadpoolctl import threadpool_limits

import morvekin
from support import assert_same_bits, make, special_values
from oracle import lawml


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def good_and_refused_calls(arrays, count):
    coeffs, variance, scratch, denoised = arrays
    read_only = coeffs.copy()
    read_only.flags.writeable = False
    for _ in range(count):
        morvekin.lawmlNC(coeffs, variance, scratch, denoised, 0.5, 1)
        morvekin.lawmlNC(coeffs, variance, None, denoised, 0.5, 0)
        for bad in ((coeffs, read_only, scratch, denoised), (coeffs, coeffs, scratch, denoised),
                    (coeffs, variance, variance, denoised), (coeffs, variance, [1.0], denoised)):
            with pytest.raises((TypeError, ValueError)):
                morvekin.lawmlNC(*bad, 0.5, 1)
        with pytest.raises(TypeError):
            morvekin.lawmlNC(coeffs, variance, scratch, denoised, 0.5)


def test_reference_counts_unchanged(rng):
    arrays = [special_values(rng, (9, 8)) for _ in range(4)]
    before = [sys.getrefcount(a) for a in arrays]
    good_and_refused_calls(arrays, 1500)  # over 10**4 calls
    assert [sys.getrefcount(a) for a in arrays] == before


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer keeps freed memory")
def test_memory_flat_over_many_calls(rng):
    arrays = [special_values(rng, (40, 70)) for _ in range(4)]
    good_and_refused_calls(arrays, 200)
    baseline = resident_bytes()
    good_and_refused_calls(arrays, 1500)  # over 10**4 calls
    assert resident_bytes() - baseline < 4 * 2**20


def test_other_threads_run_during_a_call(rng):
    coeffs = rng.normal(size=(1024, 1024))
    outputs = [np.empty_like(coeffs) for _ in range(3)]
    span = []

    def work():
        span.append(time.perf_counter())
        morvekin.lawmlNC(coeffs, *outputs, 0.5, 1)
        span.append(time.perf_counter())

    worker = threading.Thread(target=work)
    ticks = []
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
    worker.join()
    start, end = span
    # Holding the GIL for the whole call would leave no tick inside it.
    inside = sum(start < t < end for t in ticks)
    assert inside >= 10, f"{inside} ticks during a {1e3 * (end - start):.1f} ms call"


def test_concurrent_calls_match_serial_calls(rng):
    inputs = [special_values(rng, (150 + 7 * i, 210 - 5 * i)) for i in range(8)]

    def run(coeffs):
        outputs = [np.empty_like(coeffs) for _ in range(3)]
        morvekin.lawmlNC(coeffs, *outputs, 0.3, 1)
        return outputs

    serial = [run(c) for c in inputs]
    with ThreadPoolExecutor(max_workers=4) as pool:
        concurrent = list(pool.map(run, inputs * 2))
    for i, outputs in enumerate(concurrent):
        for actual, expected in zip(outputs, serial[i % len(inputs)]):
            assert_same_bits(actual, expected)


def test_many_threads_share_read_only_coeffs(rng):
    coeffs = special_values(rng, (120, 140))
    coeffs.flags.writeable = False
    expected = lawml(coeffs, *(np.zeros(coeffs.shape) for _ in range(3)), 0.5, 1)

    def calls(worker):
        for _ in range(8):
            outputs = [np.zeros(coeffs.shape) for _ in range(3)]
            morvekin.lawmlNC(coeffs, *outputs, 0.5, 1)
            for actual, wanted in zip(outputs, expected):
                assert_same_bits(actual, wanted, f"worker {worker}")

    with ThreadPoolExecutor(max_workers=16) as pool:
        list(pool.map(calls, range(32)))


@pytest.mark.parametrize("layout", ["c", "fortran"])
def test_same_bits_on_any_number_of_threads(rng, layout):
    coeffs = make((230, 270), layout, special_values(rng, (230, 270)))
    expected = lawml(coeffs, *(np.zeros(coeffs.shape) for _ in range(3)), 0.5, 1)
    for threads in (1, 2, 3):
        outputs = [np.zeros(coeffs.shape) for _ in range(3)]
        with threadpool_limits(limits=threads, user_api="openmp"):
            morvekin.lawmlNC(coeffs, *outputs, 0.5, 1)
        for name, actual, wanted in zip(("variance", "scratch", "denoised"), outputs, expected):
            assert_same_bits(actual, wanted, f"{name} on {threads} threads")


FORK_INPUT = np.random.default_rng(5).normal(size=(500, 500))


def filter_in_child(_):
    outputs = [np.empty_like(FORK_INPUT) for _ in range(3)]
    morvekin.lawmlNC(FORK_INPUT, *outputs, 0.5, 1)
    return outputs[2]


@pytest.mark.skipif("fork" not in multiprocessing.get_all_start_methods(), reason="needs fork")
def test_forked_children_after_a_parallel_call():
    # A parallel call in the parent must not leave forked children hanging.
    with threadpool_limits(limits=2, user_api="openmp"):
        parent = filter_in_child(None)
    pool = multiprocessing.get_context("fork").Pool(2)
    try:
        results = pool.map_async(filter_in_child, range(3)).get(timeout=60)
    finally:
        pool.terminate()
    for denoised in results:
        assert_same_bits(denoised, parent)
