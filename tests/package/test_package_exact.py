"""The exact diagonal of a Laplacian's pseudo-inverse in the engine: its values, its refusals,
its work budget and its answer to a signal."""

import signal

import numpy as np
import pytest
import scipy.sparse as sp

import problems
from vorlane import _engine


def pinv_diagonal(L, budget=1e15, out=None, solve=None):
    L = sp.csr_matrix(L)
    out = np.empty(L.shape[0]) if out is None else out
    done = _engine.pinv_diagonal(
        L.indptr.astype(np.uint32), L.indices.astype(np.uint32), L.data.astype(np.float64), out, budget, solve
    )
    return out if done else None


@pytest.mark.parametrize(
    "L",
    [problems.grid_laplacian(9, 11, seed=1), problems.random_graph_laplacian(150, avg_degree=20.0, seed=2)],
    ids=["grid", "dense-tail"],
)
def test_matches_the_dense_pseudo_inverse(L):
    P = np.linalg.pinv(L.toarray())
    b = np.sin(np.arange(L.shape[0]))
    x = b.copy()
    assert np.allclose(pinv_diagonal(L, solve=x), np.diag(P), rtol=1e-9, atol=0)
    assert np.allclose(x, P @ b, rtol=0, atol=1e-9 * np.abs(P @ b).max())


def test_over_budget_returns_false_and_leaves_out_alone():
    out = np.full(150, 7.0)
    assert pinv_diagonal(problems.random_graph_laplacian(150, avg_degree=20.0, seed=2), budget=100.0, out=out) is None
    assert (out == 7.0).all()


def _disconnected():
    return sp.block_diag([problems.path_laplacian(4), problems.path_laplacian(3)], format="csr")


@pytest.mark.parametrize(
    "args, error, match",
    [
        ((sp.csr_matrix(np.array([[1.0, -1.0], [-2.0, 2.0]])),), ValueError, "not symmetric"),
        ((problems.sddm(problems.path_laplacian(5), density=1.0),), ValueError, "does not sum to zero"),
        ((_disconnected(),), ValueError, "not positive"),
        ((problems.path_laplacian(5), 1e15, np.empty(4)), ValueError, "one value per row"),
        ((problems.path_laplacian(5), 1e15, None, np.empty(4)), ValueError, "one value per row"),
        ((problems.path_laplacian(5), 1e15, np.empty(5, dtype=np.float32)), TypeError, "out"),
    ],
    ids=["asymmetric", "grounded-row", "disconnected", "short-out", "short-solve", "float32-out"],
)
def test_refuses_with_a_reason(args, error, match):
    with pytest.raises(error, match=match):
        pinv_diagonal(*args)


def test_malformed_arrays_are_refused():
    with pytest.raises(ValueError):
        _engine.pinv_diagonal(
            np.array([0, 1], dtype=np.uint32), np.array([5], dtype=np.uint32), np.ones(1), np.empty(1), 1e9, None
        )
    with pytest.raises(TypeError):
        _engine.pinv_diagonal(np.array([0, 0], dtype=np.int64), np.array([], dtype=np.uint32), np.ones(0),
                              np.empty(1), 1e9, None)


class _Alarm(Exception):
    pass


def test_a_signal_stops_it():
    n = 2500  # the complete graph: one dense block of n^3/2 multiply-adds, seconds of work
    L = sp.csr_matrix(n * np.eye(n) - np.ones((n, n)))

    def ring(signum, frame):
        raise _Alarm

    previous = signal.signal(signal.SIGALRM, ring)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        with pytest.raises(_Alarm):
            pinv_diagonal(L)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
