"""The solve engine: several right-hand sides, Preconditioner and M=, the adaptive start,
stagnation, interrupts and threads."""

import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
import scipy.sparse as sp
import scipy.sparse.linalg as spla

import problems
import vorlane

BLOCK_CASES = {
    "grid laplacian": lambda: problems.grid_laplacian(15, seed=1),
    "random sddm": lambda: problems.random_sddm(200, seed=2),
    "floating and grounded parts": lambda: sp.block_diag(
        [problems.path_laplacian(7), problems.grid_laplacian(5), problems.path_sddm(9)], format="csr"
    ),
}


def consistent_block(A, k, rng):
    """k right-hand sides with zero sum on every component without ground."""
    B = rng.standard_normal((A.shape[0], k))
    P = np.array(B)
    system = vorlane._checks.check_matrix(A)
    system.project(P, k)
    return P


@pytest.mark.parametrize("k", [3, 17])
@pytest.mark.parametrize("name", sorted(BLOCK_CASES))
def test_block_equals_columns_bit_for_bit_and_solves(name, k, rng):
    A = BLOCK_CASES[name]()
    B = consistent_block(A, k, rng)
    X, info = vorlane.solve(A, B, method="factor", tol=1e-10)
    assert X.shape == B.shape and info.converged
    assert info.iterations.shape == (k,) and info.residual.shape == (k,)
    for j in (0, k - 1):
        x, single = vorlane.solve(A, B[:, j], method="factor", tol=1e-10)
        assert x.tobytes() == X[:, j].tobytes()
        assert single.iterations == info.iterations[j] and single.residual == info.residual[j]
    dense = np.linalg.lstsq(A.toarray(), B, rcond=None)[0]
    np.testing.assert_allclose(X, dense, rtol=0, atol=1e-7 * np.abs(dense).max())


def test_columns_stop_on_their_own(rng):
    A = problems.grid_sddm(12, seed=3)
    easy, hard = np.zeros(144), rng.standard_normal(144)
    easy[5] = 1.0
    x0 = np.column_stack([vorlane.solve(A, easy, tol=1e-13)[0], np.zeros(144)])
    X, info = vorlane.solve(A, np.column_stack([easy, hard]), x0=x0, method="factor")
    assert info.iterations[0] == 0 and info.iterations[1] > 5 and info.converged
    seen = []
    vorlane.solve(A, np.column_stack([easy, hard]), callback=lambda xk: seen.append(xk.shape))
    assert seen and set(seen) == {(144, 2)}


def test_preconditioner_operator_and_reuse(rng):
    A = problems.grid_sddm(10, seed=4)
    M = vorlane.Preconditioner(A, seed=2, split=2)
    assert isinstance(M, spla.LinearOperator) and M.shape == (100, 100)
    assert (M.n, M.seed, M.split) == (100, 2, 2) and M.nnz > 100 and M.nbytes > 8 * M.nnz
    assert M.setup_seconds > 0 and "nnz=" in repr(M) and "split=2" in repr(M)
    X = rng.standard_normal((100, 3))
    Y = M @ X
    for j in range(3):
        np.testing.assert_array_equal(M.matvec(X[:, j]), Y[:, j])
    assert M.matvec(X[:, :1]).shape == (100, 1)
    np.testing.assert_array_equal(M @ X.astype(np.float32), M @ X.astype(np.float32).astype(float))
    np.testing.assert_array_equal(M @ (X[:, 0] * 1j), 1j * Y[:, 0])
    # M= for the same A and for a nearby one; SciPy accepts it too.
    x, info = vorlane.solve(A, X[:, 0], M=M)
    assert info.converged and info.method == "factor" and info.iterations < 40
    near = A + sp.diags(rng.uniform(0, 0.1, 100))
    x, info = vorlane.solve(near, X[:, 0], M=M)
    assert info.converged and np.linalg.norm(near @ x - X[:, 0]) <= 1e-8 * np.linalg.norm(X[:, 0])
    x, status = spla.cg(A, X[:, 0], M=M, rtol=1e-10)
    assert status == 0


@pytest.mark.parametrize("units", [1e-9, 7.0, 1e9])
def test_preconditioner_approximates_the_inverse_in_any_units(units, rng):
    # The engine factorizes a rescaled copy of A; applying the factor must undo that scale,
    # or M is a multiple of A's inverse that only CG tolerates.
    A = units * problems.grid_sddm(12, seed=5)
    b = rng.standard_normal(A.shape[0])
    exact = spla.spsolve(A.tocsc(), b)
    M = vorlane.Preconditioner(A)
    for approx in (M @ b, pickle.loads(pickle.dumps(M)) @ b):
        ratio = float(approx @ b) / float(exact @ b)
        assert 0.5 < ratio < 2.0


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda M: vorlane.solve(problems.grid_sddm(5), np.ones(25), M=M), ValueError, "dimension 100, not 25"),
        (lambda M: vorlane.solve(problems.grid_sddm(10), np.ones(100), M=M, method="jacobi"),
         ValueError, "does not use M"),
        (lambda M: vorlane.Preconditioner(problems.grid_sddm(3).toarray()), TypeError, "scipy.sparse"),
        (lambda M: vorlane.Preconditioner(sp.csr_matrix(np.array([[1.0, 0.5], [0.5, 1.0]]))),
         ValueError, "positive off-diagonal"),
        (lambda M: vorlane.Preconditioner(problems.grid_sddm(3), seed=-1), ValueError, "seed"),
        (lambda M: vorlane.Preconditioner(problems.grid_sddm(3), renumber=None), ValueError, "renumber"),
        (lambda M: M @ np.ones(99), ValueError, None),
    ],
)
def test_bad_preconditioner_use(make, error, message):
    M = vorlane.Preconditioner(problems.grid_sddm(10))
    with pytest.raises(error, match=message):
        make(M)


def test_float32_laplacian_is_accepted():
    # Its rows sum to zero only up to float32 rounding, which bounds the attainable residual.
    A = problems.grid_laplacian(20, seed=5).astype(np.float32)
    b = problems.zero_mean(np.arange(400.0))
    x, info = vorlane.solve(A, b, tol=1e-5)
    assert info.converged and info.singular


def expander(n, seed):
    rng = np.random.default_rng(seed)
    rows, cols = [np.arange(n - 1)], [np.arange(1, n)]
    for _ in range(3):
        perm = rng.permutation(n)
        rows.append(perm[0::2])
        cols.append(perm[1::2])
    L = problems.laplacian_from_edges(n, np.concatenate(rows), np.concatenate(cols), np.ones(n - 1 + 3 * n // 2))
    return sp.csr_matrix(L + sp.diags(np.r_[1.0, np.zeros(n - 1)]))


ADAPTIVE_CASES = {
    # Jacobi converges in a few dozen iterations: factorizing never pays.
    "expander": (lambda: expander(20000, seed=6), "jacobi"),
    # Jacobi's count grows with the grid's side: the factor pays at the first decision.
    "grid": (lambda: problems.grid_laplacian(150, seed=7), "factor"),
    # A small grid: Jacobi would finish in about 90 iterations, still past the factor's cost.
    "small grid": (lambda: problems.grid_laplacian(25, seed=8), "factor"),
}


@pytest.mark.parametrize("name", sorted(ADAPTIVE_CASES))
def test_adaptive_start_decides_from_the_iteration_alone(name, rng):
    make, method = ADAPTIVE_CASES[name]
    A = make()
    b = problems.zero_mean(rng.standard_normal(A.shape[0]))
    x, info = vorlane.solve(A, b)
    assert info.converged and info.method == method
    assert np.linalg.norm(A @ x - b) <= 1e-8 * np.linalg.norm(b)
    # The decision reads CG's coefficients, not the clock: the first one comes after 12
    # Jacobi iterations, and a repeat (any machine, any load) decides the same way.
    if method == "factor":
        assert info.jacobi_iterations == 12 < info.iterations
    else:
        assert info.jacobi_iterations == info.iterations
    again, repeat = vorlane.solve(A, b)
    assert (repeat.method, repeat.iterations, repeat.jacobi_iterations) == (
        info.method, info.iterations, info.jacobi_iterations
    )
    assert np.array_equal(again, x)


def test_phase_counts_per_column_and_per_method(rng):
    A = problems.grid_laplacian(40, seed=3)
    B = consistent_block(A, 3, rng)
    _, info = vorlane.solve(A, B)
    assert list(info.jacobi_iterations) == [12, 12, 12]
    _, info = vorlane.solve(A, B[:, 0], method="jacobi")
    assert info.jacobi_iterations == info.iterations > 0
    _, info = vorlane.solve(A, B[:, 0], method="factor")
    assert info.jacobi_iterations == 0


@pytest.mark.parametrize("method", ["auto", "factor", "jacobi"])
def test_maxiter_zero_returns_the_starting_guess(method, rng):
    A = problems.grid_laplacian(12, seed=4)
    b = problems.zero_mean(rng.standard_normal(A.shape[0]))
    x0 = problems.zero_mean(rng.standard_normal(A.shape[0]))
    x, info = vorlane.solve(A, b, x0=x0, maxiter=0, method=method)
    assert info.iterations == 0 and not info.converged
    # x0 comes back as the iteration holds it: relative to ||b||, without its mean.
    np.testing.assert_allclose(x, x0, rtol=1e-14, atol=1e-15)
    assert info.residual == pytest.approx(np.linalg.norm(b - A @ x0) / np.linalg.norm(b), rel=1e-12)


def test_stalled_residual_is_reported_as_such_with_the_best_iterate(rng):
    n = 60
    index = np.arange(n * n).reshape(n, n)
    rows = np.concatenate([index[:-1, :].ravel(), index[:, :-1].ravel()])
    cols = np.concatenate([index[1:, :].ravel(), index[:, 1:].ravel()])
    A = problems.laplacian_from_edges(n * n, rows, cols, 10.0 ** rng.uniform(-6, 6, rows.size))
    A = sp.csr_matrix(A)
    A.sum_duplicates()
    A.sort_indices()
    b = problems.zero_mean(rng.standard_normal(n * n))
    x, info = vorlane.solve(A, b, tol=1e-14, method="factor")
    assert not info.converged and "stalled at" in info.message and "breakdown" not in info.message
    assert info.iterations < 1000
    # The residual is that of the returned x, its products summed in row order as SciPy's
    # are for a canonical CSR matrix: only the norm's summation order differs.
    recomputed = np.linalg.norm(b - A @ x) / np.linalg.norm(b)
    assert info.residual == pytest.approx(recomputed, rel=1e-10)
    assert info.residual < 1e-6


@pytest.mark.parametrize("order", ["sequential", "rounds"])
def test_keyboard_interrupt_stops_the_factorization(tmp_path, order):
    # Rounds run on three threads: every one of them stops, and the process goes on. The
    # factorization takes seconds; "interrupted" shows it ended early (how early depends on
    # the machine's load, so no time is asserted).
    script = textwrap.dedent(
        """
        import signal, sys, threading
        # A shell's background job starts with SIGINT ignored, and Python keeps that: take
        # Python's own handler, as an interactive session has it.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        sys.path.insert(0, sys.argv[1])
        import problems, vorlane
        A = problems.grid_laplacian(700, seed=1)
        print("ready", flush=True)
        try:
            vorlane.Preconditioner(A, split=8, order=sys.argv[2], threads=3)
        except KeyboardInterrupt:
            print("interrupted", threading.active_count(), flush=True)
        else:
            print("finished", flush=True)
        """
    )
    child = subprocess.Popen(
        [sys.executable, "-c", script, os.path.dirname(problems.__file__), order],
        stdout=subprocess.PIPE, text=True,
    )
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline().split()
        assert line == ["interrupted", "1"], line
    finally:
        child.kill()
        child.wait()


def test_two_threads_solve_at_once(rng):
    systems = [problems.grid_sddm(60, seed=s) for s in (8, 9)]
    rhs = [rng.standard_normal(3600) for _ in systems]
    expected = [vorlane.solve(A, b, method="factor")[0] for A, b in zip(systems, rhs)]
    results = [None, None]

    def work(i):
        results[i] = vorlane.solve(systems[i], rhs[i], method="factor")[0]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for got, want in zip(results, expected):
        assert got.tobytes() == want.tobytes()


@pytest.mark.parametrize("name", sorted(BLOCK_CASES))
def test_mixed_precision_applies_near_double_and_keeps_its_iterations(name, rng):
    A = BLOCK_CASES[name]()
    double = vorlane.Preconditioner(A, seed=3, precision="double")
    mixed = vorlane.Preconditioner(A, seed=3, precision="mixed")
    assert (double.precision, mixed.precision) == ("double", "mixed")
    assert mixed.nbytes < double.nbytes
    B = consistent_block(A, 4, rng)
    exact = double @ B
    assert np.linalg.norm(mixed @ B - exact) <= 1e-5 * np.linalg.norm(exact)
    # The preconditioner's single-column apply is the block's column, bit for bit.
    assert np.array_equal(mixed @ B[:, 1], (mixed @ B)[:, 1])
    _, with_double = vorlane.solve(A, B, M=double)
    _, with_mixed = vorlane.solve(A, B, M=mixed)
    assert with_mixed.converged and with_double.converged
    assert np.all(with_mixed.iterations <= np.ceil(1.05 * with_double.iterations) + 1)


def test_precision_survives_copies_and_is_chosen_on_load(tmp_path):
    A = problems.grid_laplacian(10, seed=2)
    M = vorlane.Preconditioner(A, precision="mixed")
    assert pickle.loads(pickle.dumps(M)).precision == "mixed"
    double = vorlane.Preconditioner(A, precision="double")
    assert pickle.loads(pickle.dumps(double)).precision == "double"
    path = tmp_path / "m.npz"
    vorlane.save(double, path)
    assert vorlane.load(path).precision == "mixed" == vorlane.Preconditioner(A).precision
    assert vorlane.load(path, precision="double").precision == "double"
    for call in (lambda: vorlane.Preconditioner(A, precision="single"), lambda: vorlane.load(path, precision=1),
                 lambda: vorlane.solve(A, np.zeros(100), precision="half")):
        with pytest.raises(ValueError, match="precision must be one of 'double', 'mixed'"):
            call()


def _same_factor(M1, M2):
    from vorlane._saved import state_of

    s1, s2 = state_of(M1), state_of(M2)
    return s1.keys() == s2.keys() and all(
        np.array_equal(s1[k], s2[k]) for k in s1 if k != "setup_seconds"
    )


def test_refactor_gives_the_new_matrix_factor_bit_for_bit(rng):
    base = problems.grid_laplacian(30, seed=1)
    M = vorlane.Preconditioner(base, seed=5, precision="mixed")
    for step in range(3):
        # Same stored entries: the grid's weights rescaled, and a ground added on the diagonal.
        A = sp.csr_matrix(base * rng.uniform(0.5, 2.0) + sp.diags(rng.uniform(0.0, 1.0, base.shape[0])))
        # The first call checks A anew; the later ones refill its arrays, canonical or not.
        M.refactor(A.tocoo() if step == 2 else A)
        fresh = vorlane.Preconditioner(A, seed=5, precision="mixed")
        assert _same_factor(M, fresh) and M.precision == "mixed"
        b = rng.standard_normal(A.shape[0])
        assert np.array_equal(M @ b, fresh @ b)


def test_refactor_refuses_another_pattern_or_bad_values_and_changes_nothing(rng):
    A = problems.grid_laplacian(12, seed=1)
    M = vorlane.Preconditioner(A)
    b = problems.zero_mean(rng.standard_normal(A.shape[0]))
    before = M @ b
    wider = sp.csr_matrix(A - 1e-3 * sp.diags(np.ones(142), 2) - 1e-3 * sp.diags(np.ones(142), -2))
    wider = sp.csr_matrix(wider + sp.diags(np.asarray(-wider.sum(axis=1)).ravel()))
    for step in range(2):
        # Before the first refactor (digest of the pattern) and after it (the kept arrays).
        with pytest.raises(ValueError, match="sparsity pattern differs"):
            M.refactor(wider)
        with pytest.raises(ValueError, match="dimension 10"):
            M.refactor(problems.path_laplacian(10))
        bad = A.copy()
        bad.data[bad.indices != np.repeat(np.arange(144), np.diff(bad.indptr))] *= -1
        with pytest.raises(ValueError, match="positive off-diagonal"):
            M.refactor(bad)
        assert np.array_equal(M @ b, before)
        M.refactor(A)
        assert np.array_equal(M @ b, before)
