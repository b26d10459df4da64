"""Renumbering for locality: vorlane.renumbering, and the renumbering the preconditioner path
applies by itself, each only for a numbering without locality and when it restores some."""

import numpy as np
import pytest

import problems
import vorlane
from vorlane import _problems, _saved
from vorlane._checks import check_matrix
from vorlane._renumber import FAR, far_share
from vorlane._solve import run

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


def engine_grid(side, shuffle=None, grounded=True):
    return _problems.grid((side, side), grounded=grounded, renumber=shuffle)


DECISIONS = {
    # name: (matrix, renumber option, whether the factorization renumbers)
    "shuffled grid, auto": (lambda: engine_grid(SIDE, shuffle=3), "auto", True),
    "natural grid, auto": (lambda: engine_grid(SIDE), "auto", False),
    "random graph, auto": (lambda: problems.random_graph_laplacian(SIDE * SIDE, avg_degree=6.0, seed=5), "auto", False),
    "expander, auto": (lambda: _problems.expander(SIDE * SIDE, seed=5), "auto", False),
    "shuffled grid smaller than far, auto": (lambda: engine_grid(60, shuffle=3), "auto", False),
    "natural grid, forced": (lambda: engine_grid(SIDE), True, True),
    "shuffled grid, refused": (lambda: engine_grid(SIDE, shuffle=3), False, False),
}


@pytest.mark.parametrize("name", DECISIONS)
def test_the_preconditioner_path_renumbers_only_where_it_pays(name):
    make, option, expected = DECISIONS[name]
    A = make()
    p = vorlane.Preconditioner(A, renumber=option)
    assert p.renumbered is expected
    assert f"renumbered={expected}" in repr(p)
    if expected:
        assert np.array_equal(np.sort(p.renumbering), np.arange(A.shape[0]))
    else:
        assert p.renumbering is None
    # vorlane.solve factorizes through the engine's iteration, with the same decision.
    b = problems.zero_mean(np.random.default_rng(1).standard_normal(A.shape[0]))
    result = run(check_matrix(A), b.reshape(-1, 1), tol=1e-8, maxiter=500, method="factor", renumber=option)
    assert result.converged and bool(result.factor.renumbered) is expected


def test_a_renumbered_factor_is_that_of_the_renumbered_matrix():
    A = engine_grid(SIDE, shuffle=7)
    p = vorlane.Preconditioner(A, seed=3)
    order = p.renumbering
    assert order is not None
    q = vorlane.Preconditioner(A[order][:, order].tocsr(), seed=3, renumber=False)
    # Integer right-hand sides make every sum exact, so the order the solve adds them in
    # cannot matter: the renumbered factor is applied as P^T F^-1 P, bit for bit.
    B = np.random.default_rng(2).integers(-1000, 1000, size=(A.shape[0], 3)).astype(np.float64)
    assert (p @ B)[order].tobytes() == (q @ B[order]).tobytes()
    # The same A, seed and split give the same factor.
    again = _saved.state_of(vorlane.Preconditioner(A, seed=3))
    assert all(np.array_equal(value, again[name]) for name, value in _saved.state_of(p).items()
               if name != "setup_seconds")


@pytest.mark.parametrize("units", [1e-150, 1.0, 1e150])
@pytest.mark.parametrize("grounded", [True, False], ids=["sddm", "laplacian"])
def test_solves_agree_with_and_without_renumbering(grounded, units):
    A = engine_grid(SIDE, shuffle=11, grounded=grounded) * units
    b = problems.zero_mean(np.random.default_rng(4).standard_normal(A.shape[0]))
    solutions = []
    for option in (False, True):
        x, info = vorlane.solve(A, b, tol=1e-10, method="factor", renumber=option)
        M = vorlane.Preconditioner(A, renumber=option)
        y, info_m = vorlane.solve(A, b, tol=1e-10, M=M)
        for z, i in ((x, info), (y, info_m)):
            assert i.converged and np.linalg.norm(A @ z - b) <= 1e-9 * np.linalg.norm(b)
        solutions.append(x)
    assert np.linalg.norm(solutions[0] - solutions[1]) <= 1e-6 * np.linalg.norm(solutions[0])
