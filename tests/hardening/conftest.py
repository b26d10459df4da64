"""Fixtures for the hostile-input tests: small problems, their raw arrays and subprocess runs."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

TESTS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, TESTS_DIR)

import problems  # noqa: E402

# Under a sanitizer runtime preloaded into the interpreter, address-space limits and timing
# bounds do not hold; tests that depend on them skip themselves.
UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "") or "VORLANE_UNDER_SANITIZER" in os.environ


@pytest.fixture(scope="session")
def vl():
    import _vorlane

    return _vorlane


def raw_arrays(matrix):
    """Fresh copies of a scipy matrix's CSR arrays in the exact types factorize_raw takes, and n."""
    return (
        np.array(matrix.indptr, dtype=np.uint32),
        np.array(matrix.indices, dtype=np.uint32),
        np.array(matrix.data, dtype=np.float64),
        matrix.shape[0],
    )


class Csr:
    """A duck-typed CSR matrix: exactly the four attributes factorize reads."""

    def __init__(self, indptr, indices, data, shape):
        self.indptr, self.indices, self.data, self.shape = indptr, indices, data, shape


@pytest.fixture(scope="session")
def grid():
    """A connected 5x5 grid Laplacian: not augmented."""
    return problems.grid_laplacian(5, seed=21)


@pytest.fixture(scope="session")
def sddm():
    """A 5x5 grid SDDM matrix: augmented with a ground vertex."""
    return problems.grid_sddm(5, seed=22)


def run_python(code, timeout=120, env=None):
    """Runs code in a fresh interpreter from the tests directory; returns the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=TESTS_DIR,
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
