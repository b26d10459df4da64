"""One factor over ranks, its ranks simulated in one process (no MPI): what
vorlane.petsc's global mode computes, for tests to compare with."""

import numpy as np

from vorlane import _engine
from vorlane.petsc._block import canonical_rows, sddm_rows


def simulated_solve(A, ownership, b, seed=0, split=None):
    """The factor over ranks built and applied in this one process, through the same engine
    calls as vorlane.petsc's global mode, for the rows each rank of `ownership` (first rows,
    and n at the end) holds."""
    n = A.shape[0]
    A = A.tocsr()
    pieces, magnitudes = [], []
    for k in range(len(ownership) - 1):
        r0, r1 = ownership[k], ownership[k + 1]
        rows = canonical_rows(A.indptr[r0 : r1 + 1] - A.indptr[r0], A.indices[A.indptr[r0] : A.indptr[r1]],
                              A.data[A.indptr[r0] : A.indptr[r1]], r1 - r0, n, "matrix")
        matrix, magnitude, _ = sddm_rows(rows, r0, "matrix")
        pieces.append(matrix)
        magnitudes.append(magnitude.max() if magnitude.size else 0.0)
    scale = 1.0 / max(magnitudes)
    arrays = []
    for k, matrix in enumerate(pieces):
        matrix = matrix * scale
        matrix.sort_indices()
        arrays.append((ownership[k], n, matrix.indptr.astype(np.int64), matrix.indices.astype(np.uint32),
                       matrix.data.astype(np.float64)))
    combined = tuple(np.max([_engine.rank_summary(*a) for a in arrays], axis=0))
    factors = [_engine.rank_interior(*a, combined, seed, split) for a in arrays]
    shares = []
    for f in factors:
        share = np.empty(f.share_size)
        f.share_into(share)
        shares.append(share)
    factors[0].eliminate_interface(np.concatenate(shares), np.array([s.size for s in shares]), 1, 1.5, 256)
    works, messages = [], []
    for k, f in enumerate(factors):
        work = np.zeros(f.work_size)
        work[: f.rows] = b[ownership[k] : ownership[k + 1]]
        message = np.empty(f.message_size)
        f.forward(work, message)
        works.append(work)
        messages.append(message)
    replies = np.concatenate(messages)
    factors[0].solve_interface(replies)
    out, at = [], 0
    for f, work in zip(factors, works):
        f.backward(replies[at : at + f.message_size], work)
        at += f.message_size
        out.append(work[: f.rows] * scale)
    x = np.concatenate(out)
    return x if factors[0].augmented else x - x.mean()
