"""Pickling, copying, saving and loading a Preconditioner: nothing about its solves changes."""

import copy
import io
import multiprocessing
import pickle

import numpy as np
import pytest

import problems
import vorlane


@pytest.fixture(scope="module", params=["sddm", "laplacian", "split", "renumbered"])
def built(request):
    if request.param == "laplacian":
        A = problems.grid_laplacian(9, seed=3)
    else:
        A = problems.grid_sddm(9, seed=4)
    split = 3 if request.param == "split" else None
    p = vorlane.Preconditioner(A, seed=7, split=split, renumber=request.param == "renumbered")
    assert p.renumbered is (request.param == "renumbered")
    return A, p


def _through_file(p, tmp_path):
    path = tmp_path / "saved"
    vorlane.save(p, path)
    assert path.exists()  # no suffix added
    return vorlane.load(path)


def _through_stream(p, tmp_path):
    stream = io.BytesIO()
    vorlane.save(p, stream)
    stream.seek(0)
    return vorlane.load(stream)


ROUTES = {
    "pickle": lambda p, _: pickle.loads(pickle.dumps(p, protocol=pickle.HIGHEST_PROTOCOL)),
    "pickle-2": lambda p, _: pickle.loads(pickle.dumps(p, protocol=2)),
    "copy": lambda p, _: copy.copy(p),
    "deepcopy": lambda p, _: copy.deepcopy(p),
    "file": _through_file,
    "stream": _through_stream,
}


@pytest.mark.parametrize("route", ROUTES)
def test_round_trip_keeps_settings_and_solves_bit_identically(built, route, tmp_path):
    A, p = built
    q = ROUTES[route](p, tmp_path)
    assert type(q) is vorlane.Preconditioner and q is not p
    assert (q.n, q.nnz, q.seed, q.split, q.setup_seconds, q.shape) == (p.n, p.nnz, p.seed, p.split, p.setup_seconds, p.shape)
    assert q.renumbered is p.renumbered and np.array_equal(q.renumbering, p.renumbering)
    B = np.random.default_rng(1).standard_normal((p.n, 3))
    B -= B.mean(axis=0)  # in the range of a Laplacian too
    assert (q @ B).tobytes() == (p @ B).tobytes()
    x_p, info_p = vorlane.solve(A, B, M=p, method="factor")
    x_q, info_q = vorlane.solve(A, B, M=q, method="factor")
    assert x_q.tobytes() == x_p.tobytes()
    assert np.array_equal(info_q.iterations, info_p.iterations)


def _apply(p, b):
    return p @ b


def test_a_process_pool_worker_gets_the_same_preconditioner(built):
    A, p = built
    b = np.random.default_rng(2).standard_normal(p.n)
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        remote = pool.apply(_apply, (p, b))
    assert remote.tobytes() == (p @ b).tobytes()


def test_save_refuses_what_is_not_a_preconditioner(tmp_path):
    factor = vorlane.factorize(problems.grid_sddm(4, seed=1))
    with pytest.raises(TypeError, match="Preconditioner"):
        vorlane.save(factor, tmp_path / "x.npz")
    assert not (tmp_path / "x.npz").exists()
