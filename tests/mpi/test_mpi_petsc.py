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
SCENARIOS = ["grids", "laplacian", "refactorize", "schwarz", "options", "not_sddm"]
RANKS = [1, 2]
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
