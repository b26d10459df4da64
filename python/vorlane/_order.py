"""Elimination orders: the sequential minimum-degree order and the parallel rounds."""

import os
from dataclasses import dataclass
from typing import Optional, Tuple, Union

from ._checks import as_integer, describe

ORDERS = ("sequential", "rounds")


@dataclass(frozen=True)
class Rounds:
    """The parallel elimination order, for ``order=`` of :func:`vorlane.solve` and
    :class:`vorlane.Preconditioner`.

    Each round takes live vertices whose degree is at most ``degree_factor`` times the least
    degree, no two of them adjacent, at most ``round_size`` of them, and eliminates them at
    the same time on every thread. Each vertex draws its random fill from a stream of its
    own, so the factor depends on the matrix, the seed, the split and these two numbers,
    never on the number of threads. It is an approximate Cholesky factor of the same matrix
    as the sequential order's, in another order: not the same bits.

    Args:
        round_size: the most vertices one round eliminates (>= 1).
        degree_factor: how far above the least degree a round may reach (>= 1).
    """

    round_size: int = 256
    degree_factor: float = 1.5

    def __post_init__(self) -> None:
        size = as_integer(self.round_size, "round_size", "an integer")
        if not 1 <= size < 2**32:
            raise ValueError(f"round_size must be >= 1 and below 2**32, got {size}")
        if isinstance(self.degree_factor, bool) or not isinstance(self.degree_factor, (int, float)):
            raise TypeError(f"degree_factor must be a number, got {describe(self.degree_factor)}")
        factor = float(self.degree_factor)
        if not 1.0 <= factor <= 1e6:
            raise ValueError(f"degree_factor must be between 1 and 1e6, got {factor!r}")
        object.__setattr__(self, "round_size", size)
        object.__setattr__(self, "degree_factor", factor)


def check_order(order: object) -> Optional[Rounds]:
    """The order option: "sequential" (None), "rounds" (default Rounds) or a Rounds."""
    if isinstance(order, Rounds):
        return order
    if isinstance(order, str) and order in ORDERS:
        return None if order == "sequential" else Rounds()
    raise ValueError(f"order must be 'sequential', 'rounds' or a vorlane.Rounds, got {order!r}")


def check_threads(threads: object) -> int:
    """The threads option: None for every core this process may run on, else an integer >= 1."""
    if threads is None:
        return available_threads()
    value = as_integer(threads, "threads", "an integer or None")
    if not 1 <= value <= 4096:
        raise ValueError(f"threads must be between 1 and 4096, got {value}")
    return value


def available_threads() -> int:
    """The cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # pragma: no cover - platforms without affinity
        return max(1, os.cpu_count() or 1)


def engine_order(order: Optional[Rounds], threads: int) -> Optional[Tuple[int, float, int]]:
    """The engine's form of a checked order."""
    if order is None:
        return None
    return (threads, order.degree_factor, order.round_size)


def order_name(order: Optional[Rounds]) -> Union[str, Rounds]:
    return "sequential" if order is None else order
