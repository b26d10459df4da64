"""vorlane.solve: answers, singular systems, scaling, reproducibility and input checks."""

import numpy as np
import pytest
import scipy.sparse as sp
import scipy.sparse.linalg as spla

import problems
import vorlane


def reference(A, b):
    """The exact solution: direct for SDDM, least norm (zero mean) for a connected Laplacian."""
    dense = A.toarray()
    return np.linalg.lstsq(dense, b, rcond=None)[0]


def relative_residual(A, x, b):
    return np.linalg.norm(b - A @ x) / np.linalg.norm(b)


CASES = {
    "grid laplacian": (lambda: problems.grid_laplacian(20, seed=1), True),
    "random laplacian": (lambda: problems.random_graph_laplacian(300, seed=2), True),
    "path laplacian": (lambda: problems.path_laplacian(50, seed=3), True),
    "grid sddm": (lambda: problems.grid_sddm(20, seed=4), False),
    "random sddm": (lambda: problems.random_sddm(300, seed=5), False),
    "tree sddm": (lambda: problems.tree_sddm(200, seed=6), False),
}


@pytest.mark.parametrize("split", [None, 2])
@pytest.mark.parametrize("name", sorted(CASES))
def test_solution_matches_direct_solve(name, split, rng):
    build, singular = CASES[name]
    A = build()
    b = rng.standard_normal(A.shape[0])
    if singular:
        b = problems.zero_mean(b)
    x, info = vorlane.solve(A, b, split=split, tol=1e-10)
    assert info.converged and info.singular is singular
    assert info.residual <= 1e-10
    assert info.residual == pytest.approx(relative_residual(A, x, b), rel=1e-3, abs=1e-14)
    np.testing.assert_allclose(x, reference(A, b), rtol=0, atol=1e-7 * np.abs(x).max())
    if singular:
        assert abs(x.mean()) <= 1e-12 * np.abs(x).max()


def test_preconditioner_cuts_iterations_against_jacobi(rng):
    A = problems.grid_laplacian(40, seed=7)
    b = problems.zero_mean(rng.standard_normal(A.shape[0]))
    _, fast = vorlane.solve(A, b, maxiter=5000, method="factor")
    _, plain = vorlane.solve(A, b, maxiter=5000, method="jacobi")
    assert fast.converged and plain.converged
    assert (fast.method, plain.method) == ("factor", "jacobi")
    assert fast.iterations * 3 < plain.iterations


def test_disconnected_graph_with_grounded_and_floating_parts(rng):
    parts = [problems.path_laplacian(5), problems.grid_laplacian(4), problems.path_sddm(6)]
    A = sp.block_diag(parts, format="csr")
    b = rng.standard_normal(A.shape[0])
    b[:5] -= b[:5].mean()
    b[5:21] -= b[5:21].mean()
    x, info = vorlane.solve(A, b)
    assert info.converged and info.singular
    assert relative_residual(A, x, b) <= 1e-8
    # Each floating component gets the zero-mean solution; the grounded one is determined.
    assert abs(x[:5].mean()) < 1e-12 and abs(x[5:21].mean()) < 1e-12
    np.testing.assert_allclose(x[21:], spla.spsolve(parts[2].tocsc(), b[21:]), rtol=1e-7)


@pytest.mark.parametrize("shift, accepted", [(1.0, False), (1e-3, False), (1e-12, True)])
def test_rhs_with_a_part_in_the_null_space(shift, accepted):
    A = problems.grid_laplacian(6)
    b = problems.zero_mean(np.arange(36.0)) + shift
    if not accepted:
        with pytest.raises(ValueError, match="not in the range of A"):
            vorlane.solve(A, b)
        return
    # x0 with a constant part too: the answer still has zero mean.
    x, info = vorlane.solve(A, b, tol=1e-8, x0=np.full(36, 5.0))
    assert info.converged and abs(x.mean()) < 1e-12


@pytest.mark.parametrize("factor", [1e-200, 1e-12, 1.0, 1e12, 1e200])
@pytest.mark.parametrize("kind", ["laplacian", "sddm"])
def test_any_scale_of_matrix_and_rhs(kind, factor, rng):
    # The solver must not depend on the units the caller happens to use.
    base = problems.grid_laplacian(8, seed=8) if kind == "laplacian" else problems.grid_sddm(8)
    b = rng.standard_normal(64)
    if kind == "laplacian":
        b = problems.zero_mean(b)
    expected, _ = vorlane.solve(base, b)
    x, info = vorlane.solve(base * factor, b * factor)
    assert info.converged and info.singular is (kind == "laplacian")
    np.testing.assert_allclose(x, expected, rtol=1e-6, atol=1e-9 * np.abs(expected).max())


def test_laplacian_with_rounding_noise_counts_as_singular(rng):
    A = problems.grid_laplacian(10, seed=9).tolil()
    for i in range(100):
        A[i, i] *= 1 + rng.uniform(-1e-15, 1e-15)
    b = problems.zero_mean(rng.standard_normal(100))
    x, info = vorlane.solve(A.tocsr(), b)
    assert info.converged and info.singular


def test_laplacian_with_tiny_ground_is_solved_as_nonsingular(rng):
    # The solution has a constant part of size ~1e9, so only a modest tol is attainable.
    A = problems.grid_laplacian(10, seed=9) + 1e-9 * sp.eye(100)
    b = rng.standard_normal(100)
    x, info = vorlane.solve(sp.csr_matrix(A), b, tol=1e-6)
    assert info.converged and not info.singular
    np.testing.assert_allclose(x, spla.spsolve(A.tocsc(), b), rtol=1e-5)


def test_same_seed_same_bits_and_other_seeds_agree(rng):
    A = problems.random_sddm(200, seed=10)
    b = rng.standard_normal(200)
    first, _ = vorlane.solve(A, b, seed=3, split=3)
    again, _ = vorlane.solve(A, b, seed=3, split=3)
    other, info = vorlane.solve(A, b, seed=4)
    assert first.tobytes() == again.tobytes()
    assert info.converged
    np.testing.assert_allclose(other, first, rtol=1e-6, atol=1e-8)


def test_starting_guess_callback_and_iteration_limit(rng):
    A = problems.grid_sddm(10, seed=11)
    b = rng.standard_normal(100)
    x, info = vorlane.solve(A, b, tol=1e-12)

    again, info0 = vorlane.solve(A, b, tol=1e-8, x0=x)
    assert info0.converged and info0.iterations == 0

    seen = []
    vorlane.solve(A, b, callback=lambda xk: seen.append((xk.copy(), xk.flags.writeable)))
    assert seen and not any(writeable for _, writeable in seen)
    assert np.linalg.norm(A @ seen[-1][0] - b) <= 1e-8 * np.linalg.norm(b)

    capped, info1 = vorlane.solve(A, b, maxiter=2)
    assert not info1.converged and info1.iterations == 2
    assert "did not converge within 2 iterations" in info1.message
    assert info1.residual == pytest.approx(relative_residual(A, capped, b))


def test_trivial_systems():
    x, info = vorlane.solve(problems.grid_sddm(4), np.zeros(16), x0=np.ones(16))
    assert info.converged and info.iterations == 0 and not x.any()
    x, info = vorlane.solve(sp.csr_matrix((0, 0)), np.zeros(0))
    assert x.shape == (0,) and info.converged


@pytest.mark.parametrize(
    "convert",
    [sp.csr_array, sp.csc_matrix, sp.coo_array, lambda m: sp.csr_matrix(m.astype(np.int64))],
    ids=["csr_array", "csc_matrix", "coo_array", "int64"],
)
def test_accepted_sparse_formats(convert):
    A = problems.path_laplacian(6, weights="unit")
    b = problems.zero_mean(np.arange(6.0)).reshape(6, 1)
    x, info = vorlane.solve(convert(A), b)
    assert info.converged and x.shape == (6, 1) and isinstance(info.iterations, int)


def test_duplicates_and_one_sided_explicit_zeros_are_fine():
    rows = [0, 0, 1, 1, 0, 1, 2, 2, 1]
    cols = [0, 1, 0, 1, 1, 1, 2, 0, 2]
    vals = [2.0, -0.5, -1.0, 2.0, -0.5, 1.0, 3.0, 0.0, 0.0]
    A = sp.coo_matrix((vals, (rows, cols)), shape=(3, 3))
    x, info = vorlane.solve(A, np.array([1.0, 2.0, 3.0]))
    assert info.converged
    np.testing.assert_allclose(A.toarray() @ x, [1.0, 2.0, 3.0], rtol=1e-8)


def _with(matrix, i, j, value):
    changed = matrix.tolil()
    changed[i, j] = value
    return changed.tocsr()


GOOD = problems.grid_sddm(4)
B16 = np.ones(16)

BAD_INPUT = [
    ("dense", lambda: (GOOD.toarray(), B16), TypeError, "scipy.sparse"),
    ("list", lambda: ([[1.0]], [1.0]), TypeError, "scipy.sparse"),
    ("complex matrix", lambda: (GOOD.astype(complex), B16), TypeError, "real"),
    ("bool matrix", lambda: (GOOD.astype(bool), B16), TypeError, "dtype, got bool"),
    ("non-square", lambda: (sp.csr_matrix((3, 4)), np.ones(3)), ValueError, "square"),
    ("nan", lambda: (_with(GOOD, 0, 0, np.nan), B16), ValueError, "non-finite"),
    ("asymmetric", lambda: (_with(GOOD, 0, 1, -0.25), B16), ValueError, "not symmetric"),
    ("upper triangle", lambda: (sp.triu(GOOD, format="csr"), B16), ValueError, "not symmetric"),
    ("positive off-diagonal", lambda: (_with(_with(GOOD, 0, 5, 0.1), 5, 0, 0.1), B16),
     ValueError, "positive off-diagonal"),
    ("not dominant", lambda: (_with(GOOD, 3, 3, 0.5), B16), ValueError, "diagonally dominant"),
    ("complex b", lambda: (GOOD, B16 * 1j), TypeError, "b must be real"),
    ("string b", lambda: (GOOD, ["a"] * 16), TypeError, "b must be a real"),
    ("short b", lambda: (GOOD, np.ones(15)), ValueError, r"b must have shape \(16,\)"),
    ("3-d b", lambda: (GOOD, np.ones((16, 2, 1))), ValueError, "b must have shape"),
    ("sparse b", lambda: (GOOD, sp.csr_matrix(np.ones((16, 1)))), TypeError, "b must be a dense"),
    ("infinite b", lambda: (GOOD, np.full(16, np.inf)), ValueError, "non-finite"),
]


@pytest.mark.parametrize("name, make, error, message", BAD_INPUT, ids=[c[0] for c in BAD_INPUT])
def test_bad_matrix_or_rhs(name, make, error, message):
    A, b = make()
    with pytest.raises(error, match=message):
        vorlane.solve(A, b)


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"tol": 0.0}, ValueError, "tol must be positive"),
        ({"tol": float("nan")}, ValueError, "tol must be positive"),
        ({"tol": "small"}, TypeError, "tol must be a number"),
        ({"tol": "1e-8"}, TypeError, "tol must be a number"),
        ({"maxiter": -1}, ValueError, "maxiter must be >= 0"),
        ({"maxiter": 2.5}, TypeError, "maxiter must be an integer"),
        ({"split": 0}, ValueError, "split must be >= 1"),
        ({"seed": -1}, ValueError, "seed must be between 0 and 2"),
        ({"seed": 2**64}, ValueError, "seed must be between 0 and 2"),
        ({"method": "cholesky"}, ValueError, "method must be one of"),
        ({"renumber": "always"}, ValueError, "renumber must be 'auto', True or False"),
        ({"renumber": 1}, ValueError, "renumber must be 'auto', True or False"),
        ({"M": "factor"}, TypeError, "M must be a vorlane.Preconditioner"),
        ({"seed": None}, TypeError, "seed"),
        ({"callback": 3}, TypeError, "callback must be callable"),
        ({"x0": np.ones(3)}, ValueError, "x0 must have shape"),
        ({"x0": np.ones((16, 2))}, ValueError, "x0 must have the shape of b"),
    ],
)
def test_bad_options(options, error, message):
    with pytest.raises(error, match=message):
        vorlane.solve(GOOD, B16, **options)


def test_rtol_atol_and_the_former_tol_as_scipy_means_them(rng):
    A = problems.grid_laplacian(20, seed=3)
    B = np.column_stack([problems.zero_mean(rng.standard_normal(400)) * scale for scale in (1.0, 1e-6)])
    x, info = vorlane.solve(A, B, rtol=1e-10, atol=1e-9)
    # The small column's target is atol, its relative residual far above rtol.
    for j in range(2):
        residual = np.linalg.norm(B[:, j] - A @ x[:, j])
        assert residual <= max(1e-10 * np.linalg.norm(B[:, j]), 1e-9)
    assert info.iterations[1] < info.iterations[0]
    _, by_old_name = vorlane.solve(A, B[:, 0], tol=1e-6)
    _, by_new_name = vorlane.solve(A, B[:, 0], rtol=1e-6)
    assert by_old_name.iterations == by_new_name.iterations
    with pytest.raises(TypeError, match="rtol or its former name tol"):
        vorlane.solve(A, B[:, 0], rtol=1e-6, tol=1e-6)
    for bad, error, message in [
        ({"atol": -1.0}, ValueError, "atol must be >= 0"),
        ({"atol": "0"}, TypeError, "atol must be a number"),
        ({"rtol": 0.0}, ValueError, "rtol must be positive"),
        ({"tol": 0.0}, ValueError, "tol must be positive"),
        ({"verbose": "yes"}, TypeError, "verbose must be True, False or None"),
    ]:
        with pytest.raises(error, match=message):
            vorlane.solve(A, B[:, 0], **bad)


def test_residual_history_per_iteration_and_per_column(rng):
    A = problems.grid_laplacian(25, seed=4)
    B = np.column_stack([problems.zero_mean(rng.standard_normal(625)), np.zeros(625)])
    _, info = vorlane.solve(A, B, method="factor")
    history, zero = info.residuals
    assert len(history) == info.iterations[0] + 1 and history[0] == pytest.approx(1.0)
    assert history[-1] <= 1e-8 and np.all(np.isfinite(history))
    assert list(zero) == [0.0]
    _, single = vorlane.solve(A, B[:, 0], method="factor")
    assert np.array_equal(single.residuals, history)


@pytest.mark.parametrize("verbose", [True, False, None])
def test_verbose_reports_on_stderr_only_when_asked(verbose, rng, capsys):
    A = problems.grid_laplacian(20, seed=5)
    vorlane.solve(A, problems.zero_mean(rng.standard_normal(400)), verbose=verbose)
    err = capsys.readouterr().err
    if verbose:
        # Iterations faster than a second print only the outcome.
        assert err.startswith("vorlane.solve: converged in") and err.count("\n") == 1
    else:
        assert err == ""
