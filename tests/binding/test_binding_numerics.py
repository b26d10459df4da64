"""The factor as a solver and as a preconditioner for scipy's conjugate gradients."""

import numpy as np
import pytest
import scipy.sparse as sp
import scipy.sparse.linalg as spla

import problems


def cg_iterations(matrix, b, preconditioner=None):
    count = [0]

    def callback(_):
        count[0] += 1

    x, info = spla.cg(matrix, b, M=preconditioner, rtol=1e-8, maxiter=5000, callback=callback)
    assert info == 0
    assert np.linalg.norm(matrix @ x - b) <= 1e-7 * np.linalg.norm(b)
    return count[0]


@pytest.mark.parametrize(
    "build, singular",
    [
        (lambda: problems.grid_laplacian(40, seed=1), True),
        (lambda: problems.grid_sddm(40, seed=2), False),
    ],
    ids=["grid-laplacian", "grid-sddm"],
)
@pytest.mark.parametrize("split", [None, 3])
def test_preconditioned_cg_needs_far_fewer_iterations(vl, build, singular, split):
    matrix = build()
    rng = np.random.default_rng(4)
    b = rng.standard_normal(matrix.shape[0])
    if singular:
        b = problems.zero_mean(b)
    factor = vl.factorize(matrix, vl.Config(seed=9, split=split))
    plain = cg_iterations(matrix, b)
    preconditioned = cg_iterations(matrix, b, factor)
    assert preconditioned * 4 <= plain, (preconditioned, plain)
    # Wrapped explicitly as a LinearOperator it behaves the same.
    assert cg_iterations(matrix, b, spla.aslinearoperator(factor)) == preconditioned


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize(
    "build",
    [
        lambda s: problems.sddm(problems.tree_laplacian(200, seed=s), seed=s, density=0.0),
        lambda s: problems.sddm(problems.path_laplacian(150, seed=s), seed=s, density=0.0),
        lambda s: problems.path_sddm(120, seed=s),
    ],
    ids=["tree-one-excess", "path-one-excess", "path-sddm"],
)
@pytest.mark.parametrize("split", [None, 2])
def test_exact_on_trees_and_paths(vl, seed, build, split):
    # With one grounded vertex the augmented graph is still a tree, and a path with its
    # ground vertex only ever eliminates vertices of degree two: no sampling error.
    matrix = build(seed)
    factor = vl.factorize(matrix, vl.Config(seed=seed, split=split))
    assert factor.n == matrix.shape[0] + 1
    b = np.random.default_rng(seed).standard_normal(matrix.shape[0])
    expected = spla.spsolve(matrix.tocsc(), b)
    assert np.allclose(factor.solve(b), expected, rtol=1e-9, atol=1e-9 * np.abs(expected).max())
    out = np.empty(matrix.shape[0])
    factor.solve_into(b, out)
    assert np.allclose(out, expected, rtol=1e-9, atol=1e-9 * np.abs(expected).max())


@pytest.mark.parametrize("seed", range(3))
def test_exact_on_tree_laplacians(vl, seed):
    matrix = problems.tree_laplacian(80, seed=seed)
    factor = vl.factorize(matrix, vl.Config(seed=seed))
    assert factor.n == 80
    b = problems.zero_mean(np.random.default_rng(seed).standard_normal(80))
    x = factor.solve(b)
    assert abs(x.sum()) < 1e-9
    assert np.allclose(matrix @ x, b, atol=1e-9)


# Thresholds follow the matrix's own scale, so matrices in any units factorize soundly.


def test_high_contrast_laplacian_gets_no_ground_vertex(vl):
    matrix = problems.grid_laplacian(100, seed=5, weights="contrast")
    residues = np.abs(np.asarray(matrix.sum(axis=1)).ravel())
    assert residues.max() > 1e-10  # rounding residues above any absolute threshold
    factor = vl.factorize(matrix)
    assert factor.n == matrix.shape[0]
    b = problems.zero_mean(np.random.default_rng(6).standard_normal(matrix.shape[0]))
    x, info = spla.cg(matrix, b, M=factor, rtol=1e-8, maxiter=500)
    assert info == 0
    assert np.linalg.norm(b - matrix @ x) <= 1e-8 * np.linalg.norm(b)


def test_sddm_in_small_units_gets_a_ground_vertex(vl):
    matrix = problems.grid_sddm(30, seed=7) * 1e-11
    factor = vl.factorize(matrix)
    assert factor.n == matrix.shape[0] + 1
    b = np.random.default_rng(8).standard_normal(matrix.shape[0])
    assert cg_iterations(matrix, b, factor) <= 40


def test_tiny_one_by_one_matrix_is_solved(vl):
    factor = vl.factorize(sp.csr_matrix(np.array([[0.99e-10]])))
    assert factor.n == 2
    assert factor.solve(np.ones(1))[0] == pytest.approx(1 / 0.99e-10, rel=1e-15)
