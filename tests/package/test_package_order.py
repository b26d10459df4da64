"""The parallel elimination order through the package: the same factor for any number of
threads, a preconditioner as good as the sequential order's, its options checked, and the
order kept by refactor, copies and saved files."""

import copy
import io

import numpy as np
import pytest

import problems
import vorlane
from vorlane import _saved


def factor_arrays(preconditioner):
    state = _saved.state_of(preconditioner)
    del state["setup_seconds"]
    return state


def same_factor(a, b):
    sa, sb = factor_arrays(a), factor_arrays(b)
    return sa.keys() == sb.keys() and all(np.array_equal(sa[k], sb[k]) for k in sa)


@pytest.mark.parametrize(
    "A",
    [problems.grid_sddm(40, seed=3), problems.random_graph_laplacian(900, seed=4), problems.tree_laplacian(300)],
    ids=["grid_sddm", "random_graph", "tree"],
)
def test_rounds_give_one_factor_for_any_number_of_threads(A, rng):
    order = vorlane.Rounds(round_size=16)
    one = vorlane.Preconditioner(A, order=order, threads=1)
    for threads in (2, 3):
        assert same_factor(one, vorlane.Preconditioner(A, order=order, threads=threads))
    assert not same_factor(one, vorlane.Preconditioner(A))
    b = problems.zero_mean(rng.standard_normal(A.shape[0]))
    x1, info1 = vorlane.solve(A, b, order=order, threads=1, method="factor")
    x2, info2 = vorlane.solve(A, b, order=order, threads=2, method="factor")
    assert info1.converged and info1.iterations == info2.iterations
    assert np.array_equal(x1, x2)


def test_rounds_precondition_as_well_as_the_sequential_order(rng):
    A = problems.grid_sddm(80, seed=5)
    b = rng.standard_normal(A.shape[0])
    _, sequential = vorlane.solve(A, b, method="factor")
    for order in ("rounds", vorlane.Rounds(round_size=4096, degree_factor=2.0)):
        _, rounds = vorlane.solve(A, b, method="factor", order=order, threads=2)
        assert rounds.converged
        assert rounds.iterations <= 1.3 * sequential.iterations + 2


def test_rounds_keep_their_order_through_refactor_copies_and_files():
    A = problems.grid_sddm(30, seed=6)
    order = vorlane.Rounds(round_size=8, degree_factor=2.0)
    P = vorlane.Preconditioner(A, order=order, threads=2)
    assert P.order == order
    fresh = vorlane.Preconditioner(A, order=order)
    P.refactor(A)
    assert same_factor(P, fresh)
    for twin in (copy.copy(P), copy.deepcopy(P)):
        assert twin.order == order
        twin.refactor(A)
        assert same_factor(twin, fresh)
    buffer = io.BytesIO()
    vorlane.save(P, buffer)
    buffer.seek(0)
    assert same_factor(vorlane.load(buffer), fresh)


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"order": "parallel"}, ValueError, "order must be 'sequential', 'rounds' or a vorlane.Rounds"),
        ({"order": None}, ValueError, "order must be"),
        ({"threads": 0}, ValueError, "threads must be between 1 and 4096, got 0"),
        ({"threads": 2.0}, TypeError, "threads must be an integer or None"),
    ],
)
def test_order_options_are_checked(options, error, message):
    A = problems.grid_sddm(5)
    for call in (lambda: vorlane.Preconditioner(A, **options), lambda: vorlane.solve(A, np.ones(25), **options)):
        with pytest.raises(error, match=message):
            call()


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"round_size": 0}, ValueError, "round_size must be >= 1 and below 2\\*\\*32, got 0"),
        ({"round_size": 1.5}, TypeError, "round_size must be an integer"),
        ({"degree_factor": 0.5}, ValueError, "degree_factor must be between 1 and 1e6, got 0.5"),
        ({"degree_factor": float("nan")}, ValueError, "degree_factor must be between 1 and 1e6"),
        ({"degree_factor": "2"}, TypeError, "degree_factor must be a number"),
        ({"blocks": -1}, ValueError, "blocks must be >= 0 and below 2\\*\\*32, got -1"),
    ],
)
def test_rounds_options_are_checked(options, error, message):
    with pytest.raises(error, match=message):
        vorlane.Rounds(**options)


@pytest.mark.parametrize("count", [1, 4, 32])
def test_parts_interiors_first_same_on_any_threads(count, rng):
    pytest.importorskip("pymetis")
    A = problems.grid_sddm(60, seed=7)
    b = rng.standard_normal(A.shape[0])
    parts = vorlane.partition(A, count)
    assert parts.shape == (A.shape[0],) and set(np.unique(parts)) <= set(range(count))
    assert np.array_equal(parts, vorlane.partition(A, count))
    order = vorlane.Rounds(parts=parts)
    one = vorlane.Preconditioner(A, order=order, threads=1)
    assert same_factor(one, vorlane.Preconditioner(A, order=order, threads=3))
    _, sequential = vorlane.solve(A, b, method="factor")
    _, info = vorlane.solve(A, b, M=one)
    assert info.converged and info.iterations <= 1.3 * sequential.iterations + 2


@pytest.mark.parametrize(
    "parts, error, message",
    [
        (np.zeros(5, dtype=np.int64), ValueError, "parts must hold 900 elements, got 5"),
        (np.full(900, 900), ValueError, "parts\\[0\\] = 900 is not below 900"),
        (np.full(900, -1), ValueError, "parts must hold part numbers from 0 to n - 1"),
        (np.zeros(900), TypeError, "parts must be a 1-D array of integers"),
        (np.zeros((30, 30), dtype=np.int32), TypeError, "parts must be a 1-D array of integers"),
    ],
)
def test_parts_are_checked(parts, error, message):
    A = problems.grid_sddm(30)
    with pytest.raises(error, match=message):
        vorlane.Preconditioner(A, order=vorlane.Rounds(parts=parts))


def test_partition_arguments_are_checked():
    A = problems.grid_sddm(5)
    with pytest.raises(ValueError, match="parts must be >= 1, got 0"):
        vorlane.partition(A, 0)
    with pytest.raises(TypeError, match="A must be a square scipy.sparse matrix"):
        vorlane.partition(np.eye(3), 2)
    assert np.array_equal(vorlane.partition(A, 1), np.zeros(25))
