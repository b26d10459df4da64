"""Refusals that say what to do: the input's expected form, and the way out, in one line."""

import networkx as nx
import numpy as np
import pytest
import scipy.io
import scipy.sparse as sp

import problems
import vorlane
import vorlane.graph as vg

GRID = problems.grid_laplacian(4, seed=1)


@pytest.mark.parametrize(
    "call, fragments",
    [
        (lambda: vorlane.solve(GRID.toarray(), np.ones(16)), ["scipy.sparse", "csr_array(A)"]),
        (lambda: vorlane.solve(GRID.astype(np.clongdouble), np.ones(16)), ["float64, float32", "complex"]),
        (lambda: vorlane.solve(GRID, np.array(["1"] * 16)), ["b must be a real numeric array, got dtype <U1 (expected float64"]),
        (lambda: vorlane.Preconditioner(GRID.astype(np.complex128)), ["A must be real, got dtype complex128 (expected float64"]),
        (lambda: vorlane.Preconditioner(GRID) @ np.array(["x"] * 16), ["expected a real (float64", "<U1"]),
        (lambda: vorlane.aslinearoperator(vorlane.factorize(GRID)) @ np.array(["x"] * 16), ["expected a real"]),
        (lambda: vg.laplacian(sp.csr_matrix(np.ones((2, 2)), dtype=np.complex64)), ["or bool", "complex64"]),
    ],
    ids=["dense A", "complex A in solve", "text b", "complex A", "text to M", "text to a factor", "object adjacency"],
)
def test_conversions_name_the_dtype_or_format_they_expect(call, fragments):
    with pytest.raises(TypeError) as caught:
        call()
    for fragment in fragments:
        assert fragment in str(caught.value)


@pytest.mark.parametrize(
    "G, fragment",
    [
        (nx.empty_graph(1), "at least two vertices, this one has 1"),
        (nx.empty_graph(0), "at least two vertices, this one has 0"),
        (nx.empty_graph(3), "at least one edge, this one has 3 vertices and none"),
    ],
)
def test_spectral_vectors_of_graphs_too_small_to_have_one(G, fragment):
    with pytest.raises(ValueError, match="^a Fiedler vector needs a graph ") as caught:
        vg.fiedler_vector(G)
    assert fragment in str(caught.value) and "k must" not in str(caught.value)
    with pytest.raises(ValueError, match="^a spectral embedding needs a graph "):
        vg.spectral_embedding(G, 1)


@pytest.mark.parametrize("command", [("solve", "--graph"), ("resistance",)])
def test_a_laplacian_given_as_an_adjacency(run_cli, tmp_path, command):
    scipy.io.mmwrite(str(tmp_path / "L.mtx"), GRID, symmetry="symmetric")
    result = run_cli(*command, "L.mtx")
    assert result.returncode == 1 and result.stdout == ""
    (line,) = result.stderr.splitlines()
    assert line.startswith("vorlane: error: L.mtx looks like a Laplacian or SDDM matrix, not a graph's adjacency")
    assert " G " not in line
    assert ("drop --graph" in line) == (command[0] == "solve")


def test_petsc_refuses_a_block_of_right_hand_sides_saying_how_to_solve_it(tmp_path):
    import types

    from vorlane.petsc._cli import _read

    scipy.io.mmwrite(str(tmp_path / "A.mtx"), GRID, symmetry="symmetric")
    np.save(tmp_path / "B.npy", np.zeros((16, 3)))
    args = types.SimpleNamespace(
        matrix=str(tmp_path / "A.mtx"), rhs=str(tmp_path / "B.npy"), out=None, seed=0, split=None, tol=1e-8,
        graph=False)
    with pytest.raises(ValueError, match=r"B\.npy: --petsc solves one right-hand side, and this file holds 3 columns"):
        _read(args, lambda path: None, types.SimpleNamespace(IntType=np.int32))


def test_the_package_surface_lists_what_it_offers():
    names = [name for name in dir(vorlane) if not name.startswith("_")]
    assert "annotations" not in names
    assert set(vorlane.__all__) - {"__version__"} <= set(names)
    assert vorlane.read_matrix_market.__doc__
