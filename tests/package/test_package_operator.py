"""vorlane.aslinearoperator: a Factor as a real scipy LinearOperator."""

import numpy as np
import pytest
import scipy.sparse.linalg as spla

import problems
import vorlane


@pytest.fixture(scope="module", params=["laplacian", "sddm"])
def case(request):
    if request.param == "laplacian":
        A = problems.grid_laplacian(7, seed=1)
    else:
        A = problems.grid_sddm(7, seed=2)
    factor = vorlane.factorize(A)
    assert (factor.n == A.shape[0] + 1) is (request.param == "sddm")
    return A, factor, vorlane.aslinearoperator(factor)


def test_operator_applies_the_factor(case, rng):
    A, factor, op = case
    n = A.shape[0]
    assert isinstance(op, spla.LinearOperator)
    assert op.shape == (n, n) and op.dtype == np.float64
    b = rng.standard_normal(n)
    expected = factor.solve(b)
    for result in (op.matvec(b), op @ b, op.rmatvec(b), op.H @ b, op.matvec(b.reshape(n, 1))):
        np.testing.assert_array_equal(np.ravel(result), expected)
    # Strided and integer inputs are accepted; the extension itself would refuse them.
    np.testing.assert_array_equal(op @ np.repeat(b, 2)[::2], expected)
    np.testing.assert_allclose(op @ np.arange(n), factor.solve(np.arange(n, dtype=float)))


def test_operator_on_matrices_and_complex_vectors(case, rng):
    A, factor, op = case
    n = A.shape[0]
    X = rng.standard_normal((n, 3))
    Y = op @ X
    assert Y.shape == (n, 3)
    for j in range(3):
        np.testing.assert_array_equal(Y[:, j], factor.solve(np.ascontiguousarray(X[:, j])))
    z = X[:, 0] + 2j * X[:, 1]
    np.testing.assert_allclose(op @ z, Y[:, 0] + 2j * Y[:, 1])


def test_operator_as_cg_preconditioner(case, rng):
    A, _, op = case
    b = problems.zero_mean(rng.standard_normal(A.shape[0]))
    counts = []
    x, status = spla.cg(A, b, M=op, callback=lambda xk: counts.append(1))
    assert status == 0 and len(counts) < 30
    assert np.linalg.norm(A @ x - b) <= 1e-4 * np.linalg.norm(b)


def test_operator_input_errors(case):
    _, _, op = case
    with pytest.raises(TypeError, match="vorlane Factor"):
        vorlane.aslinearoperator(problems.grid_laplacian(3))
    with pytest.raises(ValueError):
        op.matvec(np.ones(op.shape[0] + 1))
