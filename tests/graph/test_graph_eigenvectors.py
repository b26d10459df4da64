"""Fiedler vectors and spectral embeddings against numpy.linalg.eigh, dense and iterative."""

import numpy as np
import pytest

from graph_support import dense_laplacian
from vorlane.graph import fiedler_vector, laplacian, spectral_embedding


def geometric_graph(n, seed, components=1):
    """Nearest-neighbour graphs on random points of a stretched rectangle (distinct
    eigenvalues at the bottom of the spectrum), one per component, plus one isolated vertex."""
    rng = np.random.default_rng(seed)
    edges, offset = [], 0
    for c in range(components):
        size = n // components
        points = rng.random((size, 2)) * [3.0 + c, 1.0]
        distance = np.linalg.norm(points[:, None] - points[None], axis=2)
        near = np.argsort(distance, axis=1)[:, 1:6]
        edges.append(np.stack([np.repeat(np.arange(size), 5), near.ravel()], axis=1) + offset)
        offset += size
    edges = np.concatenate(edges)
    return offset + 1, edges, rng.uniform(0.5, 2.0, len(edges))


def reference(n, edges, weights, k):
    L = dense_laplacian(n, edges, weights)
    values, vectors = np.linalg.eigh(L)
    nontrivial = values > 1e-9 * values[-1]
    return L, values[nontrivial][:k], vectors[:, nontrivial][:, :k]


@pytest.mark.parametrize("n", [300, 1400], ids=["dense", "iterative"])
@pytest.mark.parametrize("components", [1, 2])
def test_embedding_matches_eigh_with_components_deflated(n, components):
    n, edges, weights = geometric_graph(n, seed=n + components, components=components)
    k = 3
    L, values, expected = reference(n, edges, weights, k)
    X = spectral_embedding(laplacian(edges, weight=weights, n=n), k, tol=1e-10)
    assert X.shape == (n, k)
    np.testing.assert_allclose(np.linalg.norm(X, axis=0), 1.0, rtol=1e-12)
    np.testing.assert_allclose(np.einsum("ij,ij->j", X, L @ X), values, rtol=1e-6)
    # Same vectors up to sign: each column of X aligned with its reference column.
    np.testing.assert_allclose(np.abs(np.einsum("ij,ij->j", X, expected)), 1.0, atol=1e-6)
    labels = np.repeat(np.arange(components), (n - 1) // components)
    for c in range(components):
        assert np.abs(X[:-1][labels == c].sum(axis=0)).max() < 1e-8
    assert np.all(X[-1] == 0) or np.abs(X[-1]).max() < 1e-12
    assert (X[np.argmax(np.abs(X), axis=0), np.arange(k)] > 0).all()
    f = fiedler_vector(laplacian(edges, weight=weights, n=n), tol=1e-10)
    np.testing.assert_allclose(f, X[:, 0], atol=1e-6)


def test_path_fiedler_vector_is_monotone():
    f = fiedler_vector(np.array([[i, i + 1] for i in range(49)]))
    assert (np.diff(f) > 0).all() or (np.diff(f) < 0).all()


@pytest.mark.parametrize(
    "G, k, fragment",
    [
        (np.array([[0, 1], [2, 3]]), 3, "between 1 and 2"),
        (np.array([[0, 1], [2, 3]]), 0, "between 1 and 2"),
        (np.zeros((0, 2), dtype=int), 1, "at least two vertices, this one has 0"),
    ],
)
def test_k_out_of_range_is_refused(G, k, fragment):
    with pytest.raises(ValueError, match=fragment):
        spectral_embedding(G, k)
