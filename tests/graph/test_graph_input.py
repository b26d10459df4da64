"""laplacian(): the same graph through every input form, its documented rules, bad input."""

import networkx as nx
import numpy as np
import pytest
import scipy.sparse as sp

from graph_support import dense_laplacian, random_graph
from vorlane.graph import effective_resistance, laplacian

N = 30
EDGES, WEIGHTS = random_graph(N, 90, seed=7)


def as_networkx():
    # Nodes labelled by strings, inserted in a scrambled order: vertex i is the i-th node.
    order = np.random.default_rng(3).permutation(N)
    G = nx.MultiGraph()
    G.add_nodes_from(f"v{i}" for i in order)
    for (i, j), w in zip(EDGES, WEIGHTS):
        G.add_edge(f"v{i}", f"v{j}", weight=w)
    return G, order


def test_every_input_form_gives_the_dense_laplacian():
    reference = dense_laplacian(N, EDGES, WEIGHTS)
    adjacency = sp.coo_matrix(np.diag(np.diag(reference)) - reference)
    G, order = as_networkx()
    forms = {
        "edge list": laplacian(EDGES, weight=WEIGHTS),
        "csr": laplacian(adjacency.tocsr()),
        "coo": laplacian(adjacency),
        "csr_array": laplacian(sp.csr_array(adjacency)),
    }
    for name, L in forms.items():
        assert isinstance(L, sp.csr_matrix) and L.has_sorted_indices, name
        np.testing.assert_allclose(L.toarray(), reference, rtol=1e-13, atol=1e-13, err_msg=name)
    L = laplacian(G).toarray()
    relabelled = reference[np.ix_(order, order)]
    np.testing.assert_allclose(L, relabelled, rtol=1e-13, atol=1e-13)


def test_self_loops_duplicates_zero_weights_isolated_vertices_and_patterns():
    edges = np.array([[0, 1], [1, 0], [2, 2], [1, 2], [0, 2]])
    L = laplacian(edges, weight=[1.0, 2.0, 5.0, 0.0, 4.0], n=5)
    expected = dense_laplacian(5, [(0, 1), (0, 2)], [3.0, 4.0])
    np.testing.assert_array_equal(L.toarray(), expected)
    assert L.nnz == 7  # no entry for the zero-weight edge or the isolated vertices 3, 4
    pattern = sp.csr_matrix(np.array([[1, 1, 0], [1, 0, 1], [0, 1, 0]], dtype=bool))
    np.testing.assert_array_equal(laplacian(pattern).toarray(), dense_laplacian(3, [(0, 1), (1, 2)], [1, 1]))
    G = nx.Graph()
    G.add_edge(0, 1, weight=7.0)
    G.add_edge(1, 2)
    np.testing.assert_array_equal(laplacian(G).toarray(), dense_laplacian(3, [(0, 1), (1, 2)], [7, 1]))
    np.testing.assert_array_equal(laplacian(G, weight=None).toarray(), dense_laplacian(3, [(0, 1), (1, 2)], [1, 1]))
    assert laplacian(np.zeros((0, 2), dtype=int), n=4).shape == (4, 4)


def directed():
    G = nx.DiGraph()
    G.add_edge(0, 1)
    return G


def bad_attribute():
    G = nx.Graph()
    G.add_edge(0, 1, weight="heavy")
    return G


@pytest.mark.parametrize(
    "G, kwargs, error, fragment",
    [
        (np.array([[0, 1]]), {"weight": [-1.0]}, ValueError, "negative weight"),
        (np.array([[0, 1]]), {"weight": [np.nan]}, ValueError, "non-finite weight"),
        (np.array([[0, 1]]), {"weight": [np.inf]}, ValueError, "non-finite weight"),
        (np.array([[0, 1]]), {"weight": [1.0, 2.0]}, ValueError, "shape (1,)"),
        (np.array([[0, -1]]), {}, ValueError, "out of range"),
        (np.array([[0, 5]]), {"n": 5}, ValueError, "out of range for n = 5"),
        (np.array([[0, 1, 2]]), {}, ValueError, "shape (m, 2)"),
        (np.array([[0.0, 1.0]]), {}, TypeError, "integer"),
        (np.array([[0, 2**63]], dtype=np.uint64), {}, ValueError, "out of range"),
        (np.array([[0, 1]]), {"weight": [1e308, 1e308]}, ValueError, "shape"),
        (np.array([[0, 1], [1, 0]]), {"weight": [1e308, 1e308]}, ValueError, "non-finite"),
        (sp.csr_matrix(np.array([[0.0, 1.0], [2.0, 0.0]])), {}, ValueError, "not symmetric"),
        (sp.csr_matrix(np.array([[0.0, -1.0], [-1.0, 0.0]])), {}, ValueError, "negative weight"),
        (sp.csr_matrix(np.ones((2, 3))), {}, ValueError, "square"),
        (sp.csr_matrix(np.array([[0.0, np.nan], [np.nan, 0.0]])), {}, ValueError, "non-finite"),
        (directed(), {}, ValueError, "directed"),
        (bad_attribute(), {}, TypeError, "'heavy'"),
        ("edges", {}, TypeError, "array of edges"),
    ],
)
def test_bad_graphs_are_refused(G, kwargs, error, fragment):
    with pytest.raises(error) as caught:
        laplacian(G, **kwargs)
    assert fragment in str(caught.value)


@pytest.mark.parametrize(
    "L, fragment",
    [
        (sp.csr_matrix(np.array([[1.0, -1.0, 0.5], [-1.0, 1.0, 0.0], [0.5, 0.0, 0.0]])), "neither"),
        (sp.csr_matrix(np.array([[2.0, -1.0], [-1.0, 1.0]])), "not a graph Laplacian"),
        (sp.csr_matrix(np.array([[1.0, -1.0], [-2.0, 2.0]])), "not symmetric"),
    ],
)
def test_matrices_with_negative_entries_must_be_laplacians(L, fragment):
    with pytest.raises(ValueError) as caught:
        effective_resistance(L, [[0, 1]])
    assert fragment in str(caught.value)
