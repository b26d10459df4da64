"""Factor: attributes, the three solve names, solve_into's checks and the array access rules."""

import gc
import sys

import numpy as np
import pytest

import problems

SOLVERS = [("solve", "b"), ("matvec", "x"), ("rmatvec", "x")]


def message_of(error_type, call):
    with pytest.raises(error_type) as info:
        call()
    assert type(info.value) is error_type
    return str(info.value)


def misaligned(values):
    raw = np.zeros(values.nbytes + 1, dtype=np.uint8)
    view = np.frombuffer(raw.data, dtype=np.float64, offset=1)
    view[...] = values
    assert not view.flags.aligned
    return view


@pytest.fixture(params=["grid", "sddm"])
def factor(request, grid_factor, sddm_factor):
    """Each test runs on a plain and on an augmented factor."""
    return grid_factor if request.param == "grid" else sddm_factor


def test_attributes(vl, grid, grid_factor, sddm_factor):
    assert grid_factor.n == grid.shape[0] and grid_factor.shape == grid.shape
    assert sddm_factor.n == sddm_factor.shape[0] + 1
    for factor in (grid_factor, sddm_factor):
        assert factor.n_steps == factor.n - 1
        assert factor.dtype is np.float64
        assert factor.shape is not factor.shape
        assert all(type(v) is int for v in (factor.n, factor.n_steps, *factor.shape))
    assert repr(sddm_factor) == "<Factor shape=(8, 8) n=9 n_steps=8>"
    single = vl.factorize(problems.path_laplacian(1))
    assert (single.n, single.n_steps, single.shape) == (1, 0, (1, 1))
    assert single.solve(np.array([3.0])).tolist() == [0.0]


def test_solve_names_agree(factor, rng):
    b = rng.standard_normal(factor.shape[0])
    x = factor.solve(b)
    assert factor.matvec(b).tobytes() == x.tobytes()
    assert factor.rmatvec(x=b).tobytes() == factor.solve(b=b).tobytes()
    assert x.shape == (factor.shape[0],) and x.dtype == np.float64
    assert x.flags.c_contiguous and x.flags.writeable and x.strides == (8,)
    x[:] = 1.0  # the result is the caller's to modify


@pytest.mark.parametrize("method, name", SOLVERS)
@pytest.mark.parametrize(
    "make, type_name",
    [
        (lambda n: [0.0] * n, "list"),
        (lambda n: np.zeros(n, dtype=np.float32), "ndarray"),
        (lambda n: np.zeros((1, n)), "ndarray"),
        (lambda n: np.zeros(n, dtype=">f8"), "ndarray"),
        (lambda n: np.zeros(n, dtype=np.int64), "ndarray"),
        (lambda n: 1.0, "float"),
    ],
)
def test_rhs_type_errors(grid_factor, method, name, make, type_name):
    call = getattr(grid_factor, method)
    assert message_of(TypeError, lambda: call(make(grid_factor.shape[0]))) == (
        f"argument '{name}': '{type_name}' object cannot be converted to 'PyArray<T, D>'")


@pytest.mark.parametrize("method, name", SOLVERS)
def test_rhs_must_be_contiguous(grid_factor, method, name):
    b = np.zeros(2 * grid_factor.shape[0])[::2]
    assert message_of(ValueError, lambda: getattr(grid_factor, method)(b)) == "b must be contiguous"


@pytest.mark.parametrize("method, name", SOLVERS)
def test_rhs_length_limit(factor, method, name, rng):
    call = getattr(factor, method)
    n = factor.n
    assert call(rng.standard_normal(n)).shape == (factor.shape[0],)
    assert message_of(ValueError, lambda: call(np.zeros(n + 1))) == (
        f"rhs length {n + 1} exceeds factor dimension {n}")


def test_short_rhs_counts_as_zero_padded(factor, rng):
    b = rng.standard_normal(factor.n)
    for k in (0, 1, factor.shape[0] // 2):
        padded = np.concatenate([b[:k], np.zeros(factor.n - k)])
        assert factor.solve(b[:k]).tobytes() == factor.solve(padded).tobytes()
    assert not factor.solve(np.array([])).any()


def test_subclass_fortran_and_misaligned_rhs(factor, rng):
    b = rng.standard_normal(factor.shape[0])
    expected = factor.solve(b).tobytes()
    assert factor.solve(b.view(type("Sub", (np.ndarray,), {}))).tobytes() == expected
    assert factor.solve(np.asfortranarray(b)).tobytes() == expected
    assert factor.solve(misaligned(b)).tobytes() == expected
    readonly = b.copy()
    readonly.flags.writeable = False
    assert factor.solve(readonly).tobytes() == expected


def test_results_outlive_their_factor(vl, rng):
    matrix = problems.grid_sddm(5, seed=8)
    factor = vl.factorize(matrix)
    b = rng.standard_normal(matrix.shape[0])
    expected = factor.solve(b).copy()
    results = [factor.solve(b), factor.matvec(b), factor.rmatvec(b)]
    views = [r[1:] for r in results]
    assert sys.getrefcount(factor) == 2  # the results hold no reference to the factor
    del factor
    gc.collect()
    for result in results:
        assert not result.flags.owndata and result.base is not None
        assert np.array_equal(result, expected)
    del results
    gc.collect()
    for view in views:
        assert np.array_equal(view, expected[1:])


# ---------------------------------------------------------------- solve_into


def test_solve_into_matches_solve(factor, rng):
    b = rng.standard_normal(factor.shape[0])
    out = np.full(factor.shape[0], 7.0)
    assert factor.solve_into(b, out) is None
    assert out.tobytes() == factor.solve(b).tobytes()
    out2 = np.zeros(factor.shape[0])
    factor.solve_into(out=out2, b=b)
    assert out2.tobytes() == out.tobytes()


def test_solve_into_accepts_a_full_length_rhs(sddm_factor, rng):
    b = rng.standard_normal(sddm_factor.n)
    out = np.zeros(sddm_factor.shape[0])
    sddm_factor.solve_into(b, out)
    assert out.tobytes() == sddm_factor.solve(b).tobytes()


def test_solve_into_writes_only_the_first_original_n(factor, rng):
    m = factor.shape[0]
    b = rng.standard_normal(m)
    out = np.full(m + 5, -3.0)
    factor.solve_into(b, out)
    assert out[:m].tobytes() == factor.solve(b).tobytes()
    assert (out[m:] == -3.0).all()


def test_solve_into_unusual_layouts(factor, rng):
    m = factor.shape[0]
    b = rng.standard_normal(m)
    expected = factor.solve(b).tobytes()
    out = misaligned(np.zeros(m))
    factor.solve_into(misaligned(b), out)
    assert out.tobytes() == expected
    buffer = np.zeros(2 * m)
    buffer[:m] = b
    factor.solve_into(buffer[:m], buffer[m:])  # disjoint views of one allocation
    assert buffer[m:].tobytes() == expected and (buffer[:m] == b).all()


def out_case_checks():
    # (b, out) builders for an original dimension m, the expected error and message.
    return [
        (lambda m: (np.zeros(m), [0.0] * m), TypeError,
         "argument 'out': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (lambda m: (np.zeros(m), np.zeros(m, dtype=np.float32)), TypeError,
         "argument 'out': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (lambda m: (np.zeros(m), np.zeros((m, 1))), TypeError,
         "argument 'out': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (lambda m: ([0.0], np.zeros(m)), TypeError,
         "argument 'b': 'list' object cannot be converted to 'PyArray<T, D>'"),
        # out's type is tested before b's layout and length.
        (lambda m: (np.zeros(2 * m)[::2], None), TypeError,
         "argument 'out': 'NoneType' object cannot be converted to 'PyArray<T, D>'"),
        (lambda m: (np.zeros(2 * m)[::2], np.zeros(2 * m)[::2]), ValueError, "b must be contiguous"),
        (lambda m: (np.zeros(m + 2), np.zeros(1)), ValueError, "rhs length {b} exceeds factor dimension {n}"),
        (lambda m: (np.zeros(m), np.zeros(2 * m)[::2]), ValueError, "out must be contiguous"),
        (lambda m: (np.zeros(m), np.zeros(m - 1)), ValueError,
         "out length {out} is smaller than original matrix dimension {m}"),
        (lambda m: (np.zeros(m), read_only(np.zeros(m - 1))), ValueError,
         "out length {out} is smaller than original matrix dimension {m}"),
        (lambda m: (np.zeros(m), read_only(np.zeros(m))), ValueError, "out must be writeable"),
    ]


def read_only(array):
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("make, error, message", out_case_checks())
def test_solve_into_checks(factor, make, error, message):
    m = factor.shape[0]
    b, out = make(m)
    before = None if not isinstance(out, np.ndarray) else out.copy()
    text = message_of(error, lambda: factor.solve_into(b, out))
    assert text == message.format(b=len(b), n=factor.n, out=len(out) if out is not None else 0, m=m)
    if before is not None:
        assert np.array_equal(out, before)


@pytest.mark.parametrize(
    "make",
    [
        lambda buf, m: (buf[:m], buf[:m]),
        lambda buf, m: (buf[:m], buf[m - 1:2 * m - 1]),
        lambda buf, m: (buf[1:m + 1], buf[:m]),
        lambda buf, m: (buf[:m], buf[:m].view(np.float64)),
    ],
    ids=["same", "out-after", "out-before", "aliasing-view"],
)
def test_solve_into_refuses_overlap(factor, rng, make):
    m = factor.shape[0]
    buf = rng.standard_normal(2 * m)
    before = buf.copy()
    b, out = make(buf, m)
    assert message_of(ValueError, lambda: factor.solve_into(b, out)) == "b and out must not overlap"
    assert np.array_equal(buf, before)


def test_solve_into_with_empty_arrays(vl):
    empty = vl.factorize_raw(np.zeros(1, np.uint32), np.zeros(0, np.uint32), np.zeros(0), 0)
    b = np.zeros(0)
    empty.solve_into(b, b)  # empty arrays never overlap
    out = np.full(3, 2.0)
    empty.solve_into(b, out)
    assert (out == 2.0).all()


def test_failed_calls_release_their_accesses(factor, rng):
    m = factor.shape[0]
    b = rng.standard_normal(m)
    out = np.zeros(m)
    for bad in (lambda: factor.solve_into(b, b), lambda: factor.solve_into(b, read_only(out.copy())),
                lambda: factor.solve_into(b, out[: m - 1]), lambda: factor.solve(np.zeros(factor.n + 1))):
        with pytest.raises(ValueError):
            bad()
    # The same arrays are usable for reading and writing afterwards.
    factor.solve_into(b, out)
    assert out.tobytes() == factor.solve(b).tobytes()
    factor.solve_into(out, b)
    assert b.tobytes() == factor.solve(out).tobytes()
