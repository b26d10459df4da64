"""vorlane.petsc under mpiexec with 1 and 2 ranks (scenarios in mpi_scenarios.py).

Run with the interpreter of tools/petsc-env.sh. Without petsc4py or mpiexec the tests are
skipped with the reason; tools/test.sh passes the reason on when the environment could not
be made.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
SCENARIOS = ["grids", "laplacian", "refactorize", "schwarz", "options", "not_sddm", "spread", "shapes", "moved"]
RANKS = [1, 2, 3, 4]
TIMEOUT = 600


def _unavailable():
    reason = os.environ.get("VORLANE_PETSC_UNAVAILABLE")
    if reason:
        return reason
    try:
        import petsc4py  # noqa: F401
    except ImportError as exc:
        return f"petsc4py is not importable by {sys.executable}: {exc}"
    if shutil.which("mpiexec") is None:
        return "mpiexec is not on the path"
    return None


UNAVAILABLE = _unavailable()
pytestmark = pytest.mark.skipif(UNAVAILABLE is not None, reason=str(UNAVAILABLE))


def mpiexec(ranks):
    command = ["mpiexec", "-n", str(ranks), "--oversubscribe"]
    if hasattr(os, "geteuid") and os.geteuid() == 0:
        command.append("--allow-run-as-root")
    return command


def run_mpi(ranks, arguments, cwd):
    return subprocess.run(
        mpiexec(ranks) + [sys.executable] + arguments,
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )


@pytest.fixture(scope="module")
def outputs(tmp_path_factory):
    """One mpiexec run of every scenario per rank count (starting MPI costs a second)."""
    results = {}
    for ranks in RANKS:
        cwd = tmp_path_factory.mktemp(f"ranks{ranks}")
        results[ranks] = run_mpi(ranks, [str(HERE / "mpi_scenarios.py")] + SCENARIOS, cwd)
    return results


@pytest.mark.parametrize("ranks", RANKS)
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_scenario(outputs, ranks, scenario):
    run = outputs[ranks]
    passed = [line for line in run.stdout.splitlines() if line.startswith(f"{scenario} ok")]
    assert passed, f"exit {run.returncode}\n{run.stdout}\n{run.stderr[-4000:]}"


@pytest.mark.parametrize("ranks", RANKS)
def test_clean_exit(outputs, ranks):
    """Every rank ends normally: no crash at interpreter exit, no PETSc error report."""
    run = outputs[ranks]
    assert run.returncode == 0 and "PETSC ERROR" not in run.stderr, run.stderr[-4000:]


@pytest.mark.parametrize("ranks", RANKS)
@pytest.mark.parametrize("grounded", [True, False], ids=["sddm", "laplacian"])
def test_command_line(tmp_path, ranks, grounded):
    """`solve --petsc` under mpiexec: one report from rank 0, and the serial solution."""
    import numpy as np
    import scipy.io
    import scipy.sparse as sp

    import vorlane

    sys.path.insert(0, str(HERE.parent))
    import problems

    A = problems.grid_laplacian(20, seed=4)
    if grounded:
        A = (A + sp.diags(np.r_[np.ones(20), np.zeros(380)])).tocsr()
    scipy.io.mmwrite(str(tmp_path / "A.mtx"), A, symmetry="symmetric")
    run = run_mpi(
        ranks,
        ["-m", "vorlane", "solve", "A.mtx", "--petsc", "--out", "x.npy"],
        tmp_path,
    )
    assert run.returncode == 0, run.stdout + run.stderr[-4000:]
    assert run.stdout.count("converged    yes") == 1, run.stdout
    assert f"ranks        {ranks} " in run.stdout
    b = A @ np.random.default_rng(0).standard_normal(400)
    serial, _ = vorlane.solve(A, b, tol=1e-10)
    x = np.load(tmp_path / "x.npy")
    assert np.linalg.norm(x - serial) <= 1e-6 * np.linalg.norm(serial)


def test_command_line_bad_matrix_fails_on_every_rank(tmp_path):
    """Rank 0's refusal ends every rank: one error line, exit status 1, no hang."""
    (tmp_path / "A.mtx").write_text(
        "%%MatrixMarket matrix coordinate real general\n2 2 2\n1 2 1.0\n2 1 1.0\n"
    )
    run = run_mpi(2, ["-m", "vorlane", "solve", "A.mtx", "--petsc"], tmp_path)
    assert run.returncode != 0
    errors = [line for line in run.stderr.splitlines() if line.startswith("vorlane: error:")]
    assert len(errors) == 1 and "positive off-diagonal" in errors[0], run.stderr
