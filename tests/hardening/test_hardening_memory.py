"""Memory exhaustion under a lowered address-space limit: MemoryError, and the process lives on."""

import textwrap

import pytest
from hardening_support import UNDER_SANITIZER, run_python

pytestmark = pytest.mark.skipif(UNDER_SANITIZER, reason="sanitizer runtimes reserve more address space than any limit")

# Runs in a fresh interpreter. `limited(extra)` lowers the soft address-space limit to the
# current size plus `extra` bytes for the duration of a with-block; `expect_memory_error`
# runs a call there and prints what it raised. Afterwards the same process must still work.
PRELUDE = """
import contextlib, gc, resource
import numpy as np, _vorlane as vl, problems

def vm_size():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * resource.getpagesize()

@contextlib.contextmanager
def limited(extra):
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    gc.collect()
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + extra, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

def expect_memory_error(call, extra=8 << 20):
    try:
        with limited(extra):
            call()
    except MemoryError as error:
        print("MemoryError")
    else:
        print("no error")

def still_works():
    m = problems.grid_sddm(12, seed=1)
    f = vl.factorize(m, vl.Config(seed=2, split=2))
    x = f.solve(np.ones(m.shape[0]))
    r = m @ x - np.ones(m.shape[0])
    assert np.isfinite(x).all() and np.linalg.norm(r) < 10 * np.sqrt(m.shape[0]), np.linalg.norm(r)
    print("alive")
"""


def run_exhaustion(body, expected_errors):
    # A fixed mmap threshold: large blocks are unmapped when freed, so the address-space size
    # measured before a call is not inflated by heap space that earlier calls left free.
    result = run_python(PRELUDE + textwrap.dedent(body), timeout=180, env={"MALLOC_MMAP_THRESHOLD_": "65536"})
    assert result.returncode == 0, result.stderr[-3000:]
    lines = result.stdout.split()
    assert lines == ["MemoryError"] * expected_errors + ["alive"], result.stdout


def test_factorization_larger_than_the_limit():
    run_exhaustion(
        """
        m = problems.grid_laplacian(400, seed=3)   # 160000 vertices: tens of MB of working state
        rp, ci, v = m.indptr.astype(np.uint32), m.indices.astype(np.uint32), m.data.copy()
        expect_memory_error(lambda: vl.factorize_raw(rp, ci, v, m.shape[0]))
        expect_memory_error(lambda: vl.factorize(m, vl.Config(split=3)))
        expect_memory_error(lambda: vl.factorize_raw(rp, ci, v, m.shape[0]), extra=1 << 20)
        still_works()
        """,
        3,
    )


def test_tiny_matrix_with_a_huge_split():
    # Sampled fill grows with the split count: 2^31 copies of each edge of a 3x3 grid ask for
    # tens of gigabytes.
    run_exhaustion(
        """
        m = problems.grid_laplacian(3, seed=1)
        for split in (2**31, 2**32 - 1):
            expect_memory_error(lambda: vl.factorize(m, vl.Config(split=split)), extra=64 << 20)
        still_works()
        """,
        2,
    )


def test_solves_larger_than_the_limit():
    run_exhaustion(
        """
        big = vl.factorize(problems.path_sddm(300_000, seed=5))   # augmented: n = 300001
        b = np.ones(big.shape[0])
        out = np.full(big.shape[0], 3.0)
        expect_memory_error(lambda: big.solve(b), extra=1 << 20)
        expect_memory_error(lambda: big.matvec(b), extra=1 << 20)
        expect_memory_error(lambda: big.solve_into(b, out), extra=1 << 20)  # needs scratch
        assert np.all(out == 3.0)
        x = big.solve(b)
        big.solve_into(b, out)
        assert out.tobytes() == x.tobytes()
        still_works()
        """,
        3,
    )


def test_conversions_larger_than_the_limit():
    run_exhaustion(
        """
        m = problems.grid_laplacian(200, seed=4)
        class Csr:
            pass
        huge = Csr()
        huge.indptr, huge.indices, huge.data, huge.shape = m.indptr, m.indices, m.data, m.shape
        huge.indices = np.broadcast_to(np.uint64(0), (10**9,))  # 8 GB once copied
        expect_memory_error(lambda: vl.factorize(huge))
        huge.indices, huge.data = m.indices, np.broadcast_to(1.0, (10**9,))
        expect_memory_error(lambda: vl.factorize(huge))
        still_works()
        """,
        2,
    )
