"""Fixtures for the hostile-input tests: the module and two small problems."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import problems  # noqa: E402


@pytest.fixture(scope="session")
def grid():
    """A connected 5x5 grid Laplacian: not augmented."""
    return problems.grid_laplacian(5, seed=21)


@pytest.fixture(scope="session")
def sddm():
    """A 5x5 grid SDDM matrix: augmented with a ground vertex."""
    return problems.grid_sddm(5, seed=22)
