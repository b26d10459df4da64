"""factorize and factorize_raw: argument conversion, every check's message, and core errors."""

import numpy as np
import pytest
import scipy.sparse as sp

import problems

U32 = np.uint32


class Csr:
    """A plain object with the four attributes factorize reads."""

    def __init__(self, indptr, indices, data, shape):
        self.indptr, self.indices, self.data, self.shape = indptr, indices, data, shape


def duck(matrix, **overrides):
    fields = dict(indptr=matrix.indptr, indices=matrix.indices, data=matrix.data, shape=matrix.shape)
    fields.update(overrides)
    return Csr(**fields)


def raw_args(matrix):
    return (matrix.indptr.astype(U32), matrix.indices.astype(U32), matrix.data.astype(np.float64),
            matrix.shape[0])


def fingerprint(factor):
    rng = np.random.default_rng(7)
    rhs = [rng.standard_normal(factor.shape[0]) for _ in range(3)]
    return factor.n, factor.n_steps, factor.shape, [factor.solve(b).tobytes() for b in rhs]


def message_of(error_type, call):
    with pytest.raises(error_type) as info:
        call()
    assert type(info.value) is error_type
    return str(info.value)


# ---------------------------------------------------------------- factorize


def test_config_type_is_checked_before_the_matrix_is_read(vl):
    class Untouchable:
        def __getattr__(self, name):
            raise AssertionError(f"read {name}")

    assert message_of(TypeError, lambda: vl.factorize(Untouchable(), {})) == (
        "argument 'config': 'dict' object cannot be converted to 'Config'")
    assert message_of(TypeError, lambda: vl.factorize(Untouchable(), config=vl.Config)) == (
        "argument 'config': 'type' object cannot be converted to 'Config'")


def test_attributes_are_read_in_order(vl):
    read = []

    class Recorder:
        def __getattr__(self, name):
            read.append(name)
            if name == "data":
                raise AttributeError("no data here")
            return [0]

    assert message_of(AttributeError, lambda: vl.factorize(Recorder())) == "no data here"
    assert read == ["indptr", "indices", "data"]


@pytest.mark.parametrize(
    "shape, error, message",
    [
        ([2, 2], TypeError, "'list' object cannot be converted to 'PyTuple'"),
        (np.array([2, 2]), TypeError, "'ndarray' object cannot be converted to 'PyTuple'"),
        ((2, 2, 1), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ((2,), ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ((3, 4), ValueError, "matrix must be square"),
        ((2**32, 2**32), ValueError, "matrix dimension exceeds u32::MAX"),
        ((2.0, 2), TypeError, "'float' object cannot be interpreted as an integer"),
        ((2, None), TypeError, "'NoneType' object cannot be interpreted as an integer"),
        ((-1, -1), OverflowError, None),
    ],
)
def test_shape_checks(vl, shape, error, message):
    # The arrays are garbage: shape is judged before any of them is looked at.
    matrix = Csr(object(), object(), object(), shape)
    text = message_of(error, lambda: vl.factorize(matrix))
    if message is not None:
        assert text == message


def test_numpy_integer_shape_is_accepted(vl, grid):
    n = np.int64(grid.shape[0])
    assert fingerprint(vl.factorize(duck(grid, shape=(n, n)))) == fingerprint(vl.factorize(grid))


@pytest.mark.parametrize(
    "field, value, message",
    [
        ("indptr", np.zeros((1, 5), dtype=np.int32), "indptr must be a 1-D array"),
        ("indptr", np.int32(0), "indptr must be a 1-D array"),
        ("indices", [[0]], "indices must be a 1-D array"),
        ("data", np.zeros((2, 2)), "data must be a 1-D array"),
        ("indptr", np.array([0.0, 1.0, 2.0, 2.0, 3.0]), "indptr must have an integer dtype"),
        ("indices", np.array([0.0, 1.0, 2.0]), "indices must have an integer dtype"),
        ("indices", np.array([True, False, True]), "indices must have an integer dtype"),
        ("indices", ["0", "1", "2"], "indices must have an integer dtype"),
        ("indptr", np.array([-1, 0, 1, 2, 3]), "indptr must be non-negative"),
        ("indices", np.array([0, 2**63, 1], dtype=np.uint64), "indices must be non-negative"),
        ("indices", np.array([0, 2**32, 1], dtype=np.uint64), "indices exceeds u32::MAX"),
        ("indptr", np.array([0, 1, 2, 2**32, 3]), "indptr exceeds u32::MAX"),
        ("data", np.array([True, False, True]), "data must have an integer or floating-point dtype"),
        ("data", np.array([1j, 2j, 3j]), "data must have an integer or floating-point dtype"),
        ("data", np.array(["a", "b", "c"]), "data must have an integer or floating-point dtype"),
        ("data", np.array([1.0, None, 2.0], dtype=object), "data must have an integer or floating-point dtype"),
    ],
)
def test_array_checks(vl, field, value, message):
    # A 4x4 structure with three stored entries, one field replaced by the bad value.
    base = Csr(np.array([0, 1, 2, 2, 3]), np.array([0, 1, 2]), np.array([1.0, 1.0, 1.0]), (4, 4))
    setattr(base, field, value)
    assert message_of(ValueError, lambda: vl.factorize(base)) == message


def test_arrays_are_checked_in_order(vl):
    matrix = Csr(np.array([-1]), np.array([1.5]), np.array([True]), (0, 0))
    assert message_of(ValueError, lambda: vl.factorize(matrix)) == "indptr must be non-negative"
    matrix.indptr = np.array([0])
    assert message_of(ValueError, lambda: vl.factorize(matrix)) == "indices must have an integer dtype"
    matrix.indices = np.array([], dtype=np.int8)
    assert message_of(ValueError, lambda: vl.factorize(matrix)) == (
        "data must have an integer or floating-point dtype")


def test_largest_index_passes_the_binding(vl):
    matrix = Csr(np.array([0, 1], dtype=np.uint64), np.array([2**32 - 1], dtype=np.uint64), [1.0], (1, 1))
    assert message_of(ValueError, lambda: vl.factorize(matrix)) == (
        "invalid CSR matrix: column index out of bounds at position 0: 4294967295 >= 1")


def test_array_like_errors_propagate(vl, grid):
    class Exploding:
        def __array__(self, *args, **kwargs):
            raise KeyError("inside __array__")

    with pytest.raises(KeyError, match="inside __array__"):
        vl.factorize(duck(grid, indices=Exploding()))


def test_empty_matrix(vl):
    factor = vl.factorize(Csr(np.array([0]), np.array([], dtype=np.int64), np.array([]), (0, 0)))
    assert (factor.n, factor.n_steps, factor.shape) == (0, 0, (0, 0))
    assert factor.solve(np.array([])).shape == (0,)
    raw = vl.factorize_raw(np.zeros(1, U32), np.zeros(0, U32), np.zeros(0), 0)
    assert (raw.n, raw.n_steps, raw.shape) == (0, 0, (0, 0))
    with pytest.raises(ValueError, match="^rhs length 1 exceeds factor dimension 0$"):
        raw.solve(np.zeros(1))


def test_input_forms_give_identical_factors(vl):
    matrix = problems.random_sddm(70, seed=11)
    reference = fingerprint(vl.factorize(matrix))
    assert fingerprint(vl.factorize(sp.csr_array(matrix))) == reference
    assert fingerprint(vl.factorize(duck(matrix))) == reference
    lists = duck(matrix, indptr=matrix.indptr.tolist(), indices=matrix.indices.tolist(), data=matrix.data.tolist())
    assert fingerprint(vl.factorize(lists)) == reference
    assert fingerprint(vl.factorize_raw(*raw_args(matrix))) == reference
    swapped = duck(matrix, indptr=matrix.indptr.astype(">i8"), indices=matrix.indices.astype(">u4"),
                   data=matrix.data.astype(">f8"))
    assert fingerprint(vl.factorize(swapped)) == reference
    subclass = type("Sub", (np.ndarray,), {})
    assert fingerprint(vl.factorize_raw(*(a.view(subclass) for a in raw_args(matrix)[:3]), matrix.shape[0])) == (
        reference)


@pytest.mark.parametrize("dtype", [np.int32, np.int8, np.int64, np.float32, np.float16])
def test_data_of_other_numeric_types_is_converted(vl, dtype):
    matrix = problems.grid_laplacian(5, weights="unit")
    expected = fingerprint(vl.factorize(matrix))
    assert fingerprint(vl.factorize(duck(matrix, data=matrix.data.astype(dtype)))) == expected


def test_inputs_are_not_modified(vl):
    matrix = problems.random_sddm(50, seed=2)
    args = raw_args(matrix)
    copies = [a.copy() for a in args[:3]]
    for a in args[:3]:
        a.flags.writeable = False
    vl.factorize_raw(*args)
    vl.factorize(matrix)
    for original, copy in zip(args[:3], copies):
        assert np.array_equal(original, copy)
    assert np.array_equal(matrix.indptr, copies[0]) and np.array_equal(matrix.data, copies[2])


# ---------------------------------------------------------------- factorize_raw


@pytest.mark.parametrize("position, name", [(0, "row_ptrs"), (1, "col_indices"), (2, "values")])
@pytest.mark.parametrize(
    "bad, type_name",
    [
        (lambda a: a.tolist(), "list"),
        (lambda a: a.astype(np.int64), "ndarray"),
        (lambda a: a.astype(np.float32), "ndarray"),
        (lambda a: a.reshape(1, -1), "ndarray"),
        (lambda a: a.astype(a.dtype.newbyteorder(">")), "ndarray"),
        (lambda a: None, "NoneType"),
    ],
)
def test_raw_array_type_errors(vl, grid, position, name, bad, type_name):
    args = list(raw_args(grid))
    args[position] = bad(args[position])
    assert message_of(TypeError, lambda: vl.factorize_raw(*args)) == (
        f"argument '{name}': '{type_name}' object cannot be converted to 'PyArray<T, D>'")


def test_raw_arrays_are_checked_in_order(vl):
    assert "'row_ptrs'" in message_of(TypeError, lambda: vl.factorize_raw([0], [], [], "x", config={}))
    assert "'col_indices'" in message_of(TypeError, lambda: vl.factorize_raw(np.zeros(1, U32), [], [], "x"))
    assert "'values'" in message_of(TypeError, lambda: vl.factorize_raw(np.zeros(1, U32), np.zeros(0, U32), [], "x"))


@pytest.mark.parametrize(
    "n, error, message",
    [
        (2**32, OverflowError, "out of range integral type conversion attempted"),
        (2**64 - 1, OverflowError, "out of range integral type conversion attempted"),
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (3.0, TypeError, "argument 'n': 'float' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'n': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_raw_n_conversion(vl, grid, n, error, message):
    args = list(raw_args(grid))
    args[3] = n
    # n is converted before the contiguity of the arrays is looked at.
    args[0] = np.repeat(args[0], 2)[::2]
    text = message_of(error, lambda: vl.factorize_raw(*args))
    if message is not None:
        assert text == message
    else:
        assert not text.startswith("argument")


def test_raw_config_is_checked_before_contiguity(vl, grid):
    args = list(raw_args(grid))
    args[0] = np.repeat(args[0], 2)[::2]
    assert message_of(TypeError, lambda: vl.factorize_raw(*args, config=[1])) == (
        "argument 'config': 'list' object cannot be converted to 'Config'")


@pytest.mark.parametrize("position, name", [(0, "row_ptrs"), (1, "col_indices"), (2, "values")])
def test_raw_contiguity(vl, grid, position, name):
    args = list(raw_args(grid))
    for other in range(position + 1, 3):
        args[other] = np.repeat(args[other], 2)[::2]  # later arrays are also bad
    args[position] = np.repeat(args[position], 2)[::2]
    assert message_of(ValueError, lambda: vl.factorize_raw(*args)) == f"{name} must be contiguous"


def test_raw_accepts_misaligned_and_fortran_arrays(vl, grid):
    reference = fingerprint(vl.factorize_raw(*raw_args(grid)))
    misaligned = []
    for array in raw_args(grid)[:3]:
        raw = np.zeros(array.nbytes + 1, dtype=np.uint8)
        raw[1:] = array.view(np.uint8)
        view = np.frombuffer(raw.data, dtype=array.dtype, offset=1)
        assert not view.flags.aligned
        misaligned.append(view)
    assert fingerprint(vl.factorize_raw(*misaligned, grid.shape[0])) == reference
    fortran = [np.asfortranarray(a) for a in raw_args(grid)[:3]]
    assert fingerprint(vl.factorize_raw(*fortran, grid.shape[0])) == reference


def test_raw_keywords(vl, grid):
    row_ptrs, col_indices, values, n = raw_args(grid)
    factor = vl.factorize_raw(values=values, n=n, col_indices=col_indices, row_ptrs=row_ptrs, config=vl.Config(4))
    assert fingerprint(factor) == fingerprint(vl.factorize(grid, config=vl.Config(4)))


# ---------------------------------------------------------------- core errors


CORE_CASES = [
    # row_ptrs, col_indices, values, n, message
    ([0, 1, 2], [0, 1, 2], [1.0, 1.0], 3, "row_ptrs length != n + 1 (expected 4, got 3)"),
    ([0, 1, 2, 3], [0, 1, 2], [1.0, 1.0], 3, "col_indices and values have different lengths (3 != 2)"),
    ([3, 1, 2, 3], [0, 1, 2], [1.0] * 3, 3, "row_ptrs[0] must be 0 (got 3)"),
    ([0, 1, 2, 5], [0, 1, 2, 0], [1.0] * 4, 3, "row_ptrs[n] must equal nnz (5 != 4)"),
    ([0, 2, 1, 3], [0, 1, 2], [1.0] * 3, 3, "row_ptrs is not non-decreasing at row 1: 2 > 1"),
    ([0, 2, 1, 3], [0, 1, 9], [1.0] * 3, 3, "row_ptrs is not non-decreasing at row 1: 2 > 1"),
    ([0, 2, 4, 5], [0, 1, 0, 1, 3], [1.0] * 5, 3, "column index out of bounds at position 4: 3 >= 3"),
]


@pytest.mark.parametrize("row_ptrs, col_indices, values, n, message", CORE_CASES)
def test_core_errors(vl, row_ptrs, col_indices, values, n, message):
    expected = "invalid CSR matrix: " + message
    raw = (np.array(row_ptrs, U32), np.array(col_indices, U32), np.array(values), n)
    assert message_of(ValueError, lambda: vl.factorize_raw(*raw)) == expected
    matrix = Csr(np.array(row_ptrs), np.array(col_indices), np.array(values), (n, n))
    assert message_of(ValueError, lambda: vl.factorize(matrix, vl.Config(split=0))) == expected


# ---------------------------------------------------------------- re-entrant conversion of n


class CallbackIndex:
    """An index whose conversion runs a callback first: the one point where factorize_raw
    runs Python code while it holds the arrays."""

    def __init__(self, value, callback):
        self.value, self.callback = value, callback

    def __index__(self):
        self.callback()
        return self.value


def test_held_arrays_may_be_read_but_not_written_meanwhile(vl, grid):
    row_ptrs, col_indices, values, n = raw_args(grid)
    other = vl.factorize(grid)
    before = values.copy()
    seen = []

    def reenter():
        seen.append(other.solve(values[:n]).shape)  # shared reading is fine
        scratch = np.zeros(2 * values.size)
        other.solve_into(np.ones(n), scratch[values.size:])  # an unrelated array is fine
        for out in (values, values[3:]):
            with pytest.raises(BufferError) as info:
                other.solve_into(np.ones(n), out)
            seen.append(str(info.value))

    factor = vl.factorize_raw(row_ptrs, col_indices, values, CallbackIndex(n, reenter))
    assert seen == [(n,), "out is already borrowed", "out is already borrowed"]
    assert values.tobytes() == before.tobytes()
    assert fingerprint(factor) == fingerprint(other)
    other.solve_into(np.ones(n), values)  # the call's accesses have ended


def test_arrays_changed_during_the_conversion_of_n_are_taken_as_they_are_now(vl, grid):
    row_ptrs, col_indices, values, n = raw_args(grid)

    def reshape():
        row_ptrs.shape = (1, row_ptrs.size)

    assert message_of(TypeError, lambda: vl.factorize_raw(row_ptrs, col_indices, values, CallbackIndex(n, reshape))) \
        == "argument 'row_ptrs': 'ndarray' object cannot be converted to 'PyArray<T, D>'"

    row_ptrs, col_indices, values, n = raw_args(grid)
    doubled = grid.copy()
    doubled.data *= 2.0
    factor = vl.factorize_raw(row_ptrs, col_indices, values, CallbackIndex(n, lambda: values.__imul__(2.0)))
    assert fingerprint(factor) == fingerprint(vl.factorize(doubled))


def test_array_reallocated_during_the_conversion_of_n():
    # In a child process: a regression here reads freed memory.
    from test_binding_module import run_python

    out = run_python(
        """
        import numpy as np, _vorlane as vl
        row_ptrs = np.array([0, 1, 2], dtype=np.uint32)
        cols, vals = np.array([0, 1], dtype=np.uint32), np.array([1.0, 1.0])
        class Grow:
            def __index__(self):
                row_ptrs.resize(1 << 20, refcheck=False)  # moves the buffer and frees the old one
                return 2
        try:
            vl.factorize_raw(row_ptrs, cols, vals, Grow())
        except ValueError as error:
            print(error)
        """
    )
    assert out.strip() == "invalid CSR matrix: row_ptrs length != n + 1 (expected 3, got 1048576)"
