"""The networkx backend against networkx itself, on graphs networkx's own tests do not reach:
random weights, multigraphs, self-loops, label types, and sizes that take the iterative path."""

import numpy as np
import pytest

nx = pytest.importorskip("networkx")
pytest.importorskip("scipy")

if "vorlane" not in nx.utils.backends.backends:
    pytest.skip("the vorlane networkx backend is not registered", allow_module_level=True)

from vorlane.nx_backend import BackendInterface  # noqa: E402


def weighted(G, seed):
    rng = np.random.default_rng(seed)
    for u, v, key in (G.edges(keys=True) if G.is_multigraph() else ((u, v, None) for u, v in G.edges())):
        data = G[u][v][key] if key is not None else G[u][v]
        data["weight"] = float(10.0 ** rng.uniform(-1, 1))
    return G


def labelled(G):
    """The same graph with string labels in shuffled insertion order."""
    nodes = list(G)
    np.random.default_rng(7).shuffle(nodes)
    H = G.__class__()
    H.add_nodes_from(f"n{v}" for v in nodes)
    H.add_edges_from((f"n{u}", f"n{v}", d) for u, v, d in G.edges(data=True))
    return H


def graphs():
    grid = weighted(nx.grid_2d_graph(5, 6), 1)
    multi = weighted(nx.MultiGraph(nx.cycle_graph(9)), 2)
    multi.add_edge(0, 4, weight=2.5)
    multi.add_edge(0, 4, weight=0.5)
    loops = weighted(nx.wheel_graph(8), 3)
    loops.add_edge(3, 3, weight=4.0)
    return {"grid": grid, "multigraph": multi, "self-loop": loops, "labels": labelled(grid)}


GRAPHS = graphs()


def close(a, b, rtol=1e-7):
    if isinstance(a, dict):
        assert set(a) == set(b)
        for key in a:
            close(a[key], b[key], rtol)
    else:
        assert isinstance(b, float)
        assert b == pytest.approx(a, rel=rtol, abs=1e-9)


@pytest.mark.parametrize("name", sorted(GRAPHS))
@pytest.mark.parametrize(
    "call",
    [
        lambda f, G, u, v: f.resistance_distance(G, u, v, weight="weight"),
        lambda f, G, u, v: f.resistance_distance(G, u, v, weight="weight", invert_weight=False),
        lambda f, G, u, v: f.resistance_distance(G, None, v, weight="weight"),
        lambda f, G, u, v: f.resistance_distance(G, weight="weight"),
        lambda f, G, u, v: f.effective_graph_resistance(G, weight="weight"),
        lambda f, G, u, v: f.kemeny_constant(G, weight="weight"),
        lambda f, G, u, v: f.current_flow_closeness_centrality(G, weight="weight"),
        lambda f, G, u, v: f.algebraic_connectivity(G, normalized=True),
    ],
    ids=["pair", "pair-noinv", "one-to-all", "all-pairs", "effective", "kemeny", "closeness",
         "algebraic-normalized"],
)
def test_matches_networkx(name, call):
    G = GRAPHS[name]
    nodes = list(G)
    u, v = nodes[0], nodes[-1]
    # networkx inverts the weights of its input in place; the backend must leave them alone.
    expected = call(nx, G.copy(), u, v)
    weights = sorted(w for *_, w in G.edges(data="weight"))
    got = call(BackendInterface, BackendInterface.convert_from_nx(G, {"weight": 1}), u, v)
    close(expected, got)
    assert sorted(w for *_, w in G.edges(data="weight")) == weights


@pytest.mark.parametrize("path", ["exact", "solves"])
@pytest.mark.parametrize(
    "G",
    [weighted(nx.grid_2d_graph(12, 13), 4), weighted(nx.barabasi_albert_graph(150, 3, seed=5), 6)],
    ids=["grid", "power-law"],
)
@pytest.mark.parametrize(
    "call",
    [
        lambda f, G: f.effective_graph_resistance(G, weight="weight"),
        lambda f, G: f.kemeny_constant(G, weight="weight"),
        lambda f, G: f.current_flow_closeness_centrality(G, weight="weight"),
    ],
    ids=["effective", "kemeny", "closeness"],
)
def test_trace_functions_by_either_path(monkeypatch, path, G, call):
    """The pseudo-inverse's diagonal, from the exact factorization or (past its work budget)
    from one solve per node, gives networkx's values."""
    from vorlane.nx_backend import _solves

    if path == "solves":
        monkeypatch.setattr(_solves, "EXACT_WORK", 0.0)
    exact = _solves.ConnectedSolver.exact_pinv_diagonal
    used = []
    monkeypatch.setattr(
        _solves.ConnectedSolver, "exact_pinv_diagonal", lambda self, also=None: used.append(exact(self, also)) or used[-1]
    )
    close(call(nx, G.copy()), call(BackendInterface, BackendInterface.convert_from_nx(G, {"weight": 1})))
    assert (used[0] is not None) == (path == "exact")


@pytest.mark.parametrize("normalized", [False, True])
@pytest.mark.parametrize("side", [5, 14])  # dense, then LOBPCG with the vorlane factor
def test_fiedler_vector_is_an_eigenvector(normalized, side):
    G = weighted(nx.grid_2d_graph(side, side + 1), 4)
    x = nx.fiedler_vector(G, normalized=normalized, backend="vorlane")
    sigma = nx.algebraic_connectivity(G, normalized=normalized, backend="vorlane")
    expected = nx.algebraic_connectivity(G, normalized=normalized, method="lanczos", tol=1e-12)
    assert sigma == pytest.approx(expected, rel=1e-6)
    L = (nx.normalized_laplacian_matrix if normalized else nx.laplacian_matrix)(G)
    assert np.linalg.norm(L @ x - sigma * x) <= 1e-6 * np.abs(L).sum(axis=1).max()
    assert np.linalg.norm(x) == pytest.approx(1.0)
    # The sign: the first node whose entry is not negligible is on the negative side.
    assert x[np.flatnonzero(np.abs(x) > 1e-8)[0]] < 0


def test_spectral_ordering_of_components_follows_node_order():
    G = nx.Graph()
    nx.add_path(G, ["a", "b", "c", "d"])
    nx.add_path(G, [10, 11, 12])
    G.add_node("lonely")
    order = nx.spectral_ordering(G, backend="vorlane")
    assert order[:4] in (["a", "b", "c", "d"], ["d", "c", "b", "a"])
    assert order[4:7] in ([10, 11, 12], [12, 11, 10])
    assert order[7:] == ["lonely"]


@pytest.mark.parametrize("relabel", [False, True])
@pytest.mark.parametrize(
    "name", ["current_flow_betweenness_centrality", "edge_current_flow_betweenness_centrality"]
)
def test_betweenness_matches_networkx_in_any_numbering(name, relabel):
    G = weighted(nx.random_regular_graph(3, 20, seed=5), 6)
    if relabel:
        G = labelled(G)
    expected = getattr(nx, name)(G, weight="weight")
    got = getattr(nx, name)(G, weight="weight", backend="vorlane")
    if name.startswith("edge"):
        got = {(k if k in expected else k[::-1]): v for k, v in got.items()}
    close(expected, got, rtol=1e-6)


def test_approximate_betweenness_is_near_the_exact_one():
    G = nx.grid_2d_graph(6, 6)
    exact = nx.current_flow_betweenness_centrality(G)
    approx = nx.approximate_current_flow_betweenness_centrality(
        G, epsilon=0.1, seed=1, backend="vorlane"
    )
    assert max(abs(exact[v] - approx[v]) for v in G) < 0.1


@pytest.mark.parametrize(
    "name, G, reason",
    [
        ("resistance_distance", nx.Graph([(0, 1, {"weight": -1.0}), (1, 2)]), "negative"),
        ("current_flow_betweenness_centrality", nx.MultiGraph([(0, 1), (1, 2)]), "multigraph"),
        ("edge_current_flow_betweenness_centrality", nx.Graph([(0, 1), (1, 1)]), "self-loop"),
        ("current_flow_closeness_centrality", nx.path_graph(1), "two nodes"),
    ],
)
def test_declines_what_networkx_answers_otherwise(name, G, reason):
    verdict = BackendInterface.can_run(name, (G,), {"weight": "weight"})
    assert isinstance(verdict, str) and reason in verdict
    assert BackendInterface.can_run(name, (nx.path_graph(4),), {"weight": "weight"}) is True


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda G: nx.resistance_distance(G, 0, 3, backend="vorlane"), nx.NetworkXError, "connected"),
        (lambda G: nx.effective_graph_resistance(G, backend="vorlane"), None, None),
        (lambda G: nx.kemeny_constant(G, backend="vorlane"), nx.NetworkXError, "connected"),
        (lambda G: nx.fiedler_vector(G, backend="vorlane"), nx.NetworkXError, "not connected"),
        (lambda G: nx.current_flow_closeness_centrality(G, backend="vorlane"), nx.NetworkXError, "not connected"),
        (lambda G: nx.algebraic_connectivity(G, method="power", backend="vorlane"), nx.NetworkXError, "unknown method"),
    ],
)
def test_disconnected_input_raises_as_networkx_does(call, error, match):
    G = nx.Graph([(0, 1), (2, 3)])
    if error is None:
        assert call(G) == float("inf")
    else:
        with pytest.raises(error, match=match):
            call(G)


def test_zero_weight_inverted_raises_and_zero_conductance_bridge_is_declined():
    G = nx.Graph([(0, 1, {"weight": 0.0}), (1, 2, {"weight": 1.0})])
    with pytest.raises(ZeroDivisionError):
        nx.resistance_distance(G, 0, 2, weight="weight", backend="vorlane")
    with pytest.raises(NotImplementedError, match="raised NotImplementedError"):
        nx.resistance_distance(G, 0, 2, weight="weight", invert_weight=False, backend="vorlane")


def test_non_numeric_weight_is_refused_by_the_conversion():
    G = nx.Graph([(0, 1, {"weight": "heavy"}), (1, 2)])
    with pytest.raises(TypeError, match="not a number"):
        BackendInterface.convert_from_nx(G, {"weight": 1})


def test_tolerance_comes_from_the_config():
    G = weighted(nx.grid_2d_graph(8, 8), 8)
    exact = nx.effective_graph_resistance(G, weight="weight")
    config = nx.config.backends.vorlane
    saved = config.tol
    try:
        config.tol = 1e-3
        loose = nx.effective_graph_resistance(G, weight="weight", backend="vorlane")
    finally:
        config.tol = saved
    tight = nx.effective_graph_resistance(G, weight="weight", backend="vorlane")
    assert tight == pytest.approx(exact, rel=1e-9)
    assert loose == pytest.approx(exact, rel=1e-2)


def test_conversion_round_trip_keeps_nodes_edges_and_weights():
    G = GRAPHS["multigraph"]
    H = BackendInterface.convert_to_nx(BackendInterface.convert_from_nx(G, {"weight": 1}))
    assert list(H) == list(G) and H.is_multigraph()
    assert sorted(w for *_, w in H.edges(data="weight")) == sorted(w for *_, w in G.edges(data="weight"))
    assert BackendInterface.convert_to_nx(3.5) == 3.5
