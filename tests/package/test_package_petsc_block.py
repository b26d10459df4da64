"""The per-rank block of vorlane.petsc without PETSc: refusals of non-SDDM blocks, the
inverse's scale at extreme magnitudes, per-rank seeds, and the import without petsc4py."""

import subprocess
import sys

import numpy as np
import pytest
import scipy.sparse as sp

import problems
from vorlane.petsc import rank_seed
from vorlane.petsc._block import LocalFactor, NotSDDMError


def local(A, **kwargs):
    A = sp.csr_matrix(A)
    return LocalFactor(A.indptr, A.indices, A.data, **kwargs)


def grounded_path(n, magnitude):
    """A grounded path: a tree, so the factor is exact and its solve is the inverse."""
    A = problems.path_laplacian(n, seed=3) + sp.diags(np.r_[1.0, np.zeros(n - 1)])
    return sp.csr_matrix(A * magnitude)


@pytest.mark.parametrize("magnitude", [1e-9, 1.0, 1e9])
def test_apply_is_the_inverse_at_any_scale(magnitude):
    A = grounded_path(40, magnitude)
    b = np.random.default_rng(0).standard_normal(40)
    out = np.empty(40)
    block = local(A)
    block.solve_into(b, out)
    assert block.grounded
    np.testing.assert_allclose(A @ out, b, rtol=1e-8, atol=1e-8 * np.abs(b).max())


def test_laplacian_block_applies_a_pseudo_inverse():
    A = problems.path_laplacian(30, seed=1)
    b = np.random.default_rng(2).standard_normal(30)
    b -= b.mean()
    out = np.empty(30)
    block = local(A)
    block.solve_into(b, out)
    assert not block.grounded
    residual = A @ out - b
    assert np.linalg.norm(residual) <= 1e-8 * np.linalg.norm(b)


def with_entry(i, j, value, symmetric=True):
    A = sp.lil_matrix(grounded_path(6, 1.0))
    A[i, j] = value
    if symmetric:
        A[j, i] = value
    return A


@pytest.mark.parametrize(
    "A, fragment",
    [
        (with_entry(1, 3, 0.25), "positive off-diagonal entry"),
        (with_entry(1, 3, -0.25, symmetric=False), "not symmetric"),
        (with_entry(2, 2, 0.5), "not diagonally dominant"),
        (with_entry(2, 2, np.nan), "non-finite"),
    ],
    ids=["positive", "asymmetric", "weak", "nan"],
)
def test_non_sddm_block_is_refused(A, fragment):
    with pytest.raises(NotSDDMError, match=fragment):
        local(A)


def test_empty_block():
    block = LocalFactor(np.zeros(1, dtype=np.int32), np.zeros(0, np.int32), np.zeros(0))
    out = np.empty(0)
    block.solve_into(np.empty(0), out)
    assert block.n == 0


def test_rank_seeds_keep_rank_zero_and_stay_distinct():
    assert rank_seed(5, 0) == 5
    seeds = {rank_seed(2**64 - 1, r) for r in range(4096)}
    assert len(seeds) == 4096 and all(0 <= s < 2**64 for s in seeds)


def test_package_imports_without_petsc4py():
    code = (
        "import sys; sys.modules['petsc4py'] = None; import vorlane.petsc; "
        "vorlane.petsc.Preconditioner(seed=3, split=2)"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.parametrize(
    "kwargs, match",
    [
        ({"seed": -1}, "seed must be"),
        ({"seed": 2**64}, "seed must be"),
        ({"seed": "x"}, "seed must be"),
        ({"split": 0}, "split must be"),
        ({"split": 2**32}, "split must be"),
    ],
)
def test_preconditioner_refuses_out_of_range_settings(kwargs, match):
    from vorlane.petsc import Preconditioner

    with pytest.raises(ValueError, match=match):
        Preconditioner(**kwargs)


def test_preconditioner_reads_decimal_and_prefixed_settings():
    from vorlane.petsc import Preconditioner

    context = Preconditioner(seed="0x10", split="010")
    assert (context.seed, context.split) == (16, 10)
    assert Preconditioner(seed=2**64 - 1, split=None).split is None
