"""Coverage-guided fuzzing of the _vorlane module from Python (atheris).

Each input drives one of: factorize_raw on generated arrays of chosen dtype, layout and n;
factorize on a duck-typed matrix with chosen attribute types; the Factor methods on arrays
that may be views of one buffer; or Config construction. Outcomes are checked against the
module's contract: only the documented exception types, the exact validation message for
well-typed input, and for successes the factor's shape, determinism, agreement between the
entry points and between the solve methods. Anything else is raised and ends the run.

    python3 fuzz/python_fuzzer.py [libFuzzer options] [corpus dirs]
"""

from __future__ import annotations

import sys

import atheris

import numpy as np

import _vorlane as vl

ALLOWED = (TypeError, ValueError, OverflowError)
U32_MAX = 2**32 - 1


class Csr:
    def __init__(self, indptr, indices, data, shape):
        self.indptr, self.indices, self.data, self.shape = indptr, indices, data, shape


# ---- building inputs from the data ----


def small_int(fdp, bound):
    return fdp.ConsumeIntInRange(0, bound)


def pick(fdp, options):
    return options[fdp.ConsumeIntInRange(0, len(options) - 1)]


SPECIAL_VALUES = [0.0, -0.0, 1.0, -1.0, 0.5, -2.0, np.nan, np.inf, -np.inf, 1e-300, 1e300, -1e300, 1e-15]


def values_array(fdp, count):
    out = np.empty(count)
    for i in range(count):
        if fdp.ConsumeBool():
            out[i] = pick(fdp, SPECIAL_VALUES)
        else:
            out[i] = fdp.ConsumeIntInRange(-64, 64) / 8.0
    return out


@atheris.instrument_func
def graph_csr(fdp):
    """A structurally valid CSR matrix (duplicates, unsorted rows and odd values included)."""
    n = small_int(fdp, 40)
    entries = small_int(fdp, 160) if n else 0
    rows = [[] for _ in range(n)]
    laplacian = fdp.ConsumeBool()
    for _ in range(entries):
        i, j = small_int(fdp, n - 1), small_int(fdp, n - 1)
        x = -abs(fdp.ConsumeIntInRange(0, 64) / 8.0) if laplacian else values_array(fdp, 1)[0]
        rows[i].append((j, x))
        if laplacian and i != j:
            rows[j].append((i, x))
    if laplacian:
        for i in range(n):
            off = sum(x for j, x in rows[i] if j != i)
            rows[i].insert(len(rows[i]) // 2, (i, -off + small_int(fdp, 3) / 2.0))
    indptr = np.zeros(n + 1, dtype=np.uint32)
    cols, vals = [], []
    for i, row in enumerate(rows):
        for j, x in row:
            cols.append(j)
            vals.append(x)
        indptr[i + 1] = len(cols)
    return indptr, np.array(cols, dtype=np.uint32), np.array(vals, dtype=np.float64), n


@atheris.instrument_func
def random_csr(fdp):
    """Arrays with arbitrary small contents: mostly invalid."""
    n = small_int(fdp, 12)
    rp = np.array([small_int(fdp, 20) for _ in range(small_int(fdp, 14))], dtype=np.uint32)
    if fdp.ConsumeBool() and len(rp):
        rp[0] = 0
    ci = np.array([small_int(fdp, 14) for _ in range(small_int(fdp, 20))], dtype=np.uint32)
    vals = values_array(fdp, len(ci) if fdp.ConsumeBool() else small_int(fdp, 20))
    return rp, ci, vals, n


@atheris.instrument_func
def relayout(fdp, array):
    """The array as given, or another form of it: the raw path accepts only the first."""
    choice = small_int(fdp, 12)
    if choice <= 6:
        return array, True
    if choice == 7:  # strided view
        base = np.zeros(max(1, 2 * len(array)), dtype=array.dtype)
        base[::2][: len(array)] = array
        return base[::2][: len(array)], len(array) <= 1
    if choice == 8:  # misaligned but contiguous: accepted
        raw = np.zeros(array.nbytes + 1, dtype=np.uint8)
        view = np.frombuffer(raw.data, dtype=array.dtype, offset=1, count=len(array))
        view[...] = array
        return view, True
    if choice == 9:
        return array.astype(array.dtype.newbyteorder(">")), False
    if choice == 10:
        other = array.astype(pick(fdp, [np.int64, np.uint64, np.int32, np.float32, np.float64, np.uint32]))
        return other, other.dtype == array.dtype
    if choice == 11:
        return array.reshape(1, -1), False
    return array.tolist(), False


def dimension(fdp, n):
    choice = small_int(fdp, 20)
    if choice < 16:
        return n
    return pick(fdp, [U32_MAX, 2**32, -1, 2**64, np.uint32(n), np.int64(n), float(n)])


def config(fdp):
    choice = small_int(fdp, 4)
    if choice == 0:
        return None
    seed = fdp.ConsumeIntInRange(0, 2**64 - 1)
    split = None if choice == 1 else small_int(fdp, 5)
    return vl.Config(seed=seed, split=split)


# ---- oracles ----


@atheris.instrument_func
def validation_message(rp, ci, vals, n):
    """The core's message for the first violated CSR rule, or None."""
    if len(rp) != n + 1:
        return f"row_ptrs length != n + 1 (expected {n + 1}, got {len(rp)})"
    if len(ci) != len(vals):
        return f"col_indices and values have different lengths ({len(ci)} != {len(vals)})"
    if rp[0] != 0:
        return f"row_ptrs[0] must be 0 (got {rp[0]})"
    if rp[n] != len(ci):
        return f"row_ptrs[n] must equal nnz ({rp[n]} != {len(ci)})"
    for i in range(n):
        if rp[i] > rp[i + 1]:
            return f"row_ptrs is not non-decreasing at row {i}: {rp[i]} > {rp[i + 1]}"
    for k, c in enumerate(ci):
        if c >= n:
            return f"column index out of bounds at position {k}: {c} >= {n}"
    return None


def fingerprint(factor):
    b = np.linspace(-1.0, 2.0, factor.shape[0])
    return factor.solve(b).tobytes()


def check_factor(factor, n):
    assert factor.shape == (n, n), (factor.shape, n)
    assert factor.n in (n, n + 1), (factor.n, n)
    assert factor.n_steps == max(factor.n - 1, 0)
    assert factor.dtype is np.float64


@atheris.instrument_func
def fuzz_raw(fdp):
    rp, ci, vals, n = graph_csr(fdp) if fdp.ConsumeBool() else random_csr(fdp)
    cfg = config(fdp)
    args, exact = [], True
    for array in (rp, ci, vals):
        arg, ok = relayout(fdp, array)
        args.append(arg)
        exact = exact and ok is True
    dim = dimension(fdp, n)
    try:
        factor = vl.factorize_raw(*args, dim, cfg)
    except ALLOWED as error:
        if exact and type(dim) is int and dim == n:
            expected = validation_message(rp, ci, vals, n)
            if expected is not None:
                assert str(error) == "invalid CSR matrix: " + expected, (str(error), expected)
            else:
                assert cfg is not None and cfg.split == 0 and str(error) == "config.split must be >= 1", str(error)
        return
    assert exact, "factorize_raw accepted a refused array form"
    assert validation_message(rp, ci, vals, n) is None
    check_factor(factor, n)
    again = vl.factorize(Csr(rp, ci, vals, (n, n)), cfg)
    assert fingerprint(again) == fingerprint(factor), "factorize and factorize_raw disagree"


@atheris.instrument_func
def attribute(fdp, array):
    choice = small_int(fdp, 8)
    if choice <= 3:
        return array
    if choice == 4:
        return array.tolist()
    if choice == 5:
        return array.astype(pick(fdp, [np.int8, np.int64, np.uint64, np.float32, np.bool_, np.complex64, ">i4"]))
    if choice == 6:
        return array.reshape(1, -1) if fdp.ConsumeBool() else array[::2]
    return array.astype(np.int64) - small_int(fdp, 2) * 2**32 + small_int(fdp, 2) * 2**32


@atheris.instrument_func
def fuzz_duck(fdp):
    rp, ci, vals, n = graph_csr(fdp) if fdp.ConsumeBool() else random_csr(fdp)
    shape_choice = small_int(fdp, 6)
    shape = {0: (n, n), 1: (n, n), 2: [n, n], 3: (n,), 4: (n, n + 1), 5: (U32_MAX, U32_MAX),
             6: (np.int64(n), np.uint8(n) if n < 256 else n)}[shape_choice]
    matrix = Csr(attribute(fdp, rp), attribute(fdp, ci), attribute(fdp, vals), shape)
    cfg = config(fdp)
    try:
        factor = vl.factorize(matrix, cfg)
    except ALLOWED:
        return
    check_factor(factor, n)
    # The same matrix through the raw path: the conversions must have been faithful.
    raw_rp = np.ascontiguousarray(np.asarray(matrix.indptr).astype(np.uint32))
    raw_ci = np.ascontiguousarray(np.asarray(matrix.indices).astype(np.uint32))
    raw_vals = np.ascontiguousarray(np.asarray(matrix.data).astype(np.float64))
    assert fingerprint(vl.factorize_raw(raw_rp, raw_ci, raw_vals, n, cfg)) == fingerprint(factor)


FACTORS = []


def factors():
    if not FACTORS:
        rng = np.random.default_rng(0)
        for n, shift in ((0, 0.0), (1, 0.0), (1, 1.0), (2, 0.0), (9, 0.0), (9, 0.5), (17, 0.0)):
            a = -np.abs(rng.standard_normal((n, n))) * (rng.random((n, n)) < 0.5)
            a = np.triu(a, 1)
            a = a + a.T
            a = a - np.diag(a.sum(axis=1)) + np.diag(np.full(n, shift))
            indptr = np.arange(n + 1, dtype=np.uint32) * n
            indices = np.tile(np.arange(n, dtype=np.uint32), n)
            FACTORS.append(vl.factorize_raw(indptr, indices, a.ravel().copy(), n))
    return FACTORS


@atheris.instrument_func
def vector_in(fdp, buffer_bytes, length_bound):
    """A float64 vector viewing the shared byte buffer at a chosen offset, or some other object."""
    choice = small_int(fdp, 14)
    length = small_int(fdp, length_bound)
    if choice <= 9:
        offset = small_int(fdp, 8 * length_bound + 16)
        length = min(length, (len(buffer_bytes) - offset) // 8)
        view = np.frombuffer(buffer_bytes.data, dtype=np.float64, offset=offset, count=length)
        if choice == 9 and length:
            view = np.frombuffer(buffer_bytes.data, dtype=np.float64, offset=offset, count=length)[::-1]
        return view
    if choice == 10:
        return np.zeros(length, dtype=np.float32)
    if choice == 11:
        return np.zeros((1, length))
    if choice == 12:
        view = np.zeros(2 * length)[::2]
        return view
    return [0.0] * length


@atheris.instrument_func
def fuzz_methods(fdp):
    factor = pick(fdp, factors())
    m, n = factor.shape[0], factor.n
    buffer_bytes = np.frombuffer(bytearray(fdp.ConsumeBytes(8 * (2 * n + 6)).ljust(8 * (3 * n + 8), b"\0")),
                                 dtype=np.uint8)
    writable = fdp.ConsumeBool()
    b = vector_in(fdp, buffer_bytes, n + 2)
    method = small_int(fdp, 4)
    if method < 4:
        call = [factor.solve, factor.matvec, factor.rmatvec, factor.solve][method]
        before = buffer_bytes.tobytes()
        try:
            x = call(b)
        except ALLOWED:
            assert buffer_bytes.tobytes() == before
            return
        assert isinstance(b, np.ndarray) and b.ndim == 1 and len(b) <= n
        assert b.flags.c_contiguous, "a non-contiguous right-hand side was accepted"
        padded = np.zeros(n)
        padded[: len(b)] = b
        assert x.shape == (m,) and x.dtype == np.float64
        assert x.tobytes() == factor.solve(padded[: len(b)].copy()).tobytes()
        assert buffer_bytes.tobytes() == before
        return
    out = vector_in(fdp, buffer_bytes, m + 3)
    if isinstance(out, np.ndarray) and not writable and out.base is not None:
        out = out.view()
        out.flags.writeable = False
    rhs_copy = np.array(b, dtype=np.float64).ravel().copy() if isinstance(b, np.ndarray) else None
    before = buffer_bytes.tobytes()
    out_before = np.array(out).tobytes() if isinstance(out, np.ndarray) else None
    try:
        factor.solve_into(b, out)
    except (ALLOWED + (BufferError,)) as error:
        assert not isinstance(error, BufferError), "nothing else holds these arrays"
        assert buffer_bytes.tobytes() == before, "a refused solve_into wrote"
        if out_before is not None:
            assert np.array(out).tobytes() == out_before
        return
    assert rhs_copy is not None and len(out) >= m and out.flags.c_contiguous and out.flags.writeable
    assert np.array(out[:m]).tobytes() == factor.solve(rhs_copy).tobytes(), "solve_into differs from solve"
    # Nothing but out[:m] changed in the shared buffer.
    changed = np.flatnonzero(np.frombuffer(before, dtype=np.uint8) != buffer_bytes)
    if len(changed):
        start = out.__array_interface__["data"][0] - buffer_bytes.__array_interface__["data"][0]
        assert start <= changed[0] and changed[-1] < start + 8 * m, "solve_into wrote outside out[:m]"


@atheris.instrument_func
def fuzz_config(fdp):
    seed = pick(fdp, [0, 1, 2**64 - 1, 2**64, -1, 1.5, None, np.uint64(5), True, "1"])
    split = pick(fdp, [None, 0, 1, 2, U32_MAX, 2**32, -1, 2.0, np.int8(3)])
    try:
        c = vl.Config(seed=seed, split=split)
    except ALLOWED:
        return
    assert c.seed == int(seed)
    assert c.split == (None if split is None else int(split))


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    [fuzz_raw, fuzz_duck, fuzz_methods, fuzz_config][fdp.ConsumeIntInRange(0, 3)](fdp)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
