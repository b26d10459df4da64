"""Replacing a file atomically: written beside its target, then renamed over it."""

from __future__ import annotations

import os
import secrets
import stat
from typing import BinaryIO, Callable, Union

PathLike = Union[str, "os.PathLike[str]"]


def write_atomically(path: PathLike, write: Callable[[BinaryIO], None]) -> None:
    """Call ``write`` on a new temporary file beside the target, then rename it into place, so
    that readers see the old file or the whole new one and a failure leaves the old one alone.

    A symbolic link is followed: its target is replaced and the link stays a link. An existing
    target keeps its permission bits; a new file gets those the process's umask allows for
    0o666 (the kernel applies the umask when the temporary file is created, so the umask is
    never read or changed).
    """
    target = os.path.realpath(os.fspath(path))
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        mode = None
    temporary, fd = _create_beside(target)
    try:
        with os.fdopen(fd, "wb") as handle:
            write(handle)
            handle.flush()
            if mode is not None:
                os.fchmod(handle.fileno(), mode)
            os.fsync(handle.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _create_beside(target: str) -> "tuple[str, int]":
    directory, name = os.path.split(target)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    for _ in range(100):
        temporary = os.path.join(directory, f".{name}.{secrets.token_hex(6)}.tmp")
        try:
            return temporary, os.open(temporary, flags, 0o666)
        except FileExistsError:
            continue
    raise FileExistsError(f"could not create a temporary file beside {target}")
