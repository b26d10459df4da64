"""The shared generated matrices: valid, reproducible, and bad requests refused cleanly."""

import numpy as np
import pytest

from vorlane import _problems
from vorlane._checks import check_matrix

RECIPES = {
    "grid log-uniform grounded": ("grid", (6, 5), 1, dict(weights="log-uniform", grounded=True)),
    "grid unit renumbered": ("grid", (4, 4, 3), 2, dict(renumber=3)),
    "power law": ("power_law", (300,), 3, {}),
    "expander": ("expander", (301,), 4, {}),
    "tree": ("tree", (40,), 5, dict(weights="random")),
    "random graph sddm": ("random_graph", (60,), 6, dict(weights="random", avg_degree=4.0, sddm=(7, 0.2, 0.1, 1.0))),
}


@pytest.mark.parametrize("name", RECIPES)
def test_generated_matrices_are_canonical_and_reproducible(name):
    recipe, dims, seed, options = RECIPES[name]
    A = _problems.matrix(recipe, dims, seed, **options)
    assert A.has_sorted_indices and A.has_canonical_format
    assert np.all(A.diagonal() > 0)
    check_matrix(A)  # symmetric, SDDM or Laplacian; raises otherwise
    again = _problems.matrix(recipe, dims, seed, **options)
    assert (again != A).nnz == 0
    if name != "grid unit renumbered":  # unit weights: the seed draws nothing
        other = _problems.matrix(recipe, dims, seed + 1, **options)
        assert other.shape != A.shape or (other != A).nnz > 0


@pytest.mark.parametrize(
    "args, options, error",
    [
        (("grid", (0, 3), 0), {}, ValueError),
        (("grid", (2**20, 2**20), 0), {}, ValueError),
        (("grid", (), 0), {}, ValueError),
        (("grid", (3,), -1), {}, OverflowError),
        (("grid", (3,), 0), dict(weights="random"), ValueError),
        (("random_graph", (2**31,), 0), dict(avg_degree=8.0), ValueError),
        (("path", (3,), 0), dict(sddm=(1, 2.0, 0.1, 1.0)), ValueError),
        (("path", (3,), 0), dict(sddm=(-1, 0.1, 0.1, 1.0)), OverflowError),
        (("spiral", (3,), 0), {}, ValueError),
    ],
)
def test_bad_requests_are_refused(args, options, error):
    with pytest.raises(error):
        _problems.arrays(*args, **options)
