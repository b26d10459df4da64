"""vorlane.Preconditioner: a checked factor of A, built once and reused across solves."""

from __future__ import annotations

import threading
import time
from typing import Any, Optional, Tuple, Union

import numpy as np
from scipy.sparse.linalg import LinearOperator

from ._checks import (
    PRECISIONS,
    REAL_DTYPES,
    check_matrix,
    check_precision,
    check_renumber,
    check_seed,
    check_split,
    refill_matrix,
    renumber_mode,
)
from ._order import Rounds, check_order, check_threads, engine_order, order_name

_PRECISION_NAMES = {number: name for name, number in PRECISIONS.items()}


class Preconditioner(LinearOperator):
    """An approximate inverse of a Laplacian or SDDM matrix A, as a SciPy LinearOperator.

    ``Preconditioner(A, seed=0, split=None, check=True, renumber="auto", precision="mixed",
    order="sequential", threads=None)``
    checks A as
    :func:`vorlane.solve` does (``check=False`` keeps only the structure and finiteness
    checks) and factorizes it, without holding the interpreter lock. ``matvec``/``matmat``
    (and ``@``) apply the factor to vectors of shape ``(n,)`` or ``(n, 1)`` and to blocks of
    shape ``(n, k)`` of any real dtype (complex input is applied to its real and imaginary
    parts). Pass it as ``M=`` to :func:`vorlane.solve` (for A or a nearby matrix of the same
    size) or to SciPy's solvers.

    Factorization runs about twice as fast when neighbouring vertices have nearby numbers.
    With ``renumber="auto"`` a matrix whose numbering lacks that locality (more than half of
    its off-diagonal entries join vertices over 4096 apart) is factorized in a reverse
    Cuthill-McKee numbering, when that numbering at least halves those far entries; ``True``
    always renumbers, ``False`` never does. The factor then belongs to the renumbered matrix
    P A P^T; its vertex numbers are mapped back to A's, so it applies P^T F^-1 P to vectors
    in A's numbering, here and in :func:`vorlane.solve`'s iteration, with no permutation
    per application. The same A, seed and split give the same factor, bit for bit.

    ``order="rounds"`` (or a :class:`vorlane.Rounds` with its options) factorizes in the
    parallel order on ``threads`` threads (None: every core this process may run on): the
    same factor for any number of threads, an approximate Cholesky factor of A as good as
    the sequential order's, but not the same bits. ``order`` is kept as an attribute.

    Attributes: ``n`` (dimension), ``nnz`` (entries of the factor), ``nbytes`` (memory it
    holds), ``setup_seconds`` (checks, renumbering and factorization), ``seed``, ``split``,
    ``renumbered`` (whether the factor is that of the renumbered matrix), ``renumbering``
    (then the numbering as an int64 array, ``renumbering[new] = old``, else None) and
    ``precision``.

    Applies use a copy of the factor laid out for them: each column's chain of fractions
    unrolled into independent multipliers, vertices in elimination order. ``precision``
    says how they are stored: ``"mixed"`` (the default) in single precision (a third less
    memory traffic per apply; vectors stay in double precision), which perturbs the
    preconditioner by about 1e-6 relative, leaves it symmetric and positive definite and,
    on every benchmark problem, changes no iteration count; ``"double"`` in double
    precision, agreeing with ``_vorlane``'s ``Factor.solve`` to rounding (about 1e-13
    relative, not bit for bit).

    It pickles and copies (``copy.deepcopy`` and unpickling check the factor's arrays again);
    :func:`vorlane.save` and :func:`vorlane.load` keep it in an ``.npz`` file, renumbering
    included. Solves with a copy or a loaded preconditioner are bit-for-bit those of the
    original.
    """

    def __init__(
        self,
        A: Any,
        *,
        seed: int = 0,
        split: Optional[int] = None,
        check: bool = True,
        renumber: Union[bool, str] = "auto",
        precision: str = "mixed",
        order: Union[str, Rounds] = "sequential",
        threads: Optional[int] = None,
    ) -> None:
        seed = check_seed(seed)
        split = check_split(split)
        renumber = check_renumber(renumber)
        precision = check_precision(precision)
        rounds = check_order(order)
        threads = check_threads(threads)
        start = time.perf_counter()
        system = check_matrix(A, values=bool(check))
        self._build(system, seed, split, renumber, precision, start, rounds, threads)

    @classmethod
    def _from_system(
        cls,
        system: Any,
        *,
        seed: int = 0,
        split: Optional[int] = None,
        renumber: Union[bool, str] = "auto",
        precision: str = "mixed",
    ) -> "Preconditioner":
        """A Preconditioner of a matrix the engine has checked already."""
        self = cls.__new__(cls)
        self._build(
            system, check_seed(seed), check_split(split), check_renumber(renumber), check_precision(precision),
            time.perf_counter(),
        )
        return self

    @classmethod
    def _from_factor(
        cls, factor: Any, *, scale: float, seed: int, split: Optional[int], setup_seconds: float
    ) -> "Preconditioner":
        """A Preconditioner around a finished engine factor (a restored one, or a shared one)."""
        self = cls.__new__(cls)
        self._adopt(factor, scale, seed, split, setup_seconds)
        return self

    def _build(
        self,
        system: Any,
        seed: int,
        split: Optional[int],
        renumber: Union[bool, str],
        precision: str,
        start: float,
        rounds: Optional[Rounds] = None,
        threads: int = 1,
    ) -> None:
        factor = system.factorize(
            seed, split, renumber_mode(renumber), PRECISIONS[precision], engine_order(rounds, threads)
        )
        self._adopt(factor, system.factor_scale, seed, split, time.perf_counter() - start)
        self._renumber = renumber
        self._pattern = int(system.pattern)
        self.order = order_name(rounds)
        self._threads = threads

    def _adopt(self, factor: Any, scale: float, seed: int, split: Optional[int], setup_seconds: float) -> None:
        # The whole state is the factor (with the renumbering it was built in, if any), the
        # scale of the matrix it was built for (the engine factorizes scale * A) and the
        # settings it was built with.
        self.seed = seed
        self.split = split
        self._factor = factor
        self._scale = scale
        self.setup_seconds = setup_seconds
        # What refactor() needs: the renumber option, the digest of the pattern (unknown for a
        # restored factor) and, from its first call on, the checked matrix it refills.
        self._renumber: Union[bool, str] = "auto"
        self._pattern: Optional[int] = None
        self._system: Any = None
        self._refactoring = threading.Lock()
        # The elimination order refactor() uses; a restored factor's is unknown and taken
        # to be the sequential one.
        self.order: Union[str, Rounds] = "sequential"
        self._threads = 1
        n = int(factor.n)
        LinearOperator.__init__(self, dtype=np.dtype(np.float64), shape=(n, n))

    def refactor(self, A: Any, *, check: bool = True) -> None:
        """Factorize A in place of the matrix this preconditioner was built for.

        For a sequence of matrices with one sparsity pattern (time steps, Newton iterations,
        parameter sweeps): A must have the stored entries (after sorting and merging
        duplicates) of the matrix given to the constructor. The result is the factor
        ``Preconditioner(A, seed=self.seed, split=self.split, ...)`` would build, bit for
        bit, with the same renumbering rule and precision. From the second call on, A is
        checked and copied into the arrays of the previous one instead of new ones.

        Raises ValueError, leaving the preconditioner as it was, when A has another
        dimension or pattern or is refused by the checks (``check`` as for the constructor).
        """
        start = time.perf_counter()
        with self._refactoring:
            system, self._system = self._system, None
            if system is None:
                system = check_matrix(A, values=bool(check))
                if int(system.n) != self.n:
                    raise ValueError(
                        f"A has dimension {system.n}, but the preconditioner was built for dimension {self.n}"
                    )
                if self._pattern is not None and int(system.pattern) != self._pattern:
                    raise ValueError(
                        "A's sparsity pattern differs from that of the matrix the preconditioner was built "
                        "for; build a new vorlane.Preconditioner for it"
                    )
            else:
                refill_matrix(system, A, values=bool(check))
            rounds = check_order(self.order)
            factor = system.factorize(
                self.seed, self.split, renumber_mode(self._renumber), PRECISIONS[self.precision],
                engine_order(rounds, self._threads),
            )
            self._system = system
            self._pattern = int(system.pattern)
            self._factor = factor
            self._scale = float(system.factor_scale)
            self.setup_seconds = time.perf_counter() - start

    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...]]:
        # Pickles carry the factor's arrays and settings; unpickling checks them all again.
        from ._saved import state_of

        return (_unpickle, (state_of(self), self.precision, self.order))

    def __copy__(self) -> "Preconditioner":
        # A finished factor never changes (solves share it safely), so copies share it.
        twin = Preconditioner._from_factor(
            self._factor, scale=self._scale, seed=self.seed, split=self.split, setup_seconds=self.setup_seconds
        )
        twin.order = self.order
        return twin

    @property
    def n(self) -> int:
        """The dimension of A."""
        return int(self._factor.n)

    @property
    def nnz(self) -> int:
        """Entries of the factor."""
        return int(self._factor.nnz)

    @property
    def nbytes(self) -> int:
        """Memory the factor holds, in bytes."""
        return int(self._factor.nbytes)

    @property
    def precision(self) -> str:
        """How the factor's applies store it: ``"double"`` or ``"mixed"``."""
        return _PRECISION_NAMES[int(self._factor.precision)]

    @property
    def renumbered(self) -> bool:
        """Whether the factor is that of the renumbered matrix P A P^T."""
        return bool(self._factor.renumbered)

    @property
    def renumbering(self) -> Optional[np.ndarray]:
        """The numbering the factor was built in (int64, ``renumbering[new] = old``), or None."""
        if not self.renumbered:
            return None
        order = np.empty(self.n, np.dtype("<u4"))
        self._factor.renumbering_into(order)
        return order.astype(np.int64)

    def __repr__(self) -> str:
        return (
            f"<vorlane.Preconditioner n={self.n} nnz={self.nnz} nbytes={self.nbytes} "
            f"setup_seconds={self.setup_seconds:.3g} seed={self.seed} split={self.split} "
            f"renumbered={self.renumbered} precision={self.precision!r}>"
        )

    def _apply(self, X: np.ndarray) -> np.ndarray:
        """The factor solve of every column of a real (n, k) block."""
        block = np.ascontiguousarray(X, dtype=np.float64)
        out = np.empty(block.shape)
        if block.shape[1] > 0:
            # The factor solves with scale * A; scaled back, it approximates A's inverse.
            self._factor.apply(block, out, block.shape[1], self._scale, self._threads)
        return out

    def _matmat(self, X: Any) -> np.ndarray:
        X = np.asarray(X)
        if X.dtype.kind == "c":
            return self._apply(X.real) + 1j * self._apply(X.imag)
        if X.dtype.kind not in "fiub":
            raise TypeError(
                f"cannot apply the preconditioner to an array of dtype {X.dtype}: expected a real "
                f"({REAL_DTYPES} or bool) or complex array"
            )
        return self._apply(X)

    def _matvec(self, x: Any) -> np.ndarray:
        x = np.asarray(x)
        return self._matmat(x.reshape(self.n, 1)).reshape(x.shape)

    def _rmatvec(self, x: Any) -> np.ndarray:
        return self._matvec(x)

    def _rmatmat(self, X: Any) -> np.ndarray:
        return self._matmat(X)

    def _adjoint(self) -> "Preconditioner":
        return self


def _unpickle(state: Any, precision: str, order: Union[str, Rounds] = "sequential") -> Preconditioner:
    """A pickled Preconditioner, its arrays checked again, with the order refactor() uses."""
    from ._saved import from_state

    preconditioner = from_state(state, precision)
    preconditioner.order = order_name(check_order(order))
    return preconditioner
