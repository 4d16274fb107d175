"""Atomic file replacement, shared by ``dump``, the command line and the editor.

The new text is written to a file of its own in the target's folder, synced,
and renamed over the target, so readers see either the old file or the new
one, whole, and a failure at any point leaves the old file as it was.

- A symbolic link is written through: its final target is replaced and the
  link stays a link.
- An existing file keeps its permission bits (and its owner, where the
  process may set it); a new file gets ``0o666`` less the umask, applied by
  the kernel when the file is created, so the process umask is never changed.
- The file is synced before the rename and its folder after it, so once the
  call returns the new text survives a power cut.
- On Linux the text is first written to an unnamed file (``O_TMPFILE``) that
  gets a name only just before the rename: a process killed while writing
  leaves nothing behind. Elsewhere, or on file systems without ``O_TMPFILE``,
  the file is named ``.<name>.vexil-<random>.tmp`` from the start, and a
  killed process can leave that.
- Errors are raised as ``OSError`` naming the target path the caller gave,
  never the temporary file, and no temporary file is left after them.
- Targets that are not regular files (``/dev/stdout``, a named pipe) cannot be
  replaced and are simply written to.
"""

from __future__ import annotations

import errno
import os
import stat

# Cleared once unnamed files turn out unsupported here, so later calls go
# straight to a named temporary file.
_unnamed_works = hasattr(os, "O_TMPFILE") and os.path.isdir("/proc/self/fd")

# Errors that mean "no unnamed files here" rather than a failed write: old
# kernels and some file systems refuse O_TMPFILE, and naming the file needs
# /proc.
_UNSUPPORTED = (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL, errno.EXDEV, errno.ENOENT, errno.EPERM)


def _temporary_name(name: str) -> str:
    return f".{name}.vexil-{os.urandom(6).hex()}.tmp"


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        written = os.write(fd, view)
        view = view[written:]


def _finish(fd: int, data: bytes, old: os.stat_result | None) -> None:
    """Writes the text, gives the file the old one's mode and owner, syncs it."""
    _write_all(fd, data)
    if old is not None:
        if (old.st_uid, old.st_gid) != (os.geteuid(), os.getegid()):
            try:
                os.fchown(fd, old.st_uid, old.st_gid)
            except PermissionError:
                pass  # only root may give a file away; it stays ours
        os.fchmod(fd, stat.S_IMODE(old.st_mode))
    os.fsync(fd)


def _write_unnamed(folder: int, name: str, data: bytes, old: os.stat_result | None) -> str | None:
    """Writes the whole file unnamed (O_TMPFILE), then links it under a
    temporary name, which it returns; None where unnamed files do not work."""
    global _unnamed_works
    try:
        fd = os.open(".", os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o666, dir_fd=folder)
    except OSError as err:
        if err.errno in _UNSUPPORTED:
            _unnamed_works = False
            return None
        raise
    try:
        _finish(fd, data, old)
        temporary = _temporary_name(name)
        try:
            # The descriptor's /proc link names the unnamed file; linkat
            # follows it (os.link calls plain link() unless given a dir_fd).
            os.link(f"/proc/self/fd/{fd}", temporary, dst_dir_fd=folder, follow_symlinks=True)
        except OSError as err:
            if err.errno in _UNSUPPORTED:
                _unnamed_works = False
                return None
            raise
        return temporary
    finally:
        os.close(fd)


def _write_named(folder: int, name: str, data: bytes, old: os.stat_result | None) -> str:
    """Writes the file under a temporary name from the start; returns the name."""
    for _ in range(100):
        temporary = _temporary_name(name)
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666, dir_fd=folder)
            break
        except FileExistsError:
            continue
    else:
        raise FileExistsError(errno.EEXIST, "no free temporary file name")
    try:
        try:
            _finish(fd, data, old)
        finally:
            os.close(fd)
    except BaseException:
        os.unlink(temporary, dir_fd=folder)
        raise
    return temporary


def _resolve(path: str) -> str:
    """The file a write to ``path`` ends up in: symbolic links followed to
    their final target (which may not exist yet)."""
    resolved = os.path.realpath(path)
    if os.path.islink(resolved):
        # realpath leaves a loop unresolved; replacing it would replace a link.
        raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), path)
    return resolved


def _replace(path: str, data: bytes) -> None:
    target = _resolve(path)
    folder_path, name = os.path.split(target)
    folder = os.open(folder_path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        try:
            old = os.stat(name, dir_fd=folder)
        except FileNotFoundError:
            old = None
        if old is not None and not stat.S_ISREG(old.st_mode):
            if stat.S_ISDIR(old.st_mode):
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
            with open(target, "wb") as file:
                file.write(data)
            return
        temporary = None
        if _unnamed_works:
            temporary = _write_unnamed(folder, name, data, old)
        if temporary is None:
            temporary = _write_named(folder, name, data, old)
        try:
            os.replace(temporary, name, src_dir_fd=folder, dst_dir_fd=folder)
        except BaseException:
            os.unlink(temporary, dir_fd=folder)
            raise
        try:
            os.fsync(folder)
        except OSError as err:
            # Some file systems cannot sync a folder; the rename is then as
            # durable as they make it.
            if err.errno not in (errno.EINVAL, errno.ENOTSUP):
                raise
    finally:
        os.close(folder)


def write_atomically(target: str | os.PathLike[str], data: bytes) -> None:
    """Replaces the file at ``target`` with ``data`` as one step: a failed
    write leaves the old file as it was."""
    path = os.fspath(target)
    try:
        _replace(path, data)
    except OSError as err:
        if err.errno is None:
            raise
        # Name the caller's path, not the temporary file or a folder.
        raise OSError(err.errno, err.strerror, path) from None
