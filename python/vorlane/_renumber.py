"""A bandwidth-reducing renumbering for matrices whose numbering has no locality.

Elimination reads and writes the data of every neighbour of the vertex it removes. When
neighbours have nearby numbers those accesses share cache lines and pages; when the
numbering is random (a grid numbered in shuffled order, say) nearly every one misses, and
factorization runs about twice as slowly. Reverse Cuthill-McKee restores nearby numbers
wherever the graph allows it; expanders have no such numbering, and then none is offered.
vorlane.Preconditioner and vorlane.solve make the same decision by themselves, in the engine.
"""

from __future__ import annotations

from typing import Any, Optional

import numpy as np

# Vertices further apart than this in the numbering rarely share a page of any per-vertex
# array, so an entry joining them counts as far.
FAR = 4096
# Renumber only when at least this share of the entries is far, and when the new numbering
# at least halves it: below that the renumbering costs more than it saves.
FAR_SHARE = 0.5


def far_share(A: Any, order: Optional[np.ndarray] = None) -> float:
    """Share of the off-diagonal stored entries of A whose row and column are more than
    FAR apart, in A's numbering or, given ``order`` (new position -> old vertex), in the
    numbering it defines. One pass over A's indices."""
    import scipy.sparse as sp

    A = sp.csr_matrix(A)
    n = A.shape[0]
    rows = np.repeat(np.arange(n, dtype=np.int64), np.diff(A.indptr))
    cols = A.indices.astype(np.int64)
    if order is not None:
        position = np.empty(n, dtype=np.int64)
        position[order] = np.arange(n, dtype=np.int64)
        rows, cols = position[rows], position[cols]
    off = rows != cols
    total = int(np.count_nonzero(off))
    if total == 0:
        return 0.0
    return float(np.count_nonzero(np.abs(rows[off] - cols[off]) > FAR)) / total


def renumbering(A: Any) -> Optional[np.ndarray]:
    """A renumbering that gives a symmetric sparse matrix A locality, or None.

    Use it as ``A[order][:, order]`` (and ``b[order]``, mapping a solution back with
    ``x[order] = y``). Deterministic: the same A gives the same order.

    Parameters
    ----------
    A : scipy sparse matrix or array
        Square and symmetric in its pattern.

    Returns
    -------
    numpy.ndarray or None
        ``order``, an int array with ``order[new] = old``, when more than half of A's
        off-diagonal entries join vertices more than 4096 apart in its numbering and
        reverse Cuthill-McKee at least halves that share; None when A's numbering is local
        already or no renumbering helps.
    """
    import scipy.sparse as sp
    from scipy.sparse.csgraph import reverse_cuthill_mckee

    A = sp.csr_matrix(A)
    if A.ndim != 2 or A.shape[0] != A.shape[1]:
        raise ValueError(f"A must be square, got shape {A.shape}")
    before = far_share(A)
    if before <= FAR_SHARE:
        return None
    order = np.asarray(reverse_cuthill_mckee(A, symmetric_mode=True), dtype=np.int64)
    if far_share(A, order) > before / 2:
        return None
    return order
