"""Fixtures shared by the extension-module tests."""

import os
import sys

import numpy as np
import pytest


import problems  # noqa: E402


@pytest.fixture(scope="session")
def grid():
    """A connected 6x6 grid Laplacian (not augmented)."""
    return problems.grid_laplacian(6, seed=3)


@pytest.fixture(scope="session")
def grid_factor(vl, grid):
    return vl.factorize(grid)


@pytest.fixture(scope="session")
def sddm_factor(vl):
    """An augmented factor: n is one more than the matrix dimension."""
    factor = vl.factorize(problems.path_sddm(8, seed=4))
    assert factor.n == factor.shape[0] + 1
    return factor


@pytest.fixture
def rng():
    return np.random.default_rng(12345)
