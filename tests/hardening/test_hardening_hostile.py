"""Hostile objects: attributes that raise or lie, callbacks that mutate, resize or re-enter."""

import sys
import types

import numpy as np
import pytest
from hardening_support import Csr, raw_arrays

import problems


class Boom(Exception):
    """Raised by hostile callbacks; must reach the caller unchanged."""


def fingerprint(factor):
    b = np.random.default_rng(9).standard_normal(factor.shape[0])
    return factor.solve(b).tobytes()


# ---- attributes that raise ----


@pytest.mark.parametrize("attribute", ["indptr", "indices", "data", "shape"])
@pytest.mark.parametrize("error", [Boom, KeyboardInterrupt, MemoryError, RecursionError])
def test_raising_attribute_propagates_unchanged(vl, grid, attribute, error):
    class Matrix:
        pass

    m = Matrix()
    for name in ("indptr", "indices", "data", "shape"):
        setattr(m, name, getattr(grid, name))

    def raiser(self):
        raise error(attribute)

    setattr(Matrix, attribute, property(raiser))
    with pytest.raises(error) as info:
        vl.factorize(m)
    assert type(info.value) is error and info.value.args == (attribute,)


@pytest.mark.parametrize("where", ["__index__ of shape[0]", "__index__ of shape[1]", "__array__ of indptr",
                                   "__array__ of indices", "__array__ of data"])
def test_raising_conversion_callbacks_propagate(vl, grid, where):
    class Hostile:
        def __init__(self, wrapped):
            self.wrapped = wrapped

        def __index__(self):
            raise Boom(where)

        def __array__(self, dtype=None, copy=None):
            raise Boom(where)

    parts = {"indptr": grid.indptr, "indices": grid.indices, "data": grid.data, "shape": list(grid.shape)}
    target = where.split(" of ")[1]
    if target.startswith("shape"):
        parts["shape"][int(target[6])] = Hostile(None)
    else:
        parts[target] = Hostile(parts[target])
    m = Csr(parts["indptr"], parts["indices"], parts["data"], tuple(parts["shape"]))
    with pytest.raises(Boom) as info:
        vl.factorize(m)
    assert info.value.args == (where,)


# ---- attributes that lie ----


class LyingTuple(tuple):
    """Reports length 2 and fake items to Python code; its real items are what it holds."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        return 1


def test_lying_shape_tuple_is_read_by_its_real_items(vl, grid):
    n = grid.shape[0]
    factor = vl.factorize(Csr(grid.indptr, grid.indices, grid.data, LyingTuple((n, n))))
    assert factor.shape == (n, n)
    with pytest.raises(ValueError, match="^expected tuple of length 2, but got tuple of length 3$"):
        vl.factorize(Csr(grid.indptr, grid.indices, grid.data, LyingTuple((n, n, n))))


@pytest.mark.parametrize("claimed", [0, 1, 24, 26, 1000, 2**31])
def test_shape_that_disagrees_with_the_arrays(vl, grid, claimed):
    with pytest.raises(ValueError, match=r"^invalid CSR matrix: row_ptrs length != n \+ 1"):
        vl.factorize(Csr(grid.indptr, grid.indices, grid.data, (claimed, claimed)))


class ShiftyIndex:
    """An index that mutates the matrix when the binding converts it."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


def test_shape_conversion_that_mutates_the_arrays_in_place(vl, grid):
    # The arrays are converted after the shape, so the factor is the one of the mutated matrix.
    n = grid.shape[0]
    data = grid.data.copy()
    matrix = Csr(grid.indptr, grid.indices, data, (n, ShiftyIndex(n, lambda: data.__imul__(2.0))))
    doubled = grid.copy()
    doubled.data *= 2.0
    assert fingerprint(vl.factorize(matrix)) == fingerprint(vl.factorize(doubled))


def test_shape_conversion_that_empties_or_resizes_the_arrays(vl, grid):
    n = grid.shape[0]
    indptr = grid.indptr.tolist()
    with pytest.raises(ValueError, match="^indptr must have an integer dtype$"):
        vl.factorize(Csr(indptr, grid.indices, grid.data, (ShiftyIndex(n, indptr.clear), n)))
    indices = grid.indices.astype(np.uint32)
    resize = lambda: indices.resize(10**6, refcheck=False)  # noqa: E731
    with pytest.raises(ValueError, match=r"^invalid CSR matrix: col_indices and values have different lengths"):
        vl.factorize(Csr(grid.indptr, indices, grid.data, (ShiftyIndex(n, resize), n)))


def test_array_callbacks_that_mutate_or_free_earlier_results(vl, grid):
    """A later __array__ call scribbles over and frees the arrays earlier callbacks returned."""
    n = grid.shape[0]
    returned = []

    class Part:
        def __init__(self, source, sabotage):
            self.source, self.sabotage = source, sabotage

        def __array__(self, dtype=None, copy=None):
            if self.sabotage:
                for earlier in returned:
                    earlier[...] = 0xFF
                    earlier.resize(1, refcheck=False)
            result = self.source.copy()
            returned.append(result)
            return result

    matrix = Csr(Part(grid.indptr, False), Part(grid.indices, True), Part(grid.data, True), (n, n))
    assert fingerprint(vl.factorize(matrix)) == fingerprint(vl.factorize(grid))


def test_array_callback_that_reenters_the_module(vl, grid, sddm):
    inner = {}

    class Reentrant:
        def __array__(self, dtype=None, copy=None):
            factor = vl.factorize(sddm)
            inner["solution"] = factor.solve(np.ones(sddm.shape[0]))
            out = np.zeros(sddm.shape[0])
            factor.solve_into(np.ones(sddm.shape[0]), out)
            inner["into"] = out
            return grid.data

    factor = vl.factorize(Csr(grid.indptr, grid.indices, Reentrant(), grid.shape))
    assert fingerprint(factor) == fingerprint(vl.factorize(grid))
    assert inner["solution"].tobytes() == inner["into"].tobytes()


def test_self_referential_array_likes(vl, grid):
    loop = [0, 1]
    loop.append(loop)
    with pytest.raises((ValueError, TypeError, RecursionError)):
        vl.factorize(Csr(loop, grid.indices, grid.data, grid.shape))

    class Itself:
        def __array__(self, dtype=None, copy=None):
            return np.asarray(self)

    with pytest.raises(RecursionError):
        vl.factorize(Csr(Itself(), grid.indices, grid.data, grid.shape))


def test_replaced_numpy_module_that_lies(vl, grid, monkeypatch):
    """A numpy whose arrays lie about ndim, kind, size, min and max: the core still validates."""
    real = np

    class Liar:
        def __init__(self, array):
            self.array = array
            self.ndim = 1
            self.size = 0  # skips the range checks
            self.dtype = types.SimpleNamespace(kind="u")

        def astype(self, t):
            return real.asarray(self.array).astype(t)

        def min(self):
            return 0

        def max(self):
            return 0

    fake = types.ModuleType("numpy")
    fake.asarray = Liar
    fake.ascontiguousarray = real.ascontiguousarray
    fake.int64, fake.uint32, fake.float64 = real.int64, real.uint32, real.float64
    monkeypatch.setitem(sys.modules, "numpy", fake)

    n = grid.shape[0]
    # Out-of-range and negative indices wrap to large uint32 values: caught by the core.
    bad_columns = real.asarray(grid.indices, dtype=real.int64) - 1
    with pytest.raises(ValueError, match="^invalid CSR matrix: column index out of bounds at position 0: 4294967295"):
        vl.factorize(Csr(grid.indptr, bad_columns, grid.data, (n, n)))
    with pytest.raises(ValueError, match="^invalid CSR matrix: "):
        vl.factorize(Csr(grid.indptr.astype(real.int64) + 2**32 + 1, grid.indices, grid.data, (n, n)))
    # Lies about a two-dimensional array: the converted result is still checked as a vector.
    with pytest.raises(TypeError, match="^argument 'indptr': 'ndarray' object cannot be converted"):
        vl.factorize(Csr(grid.indptr.reshape(1, -1), grid.indices, grid.data, (n, n)))
    fake.ascontiguousarray = list
    with pytest.raises(TypeError, match="^argument 'indptr': 'list' object cannot be converted"):
        vl.factorize(Csr(grid.indptr, grid.indices, grid.data, (n, n)))


# ---- raw arrays changed while a call holds them ----


def test_raw_dimension_conversion_that_mutates_values(vl, grid):
    rp, ci, v, n = raw_arrays(grid)
    factor = vl.factorize_raw(rp, ci, v, ShiftyIndex(n, lambda: v.__imul__(2.0)))
    doubled = grid.copy()
    doubled.data *= 2.0
    assert fingerprint(factor) == fingerprint(vl.factorize(doubled))


def test_raw_dimension_conversion_cannot_write_into_held_arrays(vl, grid, sddm):
    """solve_into from inside the call may not write an array that factorize_raw is reading."""
    rp, ci, v, n = raw_arrays(grid)
    other = vl.factorize(grid)
    before = v.copy()
    seen = []

    def write_values():
        try:
            other.solve_into(np.ones(n), v)
        except BufferError as error:
            seen.append(str(error))

    factor = vl.factorize_raw(rp, ci, v, ShiftyIndex(n, write_values))
    assert seen == ["out is already borrowed"]
    assert v.tobytes() == before.tobytes()
    assert fingerprint(factor) == fingerprint(other)
    # The accesses ended with the call.
    other.solve_into(np.ones(n), v)


# ---- Factor methods with objects that lie ----


class LyingArray(np.ndarray):
    """An ndarray subclass whose Python-level size and shape are lies."""

    def __len__(self):
        return 10**9

    @property
    def shape(self):
        return (10**9,)

    @property
    def size(self):
        return 10**9


def test_factor_methods_read_arrays_not_their_python_attributes(vl, grid):
    factor = vl.factorize(grid)
    n = grid.shape[0]
    b = np.linspace(0, 1, n)
    lying_b = b.copy().view(LyingArray)
    lying_out = np.zeros(n).view(LyingArray)
    assert factor.solve(lying_b).tobytes() == factor.solve(b).tobytes()
    factor.solve_into(lying_b, lying_out)
    assert np.asarray(lying_out).tobytes() == factor.solve(b).tobytes()
    short = np.zeros(n - 1).view(LyingArray)
    with pytest.raises(ValueError, match=f"^out length {n - 1} is smaller than original matrix dimension {n}$"):
        factor.solve_into(b, short)


def test_no_route_to_an_uninitialized_or_altered_object(vl, grid):
    """Copying, pickling and the low-level constructors never yield a Factor without a factor."""
    import copy
    import pickle

    factor = vl.factorize(grid)
    config = vl.Config(seed=1, split=2)
    for obj in (factor, config):
        for route in (copy.copy, copy.deepcopy, pickle.dumps, lambda o: o.__reduce_ex__(2)):
            with pytest.raises(TypeError):
                route(obj)
        with pytest.raises(TypeError):
            object.__new__(type(obj))
    with pytest.raises(TypeError, match="^No constructor defined for Factor$"):
        vl.Factor.__new__(vl.Factor)
    with pytest.raises(TypeError):
        factor.__class__ = vl.Config
    # Running the initializer again does not change an existing Config.
    config.__init__(seed=5, split=7)
    assert (config.seed, config.split) == (1, 2)
    assert fingerprint(factor) == fingerprint(vl.factorize(grid))
