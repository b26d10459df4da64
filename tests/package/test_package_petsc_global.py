"""Global mode's pieces without PETSc: ranks simulated in one process precondition like one
factor, the rows' checks name the whole matrix's rows, and the engine's rank calls refuse
what does not fit."""

import numpy as np
import pytest
import scipy.sparse as sp
import scipy.sparse.linalg as sla

from ranks import simulated_solve
from vorlane import _engine, _problems
from vorlane.petsc import Preconditioner
from vorlane.petsc._block import LocalFactor, NotSDDMError, canonical_rows, sddm_rows


def cg_iterations(A, apply):
    count = []
    b = np.random.default_rng(4).standard_normal(A.shape[0])
    if abs(A.sum()) < 1e-9:
        b -= b.mean()
    M = sla.LinearOperator(A.shape, matvec=lambda v: apply(np.ascontiguousarray(v, dtype=np.float64).ravel()))
    _, info = sla.cg(A, b, M=M, rtol=1e-8, maxiter=500, callback=lambda _: count.append(1))
    assert info == 0
    return len(count)


@pytest.mark.parametrize(
    "A",
    [
        _problems.grid((30, 30), weights="log-uniform", grounded=True, seed=2),
        _problems.grid((24, 24), seed=3),
        _problems.power_law(3000, seed=5),
    ],
    ids=["contrast", "laplacian", "power-law"],
)
@pytest.mark.parametrize("ranks", [2, 3, 7])
def test_simulated_ranks_precondition_like_one_factor(A, ranks):
    A = sp.csr_matrix(A)
    n = A.shape[0]
    ownership = [n * k // ranks for k in range(ranks + 1)]
    one = LocalFactor(A.indptr, A.indices, A.data, seed=1)

    def single(b):
        out = np.empty(n)
        one.solve_into(b, out)
        return out

    spread = cg_iterations(A, lambda b: simulated_solve(A, ownership, b, seed=1))
    assert spread <= 1.3 * cg_iterations(A, single) + 2


def test_row_checks_name_the_whole_matrix_rows():
    # Rows 10 and 11 of a 20-row matrix, held by a rank whose first row is 10.
    A = sp.lil_matrix((2, 20))
    A[0, 10], A[0, 3], A[1, 11], A[1, 12] = 1.0, -2.0, 1.0, -0.5
    rows = canonical_rows(*(lambda m: (m.indptr, m.indices, m.data))(A.tocsr()), 2, 20, "matrix")
    with pytest.raises(NotSDDMError, match="matrix row 10 is not diagonally dominant"):
        sddm_rows(rows, 10, "matrix")
    A[0, 3] = 0.5
    rows = canonical_rows(*(lambda m: (m.indptr, m.indices, m.data))(A.tocsr()), 2, 20, "matrix")
    with pytest.raises(NotSDDMError, match=r"positive off-diagonal entry \(10, 3\)"):
        sddm_rows(rows, 10, "matrix")


def test_mode_is_checked():
    assert Preconditioner().mode == "auto" and not Preconditioner().partition
    assert Preconditioner(mode="block").mode == "block"
    with pytest.raises(ValueError, match="mode must be one of auto, global, block"):
        Preconditioner(mode="spread")
    with pytest.raises(ValueError, match="threads must be an integer in 1..4096"):
        Preconditioner(threads=0)


def rank_arrays(first=0, n=4):
    A = sp.csr_matrix(_problems.grid((2, 2), seed=1))
    return first, n, A.indptr.astype(np.int64), A.indices.astype(np.uint32), A.data.astype(np.float64)


@pytest.mark.parametrize(
    "change, error",
    [
        (lambda a: (a[0], a[1], a[2].astype(np.int32), *a[3:]), TypeError),
        (lambda a: (a[0], a[1], a[2], a[3].astype(np.float64), a[4]), TypeError),
        (lambda a: (a[0], 3, *a[2:]), ValueError),  # a column past n
        (lambda a: (2, *a[1:]), ValueError),  # rows past n
        (lambda a: (a[0], a[1], a[2][:-1], *a[3:]), ValueError),  # row pointers too short
    ],
    ids=["indptr-int32", "indices-float", "column-past-n", "rows-past-n", "short-indptr"],
)
def test_rank_interior_refuses_malformed_rows(change, error):
    arrays = change(rank_arrays())
    with pytest.raises(error):
        _engine.rank_interior(*arrays, (1.0, 0.0, 0.0), 0, None)


def test_rank_calls_refuse_what_does_not_fit():
    arrays = rank_arrays()
    f = _engine.rank_interior(*arrays, tuple(_engine.rank_summary(*arrays)), 0, None)
    share = np.empty(f.share_size)
    f.share_into(share)
    with pytest.raises(ValueError, match="no interface"):
        f.solve_interface(np.zeros(f.message_size))
    with pytest.raises(ValueError, match="share sizes"):
        f.eliminate_interface(share, np.array([share.size + 1]), 1, 1.5, 256)
    with pytest.raises(RuntimeError, match="internal error"):
        f.eliminate_interface(share[:-1], np.array([share.size - 1]), 1, 1.5, 256)
    with pytest.raises(ValueError, match="must hold"):
        f.forward(np.zeros(f.work_size + 1), np.zeros(f.message_size))
    f.eliminate_interface(share, np.array([share.size]), 1, 1.5, 256)
    with pytest.raises(TypeError, match="made by rank_interior"):
        type(f)()
