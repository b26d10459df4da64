"""Elimination orders: the sequential minimum-degree order and the parallel rounds."""

import os
from dataclasses import dataclass
from typing import Any, Optional, Tuple, Union

import numpy as np

from ._checks import as_integer, describe

ORDERS = ("sequential", "rounds")


@dataclass(frozen=True, eq=False)
class Rounds:
    """The parallel elimination order, for ``order=`` of :func:`vorlane.solve` and
    :class:`vorlane.Preconditioner`.

    Each round takes live vertices whose degree is at most ``degree_factor`` times the least
    degree, no two of them adjacent, at most ``round_size`` of them, and eliminates them at
    the same time on every thread. Each vertex draws its random fill from a stream of its
    own, so the factor depends on the matrix, the seed, the split and these two numbers,
    never on the number of threads. It is an approximate Cholesky factor of the same matrix
    as the sequential order's, in another order: not the same bits.

    With parts, the interior of every part (its vertices whose neighbours all lie in it)
    is eliminated first, each part on one thread by the sequential minimum-degree rule, and
    the rest (the interface) in rounds. ``parts`` gives a part number for each vertex (as
    :func:`vorlane.partition` computes them); without it, the vertices are cut into
    ``blocks`` runs of consecutive numbers (in the numbering the factorization works in,
    after renumbering), which serve as parts when at most half the vertices have a
    neighbour in another run: meshes and grids numbered along their geometry. Graphs without
    small separators leave most vertices on any interface and are eliminated in rounds alone.

    Args:
        round_size: the most vertices one round eliminates (>= 1).
        degree_factor: how far above the least degree a round may reach (>= 1).
        blocks: the runs of consecutive vertices tried as parts when ``parts`` is None
            (0 or 1: rounds alone).
        parts: None, or a 1-D array of ``n`` part numbers from 0 to ``n - 1``.
    """

    round_size: int = 256
    degree_factor: float = 1.5
    blocks: int = 16
    parts: Any = None

    def __post_init__(self) -> None:
        size = as_integer(self.round_size, "round_size", "an integer")
        if not 1 <= size < 2**32:
            raise ValueError(f"round_size must be >= 1 and below 2**32, got {size}")
        if isinstance(self.degree_factor, bool) or not isinstance(self.degree_factor, (int, float)):
            raise TypeError(f"degree_factor must be a number, got {describe(self.degree_factor)}")
        factor = float(self.degree_factor)
        if not 1.0 <= factor <= 1e6:
            raise ValueError(f"degree_factor must be between 1 and 1e6, got {factor!r}")
        blocks = as_integer(self.blocks, "blocks", "an integer")
        if not 0 <= blocks < 2**32:
            raise ValueError(f"blocks must be >= 0 and below 2**32, got {blocks}")
        object.__setattr__(self, "blocks", blocks)
        object.__setattr__(self, "round_size", size)
        object.__setattr__(self, "degree_factor", factor)
        if self.parts is not None:
            object.__setattr__(self, "parts", _part_numbers(self.parts))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Rounds):
            return NotImplemented
        same_parts = (self.parts is None and other.parts is None) or (
            self.parts is not None and other.parts is not None and np.array_equal(self.parts, other.parts)
        )
        return (
            self.round_size == other.round_size
            and self.degree_factor == other.degree_factor
            and self.blocks == other.blocks
            and same_parts
        )

    __hash__ = None  # type: ignore[assignment]


def _part_numbers(parts: object) -> np.ndarray:
    """A read-only uint32 copy of a 1-D array of non-negative integer part numbers."""
    array = np.asarray(parts)
    if array.dtype.kind not in "iu" or array.ndim != 1:
        raise TypeError(f"parts must be a 1-D array of integers, got {describe(parts)}")
    if array.size and (array.min() < 0 or array.max() >= 2**32 - 1):
        raise ValueError("parts must hold part numbers from 0 to n - 1")
    numbers = np.array(array, dtype=np.uint32, order="C")
    numbers.flags.writeable = False
    return numbers


def check_order(order: object) -> Optional[Rounds]:
    """The order option: "sequential" (None), "rounds" (default Rounds) or a Rounds."""
    if isinstance(order, Rounds):
        return order
    if isinstance(order, str) and order in ORDERS:
        return None if order == "sequential" else Rounds()
    raise ValueError(f"order must be 'sequential', 'rounds' or a vorlane.Rounds, got {order!r}")


def check_threads(threads: object) -> int:
    """The threads option: None for every core this process may run on, else an integer >= 1."""
    if threads is None:
        return available_threads()
    value = as_integer(threads, "threads", "an integer or None")
    if not 1 <= value <= 4096:
        raise ValueError(f"threads must be between 1 and 4096, got {value}")
    return value


def available_threads() -> int:
    """The cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # pragma: no cover - platforms without affinity
        return max(1, os.cpu_count() or 1)


def engine_order(order: Optional[Rounds], threads: int) -> Optional[Tuple[int, float, int, int, Any]]:
    """The engine's form of a checked order."""
    if order is None:
        return None
    return (threads, order.degree_factor, order.round_size, order.blocks, order.parts)


def partition(A: Any, parts: int, *, seed: int = 0) -> np.ndarray:
    """Part numbers for the vertices of A's graph, from METIS (through pymetis), for
    ``vorlane.Rounds(parts=...)``.

    Args:
        A: a square scipy.sparse matrix (its off-diagonal pattern is the graph).
        parts: the number of parts (>= 1).
        seed: METIS's random seed: the same A, parts and seed give the same partition.

    Returns:
        an int64 array of ``n`` part numbers from 0 to ``parts - 1``.

    Raises:
        ImportError: pymetis is not installed (``pip install vorlane[partition]``).
    """
    count = as_integer(parts, "parts", "an integer")
    if count < 1:
        raise ValueError(f"parts must be >= 1, got {count}")
    import scipy.sparse as sp

    if not sp.issparse(A) or A.ndim != 2 or A.shape[0] != A.shape[1]:
        raise TypeError(f"A must be a square scipy.sparse matrix, got {describe(A)}")
    n = A.shape[0]
    if count == 1 or n <= 1:
        return np.zeros(n, dtype=np.int64)
    try:
        import pymetis
    except ImportError:
        raise ImportError("vorlane.partition needs pymetis: pip install 'vorlane[partition]'") from None
    graph = sp.csr_matrix(A, copy=True)
    graph.setdiag(0)
    graph.eliminate_zeros()
    graph = (abs(graph) + abs(graph).T).tocsr()
    options = pymetis.Options(seed=as_integer(seed, "seed", "an integer"))
    indptr, indices = graph.indptr.astype(np.int64), graph.indices.astype(np.int64)
    if hasattr(pymetis, "CSRAdjacency"):
        _, membership = pymetis.part_graph(count, adjacency=pymetis.CSRAdjacency(indptr, indices), options=options)
    else:  # pragma: no cover - pymetis before 2025
        _, membership = pymetis.part_graph(count, xadj=indptr, adjncy=indices, options=options)
    return np.asarray(membership, dtype=np.int64)


def order_name(order: Optional[Rounds]) -> Union[str, Rounds]:
    return "sequential" if order is None else order
