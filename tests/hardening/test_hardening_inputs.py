"""Unusual and out-of-range input: a clear exception or a correct result, never a crash."""

import numpy as np
import pytest
import scipy.sparse as sp
from hardening_support import UNDER_SANITIZER, Csr, raw_arrays, run_python

import problems

U32_MAX = 2**32 - 1


def solution_bytes(factor, seed=5):
    """A fingerprint of a factor: its solve of a fixed right-hand side, bit for bit."""
    b = np.random.default_rng(seed).standard_normal(factor.shape[0])
    return factor.solve(b).tobytes()


# ---- the 32-bit limit ----


@pytest.mark.skipif(UNDER_SANITIZER, reason="needs a real address-space limit")
def test_huge_claimed_dimension_with_tiny_arrays_allocates_nothing():
    # Under a 1 GiB address-space limit, anything sized by the claimed n (4 billion vertices)
    # would fail with MemoryError; every call must stop at validation instead.
    result = run_python(
        f"""
        import resource
        import numpy as np, _vorlane as vl
        from hardening_support import Csr
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        rp, ci, v = np.zeros(1, np.uint32), np.zeros(0, np.uint32), np.zeros(0)
        for n in ({U32_MAX}, {U32_MAX - 1}, 2**31):
            for call in (lambda: vl.factorize_raw(rp, ci, v, n),
                         lambda: vl.factorize(Csr(rp, ci, v, (n, n))),
                         lambda: vl.factorize_raw(np.zeros(3, np.uint32), ci, v, n, vl.Config(split=8))):
                try:
                    call()
                except ValueError as e:
                    print(e)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 9
    for n, chunk in zip((U32_MAX, U32_MAX - 1, 2**31), (lines[0:3], lines[3:6], lines[6:9])):
        assert chunk[0] == chunk[1] == f"invalid CSR matrix: row_ptrs length != n + 1 (expected {n + 1}, got 1)"
        assert chunk[2] == f"invalid CSR matrix: row_ptrs length != n + 1 (expected {n + 1}, got 3)"


@pytest.mark.parametrize(
    "shape, error, message",
    [
        ((2**32, 2**32), ValueError, "matrix dimension exceeds u32::MAX"),
        ((2**64 - 1, 2**64 - 1), ValueError, "matrix dimension exceeds u32::MAX"),
        ((2**64, 2**64), OverflowError, None),
        ((-1, -1), OverflowError, None),
        ((np.int64(-1), np.int64(-1)), OverflowError, None),
        ((np.uint64(2**63), np.uint64(2**63)), ValueError, "matrix dimension exceeds u32::MAX"),
        ((2**32, 2**32 + 1), ValueError, "matrix must be square"),
        ((1.0, 1.0), TypeError, None),
        ((None, None), TypeError, None),
    ],
)
def test_dimension_out_of_range(vl, shape, error, message):
    with pytest.raises(error) as info:
        vl.factorize(Csr(np.zeros(1, np.uint32), np.zeros(0, np.uint32), np.zeros(0), shape))
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "n, error",
    [(2**32, OverflowError), (2**64 - 1, OverflowError), (2**64, OverflowError), (-1, OverflowError),
     (-(2**70), OverflowError), (np.int8(-1), OverflowError), (np.uint64(2**32), OverflowError),
     (1.0, TypeError), ("3", TypeError), (None, TypeError)],
)
def test_raw_dimension_out_of_range(vl, grid, n, error):
    rp, ci, v, _ = raw_arrays(grid)
    with pytest.raises(error):
        vl.factorize_raw(rp, ci, v, n)


def test_raw_dimension_from_index_objects(vl, grid):
    rp, ci, v, n = raw_arrays(grid)
    expected = solution_bytes(vl.factorize_raw(rp, ci, v, n))
    for alias in (np.uint32(n), np.int64(n), np.uint64(n)):
        assert solution_bytes(vl.factorize_raw(rp, ci, v, alias)) == expected


# ---- index values and element types ----

INDEX_VALUE_CASES = [
    # (values given as indptr, message): the first violated binding rule
    (np.array([0, 2**32], dtype=np.int64), "indptr exceeds u32::MAX"),
    (np.array([0, 2**40], dtype=np.uint64), "indptr exceeds u32::MAX"),
    (np.array([0, -1], dtype=np.int64), "indptr must be non-negative"),
    (np.array([0, -1], dtype=np.int8), "indptr must be non-negative"),
    (np.array([0, 2**63], dtype=np.uint64), "indptr must be non-negative"),
    (np.array([0, 2**64 - 1], dtype=np.uint64), "indptr must be non-negative"),
    (np.array([-(2**63), 2**32], dtype=np.int64), "indptr must be non-negative"),
    ([0, 2**64], "indptr must have an integer dtype"),  # an object array
    ([0, -(2**70)], "indptr must have an integer dtype"),
]


@pytest.mark.parametrize("indptr, message", INDEX_VALUE_CASES)
def test_index_values_out_of_range(vl, indptr, message):
    with pytest.raises(ValueError) as info:
        vl.factorize(Csr(indptr, [0], [1.0], (1, 1)))
    assert str(info.value) == message
    with pytest.raises(ValueError) as info:
        vl.factorize(Csr([0, 1], indptr, [1.0, 1.0], (1, 1)))
    assert str(info.value) == message.replace("indptr", "indices")


def test_largest_u32_values_reach_the_core(vl):
    big = np.array([U32_MAX], dtype=np.uint64)
    with pytest.raises(ValueError, match=r"^invalid CSR matrix: row_ptrs\[0\] must be 0 \(got 4294967295\)$"):
        vl.factorize(Csr(big, np.zeros(0, np.uint32), [], (0, 0)))
    with pytest.raises(ValueError, match=r"^invalid CSR matrix: column index out of bounds at position 0: 4294967295 >= 1$"):
        vl.factorize(Csr([0, 1], big, [1.0], (1, 1)))


INTEGER_DTYPES = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
                  np.longlong, np.ulonglong]
REFUSED_INDEX_DTYPES = [np.bool_, np.float16, np.float32, np.float64, np.longdouble, np.complex128, object,
                        "U1", "S1", "M8[s]", "m8[s]", [("a", np.int32)]]


@pytest.mark.parametrize("dtype", INTEGER_DTYPES)
@pytest.mark.parametrize("order", ["<", ">"])
def test_every_integer_index_dtype_and_byte_order_gives_the_same_factor(vl, grid, dtype, order):
    expected = solution_bytes(vl.factorize(grid))
    dt = np.dtype(dtype).newbyteorder(order)
    if np.iinfo(dt).max < grid.shape[0] ** 2:
        pytest.skip("the type cannot hold the grid's indices")
    converted = Csr(grid.indptr.astype(dt), grid.indices.astype(dt), grid.data.astype(np.dtype("f8").newbyteorder(order)),
                    grid.shape)
    assert solution_bytes(vl.factorize(converted)) == expected


@pytest.mark.parametrize("dtype", REFUSED_INDEX_DTYPES, ids=str)
def test_non_integer_index_dtypes_are_refused(vl, dtype):
    if dtype in ("U1", "S1"):
        indptr = np.array(["0", "1"], dtype=dtype)
    elif isinstance(dtype, list):
        indptr = np.zeros(2, dtype=dtype)
    else:
        indptr = np.array([0, 1]).astype(dtype)
    with pytest.raises(ValueError, match="^indptr must have an integer dtype$"):
        vl.factorize(Csr(indptr, [0], [1.0], (1, 1)))


@pytest.mark.parametrize("dtype", [np.bool_, np.complex64, object, "U3", "M8[s]", [("a", np.float64)]], ids=str)
def test_non_numeric_values_are_refused(vl, dtype):
    data = np.zeros(1, dtype=dtype) if not isinstance(dtype, str) or dtype != "U3" else np.array(["1.0"])
    with pytest.raises(ValueError, match="^data must have an integer or floating-point dtype$"):
        vl.factorize(Csr([0, 1], [0], data, (1, 1)))


def test_long_double_and_half_values_are_converted(vl):
    matrix = problems.path_laplacian(5, weights="unit")
    expected = solution_bytes(vl.factorize(matrix))
    for dtype in (np.float16, np.float32, np.longdouble, np.int8, np.int64):
        assert solution_bytes(vl.factorize(Csr(matrix.indptr, matrix.indices, matrix.data.astype(dtype),
                                                matrix.shape))) == expected


@pytest.mark.parametrize("position, name", [(0, "row_ptrs"), (1, "col_indices"), (2, "values")])
@pytest.mark.parametrize("variant", ["byteswapped", "int64", "uint64", "float", "2d", "0d", "list", "memoryview"])
def test_raw_refuses_every_other_array_form(vl, grid, position, name, variant):
    args = list(raw_arrays(grid))
    a = args[position]
    other = {
        "byteswapped": lambda: a.astype(a.dtype.newbyteorder(">")),
        "int64": lambda: a.astype(np.int64),
        "uint64": lambda: a.astype(np.uint64),
        "float": lambda: a.astype(np.float32),
        "2d": lambda: a.reshape(1, -1),
        "0d": lambda: np.array(a[0]),
        "list": lambda: a.tolist(),
        "memoryview": lambda: memoryview(a),
    }[variant]()
    args[position] = other
    with pytest.raises(TypeError, match=f"^argument '{name}': '.*' object cannot be converted to 'PyArray<T, D>'$"):
        vl.factorize_raw(*args)


# ---- layouts ----


def strided(values, step=3):
    """The same values as a non-contiguous view into a larger buffer."""
    base = np.zeros(len(values) * step, dtype=values.dtype)
    base[::step] = values
    return base[::step]


def test_factorize_accepts_any_layout(vl, grid):
    expected = solution_bytes(vl.factorize(grid))
    rp, ci, v, _ = raw_arrays(grid)
    layouts = [
        Csr(strided(rp), strided(ci), strided(v), grid.shape),
        Csr(rp[::-1][::-1], ci[::-1].copy()[::-1], v[::-1].copy()[::-1], grid.shape),
        Csr(tuple(rp), tuple(ci), tuple(v), grid.shape),
        Csr(rp.tolist(), ci.tolist(), v.tolist(), grid.shape),
        Csr(memoryview(rp), memoryview(ci), memoryview(v), grid.shape),
    ]
    for layout in layouts:
        assert solution_bytes(vl.factorize(layout)) == expected


def test_raw_refuses_strided_views_and_accepts_degenerate_ones(vl, grid):
    rp, ci, v, n = raw_arrays(grid)
    for position, name in enumerate(("row_ptrs", "col_indices", "values")):
        args = [rp, ci, v]
        args[position] = strided(args[position])
        with pytest.raises(ValueError, match=f"^{name} must be contiguous$"):
            vl.factorize_raw(*args, n)
    # Arrays of one element are contiguous whatever their stride.
    one = np.zeros(4, dtype=np.uint32)[::-3][:1]
    assert vl.factorize_raw(one, np.zeros(3, np.uint32)[::2][:0], np.zeros(0), 0).n == 0


def test_zero_length_arrays(vl):
    empty_u32 = np.zeros(0, dtype=np.uint32)
    factor = vl.factorize_raw(np.zeros(1, np.uint32), empty_u32, np.zeros(0), 0)
    assert (factor.n, factor.n_steps, factor.shape) == (0, 0, (0, 0))
    assert factor.solve(np.zeros(0)).shape == (0,)
    factor.solve_into(np.zeros(0), np.zeros(0))
    with pytest.raises(ValueError, match=r"^rhs length 1 exceeds factor dimension 0$"):
        factor.solve(np.zeros(1))
    with pytest.raises(ValueError, match=r"^invalid CSR matrix: row_ptrs length != n \+ 1 \(expected 1, got 0\)$"):
        vl.factorize_raw(empty_u32, empty_u32, np.zeros(0), 0)
    with pytest.raises(ValueError, match=r"^invalid CSR matrix: row_ptrs length != n \+ 1 \(expected 1, got 0\)$"):
        vl.factorize(Csr(empty_u32, empty_u32, [], (0, 0)))
    # An all-zero matrix with no stored entries: every step is an isolated vertex.
    zero = vl.factorize(Csr(np.zeros(5, np.int64), empty_u32, [], (4, 4)))
    assert (zero.n, zero.n_steps) == (4, 3)
    assert np.all(zero.solve(np.ones(4)) == 0.0)


# ---- values outside the SDDM class ----


def with_values(matrix, update):
    copy = matrix.copy()
    update(copy.data, copy)
    return copy


def set_diagonal_nan(data, m):
    data[m.indices == np.repeat(np.arange(m.shape[0]), np.diff(m.indptr))] = np.nan


def set_first_offdiag(value):
    def update(data, m):
        rows = np.repeat(np.arange(m.shape[0]), np.diff(m.indptr))
        data[np.flatnonzero(m.indices != rows)[0]] = value

    return update


NON_FINITE = {
    "nan diagonal": set_diagonal_nan,
    "nan off-diagonal": set_first_offdiag(np.nan),
    "-inf off-diagonal": set_first_offdiag(-np.inf),
    "+inf off-diagonal": set_first_offdiag(np.inf),
    "all inf": lambda d, m: d.fill(np.inf),
    "all nan": lambda d, m: d.fill(np.nan),
    "huge": lambda d, m: d.__imul__(1e307),
    "tiny": lambda d, m: d.__imul__(1e-310),
}


@pytest.mark.parametrize("kind", ["grid", "sddm"])
@pytest.mark.parametrize("case", list(NON_FINITE))
@pytest.mark.parametrize("split", [None, 3])
def test_non_finite_values_propagate(vl, grid, sddm, kind, case, split):
    matrix = with_values(grid if kind == "grid" else sddm, NON_FINITE[case])
    config = vl.Config(seed=4, split=split)
    factor = vl.factorize(matrix, config)
    assert factor.n_steps == factor.n - 1
    b = np.linspace(-1.0, 1.0, matrix.shape[0])
    x = factor.solve(b)
    assert x.shape == (matrix.shape[0],)
    out = np.full(matrix.shape[0] + 2, 7.0)
    factor.solve_into(b, out)
    assert out[:-2].tobytes() == x.tobytes() and np.all(out[-2:] == 7.0)
    # Reproducible bit for bit, NaNs included.
    assert vl.factorize(matrix, config).solve(b).tobytes() == x.tobytes()
    # A NaN right-hand side reaches every element.
    assert np.all(np.isnan(factor.solve(np.full(matrix.shape[0], np.nan))))


def random_dense(n, rng, positive_fraction):
    a = rng.uniform(-1.0, 1.0, size=(n, n)) * (rng.random((n, n)) < 0.4)
    a = np.where(rng.random((n, n)) < positive_fraction, np.abs(a), -np.abs(a))
    return a


@pytest.mark.parametrize("seed", range(6))
def test_matrices_outside_the_sddm_class_give_a_factor(vl, seed):
    rng = np.random.default_rng(seed)
    n = 12
    shapes = {
        "positive off-diagonals": random_dense(n, rng, 0.5) + np.diag(rng.uniform(0, 3, n)),
        "non-symmetric": random_dense(n, rng, 0.0) + np.diag(rng.uniform(0, 3, n)),
        "negative diagonal": random_dense(n, rng, 0.0) - np.diag(rng.uniform(1, 3, n)),
        "zero diagonal": random_dense(n, rng, 0.2) * (1 - np.eye(n)),
    }
    for name, dense in shapes.items():
        matrix = sp.csr_matrix(dense)
        factor = vl.factorize(matrix, vl.Config(seed=seed))
        assert factor.shape == (n, n) and factor.n in (n, n + 1) and factor.n_steps == factor.n - 1, name
        x = factor.solve(np.ones(n))
        assert x.shape == (n,), name
        assert vl.factorize(matrix, vl.Config(seed=seed)).solve(np.ones(n)).tobytes() == x.tobytes(), name


def test_duplicate_unsorted_and_explicit_zero_entries(vl):
    # Every entry of a path Laplacian split into two halves, rows reversed, plus explicit zeros.
    path = problems.path_laplacian(30, weights="unit")
    rows, cols, vals = [], [], []
    for i in range(30):
        lo, hi = path.indptr[i], path.indptr[i + 1]
        for k in reversed(range(lo, hi)):
            rows += [i, i, i]
            cols += [path.indices[k], path.indices[k], (i + 7) % 30]
            vals += [path.data[k] / 2, path.data[k] / 2, 0.0]
    indptr = np.searchsorted(rows, np.arange(31))
    factor = vl.factorize(Csr(indptr, cols, vals, (30, 30)))
    assert factor.n == 30  # rows still sum to zero: no augmentation
    b = np.zeros(30)
    b[0], b[-1] = 1.0, -1.0
    # A path eliminated exactly: the solve is the Laplacian's pseudo-inverse solution.
    x = factor.solve(b)
    assert np.allclose(path @ x, b, atol=1e-9)
