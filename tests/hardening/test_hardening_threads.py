"""Many threads sharing factors, inputs and outputs: correct results, no crash."""

import sys
import threading

import numpy as np
import pytest
from hardening_support import raw_arrays

import problems

THREADS = 12
ROUNDS = 300


@pytest.fixture(autouse=True)
def frequent_switches():
    """Switch threads as often as the interpreter allows, to interleave calls finely."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def run_threads(work, count=THREADS):
    """Runs work(index) on count threads started together; re-raises the first failure."""
    barrier = threading.Barrier(count)
    failures = []

    def body(index):
        try:
            barrier.wait()
            work(index)
        except BaseException as error:  # noqa: BLE001 - reported to the main thread
            failures.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    if failures:
        raise failures[0]


def test_shared_factors_and_concurrent_factorizations(vl):
    grid = problems.grid_laplacian(10, seed=41)
    sddm = problems.grid_sddm(10, seed=42)
    config = vl.Config(seed=7, split=2)
    factors = {"grid": vl.factorize(grid), "sddm": vl.factorize(sddm, config)}
    raw = {"grid": raw_arrays(grid), "sddm": raw_arrays(sddm)}
    configs = {"grid": None, "sddm": config}
    matrices = {"grid": grid, "sddm": sddm}
    rng = np.random.default_rng(1)
    rhs = [rng.standard_normal(100) for _ in range(8)]
    expected = {k: [f.solve(b).tobytes() for b in rhs] for k, f in factors.items()}
    shape_of = {k: (f.n, f.n_steps, f.shape) for k, f in factors.items()}

    def work(index):
        local = np.random.default_rng(index)
        out = np.empty(100)
        for _ in range(ROUNDS):
            key = "grid" if local.random() < 0.5 else "sddm"
            factor = factors[key]
            i = int(local.integers(len(rhs)))
            op = int(local.integers(7))
            if op == 0:
                assert factor.solve(rhs[i]).tobytes() == expected[key][i]
            elif op == 1:
                assert factor.matvec(rhs[i]).tobytes() == expected[key][i]
            elif op == 2:
                assert factor.rmatvec(x=rhs[i]).tobytes() == expected[key][i]
            elif op == 3:
                factor.solve_into(rhs[i], out)
                assert out.tobytes() == expected[key][i]
            elif op == 4:
                assert (factor.n, factor.n_steps, factor.shape) == shape_of[key]
                assert factor.dtype is np.float64
            elif op == 5:
                fresh = vl.factorize_raw(*raw[key], configs[key])
                assert fresh.solve(rhs[i]).tobytes() == expected[key][i]
            else:
                fresh = vl.factorize(matrices[key], configs[key])
                assert fresh.solve(rhs[i]).tobytes() == expected[key][i]

    run_threads(work)


def test_threads_writing_one_output_array(vl):
    """solve_into on one shared out from many threads: each call succeeds or is refused whole."""
    grid = problems.grid_laplacian(12, seed=43)
    factor = vl.factorize(grid)
    b = np.linspace(-1, 1, grid.shape[0])
    expected = factor.solve(b).tobytes()
    out = np.zeros(grid.shape[0])
    refused = []

    def work(index):
        for _ in range(ROUNDS):
            try:
                factor.solve_into(b, out)
            except BufferError as error:
                assert str(error) == "out is already borrowed"
                refused.append(1)

    run_threads(work)
    assert out.tobytes() == expected
    # Every access ended: a last call from this thread is not refused.
    factor.solve_into(b, out)


def test_arrays_mutated_by_other_threads_during_calls(vl):
    """Inputs rewritten concurrently (numpy drops the lock for large in-place work): no crash."""
    path = problems.path_laplacian(200_000, weights="unit")
    rp, ci, v, n = raw_arrays(path)
    factor = vl.factorize(path)
    b = np.ones(n)
    stop = threading.Event()

    def mutate():
        while not stop.is_set():
            np.multiply(v, -1.0, out=v)  # flips signs back and forth: values stay in two states
            np.add(b, 1.0, out=b)
            np.subtract(b, 1.0, out=b)

    mutator = threading.Thread(target=mutate)
    mutator.start()
    try:
        def work(index):
            out = np.empty(n)
            for _ in range(3):
                f = vl.factorize_raw(rp, ci, v, n)
                assert f.n_steps == f.n - 1 and f.shape == (n, n)
                x = factor.solve(b)
                factor.solve_into(b, out)
                assert x.shape == out.shape == (n,)

        run_threads(work, count=4)
    finally:
        stop.set()
        mutator.join()
