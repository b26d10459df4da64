"""Effective resistances against the pseudo-inverse, and the sketch against its bound."""

import math

import numpy as np
import pytest
import scipy.sparse as sp

from graph_support import dense_laplacian, pinv_resistances, random_graph
from vorlane.graph import effective_resistance, effective_resistances, laplacian


@pytest.mark.parametrize("scale", [1.0, 1e-9, 1e9])
def test_pairs_match_the_pseudo_inverse_at_any_weight_scale(two_components, scale):
    n, edges, weights = two_components
    weights = weights * scale
    rng = np.random.default_rng(5)
    pairs = np.concatenate(
        [
            rng.integers(0, 60, (40, 2)),  # first component, some pairs repeated below
            rng.integers(60, 100, (20, 2)),
            [[3, 3], [0, 70], [100, 5], [100, 100], [7, 9], [9, 7]],
        ]
    )
    r = effective_resistance(laplacian(edges, weight=weights, n=n), pairs)
    expected = np.full(len(pairs), np.inf)
    same = (pairs < 60).all(axis=1) | ((pairs >= 60) & (pairs < 100)).all(axis=1)
    expected[same] = pinv_resistances(dense_laplacian(n, edges, weights), pairs[same])
    expected[pairs[:, 0] == pairs[:, 1]] = 0.0
    finite = np.isfinite(expected)
    np.testing.assert_array_equal(np.isinf(r), ~finite)
    np.testing.assert_allclose(r[finite], expected[finite], rtol=1e-9, atol=1e-12 / scale)
    assert r[-2] == r[-1] and r[-6] == r[-3] == 0.0


def test_foster_sum_of_weighted_edge_resistances_is_n_minus_components(two_components):
    n, edges, weights = two_components
    L = laplacian(edges, weight=weights, n=n)
    upper = sp.triu(L, k=1).tocoo()
    r = effective_resistance(L, np.stack([upper.row, upper.col], axis=1))
    assert math.isclose(float(np.dot(-upper.data, r)), n - 3, rel_tol=1e-9)


def test_sketch_edges_order_and_error_within_its_bound(two_components):
    n, edges, weights = two_components
    eps = 0.3
    L = laplacian(edges, weight=weights, n=n)
    found, r = effective_resistances(L, eps=eps, seed=11)
    upper = sp.triu(L, k=1).tocsr()
    rows = np.repeat(np.arange(n), np.diff(upper.indptr))
    np.testing.assert_array_equal(found, np.stack([rows, upper.indices], axis=1))
    assert found.dtype == np.int64 and (found[:, 0] < found[:, 1]).all()
    exact = pinv_resistances(dense_laplacian(n, edges, weights), found)
    ratio = r / exact
    # Each edge leaves [1 - eps, 1 + eps] with probability at most 2 n^-(1 - 2 eps / 3).
    allowed = 2 * n ** -(1 - 2 * eps / 3) * len(found)
    assert np.count_nonzero(np.abs(ratio - 1) > eps) <= allowed
    # The sketch is unbiased: over hundreds of edges the mean ratio sits close to 1.
    assert abs(np.mean(ratio) - 1) < 0.05


def test_sketch_size_seed_and_k_options():
    edges, weights = random_graph(200, 800, seed=4)
    L = laplacian(edges, weight=weights)
    found, a = effective_resistances(L, seed=1)
    _, b = effective_resistances(L, seed=1)
    _, c = effective_resistances(L, seed=2)
    np.testing.assert_array_equal(a, b)
    assert not np.array_equal(a, c)
    exact = effective_resistance(L, found)
    # The error shrinks like 1/sqrt(k): a few projections are far off, many are close.
    few = np.abs(effective_resistances(L, k=4, seed=3)[1] / exact - 1).max()
    many = np.abs(effective_resistances(L, k=3000, seed=3)[1] / exact - 1).max()
    assert many < 0.15 < few


def test_graph_without_edges():
    edges, r = effective_resistances(np.zeros((0, 2), dtype=int))
    assert edges.shape == (0, 2) and r.shape == (0,)
    assert effective_resistance(laplacian(np.zeros((0, 2), dtype=int), n=3), [[0, 2]])[0] == np.inf


@pytest.mark.parametrize(
    "call, error, fragment",
    [
        (lambda L: effective_resistance(L, [[0, 5]]), ValueError, "out of range [0, 5)"),
        (lambda L: effective_resistance(L, [[0, -1]]), ValueError, "out of range"),
        (lambda L: effective_resistance(L, [[0.0, 1.0]]), TypeError, "integer"),
        (lambda L: effective_resistance(L, [[0, 1, 2]]), ValueError, "shape (m, 2)"),
        (lambda L: effective_resistance(L, [[0, 1]], tol=0), ValueError, "tol"),
        (lambda L: effective_resistances(L, eps=0), ValueError, "eps"),
        (lambda L: effective_resistances(L, eps=1.0), ValueError, "eps must be below 1"),
        (lambda L: effective_resistances(L, k=0), ValueError, "k must be >= 1"),
        (lambda L: effective_resistances(L, k=2.5), TypeError, "k must be an integer"),
    ],
)
def test_bad_options_are_refused(call, error, fragment):
    L = laplacian(np.array([[0, 1], [1, 2], [2, 3], [3, 4]]))
    with pytest.raises(error) as caught:
        call(L)
    assert fragment in str(caught.value)


def test_a_solve_that_cannot_converge_raises():
    L = laplacian(np.array([[i, i + 1] for i in range(200)]))
    with pytest.raises(RuntimeError, match="did not reach tol"):
        effective_resistance(L, [[0, 200]], tol=1e-15, maxiter=1)
