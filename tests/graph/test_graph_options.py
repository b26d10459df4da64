"""The networkx user's options: weight meanings, node labels in and out, the exact all-edge
path, and progress on stderr."""

import networkx as nx
import numpy as np
import pytest
import scipy.sparse as sp

from graph_support import dense_laplacian, pinv_resistances, random_graph
import vorlane.graph as vg
from vorlane.graph import _progress

KARATE = nx.karate_club_graph()
PAIRS = [(0, 33), (5, 16), (24, 25)]


@pytest.mark.parametrize(
    "ours, theirs",
    [
        ({"weight": None}, {}),
        ({"weight": "weight", "invert_weight": True}, {"weight": "weight"}),
        ({}, {"weight": "weight", "invert_weight": False}),
    ],
    ids=["unit", "resistances", "conductances (the default)"],
)
def test_weight_meanings_match_networkx_resistance_distance(ours, theirs):
    expected = [nx.resistance_distance(KARATE, u, v, **theirs) for u, v in PAIRS]
    np.testing.assert_allclose(vg.effective_resistance(KARATE, PAIRS, **ours), expected, rtol=1e-8)


def test_weight_reaches_every_function_and_every_input_form():
    edges, weights = random_graph(30, 90, seed=4)
    path = np.stack([np.arange(29), np.arange(1, 30)], axis=1)  # connected
    edges, weights = np.concatenate([edges, path]), np.concatenate([weights, np.ones(29)])
    reference = dense_laplacian(30, edges, 1.0 / weights)
    pairs = np.array([[0, 29], [3, 7]])
    np.testing.assert_allclose(
        vg.effective_resistance(edges, pairs, weight=weights, invert_weight=True),
        pinv_resistances(reference, pairs), rtol=1e-8)
    np.testing.assert_allclose(vg.laplacian(edges, weights, invert_weight=True).toarray(), reference, rtol=1e-12)
    adjacency = sp.csr_matrix(np.diag(np.diag(reference)) - reference)
    unit = vg.fiedler_vector(adjacency, weight=None)
    np.testing.assert_allclose(unit, vg.fiedler_vector(vg.laplacian(adjacency, None)), atol=1e-10)
    assert not np.allclose(np.abs(unit), np.abs(vg.fiedler_vector(adjacency)), atol=1e-3)
    edges_out, r = vg.effective_resistances(edges, weight=weights, invert_weight=True, k=10**4)
    np.testing.assert_allclose(r, pinv_resistances(reference, edges_out), rtol=1e-5)


@pytest.mark.parametrize(
    "call, error, fragment",
    [
        (lambda: vg.laplacian(np.array([[0, 1]]), [0.0], invert_weight=True), ValueError, "short circuit"),
        (lambda: vg.effective_resistance(vg.laplacian(KARATE), PAIRS, weight=None), ValueError, "a Laplacian's entries"),
        (lambda: vg.effective_resistance(np.array([[0, 1]]), [[0, 1]], nodes=True), ValueError, "needs a networkx graph"),
        (lambda: vg.effective_resistance(KARATE, [(0, "x")]), ValueError, "not in G: 'x'"),
        (lambda: vg.fiedler_vector(KARATE, nodes="yes"), TypeError, "nodes must be True or False"),
        (lambda: vg.effective_resistances(KARATE, progress="yes"), TypeError, "progress must be"),
    ],
)
def test_bad_options_are_refused(call, error, fragment):
    with pytest.raises(error) as caught:
        call()
    assert fragment in str(caught.value)


def test_node_labels_in_and_results_keyed_by_node():
    H = nx.relabel_nodes(KARATE, {i: f"n{i}" for i in KARATE})
    by_number = vg.effective_resistance(KARATE, PAIRS)
    labelled = [(f"n{u}", f"n{v}") for u, v in PAIRS]
    np.testing.assert_array_equal(vg.effective_resistance(H, labelled), by_number)
    assert vg.effective_resistance(H, labelled, nodes=True) == dict(zip(labelled, by_number.tolist()))
    assert list(vg.effective_resistance(H, ("n0", "n33"), nodes=True)) == [("n0", "n33")]

    edges, r = vg.effective_resistances(KARATE, k=10)
    keyed = vg.effective_resistances(H, k=10, nodes=True)
    assert keyed == {(f"n{i}", f"n{j}"): value for (i, j), value in zip(edges.tolist(), r.tolist())}
    fiedler = vg.fiedler_vector(H, nodes=True)
    assert list(fiedler) == list(H.nodes) and list(fiedler.values()) == vg.fiedler_vector(KARATE).tolist()
    embedding = vg.spectral_embedding(H, 2, nodes=True)
    np.testing.assert_array_equal(np.array(list(embedding.values())), vg.spectral_embedding(KARATE, 2))

    # Nodes that are themselves integer pairs: labels when asked for, vertex numbers otherwise.
    grid = nx.grid_2d_graph(3, 3)
    assert vg.effective_resistance(grid, ((0, 0), (2, 2)), nodes=True) == {((0, 0), (2, 2)): pytest.approx(1.5)}
    np.testing.assert_allclose(vg.effective_resistance(grid, [((0, 0), (2, 2))]), [1.5])


def test_all_edges_solved_exactly_once_the_sketch_would_cost_more():
    m = KARATE.number_of_edges()
    edges, r = vg.effective_resistances(KARATE)  # the default k for 34 vertices exceeds 78
    L = vg.laplacian(KARATE).toarray()
    np.testing.assert_allclose(r, pinv_resistances(L, edges), rtol=1e-7)
    assert len(r) == m
    _, sketched = vg.effective_resistances(KARATE, k=m - 1)
    assert np.abs(sketched / r - 1).max() > 1e-3


@pytest.mark.parametrize("eps", [0.2, 0.5])
def test_sketch_solves_by_default_to_well_below_its_own_error(eps):
    """The default tolerance follows eps: the same projections solved to 1e-10 move the
    estimates by a small fraction of eps."""
    edges, weights = random_graph(1500, 6000, seed=3)
    G = vg.laplacian(edges, weights, n=1500)
    _, default = vg.effective_resistances(G, eps=eps, seed=1)
    _, tight = vg.effective_resistances(G, eps=eps, seed=1, tol=1e-10)
    assert np.median(np.abs(default / tight - 1)) < eps / 100
    assert np.abs(default / tight - 1).max() < eps / 10


def test_progress_on_stderr(monkeypatch, capsys):
    monkeypatch.setattr(_progress, "DELAY", 0.0)
    monkeypatch.setattr(_progress, "LOG_INTERVAL", 0.0)
    edges, weights = random_graph(300, 1200, seed=3)
    vg.effective_resistances(edges, weight=weights, k=200, progress=True)
    lines = capsys.readouterr().err.splitlines()
    assert lines and lines[-1].startswith("vorlane.graph: sketched resistances of every edge: 200 of 200 solves")
    vg.effective_resistances(edges, weight=weights, k=200)  # stderr is no terminal here
    vg.effective_resistance(edges, [[0, 1]], weight=weights, progress=False)
    assert capsys.readouterr().err == ""
