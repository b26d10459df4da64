"""What the machine can hold, measured before anything is allocated in proportion to what an
input declares: a few header bytes must never cost gigabytes."""

from __future__ import annotations

from typing import Optional

try:
    import resource
except ImportError:  # pragma: no cover - not a Unix system
    resource = None  # type: ignore[assignment]

# A lower bound on what checking, factorizing and solving cost: per row (the checked copy's
# row offsets, the factor's vertex records, the iteration's vectors) and per stored entry
# (the checked copy's column and value, the factor's share). Measured solves use about
# three times as much, so a refusal never turns away a matrix that would have fit.
BYTES_PER_ROW = 64
BYTES_PER_ENTRY = 32


def _meminfo_available() -> Optional[int]:
    try:
        with open("/proc/meminfo") as handle:
            for line in handle:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def _cgroup_headroom() -> Optional[int]:
    try:
        with open("/sys/fs/cgroup/memory.max") as handle:
            limit = handle.read().strip()
        if limit == "max":
            return None
        with open("/sys/fs/cgroup/memory.current") as handle:
            used = int(handle.read().strip())
        return max(int(limit) - used, 0)
    except (OSError, ValueError):
        return None


def _address_space_headroom() -> Optional[int]:
    if resource is None:  # pragma: no cover
        return None
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    if soft == resource.RLIM_INFINITY:
        return None
    try:
        with open("/proc/self/statm") as handle:
            size = int(handle.read().split()[0]) * resource.getpagesize()
    except (OSError, ValueError, IndexError):
        return None
    return max(soft - size, 0)


def available_memory() -> Optional[int]:
    """Bytes this process can still allocate, as far as the system says (the memory it
    reports available, a control group's limit, the address-space limit: the smallest);
    None when it says nothing."""
    known = [value for value in (_meminfo_available(), _cgroup_headroom(), _address_space_headroom())
             if value is not None]
    return min(known) if known else None


def solve_bytes(rows: int, entries: int) -> int:
    """The least memory a solve with a matrix of that many rows and stored entries takes."""
    return rows * BYTES_PER_ROW + entries * BYTES_PER_ENTRY


def size_text(count: int) -> str:
    for unit, scale in (("GB", 10**9), ("MB", 10**6)):
        if count >= scale:
            return f"{count / scale:.3g} {unit}"
    return f"{count} bytes"


class InsufficientMemory(MemoryError):
    """An input declares more than the machine can hold; raised before allocating for it."""


def require_memory(needed: int, what: str) -> None:
    """Raise InsufficientMemory, naming what and the numbers, when needed bytes exceed what
    the machine has available."""
    available = available_memory()
    if available is not None and needed > available:
        raise InsufficientMemory(
            f"{what} needs at least {size_text(needed)} of memory, and {size_text(available)} "
            "is available"
        )


def require_solve_memory(rows: int, entries: int, what: str) -> None:
    require_memory(solve_bytes(rows, entries), f"{what} ({rows} rows, {entries} stored entries)")

