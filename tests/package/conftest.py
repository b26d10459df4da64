"""Fixtures shared by the tests of the vorlane package and its command line."""

import os
import subprocess
import sys

import numpy as np
import pytest



@pytest.fixture
def rng():
    return np.random.default_rng(2024)


@pytest.fixture
def run_cli(tmp_path):
    """Run ``python -m vorlane ARGS`` in a scratch directory, stdin closed, no terminal."""

    def run(*args, timeout=300):
        return subprocess.run(
            [sys.executable, "-m", "vorlane", *map(str, args)],
            cwd=tmp_path,
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run
