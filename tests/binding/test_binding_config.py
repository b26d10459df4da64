"""Config construction, conversion errors and its mapping onto the core configuration."""

import numpy as np
import pytest

import problems

U64_MAX = 2**64 - 1
U32_MAX = 2**32 - 1


def solutions(factor, count=3):
    rng = np.random.default_rng(99)
    return [factor.solve(rng.standard_normal(factor.shape[0])).tobytes() for _ in range(count)]


@pytest.mark.parametrize(
    "args, kwargs, seed, split",
    [
        ((), {}, 0, None),
        ((7,), {}, 7, None),
        ((7, 3), {}, 7, 3),
        ((), {"split": 0}, 0, 0),
        ((), {"split": 1}, 0, 1),
        ((), {"seed": U64_MAX}, U64_MAX, None),
        ((), {"split": U32_MAX}, 0, U32_MAX),
        ((np.uint64(5),), {"split": np.int32(4)}, 5, 4),
        ((True,), {"split": None}, 1, None),
    ],
)
def test_construction(vl, args, kwargs, seed, split):
    config = vl.Config(*args, **kwargs)
    assert config.seed == seed and type(config.seed) is int
    assert config.split == split


@pytest.mark.parametrize(
    "a, b, equal",
    [
        ((), (), True),
        ((7, 3), (7, 3), True),
        ((7,), (7, None), True),
        ((U64_MAX, U32_MAX), (U64_MAX, U32_MAX), True),
        ((7,), (8,), False),
        ((7, 3), (7, 4), False),
        ((7,), (7, 1), False),
        ((0, 0), (0, None), False),
    ],
)
def test_equality_and_hash_follow_the_values(vl, a, b, equal):
    x, y = vl.Config(*a), vl.Config(*b)
    assert (x == y) is equal and (x != y) is not equal
    if equal:
        assert hash(x) == hash(y) and len({x, y}) == 1
    assert x != (x.seed, x.split)
    assert eval(repr(x), {"Config": vl.Config}) == x


def test_repr_shows_seed_and_split(vl):
    assert repr(vl.Config()) == "Config(seed=0, split=None)"
    assert repr(vl.Config(seed=U64_MAX, split=3)) == f"Config(seed={U64_MAX}, split=3)"


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"seed": None}, TypeError, "argument 'seed': 'NoneType' object cannot be interpreted as an integer"),
        ({"seed": 1.5}, TypeError, "argument 'seed': 'float' object cannot be interpreted as an integer"),
        ({"split": "2"}, TypeError, "argument 'split': 'str' object cannot be interpreted as an integer"),
        ({"split": np.float64(2)}, TypeError,
         "argument 'split': 'numpy.float64' object cannot be interpreted as an integer"),
        ({"split": 2**32}, OverflowError, "out of range integral type conversion attempted"),
        ({"split": U64_MAX}, OverflowError, "out of range integral type conversion attempted"),
        ({"seed": -1}, OverflowError, None),
        ({"seed": 2**64}, OverflowError, None),
        ({"split": -1}, OverflowError, None),
        ({"split": 2**64}, OverflowError, None),
    ],
)
def test_conversion_errors(vl, kwargs, error, message):
    with pytest.raises(error) as info:
        vl.Config(**kwargs)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    else:
        # The interpreter's own overflow wording, without the argument prefix.
        assert not str(info.value).startswith("argument")


def test_index_conversion_keeps_the_cause(vl):
    class Bad:
        def __index__(self):
            raise TypeError("no index") from KeyError("root")

    with pytest.raises(TypeError) as info:
        vl.Config(seed=Bad())
    assert str(info.value) == "argument 'seed': no index"
    assert isinstance(info.value.__cause__, KeyError)


def test_other_conversion_errors_pass_unchanged(vl):
    class Failing:
        def __index__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="^boom$"):
        vl.Config(split=Failing())


def test_attributes_are_read_only(vl):
    config = vl.Config(1, 2)
    for name in ("seed", "split"):
        with pytest.raises(AttributeError):
            setattr(config, name, 5)
    with pytest.raises(AttributeError):
        config.other = 1
    assert (config.seed, config.split) == (1, 2)


def test_zero_split_is_refused_after_matrix_checks(vl, grid):
    config = vl.Config(split=0)
    with pytest.raises(ValueError) as info:
        vl.factorize(grid, config)
    assert str(info.value) == "config.split must be >= 1"
    with pytest.raises(ValueError) as info:
        vl.factorize_raw(grid.indptr.astype(np.uint32), grid.indices.astype(np.uint32), grid.data, grid.shape[0],
                         config=config)
    assert str(info.value) == "config.split must be >= 1"
    bad = problems.grid_laplacian(3)
    bad.indptr = bad.indptr.copy()
    bad.indptr[0] = 1
    with pytest.raises(ValueError, match="^invalid CSR matrix: row_ptrs\\[0\\] must be 0 \\(got 1\\)$"):
        vl.factorize(bad, config)


@pytest.mark.parametrize("seed", [0, 1, 2**63 + 11])
def test_split_one_is_plain_mode(vl, seed):
    matrix = problems.random_graph_laplacian(60, seed=seed % 7)
    plain = vl.factorize(matrix, vl.Config(seed=seed))
    split_one = vl.factorize(matrix, vl.Config(seed=seed, split=1))
    assert (plain.n, plain.n_steps) == (split_one.n, split_one.n_steps)
    assert solutions(plain) == solutions(split_one)


def test_seed_and_split_change_the_factor(vl):
    matrix = problems.random_graph_laplacian(80, seed=5)
    reference = solutions(vl.factorize(matrix, vl.Config(seed=1)))
    assert solutions(vl.factorize(matrix, vl.Config(seed=1))) == reference
    assert solutions(vl.factorize(matrix, vl.Config(seed=2))) != reference
    assert solutions(vl.factorize(matrix, vl.Config(seed=1, split=3))) != reference
    assert solutions(vl.factorize(matrix, None)) == solutions(vl.factorize(matrix, vl.Config()))
