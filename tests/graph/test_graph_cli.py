"""The command line on graphs: `resistance` and `solve --graph`, good and bad files."""

import subprocess
import sys

import numpy as np
import pytest
import scipy.io
import scipy.sparse as sp

from graph_support import dense_laplacian, pinv_resistances, random_graph


def run_cli(cwd, *args):
    return subprocess.run(
        [sys.executable, "-m", "vorlane", *map(str, args)],
        cwd=cwd,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=300,
    )


def table(text):
    rows = [line.split() for line in text.splitlines() if line and not line.startswith("#")]
    return np.array([[int(i), int(j)] for i, j, _ in rows]), np.array([float(r) for *_, r in rows])


@pytest.fixture
def weighted_file(tmp_path):
    edges, weights = random_graph(40, 120, seed=9)
    L = dense_laplacian(40, edges, weights)
    adjacency = sp.coo_matrix(np.diag(np.diag(L)) - L)
    scipy.io.mmwrite(str(tmp_path / "adj.mtx"), adjacency, symmetry="symmetric")
    return tmp_path, L


def test_resistance_of_pairs_and_of_every_edge(weighted_file):
    tmp_path, L = weighted_file
    np.savetxt(tmp_path / "pairs.txt", [[0, 39], [5, 5], [12, 3]], fmt="%d")
    result = run_cli(tmp_path, "resistance", "adj.mtx", "--pairs", "pairs.txt")
    assert result.returncode == 0, result.stderr
    pairs, r = table(result.stdout)
    np.testing.assert_array_equal(pairs, [[0, 39], [5, 5], [12, 3]])
    np.testing.assert_allclose(r, pinv_resistances(L, pairs), rtol=1e-9, atol=1e-15)
    assert "3 pairs" in result.stderr

    result = run_cli(tmp_path, "resistance", "adj.mtx", "--k", 50, "--out", "all.txt")
    assert result.returncode == 0, result.stderr
    assert "written to" in result.stdout and "sketch of 50 solves" in result.stdout
    pairs, r = table((tmp_path / "all.txt").read_text())
    assert len(pairs) == np.count_nonzero(np.triu(L, 1)) > 50
    np.testing.assert_allclose(r, pinv_resistances(L, pairs), rtol=0.9)

    # As many projections as edges: every edge solved on its own instead, to solver accuracy.
    result = run_cli(tmp_path, "resistance", "adj.mtx", "--k", 2000)
    assert result.returncode == 0 and "one solve each: a sketch of 2000 would need more" in result.stderr
    pairs, r = table(result.stdout)
    np.testing.assert_allclose(r, pinv_resistances(L, pairs), rtol=1e-5)


def test_solve_graph_reads_a_pattern_adjacency(tmp_path):
    pattern = sp.coo_matrix(np.abs(dense_laplacian(30, *random_graph(30, 60, seed=2))) > 0)
    scipy.io.mmwrite(str(tmp_path / "p.mtx"), sp.triu(pattern, 1), field="pattern", symmetry="symmetric")
    result = run_cli(tmp_path, "solve", "--graph", "p.mtx", "--out", "x.npy")
    assert result.returncode == 0, result.stderr
    assert "converged    yes" in result.stdout and "singular" in result.stdout
    assert np.load(tmp_path / "x.npy").shape == (30,)


@pytest.mark.parametrize(
    "content, args, fragment",
    [
        ("%%MatrixMarket matrix coordinate real general\n2 2 1\n1 2 1.0\n", (), "not symmetric"),
        ("%%MatrixMarket matrix coordinate real symmetric\n2 2 1\n2 1 -1.0\n", (), "looks like a Laplacian"),
        ("%%MatrixMarket matrix coordinate real symmetric\n2 2 1\n2 1 1.0\n", ("--pairs", "bad.txt"), "out of range [0, 2)"),
        ("%%MatrixMarket matrix coordinate real symmetric\n2 2 1\n2 1 1.0\n", ("--eps", "1"), "below 1"),
    ],
)
def test_bad_input_is_one_line_with_status_1(tmp_path, content, args, fragment):
    (tmp_path / "a.mtx").write_text(content)
    (tmp_path / "bad.txt").write_text("0 1\n1 2\n")
    result = run_cli(tmp_path, "resistance", "a.mtx", *args)
    assert result.returncode == 1
    assert result.stderr.startswith("vorlane: error: ") and fragment in result.stderr
    assert "Traceback" not in result.stderr and result.stdout == ""
