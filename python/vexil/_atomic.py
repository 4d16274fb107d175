"""Atomic file replacement, shared by ``dump``, the command line and the editor."""

from __future__ import annotations

import os
import tempfile


def write_atomically(target: str | os.PathLike[str], data: bytes) -> None:
    """Replaces the file at ``target`` with ``data`` as one step: a failed
    write leaves the old file as it was."""
    path = os.fspath(target)
    folder = os.path.dirname(os.path.abspath(path))
    try:
        mode = os.stat(path).st_mode & 0o7777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=".vexil-", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
