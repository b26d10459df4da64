"""Drives the module through its success and failure paths a few times, for a memcheck run.

Not a test module: tools/sanitize.sh runs it under valgrind.
"""

import os
import sys

import numpy as np

import _vorlane as vl

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import problems  # noqa: E402


class Csr:
    def __init__(self, indptr, indices, data, shape):
        self.indptr, self.indices, self.data, self.shape = indptr, indices, data, shape


class RaisingIndex:
    def __index__(self):
        raise KeyError("n")


def attempt(call):
    try:
        call()
    except (TypeError, ValueError, OverflowError, BufferError, KeyError, AttributeError):
        pass


def main():
    sddm = problems.grid_sddm(6, seed=1)
    grid = problems.grid_laplacian(7, seed=2)
    for _ in range(3):
        for matrix, config in ((sddm, None), (grid, vl.Config(seed=3, split=2)), (grid, vl.Config(seed=4))):
            n = matrix.shape[0]
            rp, ci, v = matrix.indptr.astype(np.uint32), matrix.indices.astype(np.uint32), matrix.data.copy()
            factor = vl.factorize(matrix, config)
            raw = vl.factorize_raw(rp, ci, v, n, config)
            b = np.linspace(-1.0, 1.0, n)
            out = np.zeros(n + 3)
            buf = np.zeros(2 * n)
            factor.solve(b)
            raw.matvec(b)
            raw.rmatvec(b[: n // 2])
            factor.solve_into(b, out)
            factor.solve_into(buf[:n], buf[n:])
            misaligned = np.frombuffer(bytearray(8 * n + 1), dtype=np.float64, offset=1, count=n)
            factor.solve_into(b, misaligned)
            for bad in (
                lambda: factor.solve(np.ones(factor.n + 1)),
                lambda: factor.solve_into(buf[:n], buf[n - 1:]),
                lambda: factor.solve_into(b, out[:-4]),
                lambda: factor.solve_into(b, np.frombuffer(bytes(8 * n))),
                lambda: factor.solve(b[::2]),
                lambda: vl.factorize_raw(rp, ci, v, 2**32),
                lambda: vl.factorize_raw(rp, ci, v, RaisingIndex()),
                lambda: vl.factorize_raw(rp[:-1], ci, v, n),
                lambda: vl.factorize_raw(rp, ci.astype(np.int64), v, n),
                lambda: vl.factorize(matrix, vl.Config(split=0)),
                lambda: vl.factorize(Csr(matrix.indptr, matrix.indices - 1, matrix.data, matrix.shape)),
                lambda: vl.factorize(Csr(matrix.indptr, matrix.indices, matrix.data, (n, n + 1))),
                lambda: vl.factorize(object()),
            ):
                attempt(bad)
    empty = vl.factorize_raw(np.zeros(1, np.uint32), np.zeros(0, np.uint32), np.zeros(0), 0)
    empty.solve(np.zeros(0))
    print("driver done")


if __name__ == "__main__":
    main()
