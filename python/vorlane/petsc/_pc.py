"""The PETSc preconditioner context: one factor of the whole matrix over every process
(global mode), or one factor per process's diagonal block (block mode)."""

from __future__ import annotations

import atexit
import sys
from typing import Any, Optional

import numpy as np

from ._block import U64, LocalFactor, NotSDDMError, rank_seed
from ._global import GlobalFactor, SetupFailed

MODES = ("auto", "global", "block")


def _integer(text: str) -> Optional[int]:
    """Decimal, or with a 0x/0o/0b prefix; None for anything else."""
    for base in (10, 0):
        try:
            return int(text, base)
        except ValueError:
            pass
    return None


def _parse_seed(text: str, name: str) -> int:
    value = _integer(text)
    if value is None or not 0 <= value < U64:
        raise ValueError(f"{name} must be an integer in 0..2**64-1, got {text!r}")
    return value


def _parse_split(text: str, name: str) -> Optional[int]:
    if text.lower() == "none":
        return None
    value = _integer(text)
    if value is None or not 1 <= value < 2**32:
        raise ValueError(f"{name} must be an integer in 1..2**32-1 or none, got {text!r}")
    return value


def _parse_threads(text: str, name: str) -> int:
    value = _integer(text)
    if value is None or not 1 <= value <= 4096:
        raise ValueError(f"{name} must be an integer in 1..4096, got {text!r}")
    return value


def _parse_mode(text: str, name: str) -> str:
    if text not in MODES:
        raise ValueError(f"{name} must be one of {', '.join(MODES)}, got {text!r}")
    return text


class Preconditioner:
    """A petsc4py Python preconditioner context: one vorlane factor of the whole matrix.

    In global mode (the default when the PC spans several processes) the processes hold one
    approximate Cholesky factor of the whole preconditioning matrix: each eliminates the
    interior of its rows without communication, and rank 0 eliminates the interface (the
    rows with a column on another process, gathered from every process) in rounds. The
    factor is the one the parallel order (``vorlane.Rounds``) builds with the processes'
    rows as parts, so CG needs about as many iterations on any number of processes. Each
    application sends the interface values to rank 0 and back.

    In block mode (``mode="block"`` or ``-vorlane_mode block``) each process factorizes its
    diagonal block alone and applies it without communication: block Jacobi, whose
    iterations grow with the processes. A PC on one process (and the block solver of
    PCBJACOBI or PCASM, whose PCs are per process) uses the sequential factor of its
    matrix, the same as ``vorlane.solve`` with the same seed.

    Use it as ``pc.setType('python');
    pc.setPythonContext(Preconditioner())``, through the options ``-pc_type python
    -pc_python_type vorlane.petsc.Preconditioner``, or as the block solver of PCBJACOBI or
    PCASM with ``-sub_pc_type python -sub_pc_python_type vorlane.petsc.Preconditioner``.

    Every block must be a symmetric SDDM matrix (off-diagonal entries <= 0, rows diagonally
    dominant); the diagonal block of a Laplacian or SDDM operator always is. When a block
    is not, setUp fails on every process of the PC's communicator. A block solver on one
    process of a larger run cannot make its peers fail with it: it reports the reason on
    standard error and its applications return NaN, which ends the Krylov iteration on
    every process with a diverged reason.

    Parameters
    ----------
    seed : int, default 0
        Base seed, 0 to 2**64 - 1 (an int or its decimal, ``0x``, ``0o`` or ``0b`` text).
        The process of rank r in PETSc's world communicator factorizes with
        ``rank_seed(seed, r)``, so a single process uses ``seed`` itself. The option
        ``-vorlane_seed`` under the PC's prefix overrides it.
    split : int or None, default None
        Parallel copies of each edge, 1 to 2**32 - 1, or None (the text ``"none"``). The
        option ``-vorlane_split`` overrides it.
    mode : {"auto", "global", "block"}, default "auto"
        "auto" is global mode when the PC spans several processes. The option
        ``-vorlane_mode`` overrides it. In global mode the factor depends on the seed, the
        split and the rows each process owns, never on timing.
    partition : bool, default False
        Global mode only: first move the rows to the processes PT-Scotch assigns them
        (PETSc's MatPartitioning), for matrices whose row ownership has no locality, at the
        cost of a graph partitioning, a copy of the matrix and two vector scatters per
        application. The option ``-vorlane_partition`` overrides it.
    threads : int, default 1
        Global mode only: the threads rank 0 eliminates the interface on (its rounds give
        the same factor on any number). The option ``-vorlane_threads`` overrides it.

    Attributes
    ----------
    seed : int
        The base seed in use.
    split : int or None
        The split in use.
    mode : str
        The mode asked for.
    partition : bool
        Whether global mode moves the rows by PT-Scotch first.
    threads : int
        The threads of the interface's elimination on rank 0.
    local : LocalFactor or None
        This process's factorized block once ``setUp`` succeeded in block mode (or on one
        process), else None.
    spread : GlobalFactor or None
        This process's part of the whole factor once ``setUp`` succeeded in global mode,
        else None.
    failure : str or None
        Why this process's block could not be set up, else None.

    Raises
    ------
    ValueError
        ``seed`` or ``split`` out of range or not an integer.
    """

    def __init__(
        self, seed: int = 0, split: Optional[int] = None, mode: str = "auto", partition: bool = False, threads: int = 1
    ) -> None:
        self.seed = _parse_seed(str(seed), "seed")
        self.split = _parse_split(str(split), "split")
        self.mode = _parse_mode(str(mode), "mode")
        self.partition = bool(partition)
        self.threads = _parse_threads(str(threads), "threads")
        self.local: Optional[LocalFactor] = None
        self.spread: Optional[GlobalFactor] = None
        self.failure: Optional[str] = None
        self._rank = 0
        self._work = np.empty(0)

    # Configuration -----------------------------------------------------------------------

    def setFromOptions(self, pc: Any) -> None:
        """Read ``-vorlane_seed``, ``-vorlane_split``, ``-vorlane_mode``,
        ``-vorlane_partition`` and ``-vorlane_threads`` under the PC's options prefix.

        Raises
        ------
        ValueError
            An option's value is out of range or not an integer.
        """
        from petsc4py import PETSc

        options = PETSc.Options(pc.getOptionsPrefix())
        if options.hasName("vorlane_seed"):
            self.seed = _parse_seed(options.getString("vorlane_seed"), "-vorlane_seed")
        if options.hasName("vorlane_split"):
            self.split = _parse_split(options.getString("vorlane_split"), "-vorlane_split")
        if options.hasName("vorlane_mode"):
            self.mode = _parse_mode(options.getString("vorlane_mode"), "-vorlane_mode")
        if options.hasName("vorlane_partition"):
            self.partition = options.getBool("vorlane_partition")
        if options.hasName("vorlane_threads"):
            self.threads = _parse_threads(options.getString("vorlane_threads"), "-vorlane_threads")

    # Setup -------------------------------------------------------------------------------

    def setUp(self, pc: Any) -> None:
        """Check and factorize this process's diagonal block of the preconditioning matrix.

        Called by PETSc before the first application and after the operator's values change
        (which refactorizes).

        When any process of the PC's communicator fails, every one of them raises.

        Raises
        ------
        NotSDDMError
            This process's block is not a symmetric SDDM matrix (a ValueError naming the
            rank and the offending entry).
        RuntimeError
            This process's block could not be factorized for another reason, such as
            memory, or another process's block failed.
        """
        from petsc4py import PETSc

        _finalize_before_interpreter_exit()
        comm = pc.getComm()
        self._rank = PETSc.COMM_WORLD.getRank()
        self.reset(pc)
        if comm.getSize() > 1 and self.mode != "block":
            _, P = pc.getOperators()
            try:
                self.spread = GlobalFactor(
                    P, seed=self.seed, split=self.split, threads=self.threads, partition=self.partition
                )
            except SetupFailed as exc:
                self.failure = str(exc)
                raise exc.error(self.failure) from None
            return
        # Any failure (a block that is not SDDM, memory) is agreed on by every rank of the
        # PC's communicator before anyone raises, so that no rank waits for a failed peer.
        try:
            self.local = self._factorize(pc)
            self._work = np.empty(self.local.n)
        except NotSDDMError as exc:
            self.failure = f"local block of rank {self._rank} is not SDDM: {exc}"
            error: type = NotSDDMError
        except Exception as exc:
            self.failure = f"rank {self._rank} could not factorize its block: {exc!r}"
            error = RuntimeError
        if comm.getSize() > 1:
            failed_rank = _first_failed_rank(comm, self.failure is not None)
            if failed_rank is not None:
                if self.failure is None:
                    raise RuntimeError(f"rank {failed_rank} could not set up its block (see its message)")
                raise error(self.failure)
        elif self.failure is not None:
            if PETSc.COMM_WORLD.getSize() == 1:
                raise error(self.failure)
            sys.stderr.write(f"vorlane.petsc: {self.failure}\n")
            sys.stderr.flush()

    def _factorize(self, pc: Any) -> LocalFactor:
        from petsc4py import PETSc

        _, P = pc.getOperators()
        block = P.getDiagonalBlock() if P.getComm().getSize() > 1 else P
        # Other formats (symmetric storage keeps one triangle) read as a full AIJ copy; the
        # caller's matrix keeps its format.
        if block.getType() != "seqaij":
            block = block.convert("seqaij", PETSc.Mat())
        indptr, indices, data = block.getValuesCSR()
        return LocalFactor(
            indptr, indices, data, seed=rank_seed(self.seed, self._rank), split=self.split
        )

    def reset(self, pc: Any) -> None:
        """Release the factor and forget any failure (PETSc's PCReset)."""
        if self.spread is not None:
            self.spread.destroy()
        self.spread = None
        self.local = None
        self.failure = None

    # Application -------------------------------------------------------------------------

    def apply(self, pc: Any, x: Any, y: Any) -> None:
        """Write the factor's approximate solution for the local part of ``x`` into ``y``.

        ``y`` is all NaN when this process's block could not be set up. The factor is
        symmetric, so this is also ``applyTranspose``.
        """
        if self.spread is not None:
            self.spread.apply(x, y)
            return
        if self.local is None:
            y.set(np.nan)
            return
        # y is written through setArray, PETSc's own access, so that y is marked changed
        # and no norm cached for its old values survives.
        self.local.solve_into(x.getArray(readonly=True), self._work)
        y.setArray(self._work)

    applyTranspose = apply

    def matApply(self, pc: Any, X: Any, Y: Any) -> None:
        """Apply the factor to every column of the dense matrix ``X``, into ``Y``.

        petsc4py's hook for PCMatApply: several right-hand sides at once. ``Y`` is all NaN
        when this process's block could not be set up.
        """
        B = X.getDenseArray()
        out = Y.getDenseArray()
        if self.spread is not None:
            for j in range(B.shape[1]):
                column = X.getColumnVector(j)
                result = column.duplicate()
                self.spread.apply(column, result)
                out[:, j] = result.getArray()
                column.destroy()
                result.destroy()
            return
        if self.local is None:
            out[:] = np.nan
            return
        column = np.empty(B.shape[0])
        for j in range(B.shape[1]):
            self.local.solve_into(np.ascontiguousarray(B[:, j]), column)
            out[:, j] = column

    # Report ------------------------------------------------------------------------------

    def view(self, pc: Any, viewer: Any) -> None:
        """Print the seed, the split, the mode and each process's part (``-ksp_view``).

        Global mode: each process's rows and interface rows, and on rank 0 the whole
        interface and the rounds that eliminated it. Block mode: each block's size, whether
        a ground vertex was added, the elimination steps and the setup time. Or why it failed.
        """
        if self.spread is not None:
            text = self.spread.describe()
        elif self.local is not None:
            text = self.local.describe()
        elif self.failure is not None:
            text = f"failed: {self.failure}"
        else:
            text = "not set up"
        split = "none" if self.split is None else str(self.split)
        mode = "global" if self.spread is not None else "block"
        viewer.printfASCII(f"vorlane approximate Cholesky, seed {self.seed}, split {split}, {mode} mode\n")
        if pc.getComm().getSize() == 1:
            viewer.printfASCII(f"  {text}\n")
            return
        viewer.pushASCIISynchronized()
        viewer.printfASCIISynchronized(f"  [rank {self._rank}] {text}\n")
        viewer.flush()
        viewer.popASCIISynchronized()


_exit_hook_registered = False


def _finalize_before_interpreter_exit() -> None:
    """Finalize PETSc from an interpreter exit hook, while Python still runs.

    PETSc otherwise finalizes after the interpreter has shut down and then destroys the
    solvers still alive, whose Python preconditioner contexts it can no longer call back
    into: the process crashed at exit. Objects released after this hook are left alone.
    """
    global _exit_hook_registered
    if _exit_hook_registered:
        return
    from petsc4py import PETSc

    def finalize() -> None:
        if PETSc.Sys.isInitialized() and not PETSc.Sys.isFinalized():
            PETSc._finalize()

    atexit.register(finalize)
    _exit_hook_registered = True


def _first_failed_rank(comm: Any, failed: bool) -> Optional[int]:
    """Collectively: the lowest rank of comm whose flag is set, or None."""
    from petsc4py import PETSc

    flags = PETSc.Vec().createMPI((1, PETSc.DECIDE), comm=comm)
    flags.set(1.0 if failed else 0.0)
    index, value = flags.max()
    flags.destroy()
    return int(index) if value > 0 else None
