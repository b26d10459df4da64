"""Hostile saved preconditioners and pickles: every broken state is refused with ValueError,
whether it arrives in a file or in a pickle, and nothing is read out of bounds."""

import io
import pickle
import zipfile

import numpy as np
import pytest

import problems

vorlane = pytest.importorskip("vorlane")
from vorlane import _saved  # noqa: E402


@pytest.fixture(scope="module")
def state():
    p = vorlane.Preconditioner(problems.grid_sddm(6, seed=8), seed=5)
    return _saved.state_of(p)


def _set(name, index, value):
    def mutate(s):
        array = s[name].copy()
        array[index] = value
        s[name] = array

    return mutate


def _replace(name, make):
    def mutate(s):
        s[name] = make(s[name])

    return mutate


def _drop(name):
    return lambda s: s.pop(name)


def _decreasing(s):
    starts = s["col_starts"].copy()
    k = len(starts) // 2
    starts[k] = starts[k + 1] + 1
    s["col_starts"] = starts


def _renumbering(make):
    def mutate(s):
        s["renumbering"] = make(int(s["original_n"]))

    return mutate


MUTATIONS = {
    "truncated order": _replace("order", lambda a: a[:-1]),
    "truncated coefficients": _replace("coefficients", lambda a: a[:-1]),
    "truncated entries": lambda s: (_replace("rows", lambda a: a[:-1])(s), _replace("coefficients", lambda a: a[:-1])(s)),
    "row out of range": _set("rows", 0, 2**32 - 1),
    "row eliminated earlier": lambda s: _set("rows", -1, s["order"][0])(s),
    "offsets decreasing": _decreasing,
    "offsets past the entries": _set("col_starts", -1, 2**32 - 1),
    "order not a permutation": lambda s: _set("order", 1, s["order"][0])(s),
    "order out of range": _set("order", 0, 2**31),
    "nan coefficient": _set("coefficients", 0, np.nan),
    "infinite inverse pivot": _set("inv_diag", 0, np.inf),
    "huge dimension": _replace("n", lambda a: np.array(2**40, a.dtype)),
    "dimension without arrays": lambda s: s.update(n=np.array(2**32 - 1, np.uint64), original_n=np.array(2**32 - 1, np.uint64)),
    "dimensions disagree": _replace("original_n", lambda a: a + 5),
    "index dtype": _replace("rows", lambda a: a.astype(np.int64)),
    "index shape": _replace("order", lambda a: a.reshape(-1, 1)),
    "missing member": _drop("inv_diag"),
    "format version": _replace("format", lambda a: a + 1),
    "split out of range": _replace("split", lambda a: np.array(2**33, a.dtype)),
    "setup time not a number": _replace("setup_seconds", lambda a: np.array(np.nan)),
    "scale not positive": _replace("scale", lambda a: -a),
    "renumbering repeats a vertex": _renumbering(lambda n: np.zeros(n, np.uint32)),
    "renumbering out of range": _renumbering(lambda n: np.append(np.arange(n - 1), n).astype(np.uint32)),
    "renumbering too short": _renumbering(lambda n: np.arange(n - 1, dtype=np.uint32)),
    "renumbering dtype": _renumbering(lambda n: np.arange(n, dtype=np.int64)),
    "renumbering shape": _renumbering(lambda n: np.arange(n, dtype=np.uint32).reshape(-1, 1)),
}


class _Pickled:
    """Pickles as a call of the preconditioner's own reconstructor on a given state."""

    def __init__(self, state):
        self.state = state

    def __reduce__(self):
        return (_saved.from_state, (self.state,))


def _as_file(state):
    stream = io.BytesIO()
    np.savez(stream, **state)
    stream.seek(0)
    return vorlane.load(stream)


def _as_pickle(state):
    return pickle.loads(pickle.dumps(_Pickled(state)))


@pytest.mark.parametrize("carrier", [_as_file, _as_pickle], ids=["file", "pickle"])
@pytest.mark.parametrize("mutation", MUTATIONS)
def test_broken_states_are_refused(state, mutation, carrier):
    broken = dict(state)
    MUTATIONS[mutation](broken)
    with pytest.raises(ValueError):
        carrier(broken)


def test_states_that_are_not_mappings_are_refused():
    for junk in (None, [1, 2], "state"):
        with pytest.raises(ValueError, match="mapping"):
            _as_pickle(junk)


def _saved_bytes(state):
    stream = io.BytesIO()
    np.savez(stream, **state)
    return stream.getvalue()


def _member_offset(data, name):
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        info = archive.getinfo(name + ".npy")
    # Local header: 30 bytes plus the name and extra field.
    name_length = int.from_bytes(data[info.header_offset + 26 : info.header_offset + 28], "little")
    extra_length = int.from_bytes(data[info.header_offset + 28 : info.header_offset + 30], "little")
    return info.header_offset + 30 + name_length + extra_length


def _npy_claiming(shape, dtype, payload):
    stream = io.BytesIO()
    np.lib.format.write_array_header_1_0(stream, {"descr": np.lib.format.dtype_to_descr(np.dtype(dtype)),
                                                  "fortran_order": False, "shape": shape})
    return stream.getvalue() + payload


@pytest.mark.parametrize("fraction", [0.0, 0.1, 0.5, 0.9, 0.999])
def test_truncated_files_are_refused(state, fraction):
    data = _saved_bytes(state)
    with pytest.raises(ValueError):
        vorlane.load(io.BytesIO(data[: int(len(data) * fraction)]))


def test_corrupted_and_foreign_files_are_refused(state, tmp_path):
    data = bytearray(_saved_bytes(state))
    start = _member_offset(bytes(data), "coefficients") + 128 + 8
    data[start] ^= 0xFF  # a flipped bit in a value: the archive's checksum catches it
    cases = {"flipped byte": bytes(data), "not an archive": b"\x00" * 64, "text": b"hello\n" * 20}
    stream = io.BytesIO()
    np.save(stream, np.arange(4))
    cases["a single array"] = stream.getvalue()
    for name, blob in cases.items():
        with pytest.raises(ValueError):
            vorlane.load(io.BytesIO(blob))
        path = tmp_path / name.replace(" ", "_")
        path.write_bytes(blob)
        with pytest.raises(ValueError):
            vorlane.load(path)


@pytest.mark.parametrize(
    "member",
    [
        # A header claiming far more data than the archive holds: refused before allocating.
        _npy_claiming((2**40,), "<u4", b"\x00" * 16),
        _npy_claiming((2**61,), "<f8", b""),
        # Fewer bytes than the shape needs, and more.
        _npy_claiming((100,), "<u4", b"\x00" * 12),
        _npy_claiming((1,), "<u4", b"\x00" * 12),
        # An object array would need unpickling: refused by its dtype, never unpickled.
        _npy_claiming((1,), object, pickle.dumps([1])),
    ],
    ids=["huge", "enormous", "short", "long", "object"],
)
def test_hostile_array_headers_are_refused(state, member):
    stream = io.BytesIO()
    with zipfile.ZipFile(stream, "w") as archive:
        for name, array in state.items():
            if name == "rows":
                archive.writestr("rows.npy", member)
            else:
                out = io.BytesIO()
                np.save(out, array)
                archive.writestr(name + ".npy", out.getvalue())
    stream.seek(0)
    with pytest.raises(ValueError, match="rows"):
        vorlane.load(stream)
