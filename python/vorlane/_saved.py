"""Saving and loading a Preconditioner as ``.npz``, and the state its pickles carry.

Layout (format version 1), one member per name, all little-endian:

================  ========  =====================================================
``format``        int64     0-d, the format version (1)
``n``             uint64    0-d, the factor's dimension (the matrix's, plus 1 when
                            a ground vertex was added)
``original_n``    uint64    0-d, the matrix's dimension
``seed``          uint64    0-d, the seed it was built with
``split``         uint64    0-d, the split it was built with (0 for None)
``setup_seconds`` float64   0-d, the time its checks and factorization took
``scale``         float64   0-d, positive: the factor was built for scale * A
``order``         uint32    (n - 1,), the vertex eliminated at each step
``col_starts``    uint32    (n,), where each step's column entries start
``rows``          uint32    (entries,), the vertex of each column entry
``coefficients``  float64   (entries,), the coefficient of each column entry
``inv_diag``      float64   (n - 1,), each step's inverse pivot (0 for none)
``renumbering``   uint32    (original_n,), optional, present when the factorization
                            ran on the matrix renumbered: ``renumbering[new] = old``
================  ========  =====================================================

(``n`` is 0 for an empty matrix; then ``order`` and ``inv_diag`` are empty and
``col_starts`` is ``[0]``.) The factor's arrays always name the matrix's own vertices, also
when it was built from the renumbered matrix, so ``renumbering`` only records that numbering:
files without it (all those saved before it existed) load as they always did, and a reader
that ignores it still solves correctly. Loading reads nothing as a pickle and checks
everything before the factor is used: the member types and shapes here, the factor's
structure and that the renumbering names each vertex exactly once in the engine.
"""

from __future__ import annotations

import math
import os
import zipfile
import zlib
from typing import Any, BinaryIO, Dict, Mapping, Tuple, Union

import numpy as np

from . import _engine
from ._atomic import write_atomically
from ._checks import PRECISIONS, check_precision, check_seed, check_split, describe

FORMAT_VERSION = 1

# name: (dtype, number of dimensions)
_SCALARS: Dict[str, Tuple[np.dtype, int]] = {
    "format": (np.dtype("<i8"), 0),
    "n": (np.dtype("<u8"), 0),
    "original_n": (np.dtype("<u8"), 0),
    "seed": (np.dtype("<u8"), 0),
    "split": (np.dtype("<u8"), 0),
    "setup_seconds": (np.dtype("<f8"), 0),
    "scale": (np.dtype("<f8"), 0),
}
_ARRAYS: Dict[str, Tuple[np.dtype, int]] = {
    "order": (np.dtype("<u4"), 1),
    "col_starts": (np.dtype("<u4"), 1),
    "rows": (np.dtype("<u4"), 1),
    "coefficients": (np.dtype("<f8"), 1),
    "inv_diag": (np.dtype("<f8"), 1),
}
_MEMBERS = {**_SCALARS, **_ARRAYS}
# The optional member: name, dtype.
_RENUMBERING = ("renumbering", np.dtype("<u4"))

# Deflate expands data at most about 1032-fold: a member claiming more than this many bytes
# per stored byte cannot be genuine.
_MAX_EXPANSION = 1100

PathOrFile = Union[str, "os.PathLike[str]", BinaryIO]


def state_of(preconditioner: Any) -> Dict[str, np.ndarray]:
    """The arrays that make up a preconditioner, as named in the layout."""
    factor = preconditioner._factor
    steps = int(factor.n_steps)
    entries = int(factor.nnz) - steps
    arrays = {
        "order": np.empty(steps, np.dtype("<u4")),
        "col_starts": np.empty(steps + 1, np.dtype("<u4")),
        "rows": np.empty(entries, np.dtype("<u4")),
        "coefficients": np.empty(entries, np.dtype("<f8")),
        "inv_diag": np.empty(steps, np.dtype("<f8")),
    }
    factor.export_into(*arrays.values())
    if factor.renumbered:
        name, dtype = _RENUMBERING
        arrays[name] = np.empty(int(factor.n), dtype)
        factor.renumbering_into(arrays[name])
    split = preconditioner.split
    return {
        "format": np.array(FORMAT_VERSION, np.dtype("<i8")),
        "n": np.array(factor.internal_n, np.dtype("<u8")),
        "original_n": np.array(factor.n, np.dtype("<u8")),
        "seed": np.array(preconditioner.seed, np.dtype("<u8")),
        "split": np.array(0 if split is None else split, np.dtype("<u8")),
        "setup_seconds": np.array(preconditioner.setup_seconds, np.dtype("<f8")),
        "scale": np.array(preconditioner._scale, np.dtype("<f8")),
        **arrays,
    }


def from_state(state: Mapping[str, Any], precision: str = "mixed") -> Any:
    """The Preconditioner the state describes, its applies in ``precision``; ValueError unless
    it describes a valid one."""
    from ._preconditioner import Preconditioner

    if not isinstance(state, Mapping):
        raise ValueError(f"a preconditioner's state must be a mapping, got {describe(state)}")
    for name, (dtype, ndim) in _MEMBERS.items():
        value = state.get(name)
        if not isinstance(value, np.ndarray):
            raise ValueError(f"saved preconditioner: {name} is missing")
        if value.dtype != dtype or value.ndim != ndim:
            raise ValueError(
                f"saved preconditioner: {name} must be a {ndim}-dimensional {dtype.name} array, "
                f"got a {value.ndim}-dimensional {value.dtype.name} array"
            )
    version = int(state["format"])
    if version != FORMAT_VERSION:
        raise ValueError(f"saved preconditioner: format version {version} is not supported (this is {FORMAT_VERSION})")
    name, dtype = _RENUMBERING
    renumbering = state.get(name)
    if renumbering is not None:
        if not isinstance(renumbering, np.ndarray) or renumbering.dtype != dtype or renumbering.ndim != 1:
            raise ValueError(f"saved preconditioner: {name} must be a 1-dimensional {dtype.name} array")
        renumbering = np.ascontiguousarray(renumbering)
    setup_seconds = float(state["setup_seconds"])
    if not (math.isfinite(setup_seconds) and setup_seconds >= 0):
        raise ValueError(f"saved preconditioner: setup_seconds {setup_seconds} is not a time")
    scale = float(state["scale"])
    if not (math.isfinite(scale) and scale > 0):
        raise ValueError(f"saved preconditioner: scale {scale} is not a positive number")
    split = int(state["split"])
    try:
        seed = check_seed(int(state["seed"]))
        split = check_split(None if split == 0 else split)
    except ValueError as exc:
        raise ValueError(f"saved preconditioner: {exc}") from None
    factor = _engine.restore_factor(
        int(state["n"]),
        int(state["original_n"]),
        *(np.ascontiguousarray(state[name]) for name in _ARRAYS),
        renumbering,
        PRECISIONS[check_precision(precision)],
    )
    return Preconditioner._from_factor(factor, scale=scale, seed=seed, split=split, setup_seconds=setup_seconds)


def save(preconditioner: Any, file: PathOrFile) -> None:
    """Save a :class:`vorlane.Preconditioner` in an uncompressed ``.npz`` archive.

    A path is written atomically, whatever its suffix (none is added); through a symbolic
    link, the link's target is replaced. The layout (format version 1) is described in the
    user guide; :func:`vorlane.load` reads it back.

    Parameters
    ----------
    preconditioner : Preconditioner
        The preconditioner to save, renumbering included.
    file : str, os.PathLike or binary file object
        Where to write it.

    Raises
    ------
    TypeError
        ``preconditioner`` is not a :class:`vorlane.Preconditioner`.
    OSError
        The file cannot be written; a path is then left as it was.
    """
    from ._preconditioner import Preconditioner

    if not isinstance(preconditioner, Preconditioner):
        raise TypeError(f"save() takes a vorlane.Preconditioner, got {describe(preconditioner)}")
    state = state_of(preconditioner)
    if isinstance(file, (str, os.PathLike)):
        write_atomically(file, lambda handle: np.savez(handle, **state))
    else:
        np.savez(file, **state)


def load(file: PathOrFile, *, precision: str = "mixed") -> Any:
    """Load a :class:`vorlane.Preconditioner` saved by :func:`vorlane.save`.

    The file is never unpickled; solves with the loaded preconditioner are bit for bit those
    of the saved one when loaded in the precision it was saved in.

    Parameters
    ----------
    file : str, os.PathLike or binary file object
        The saved archive.
    precision : {"mixed", "double"}
        How the loaded factor's applies store it, as for :class:`vorlane.Preconditioner`
        ("mixed" by default): the file holds the factor, not that choice.

    Returns
    -------
    Preconditioner

    Raises
    ------
    ValueError
        Anything that is not a complete, valid saved preconditioner: a truncated or
        corrupted file, wrong members, lengths or index ranges, an order that eliminates a
        vertex twice, a renumbering that is not a permutation, non-finite values; an unknown
        precision.
    OSError
        The file cannot be read.
    """
    precision = check_precision(precision)
    return from_state(_read_archive(file), precision)


def _read_archive(file: PathOrFile) -> Dict[str, np.ndarray]:
    try:
        archive = np.load(file, allow_pickle=False)
    except (ValueError, EOFError, zipfile.BadZipFile) as exc:
        raise ValueError(f"not a saved vorlane preconditioner: {exc}") from None
    if not isinstance(archive, np.lib.npyio.NpzFile):
        raise ValueError("not a saved vorlane preconditioner: not an .npz archive")
    with archive:
        size = _stream_size(archive.zip.fp)
        members = {name: _read_member(archive.zip, name, dtype, size) for name, (dtype, _) in _MEMBERS.items()}
        name, dtype = _RENUMBERING
        if name in archive.files:
            members[name] = _read_member(archive.zip, name, dtype, size)
        return members


def _stream_size(stream: Any) -> int:
    position = stream.tell()
    end = stream.seek(0, os.SEEK_END)
    stream.seek(position)
    return int(end)


def _read_member(archive: zipfile.ZipFile, name: str, dtype: np.dtype, archive_size: int) -> np.ndarray:
    """One member, read only once its header's claimed size is known to fit the archive, so
    that a hostile header cannot make us allocate more than the file could hold."""
    try:
        info = archive.getinfo(name + ".npy")
    except KeyError:
        raise ValueError(f"saved preconditioner: {name} is missing") from None
    try:
        if info.compress_type == zipfile.ZIP_STORED:
            limit = archive_size
        elif info.compress_type == zipfile.ZIP_DEFLATED:
            limit = archive_size * _MAX_EXPANSION
        else:
            raise ValueError(f"compression method {info.compress_type} is not supported")
        if info.file_size > limit:
            raise ValueError(f"claims {info.file_size} bytes, more than the archive can hold")
        with archive.open(info) as stream:
            version = np.lib.format.read_magic(stream)
            if version == (1, 0):
                shape, fortran_order, found = np.lib.format.read_array_header_1_0(stream)
            elif version == (2, 0):
                shape, fortran_order, found = np.lib.format.read_array_header_2_0(stream)
            else:
                raise ValueError(f"array format version {version} is not supported")
            if found != dtype:
                raise ValueError(f"must hold {dtype.name}, holds {found}")
            count = math.prod(shape)
            nbytes = count * dtype.itemsize
            if nbytes > info.file_size:
                raise ValueError(f"claims shape {shape}, more than its {info.file_size} bytes")
            data = stream.read(nbytes)
            if len(data) != nbytes or stream.read(1):
                raise ValueError("its data do not match its shape")
        array = np.frombuffer(data, dtype=dtype, count=count).reshape(shape, order="F" if fortran_order else "C")
    except (ValueError, TypeError, EOFError, zlib.error, zipfile.BadZipFile) as exc:
        raise ValueError(f"saved preconditioner: member {name}: {exc}") from None
    return array
