"""How calls use threads: the limit set by OMP_NUM_THREADS and threadpoolctl, the
process-wide cap over concurrent calls, and calls that go on when no thread can
be started. Each scenario runs in a fresh interpreter, so that it starts with no
helper threads and its environment is its own."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self")

HERE = Path(__file__).resolve().parent

# Shared by the scenarios: arrays large enough to be split among threads, and
# the number of threads started since import (NumPy's BLAS starts its own).
PRELUDE = """
import os, resource, sys, threading, time
import numpy as np
import morvekin
from support import assert_same_bits

coeffs = np.random.default_rng(7).normal(0.0, 3.0, (300, 400))

def filtered(c=coeffs, multiscale=1):
    outputs = [np.zeros(c.shape) for _ in range(3)]
    morvekin.lawmlNC(c, *outputs, 0.5, multiscale)
    return outputs

def threads_in_process():
    return len(os.listdir("/proc/self/task"))

def helpers():
    return threads_in_process() - threads_at_import

threads_at_import = threads_in_process()

def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime
"""


def run_scenario(body, **environment):
    env = {k: v for k, v in os.environ.items() if k != "OMP_NUM_THREADS"}
    env.update(environment)
    env["PYTHONPATH"] = os.pathsep.join([str(HERE), env.get("PYTHONPATH", "")])
    code = PRELUDE + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("limit, most_threads", [("1", 1), ("3", 3)])
def test_omp_num_threads_bounds_the_helpers(limit, most_threads):
    run_scenario(
        f"""
        expected = filtered()
        for _ in range(5):
            for actual, wanted in zip(filtered(), expected):
                assert_same_bits(actual, wanted)
        assert helpers() <= {most_threads} - 1, helpers()
        """,
        OMP_NUM_THREADS=limit,
    )


def test_threadpoolctl_limit_starts_no_helper():
    run_scenario(
        """
        from threadpoolctl import threadpool_limits
        with threadpool_limits(limits=1, user_api="openmp"):
            filtered()
        assert helpers() == 0, helpers()
        """,
        OMP_NUM_THREADS="2",
    )


# Four Python threads calling at once with a limit of one: each waits its
# turn, so the process computes on one core at a time. Without the cap it
# would use both cores of a 2-core machine (CPU time near twice the wall time).
def test_concurrent_calls_stay_within_the_limit():
    run_scenario(
        """
        from concurrent.futures import ThreadPoolExecutor
        inputs = [np.random.default_rng(i).normal(size=(400 + 8 * i, 500)) for i in range(4)]
        expected = [filtered(c) for c in inputs]
        start_wall, start_cpu = time.perf_counter(), cpu_seconds()
        with ThreadPoolExecutor(max_workers=4) as pool:
            results = list(pool.map(filtered, inputs * 3))
        wall, cpu = time.perf_counter() - start_wall, cpu_seconds() - start_cpu
        for i, outputs in enumerate(results):
            for actual, wanted in zip(outputs, expected[i % 4]):
                assert_same_bits(actual, wanted)
        assert cpu < 1.3 * wall, f"{cpu:.2f} s of CPU in {wall:.2f} s"
        """,
        OMP_NUM_THREADS="1",
    )


# With the address space capped just above what the process has mapped, no
# thread stack fits: the call must go on alone and compute the same bits.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer maps memory of its own")
def test_calls_go_on_when_no_thread_can_be_started():
    run_scenario(
        """
        from threadpoolctl import threadpool_limits
        with threadpool_limits(limits=1, user_api="openmp"):
            expected = [filtered(multiscale=m) for m in (1, 0)]
        outputs = [[np.zeros(coeffs.shape) for _ in range(3)] for m in (1, 0)]
        with open("/proc/self/statm") as f:
            mapped = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (mapped + 4 * 2**20, hard))
        try:
            threading.Thread(target=lambda: None).start()
        except RuntimeError:
            pass
        else:
            sys.exit("a thread could still be started")
        for multiscale, actual, wanted in zip((1, 0), outputs, expected):
            morvekin.lawmlNC(coeffs, *actual, 0.5, multiscale)
            for a, w in zip(actual, wanted):
                assert_same_bits(a, w)
        assert helpers() == 0, helpers()
        """,
        OMP_NUM_THREADS="2",
    )
