"""Helpers shared by the hostile-input tests: CSR arrays, a duck-typed matrix, subprocess runs."""

import os
import subprocess
import sys
import textwrap

import numpy as np

TESTS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Under a sanitizer runtime preloaded into the interpreter, address-space limits and timing
# bounds do not hold; tests that depend on them skip themselves.
UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "") or "VORLANE_UNDER_SANITIZER" in os.environ


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


def run_python(code, timeout=120, env=None):
    """Runs code in a fresh interpreter from the tests directory; returns the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    full_env["PYTHONPATH"] = os.pathsep.join(
        [TESTS_DIR, os.path.join(TESTS_DIR, "hardening")] + ([full_env["PYTHONPATH"]] if full_env.get("PYTHONPATH") else []))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=TESTS_DIR,
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
