"""The solvers compared by the benchmark, each to a relative residual ||b - A x|| / ||b||.

A solver is a ``setup(A)`` returning a preconditioner state, and a ``solve(state, A, b,
tol, deadline)`` returning ``(x, iterations, status)``.  Status is "converged",
"capped" (the deadline passed), "maxiter" or "breakdown"; the caller computes the true
residual itself, so every solver is judged by the same definition.

All CG variants but PyAMG's share one preconditioned CG loop (``pcg``), so their
iteration costs differ only by the preconditioner.  PyAMG runs its own CG
(``accel='cg'``), as a user would call it.
"""

from __future__ import annotations

import subprocess
import sys
import time

import numpy as np
import scipy.sparse as sp
import scipy.sparse.linalg as spla

MAXITER = 200_000
TRUE_RESIDUAL_RESTARTS = 5


class DeadlineReached(Exception):
    pass


def pcg(A, b, apply_m, tol, deadline, maxiter=MAXITER):
    """Preconditioned CG from x0 = 0, stopping when ||b - A x|| <= tol * ||b||.

    The recursive residual decides when to stop; the true residual is then checked, and
    if drift left it above the tolerance the loop restarts from the true residual (at
    most TRUE_RESIDUAL_RESTARTS times).  ``deadline`` is a ``time.perf_counter`` value.
    """
    x = np.zeros_like(b)
    bnorm = np.linalg.norm(b)
    if bnorm == 0.0:
        return x, 0, "converged"
    target = tol * bnorm
    r = b.copy()
    z = apply_m(r) if apply_m is not None else r
    p = z.copy()
    rz = float(np.dot(r, z))
    restarts = 0
    it = 0
    while it < maxiter:
        q = A @ p
        pq = float(np.dot(p, q))
        if not (pq > 0.0) or not np.isfinite(pq) or not np.isfinite(rz):
            return x, it, "breakdown"
        alpha = rz / pq
        x += alpha * p
        r -= alpha * q
        it += 1
        if np.linalg.norm(r) <= target:
            true_r = b - A @ x
            if np.linalg.norm(true_r) <= target:
                return x, it, "converged"
            restarts += 1
            if restarts > TRUE_RESIDUAL_RESTARTS:
                return x, it, "breakdown"
            r = true_r
            z = apply_m(r) if apply_m is not None else r
            p = z.copy()
            rz = float(np.dot(r, z))
            continue
        if time.perf_counter() > deadline:
            return x, it, "capped"
        z = apply_m(r) if apply_m is not None else r
        rz_new = float(np.dot(r, z))
        beta = rz_new / rz
        rz = rz_new
        p *= beta
        p += z
    return x, it, "maxiter"


# ---------------------------------------------------------------------------------------


class Solver:
    name = "?"
    label = "?"
    # Strong solvers (the reference and the library under test) get the long time cap;
    # the others the short one, since they are expected to be far off the pace.
    strong = False

    def available(self):
        """None when usable, else the reason it is not."""
        return None

    def setup(self, A):
        raise NotImplementedError

    def solve(self, state, A, b, tol, deadline):
        return pcg(A, b, self.preconditioner(state), tol, deadline)

    def preconditioner(self, state):
        return None

    def info(self, state, A):
        """Extra facts about the preconditioner (dict of short strings)."""
        return {}


class PlainCG(Solver):
    name = "cg"
    label = "CG"

    def setup(self, A):
        return None


class JacobiCG(Solver):
    name = "jacobi-cg"
    label = "Jacobi-CG"

    def setup(self, A):
        d = A.diagonal()
        with np.errstate(divide="ignore"):
            inv = np.where(d > 0, 1.0 / d, 0.0)
        return inv

    def preconditioner(self, inv):
        return lambda r: r * inv


class SpiluCG(Solver):
    name = "spilu-cg"
    label = "spilu-CG"

    def setup(self, A):
        # SciPy's default dropping (drop_tol=1e-4, fill_factor=10), with the settings one
        # picks for a symmetric matrix: an ordering of A + A^T and no row pivoting.
        # (With SuperLU's defaults, COLAMD and partial pivoting, the incomplete factor is
        # far from symmetric and CG stalls even on the unit-weight grids.)
        return spla.spilu(sp.csc_matrix(A), permc_spec="MMD_AT_PLUS_A", diag_pivot_thresh=0.0)

    def preconditioner(self, ilu):
        return ilu.solve

    def info(self, ilu, A):
        fill = ilu.L.nnz + ilu.U.nnz
        return {"precond_nnz": fill, "nnz_ratio": fill / A.nnz}


class PyamgSA(Solver):
    name = "pyamg-sa"
    label = "PyAMG-SA"
    strong = True

    def available(self):
        try:
            import pyamg  # noqa: F401
        except ImportError as e:
            return f"pyamg not installed ({e})"
        return None

    def setup(self, A):
        import pyamg

        # PyAMG's spectral-radius estimates start from np.random; seed it so that the
        # hierarchy, hence the iteration count, is the same in every run.
        np.random.seed(0)
        return pyamg.smoothed_aggregation_solver(A)

    def solve(self, ml, A, b, tol, deadline):
        import warnings

        residuals = []
        last = {}

        def keep(xk):
            last["x"] = xk
            if time.perf_counter() > deadline:
                raise DeadlineReached

        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                x = ml.solve(b, tol=tol, accel="cg", maxiter=MAXITER, residuals=residuals, callback=keep)
            except DeadlineReached:
                x = last.get("x", np.zeros_like(b))
                return np.array(x, copy=True), max(len(residuals) - 1, 0), "capped"
        iters = max(len(residuals) - 1, 0)
        if residuals and residuals[-1] <= tol * np.linalg.norm(b):
            return x, iters, "converged"
        for w in caught:
            text = " ".join(str(w.message).split())
            if "Indefinite" in text:
                text = text.replace(", aborting", "").replace(" in CG", "")
                return x, iters, "breakdown: pyamg CG: " + text.lower()
        return x, iters, "maxiter"

    def info(self, ml, A):
        levels = len(ml.levels)
        return {
            "levels": levels,
            "operator_complexity": ml.operator_complexity(),
            "precond_nnz": sum(lv.A.nnz for lv in ml.levels[1:])
            + sum(lv.P.nnz + lv.R.nnz for lv in ml.levels[:-1]),
        }


class VorlaneCG(Solver):
    strong = True

    def __init__(self, split=None):
        self.split = split
        self.name = "vorlane" if split is None else f"vorlane-split{split}"
        self.label = "vorlane-CG" if split is None else f"vorlane-CG split={split}"

    def available(self):
        try:
            import _vorlane  # noqa: F401
        except ImportError as e:
            return f"_vorlane not importable ({e})"
        return None

    def setup(self, A):
        import _vorlane

        config = _vorlane.Config(seed=0, split=self.split)
        return _vorlane.factorize(A, config)

    def preconditioner(self, factor):
        return factor.solve

    def info(self, factor, A):
        return {"n_steps": factor.n_steps, "augmented": factor.n != factor.shape[0]}


class VorlaneSolve(Solver):
    """vorlane.solve as a user calls it: checks, the adaptive start, the factorization and
    the engine's iteration all count as its solve time (setup is empty)."""

    strong = True
    name = "vorlane-solve"
    label = "vorlane.solve"

    def available(self):
        try:
            import vorlane  # noqa: F401
        except ImportError as e:
            return f"vorlane not importable ({e})"
        return None

    def setup(self, A):
        return None

    def solve(self, state, A, b, tol, deadline):
        import vorlane

        x, info = vorlane.solve(A, b, rtol=tol, maxiter=MAXITER)
        return x, info.iterations, "converged" if info.converged else "maxiter"

    def info(self, state, A):
        return {}


class PetscCG(Solver):
    """PETSc's CG (KSP "cg") with one of its preconditioners, on one process, through
    petsc4py.  Setup includes copying A into a PETSc matrix, as a user's code would.  CG
    stops on the unpreconditioned residual, ||r|| <= tol * ||b||, the same test as the
    others."""

    strong = True

    def __init__(self, name, label, pc_type, options):
        self.name = name
        self.label = label
        self.pc_type = pc_type
        self.options = options

    def available(self):
        # Asked in a separate interpreter: importing PETSc starts MPI, which must not happen
        # in the parent of the forked children that run the solves.
        probe = ("import petsc4py; petsc4py.init([]); from petsc4py import PETSc; "
                 "print(PETSc.Sys.hasExternalPackage('hypre'))")
        try:
            out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=120)
        except (OSError, subprocess.TimeoutExpired) as e:
            return f"petsc4py probe failed ({e})"
        if out.returncode != 0:
            last = (out.stderr.strip().splitlines() or ["unknown error"])[-1]
            return f"petsc4py not importable ({last}); run under the python printed by tools/petsc-env.sh"
        if self.pc_type == "hypre" and out.stdout.strip() != "True":
            return "this PETSc was built without hypre"
        return None

    def setup(self, A):
        from petsc4py import PETSc

        A = sp.csr_matrix(A)
        index = PETSc.IntType
        mat = PETSc.Mat().createAIJ(size=A.shape, csr=(A.indptr.astype(index), A.indices.astype(index),
                                                       np.ascontiguousarray(A.data, dtype=PETSc.ScalarType)),
                                    comm=PETSc.COMM_SELF)
        mat.assemble()
        ksp = PETSc.KSP().create(comm=PETSc.COMM_SELF)
        prefix = self.name.replace("-", "_") + "_"
        ksp.setOptionsPrefix(prefix)
        opts = PETSc.Options()
        for key, value in self.options.items():
            opts[prefix + key] = value
        ksp.setOperators(mat)
        ksp.setType("cg")
        ksp.getPC().setType(self.pc_type)
        ksp.setNormType(PETSc.KSP.NormType.UNPRECONDITIONED)
        ksp.setFromOptions()
        ksp.setUp()
        return ksp, mat

    def solve(self, state, A, b, tol, deadline):
        from petsc4py import PETSc

        ksp, mat = state
        ksp.setTolerances(rtol=tol, atol=0.0, max_it=MAXITER)
        ksp.setInitialGuessNonzero(False)

        def monitor(_ksp, _it, _rnorm):
            if time.perf_counter() > deadline:
                raise DeadlineReached

        ksp.setMonitor(monitor)
        rhs = mat.createVecRight()
        rhs.setArray(b)
        sol = mat.createVecLeft()
        try:
            ksp.solve(rhs, sol)
        except (DeadlineReached, PETSc.Error):
            if time.perf_counter() > deadline:
                return sol.getArray().copy(), ksp.getIterationNumber(), "capped"
            raise
        finally:
            ksp.cancelMonitor()
        reason = ksp.getConvergedReason()
        status = "converged" if reason > 0 else ("maxiter" if reason == -3 else f"breakdown: KSP reason {reason}")
        return sol.getArray().copy(), ksp.getIterationNumber(), status

    def info(self, state, A):
        ksp, _ = state
        return {"pc": ksp.getPC().getType()}


def petsc_solvers():
    return [
        PetscCG("hypre-amg-cg", "hypre BoomerAMG-CG", "hypre", {"pc_hypre_type": "boomeramg"}),
        PetscCG("petsc-icc-cg", "PETSc ICC(0)-CG", "icc", {"pc_factor_levels": "0"}),
    ]


def all_solvers():
    return [PlainCG(), JacobiCG(), SpiluCG(), PyamgSA(), VorlaneCG(), VorlaneCG(split=2), VorlaneSolve()] + petsc_solvers()
