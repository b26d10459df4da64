"""Global mode: one factor of the whole matrix, spread over the processes that own its rows.

Each process eliminates its interior (its rows whose columns it all owns) without
communication; the interface (the rows with a column on another process) is gathered to
rank 0 and eliminated there in rounds. An apply runs the interiors' forward passes, sends
each process's interface values to rank 0, solves the interface there, sends the values
back and runs the interiors' backward passes: per apply, communication in proportion to the
interface, not to the rows.
"""

from __future__ import annotations

import time
from typing import Any, Optional

import numpy as np

from .. import _engine
from ._block import NotSDDMError, canonical_rows, check_symmetric_rows, sddm_rows


class SetupFailed(Exception):
    """A process failed a collective step; carries its message and the exception class."""

    def __init__(self, error: type, message: str) -> None:
        super().__init__(message)
        self.error = error


def _agree(comm: Any, failure: Optional[tuple]) -> None:
    """Collectively: raise on every process when any failed, with the lowest failing
    process's exception class and message (which names its rank)."""
    from ._pc import _first_failed_rank

    failed = _first_failed_rank(comm, failure is not None)
    if failed is None:
        return
    # The failing rank's exception class and message, as one text "Class:message".
    text = f"{failure[0].__name__}:{failure[1]}" if failure is not None else ""
    kind, _, message = _broadcast_text(comm, text, failed).partition(":")
    raise SetupFailed(NotSDDMError if kind == NotSDDMError.__name__ else RuntimeError, message)


def _broadcast_text(comm: Any, text: str, root: int) -> str:
    """Collectively: root's text on every process."""
    codes = np.frombuffer(text.encode(), dtype=np.uint8) if comm.getRank() == root else np.empty(0, np.uint8)
    return bytes(_all_gathered(comm, codes).astype(np.uint8)).decode(errors="replace")


def _largest(comm: Any, values: np.ndarray) -> np.ndarray:
    """Collectively: the largest of each value over the processes."""
    return _all_gathered(comm, np.asarray(values, dtype=np.float64)).reshape(comm.getSize(), -1).max(axis=0)


def _gather(comm: Any, values: np.ndarray):
    """Collectively: every process's values concatenated in rank order, with their lengths,
    on rank 0 (None elsewhere)."""
    from petsc4py import PETSc

    pieces = []
    for array in (np.array([values.size], dtype=np.float64), values):
        vec = PETSc.Vec().createMPI((array.size, PETSc.DECIDE), comm=comm)
        vec.getArray()[:] = array
        scatter, whole = PETSc.Scatter.toZero(vec)
        scatter.scatter(vec, whole)
        pieces.append(whole.getArray().copy() if comm.getRank() == 0 else None)
        for obj in (scatter, whole, vec):
            obj.destroy()
    if comm.getRank() != 0:
        return None, None
    return pieces[1], pieces[0].astype(np.int64)


class GlobalFactor:
    """This process's part of one factor of the whole preconditioning matrix P.

    Collective over P's communicator; raises SetupFailed on every process when any of them
    fails (its rows are not SDDM, the matrix is not symmetric, memory), naming the process
    and, for rows, the entry.
    """

    def __init__(
        self, P: Any, *, seed: int, split: Optional[int], threads: int = 1, partition: bool = False
    ) -> None:
        start = time.perf_counter()
        comm = P.getComm()
        self.moved = _Moved(P) if partition else None
        self.partition_seconds = time.perf_counter() - start
        if self.moved is not None:
            P = self.moved.matrix
        self._comm = comm
        self.rank = comm.getRank()
        self.n = P.getSize()[0]
        self.first, end = P.getOwnershipRange()
        self.rows = end - self.first
        self.seed, self.split = seed, split
        matrix = None
        try:
            matrix, magnitude = self._checked_rows(P)
            local_biggest = float(magnitude.max()) if magnitude.size else 0.0
            failure = None
        except NotSDDMError as exc:
            failure = (NotSDDMError, f"rows of rank {self.rank} are not SDDM: {exc}")
            local_biggest = 0.0
        _agree(comm, failure)
        biggest = _largest(comm, np.array([local_biggest]))[0]
        self.scale = 1.0 / biggest if biggest > 0 else 1.0
        matrix = matrix * self.scale
        matrix.sort_indices()
        arrays = (
            self.first,
            self.n,
            matrix.indptr.astype(np.int64),
            matrix.indices.astype(np.uint32),
            matrix.data.astype(np.float64),
        )
        combined = tuple(_largest(comm, np.array(_engine.rank_summary(*arrays))))
        self._factor = None
        failure = None
        try:
            self._factor = _engine.rank_interior(*arrays, combined, seed, split)
        except Exception as exc:  # memory, or rows the core refuses
            failure = (RuntimeError, f"rank {self.rank} could not eliminate its interior: {exc}")
        _agree(comm, failure)
        share = np.empty(self._factor.share_size)
        self._factor.share_into(share)
        shares, sizes = _gather(comm, share)
        failure = None
        if self.rank == 0:
            try:
                self._factor.eliminate_interface(shares, sizes, threads, 1.5, 256)
            except Exception as exc:
                failure = (RuntimeError, f"rank 0 could not eliminate the interface: {exc}")
        _agree(comm, failure)
        self.augmented = self._factor.augmented
        self.interface_size = self._factor.interface_size
        self.interface_total = self._factor.interface_total if self.rank == 0 else None
        self.levels = self._factor.interface_levels if self.rank == 0 else None
        self._setup_scatter()
        self.setup_seconds = time.perf_counter() - start

    def _checked_rows(self, P: Any):
        """This process's rows, checked and rebuilt for the factorization (unscaled), and
        their magnitudes. Symmetry is checked against the rows of P's transpose."""
        from petsc4py import PETSc

        local = P if P.getType() in ("mpiaij", "seqaij") else P.convert("aij", PETSc.Mat())
        rows = canonical_rows(*local.getValuesCSR(), self.rows, self.n, "matrix")
        transpose = PETSc.Mat()
        local.transpose(transpose)
        mirrored = canonical_rows(*transpose.getValuesCSR(), self.rows, self.n, "matrix")
        transpose.destroy()
        check_symmetric_rows(rows, mirrored, self.first, "matrix")
        matrix, magnitude, _ = sddm_rows(rows, self.first, "matrix")
        return matrix, magnitude

    def _setup_scatter(self) -> None:
        from petsc4py import PETSc

        self._work = np.zeros(self._factor.work_size)
        self._out = np.empty(self.rows)
        self._messages = PETSc.Vec().createMPI((self._factor.message_size, PETSc.DECIDE), comm=self._comm)
        self._to_zero, self._gathered = PETSc.Scatter.toZero(self._messages)

    def apply(self, x: Any, y: Any) -> None:
        """Collectively: y = the factor's solve of x (PETSc vectors laid out as the
        preconditioning matrix's rows)."""
        if self.moved is not None:
            x = self.moved.inward(x)
        self.solve_into(x.getArray(readonly=True), self._out)
        target = self.moved.y if self.moved is not None else y
        # Written through setArray, PETSc's own access, so that no norm cached for the old
        # values survives.
        target.setArray(self._out)
        if not self.augmented:
            # Without a ground the solve's answer has zero mean over every process.
            target.shift(-target.sum() / self.n)
        if self.moved is not None:
            self.moved.outward(y)

    def solve_into(self, b: np.ndarray, out: np.ndarray) -> None:
        """Collectively: out = this process's rows of the factor's solve of b (each process
        passes its rows of b)."""
        from petsc4py import PETSc

        self._work[: self.rows] = b
        message = self._messages.getArray()
        self._factor.forward(self._work, message)
        del message
        self._to_zero.scatter(self._messages, self._gathered, PETSc.InsertMode.INSERT, PETSc.ScatterMode.FORWARD)
        if self.rank == 0:
            gathered = self._gathered.getArray()
            self._factor.solve_interface(gathered)
            del gathered
        self._to_zero.scatter(self._gathered, self._messages, PETSc.InsertMode.INSERT, PETSc.ScatterMode.REVERSE)
        self._factor.backward(self._messages.getArray(readonly=True), self._work)
        np.multiply(self._work[: self.rows], self.scale, out=out)

    def describe(self) -> str:
        split = "none" if self.split is None else str(self.split)
        text = (
            f"rows {self.rows}, interface rows {self.interface_size}, seed {self.seed}, split {split}, "
            f"setup {self.setup_seconds:.3g} s"
        )
        if self.moved is not None:
            text += f", rows moved by PT-Scotch ({self.partition_seconds:.3g} s)"
        if self.rank == 0:
            text += f"; whole interface {self.interface_total} vertices eliminated in {self.levels} rounds on rank 0"
        return text

    def destroy(self) -> None:
        for obj in (self._to_zero, self._gathered, self._messages):
            obj.destroy()
        if self.moved is not None:
            self.moved.destroy()


class _Moved:
    """The preconditioning matrix with its rows moved to the processes PT-Scotch assigns them
    (through PETSc's MatPartitioning), which keeps each process's interface small when the
    row ownership has no locality; and the scatters that move vectors there and back."""

    def __init__(self, P: Any) -> None:
        from petsc4py import PETSc

        comm = P.getComm()
        rank, size = comm.getRank(), comm.getSize()
        aij = P if P.getType() == "mpiaij" else P.convert("mpiaij", PETSc.Mat())
        adjacency = aij.convert("mpiadj", PETSc.Mat())
        partitioning = PETSc.MatPartitioning().create(comm)
        partitioning.setAdjacency(adjacency)
        partitioning.setType("ptscotch")
        owners = PETSc.IS().create(comm)
        partitioning.apply(owners)
        owner = owners.getIndices().astype(np.int64)
        for obj in (partitioning, adjacency, owners):
            obj.destroy()
        # The rows a process receives are numbered by process received from, then by row:
        # counts[p, q] rows go from process p to process q.
        counts = _all_gathered(comm, np.bincount(owner, minlength=size)).astype(np.int64).reshape(size, size)
        starts = np.concatenate([[0], np.cumsum(counts.sum(axis=0))])[:-1]
        before = counts[:rank].sum(axis=0)
        within = np.empty(owner.size, dtype=np.int64)
        for q in range(size):
            mine = owner == q
            within[mine] = np.arange(int(mine.sum()))
        numbering = starts[owner] + before[owner] + within
        # Each process learns which old rows it receives, in their new order.
        first, _ = P.getOwnershipRange()
        old = P.createVecRight()
        old.setArray(np.arange(first, first + owner.size, dtype=np.float64))
        new = PETSc.Vec().createMPI((int(counts[:, rank].sum()), PETSc.DECIDE), comm=comm)
        places = PETSc.IS().createGeneral(numbering.astype(PETSc.IntType), comm=comm)
        scatter = PETSc.Scatter().create(old, None, new, places)
        scatter.scatter(old, new)
        self.rows = PETSc.IS().createGeneral(new.getArray().astype(PETSc.IntType), comm=comm)
        for obj in (scatter, places, new, old):
            obj.destroy()
        self.matrix = aij.createSubMatrix(self.rows, self.rows)
        self.x = self.matrix.createVecRight()
        self.y = self.matrix.createVecLeft()
        self._old = P.createVecRight()
        self._scatter = PETSc.Scatter().create(self._old, self.rows, self.x, None)
        if aij is not P:
            aij.destroy()

    def inward(self, x: Any) -> Any:
        """x's values moved to the rows' new processes."""
        self._scatter.scatter(x, self.x)
        return self.x

    def outward(self, y: Any) -> None:
        """The moved solution back to the original rows, into y."""
        from petsc4py import PETSc

        self._scatter.scatter(self.y, y, PETSc.InsertMode.INSERT, PETSc.ScatterMode.REVERSE)

    def destroy(self) -> None:
        for obj in (self._scatter, self._old, self.x, self.y, self.matrix, self.rows):
            obj.destroy()


def _all_gathered(comm: Any, values: np.ndarray) -> np.ndarray:
    """Collectively: every process's values concatenated in rank order, on every process."""
    from petsc4py import PETSc

    vec = PETSc.Vec().createMPI((values.size, PETSc.DECIDE), comm=comm)
    vec.setArray(values.astype(np.float64))
    scatter, whole = PETSc.Scatter.toAll(vec)
    scatter.scatter(vec, whole)
    out = whole.getArray().copy()
    for obj in (scatter, whole, vec):
        obj.destroy()
    return out
