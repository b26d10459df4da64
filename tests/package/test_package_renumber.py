"""vorlane.renumbering: offered for a numbering without locality, only when it restores some."""

import numpy as np
import pytest

import problems
import vorlane
from vorlane._renumber import FAR, far_share

SIDE = 160  # n = 25600, several times FAR, so a shuffled numbering is mostly far


def shuffled(A, seed):
    order = np.random.default_rng(seed).permutation(A.shape[0])
    return A[order][:, order].tocsr()


def test_shuffled_grid_gets_a_local_numbering_that_solves_the_same_system():
    A = shuffled(problems.grid_sddm(SIDE, seed=1), seed=2)
    assert far_share(A) > 0.6
    order = vorlane.renumbering(A)
    assert order is not None
    assert np.array_equal(np.sort(order), np.arange(A.shape[0]))
    np.testing.assert_array_equal(order, vorlane.renumbering(A))
    B = A[order][:, order]
    assert far_share(B) < 0.01
    # The renumbered system is the same system: solving it and mapping back gives A's solution.
    b = np.random.default_rng(3).standard_normal(A.shape[0])
    y, info = vorlane.solve(B, b[order], tol=1e-10)
    assert info.converged
    x = np.empty_like(y)
    x[order] = y
    assert np.linalg.norm(A @ x - b) <= 1e-9 * np.linalg.norm(b)


@pytest.mark.parametrize(
    "A",
    [
        pytest.param(problems.grid_sddm(SIDE, seed=4), id="natural-grid"),
        pytest.param(problems.random_graph_laplacian(SIDE * SIDE, avg_degree=6.0, seed=5), id="random-graph"),
        pytest.param(problems.grid_sddm(20, seed=6), id="smaller-than-far"),
    ],
)
def test_no_renumbering_when_it_cannot_pay(A):
    # A local numbering needs none; a random graph has none to find.
    assert vorlane.renumbering(A) is None


def test_far_share_counts_off_diagonal_entries_only():
    n = 2 * FAR + 2
    rows = [0, 0, 0, 1]
    cols = [0, FAR + 1, 1, 0]
    import scipy.sparse as sp

    A = sp.csr_matrix((np.ones(4), (rows, cols)), shape=(n, n))
    assert far_share(A) == pytest.approx(1 / 3)


def test_non_square_is_refused():
    import scipy.sparse as sp

    with pytest.raises(ValueError, match="A must be square"):
        vorlane.renumbering(sp.csr_matrix((3, 4)))
