"""Thousands of calls, succeeding and failing on hostile input, leave memory and reference counts as they were."""

import ctypes
import ctypes.util
import gc
import sys
import tracemalloc

import numpy as np
import pytest
from hardening_support import UNDER_SANITIZER, Csr, raw_arrays

import problems


class Boom(Exception):
    pass


class RaisingIndex:
    def __index__(self):
        raise Boom("n")


class RaisingArray:
    def __array__(self, dtype=None, copy=None):
        raise Boom("array")


class LateFailure:
    """Reads fine until the last attribute."""

    def __init__(self, matrix):
        self.indptr, self.indices, self.data = matrix.indptr, matrix.indices, matrix.data

    @property
    def shape(self):
        raise Boom("shape")


def scenarios(vl):
    """(name, call, objects whose reference counts must not change) for every path worth watching."""
    grid = problems.grid_laplacian(5, seed=31)
    sddm = problems.grid_sddm(5, seed=32)
    rp, ci, v, n = raw_arrays(grid)
    config = vl.Config(seed=5, split=2)
    zero_split = vl.Config(split=0)
    plain, augmented = vl.factorize(grid), vl.factorize(sddm)
    b = np.linspace(-1.0, 1.0, n)
    out = np.zeros(n)
    buf = np.zeros(2 * n)
    indptr_list = grid.indptr.tolist()
    late = LateFailure(grid)
    bad_cols = grid.indices.astype(np.int64) + n
    shape = grid.shape
    raising_index, raising_array = RaisingIndex(), RaisingArray()
    frozen = np.zeros(n)
    frozen.flags.writeable = False

    class Reenter:
        # solve_into from inside factorize_raw's conversion of n: refused, then both calls end.
        def __index__(self):
            try:
                plain.solve_into(b, v)
            except BufferError:
                pass
            return n

    reenter = Reenter()

    return [
        ("factorize_raw", lambda: vl.factorize_raw(rp, ci, v, n, config), [rp, ci, v, config]),
        ("factorize lists", lambda: vl.factorize(Csr(indptr_list, ci, v, shape)), [indptr_list, ci, v, shape]),
        ("factorize sddm", lambda: vl.factorize(sddm), [sddm, sddm.indptr, sddm.indices, sddm.data]),
        ("solve", lambda: plain.solve(b), [plain, b]),
        ("matvec augmented", lambda: augmented.matvec(b), [augmented, b]),
        ("solve_into", lambda: plain.solve_into(b, out), [plain, b, out]),
        ("solve_into augmented", lambda: augmented.solve_into(b, out), [augmented, b, out]),
        ("solve_into halves", lambda: plain.solve_into(buf[:n], buf[n:]), [buf]),
        ("reentrant hold", lambda: vl.factorize_raw(rp, ci, v, reenter), [rp, ci, v, plain, b, reenter]),
        # failures
        ("zero split", lambda: vl.factorize_raw(rp, ci, v, n, zero_split), [rp, ci, v, zero_split]),
        ("bad columns", lambda: vl.factorize(Csr(grid.indptr, bad_cols, v, shape)), [bad_cols, v, shape]),
        ("late attribute", lambda: vl.factorize(late), [late, late.indptr, late.indices, late.data]),
        ("raising n", lambda: vl.factorize_raw(rp, ci, v, raising_index), [rp, ci, v, raising_index]),
        ("raising array", lambda: vl.factorize(Csr(rp, raising_array, v, shape)), [rp, raising_array, v]),
        ("overflowing n", lambda: vl.factorize_raw(rp, ci, v, 2**40), [rp, ci, v]),
        ("wrong dtype", lambda: vl.factorize_raw(rp, ci.astype(np.int64), v, n), [rp, v]),
        ("strided", lambda: vl.factorize_raw(rp, ci, buf[::2], n), [rp, ci, buf]),
        ("rhs too long", lambda: plain.solve(buf), [plain, buf]),
        ("overlap", lambda: plain.solve_into(buf[:n], buf[n - 1:]), [plain, buf]),
        ("read-only out", lambda: augmented.solve_into(b, frozen), [augmented, b, frozen]),
        ("short out", lambda: plain.solve_into(b, out[:-1]), [plain, b, out]),
        ("rhs type", lambda: plain.solve(b.tolist()), [plain]),
        ("binding", lambda: plain.solve(b, out=out), [plain, b, out]),
        ("config type", lambda: vl.factorize(grid, config={}), [grid]),
    ]


def run_all(cases, repeat):
    for _ in range(repeat):
        for _, call, _ in cases:
            try:
                call()
            except (ValueError, TypeError, OverflowError, BufferError, Boom):
                pass


def test_reference_counts_are_unchanged_on_every_path(vl):
    for name, call, watched in scenarios(vl):
        run_all([(name, call, watched)], 3)
        gc.collect()
        before = [sys.getrefcount(o) for o in watched]
        run_all([(name, call, watched)], 200)
        gc.collect()
        assert [sys.getrefcount(o) for o in watched] == before, name


def c_heap_in_use():
    """Bytes of the C heap in use (malloc arenas plus mmapped blocks), from glibc's mallinfo2."""

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                     "fordblks", "keepcost")]

    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux") or UNDER_SANITIZER, reason="reads glibc's heap statistics")
def test_thousands_of_calls_keep_memory_stable(vl):
    cases = scenarios(vl)
    # A first window warms caches, free lists and allocator pools. The C heap is measured
    # without tracemalloc, whose own bookkeeping lives there; Python objects then with it.
    run_all(cases, 500)
    gc.collect()
    heap_before, rss_before = c_heap_in_use(), rss()
    run_all(cases, 1200)  # about 30000 calls
    gc.collect()
    heap_growth, rss_growth = c_heap_in_use() - heap_before, rss() - rss_before
    tracemalloc.start()
    run_all(cases, 100)
    gc.collect()
    traced_before = tracemalloc.get_traced_memory()[0]
    run_all(cases, 1000)
    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    tracemalloc.stop()
    # One leaked result buffer, factor, array or exception per round would exceed these.
    assert heap_growth < 32 * 1024, heap_growth
    assert traced_growth < 32 * 1024, traced_growth
    assert rss_growth < 8 * 1024 * 1024, rss_growth
