"""What a Matrix Market header declares, checked against what the file's body can hold and
against the memory a solve of that size needs, before anything is read in proportion to it."""

from __future__ import annotations

import bz2
import os

from ._resources import require_solve_memory

# The largest dimension the checked matrix supports (row numbers are 32-bit, one kept free).
MAX_DIMENSION = 2**32 - 2
# The fewest bytes a number takes in the body: a digit and a separator.
_MIN_NUMBER_BYTES = 2
# Deflate never compresses by more than this factor, so a gzip file's body is at most this
# many times its size.
_GZIP_MAX_RATIO = 1032
# A file whose entries can reach only a minority of its rows declares mostly empty rows; this
# many of them cost a solve about a gigabyte, for nothing.
EMPTY_ROWS_LIMIT = 2**24


def _numbers_per_entry(layout: str, field: str) -> int:
    if layout == "array":
        return 1
    return 2 if field == "pattern" else 3


def declared_entries(rows: int, cols: int, entries: int, layout: str, symmetry: str) -> int:
    """The values the body must hold: every one of an array (one triangle when symmetric),
    the stated count of a coordinate file."""
    if layout != "array":
        return entries
    if symmetry == "general":
        return rows * cols
    return rows * (rows + 1) // 2 if symmetry == "symmetric" else rows * (rows - 1) // 2


def _header_bytes(path: str) -> int:
    """The size of the banner, comments and size line of a plain file."""
    count = 0
    with open(path, "rb") as handle:
        for line in handle:
            count += len(line)
            stripped = line.strip()
            if stripped and not stripped.startswith(b"%"):
                return count
    return count


def body_bytes_bound(path: str) -> int:
    """An upper bound on the bytes after the header (uncompressed for .gz and .bz2 files)."""
    with open(path, "rb") as handle:
        magic = handle.read(3)
    size = os.stat(path).st_size
    if magic[:2] == b"\x1f\x8b":
        return size * _GZIP_MAX_RATIO
    if magic == b"BZh":
        total = 0
        with bz2.open(path, "rb") as handle:
            while True:
                chunk = handle.read(1 << 20)
                if not chunk:
                    return total
                total += len(chunk)
    return size - _header_bytes(path)


def check_declared(path: str, rows: int, cols: int, entries: int, layout: str, field: str, symmetry: str) -> None:
    """Raise ValueError when the header declares a dimension beyond the supported one, more
    values than the body can hold or a matrix of mostly empty rows, and InsufficientMemory
    when a solve of the declared size cannot fit in the memory available."""
    for count in (rows, cols):
        if count > MAX_DIMENSION:
            raise ValueError(
                f"{path}: the header declares dimension {count}, beyond the largest supported "
                f"({MAX_DIMENSION})"
            )
    values = declared_entries(rows, cols, entries, layout, symmetry)
    least = _numbers_per_entry(layout, field) * _MIN_NUMBER_BYTES
    body = body_bytes_bound(path)
    if values * least > body:
        raise ValueError(
            f"{path}: the header declares {values} entries but the body holds at most "
            f"{body // least} ({body} bytes); the file is truncated or its header is wrong"
        )
    stored = values if symmetry == "general" else 2 * values
    if layout == "coordinate" and rows == cols:
        reachable = min(rows, stored)
        empty = rows - reachable
        if empty > EMPTY_ROWS_LIMIT and empty > reachable:
            raise ValueError(
                f"{path}: the header declares {rows} rows but its {entries} entries reach at "
                f"most {reachable} of them; a matrix of {empty} empty rows is refused"
            )
    require_solve_memory(rows, stored, path)
