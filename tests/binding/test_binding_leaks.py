"""No reference or memory leaks on success or failure paths."""

import gc
import sys
import tracemalloc

import numpy as np
import pytest

import problems


def raw_args(matrix):
    return [matrix.indptr.astype(np.uint32), matrix.indices.astype(np.uint32), matrix.data.copy(), matrix.shape[0]]


def swallow(call):
    try:
        call()
    except (TypeError, ValueError, OverflowError, AttributeError, BufferError):
        pass


def run_failing_calls(vl, factor, args, matrix):
    for call in failing_calls(vl, factor, args, matrix):
        swallow(call)


def failing_calls(vl, factor, args, matrix):
    m = factor.shape[0]
    b = np.ones(m)
    return [
        lambda: vl.factorize_raw(*args[:3], 2**32),
        lambda: vl.factorize_raw(args[0][::2], *args[1:]),
        lambda: vl.factorize_raw(args[1], args[0], *args[2:]),
        lambda: vl.factorize_raw(*args, config={}),
        lambda: vl.factorize_raw(*args, config=vl.Config(split=0)),
        lambda: vl.factorize(matrix, vl.Config(split=0)),
        lambda: vl.factorize(object()),
        lambda: vl.factorize(problems.grid_laplacian(2), bogus=1),
        lambda: vl.Config(seed=1.5),
        lambda: vl.Config(split=2**40),
        lambda: factor.solve([1.0]),
        lambda: factor.solve(np.zeros(factor.n + 1)),
        lambda: factor.matvec(b[::2]),
        lambda: factor.solve_into(b, b),
        lambda: factor.solve_into(b, np.zeros(m - 1)),
        lambda: factor.solve_into(b, np.zeros(m, dtype=np.float32)),
        lambda: factor.solve_into(b, np.frombuffer(bytes(8 * m))),
    ]


def test_argument_reference_counts_are_unchanged(vl):
    matrix = problems.grid_sddm(6, seed=1)
    args = raw_args(matrix)
    config = vl.Config(3, 2)
    factor = vl.factorize_raw(*args, config)
    b = np.ones(factor.shape[0])
    out = np.zeros(factor.shape[0])
    watched = [*args[:3], config, matrix, b, out, factor, vl.Factor, vl.Config]
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(3):
        vl.factorize_raw(*args, config)
        vl.factorize(matrix, config=config)
        factor.solve(b)
        factor.matvec(x=b)
        factor.solve_into(b, out)
        run_failing_calls(vl, factor, args, matrix)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
def test_repeated_calls_do_not_grow_memory(vl):
    # A 10^4-vertex problem: a leaked result buffer is 80 kB, a leaked factor far more.
    matrix = problems.grid_sddm(100, seed=2)
    args = raw_args(matrix)
    factor = vl.factorize(matrix)
    b = np.ones(factor.shape[0])
    out = np.zeros(factor.shape[0])

    def round_trip():
        vl.factorize_raw(*args)
        for _ in range(20):
            factor.solve(b)
            factor.solve_into(b, out)
        run_failing_calls(vl, factor, args, matrix)

    for _ in range(3):
        round_trip()
    gc.collect()
    tracemalloc.start()
    rss_before = rss_bytes()
    traced_before = tracemalloc.get_traced_memory()[0]
    for _ in range(15):
        round_trip()
    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    rss_growth = rss_bytes() - rss_before
    tracemalloc.stop()
    assert traced_growth < 64 * 1024, traced_growth
    assert rss_growth < 8 * 1024 * 1024, rss_growth
