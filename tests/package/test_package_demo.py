"""The demo: its problem, its table, and that it runs without scipy."""

import subprocess
import sys

import numpy as np
import scipy.sparse as sp

from vorlane._demo import grid_laplacian
from vorlane._checks import check_matrix


def test_demo_grid_is_a_connected_laplacian_with_high_contrast():
    grid = grid_laplacian(9, seed=4)
    A = sp.csr_matrix((grid.data, grid.indices, grid.indptr), shape=grid.shape)
    assert A.has_sorted_indices and A.nnz == 81 + 4 * 9 * 8
    system = check_matrix(A)  # symmetric, SDDM; raises otherwise
    assert system.singular
    weights = -A.data[A.data < 0]
    assert weights.max() / weights.min() > 1e4


def test_demo_table(run_cli):
    result = run_cli("demo", "--size", 40, "--cg-maxiter", 30)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    lines = result.stdout.splitlines()
    assert "1,600 unknowns" in lines[0]
    fast = next(line for line in lines if line.startswith("CG + vorlane"))
    plain = next(line for line in lines if line.startswith("CG, no preconditioner"))
    assert "converged in" in fast
    assert "did not converge within 30 iterations" in plain


def test_demo_runs_without_scipy(tmp_path):
    code = (
        "import sys; sys.modules['scipy'] = None\n"
        "from vorlane.__main__ import main\n"
        "sys.exit(main(['demo', '--size', '20', '--cg-maxiter', '5000']))\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert "scipy" not in result.stdout
    rows = [line for line in result.stdout.splitlines() if line.startswith("CG")]
    assert len(rows) == 2 and all("converged in" in row for row in rows)
