"""Atomic writes to a path (vexil.dump, the command line's --in-place): links
written through, modes kept, data synced, nothing left behind."""

import errno
import os
import re
import stat
import subprocess
import sys
import threading

import pytest

import vexil
from vexil import _atomic
from vexil._atomic import write_atomically

OLD = b"old = 1\n"
NEW = b"new = 2\n"
TEMPORARY = re.compile(r"\.out\.toml\.vexil-[0-9a-f]{12}\.tmp")


@pytest.fixture(params=["unnamed", "named"])
def route(request, monkeypatch):
    """Both ways of writing: an unnamed file linked at the end (Linux), and a
    file named from the start (the fallback)."""
    if request.param == "named":
        monkeypatch.setattr(_atomic, "_unnamed_works", False)
    elif not _atomic._unnamed_works:
        pytest.skip("no O_TMPFILE here")
    return request.param


def listing(folder):
    return sorted(p.name for p in folder.iterdir())


@pytest.mark.parametrize(
    "links, target",
    [
        (["out.toml"], "real/out.toml"),  # a link into another folder
        (["a.toml", "b.toml"], "real/out.toml"),  # a chain: a -> b -> real/out.toml
        (["out.toml"], "out-real.toml"),  # a link within the folder
    ],
)
@pytest.mark.parametrize("exists", [True, False])
def test_writes_through_symbolic_links(tmp_path, route, links, target, exists):
    (tmp_path / "real").mkdir()
    real = tmp_path / target
    if exists:
        real.write_bytes(OLD)
        os.chmod(real, 0o640)
    # Relative links, each pointing to the next, the last to the real file.
    chain = [tmp_path / name for name in links] + [real]
    for link, to in zip(chain, chain[1:]):
        link.symlink_to(os.path.relpath(to, link.parent))
    vexil.dump({"new": 2}, chain[0])
    for link in chain[:-1]:
        assert link.is_symlink()
    assert real.read_bytes() == NEW and not real.is_symlink()
    if exists:
        assert stat.S_IMODE(real.stat().st_mode) == 0o640
    assert listing(tmp_path / "real") == (["out.toml"] if target.startswith("real/") else [])


def test_symbolic_link_loop_is_an_error_and_stays(tmp_path):
    (tmp_path / "a").symlink_to("b")
    (tmp_path / "b").symlink_to("a")
    with pytest.raises(OSError) as info:
        write_atomically(tmp_path / "a", NEW)
    assert info.value.errno == errno.ELOOP and info.value.filename == str(tmp_path / "a")
    assert (tmp_path / "a").is_symlink() and (tmp_path / "b").is_symlink()


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o755, 0o444])
def test_keeps_the_mode_of_an_existing_file(tmp_path, route, mode):
    path = tmp_path / "out.toml"
    path.write_bytes(OLD)
    os.chmod(path, mode)
    write_atomically(path, NEW)
    assert path.read_bytes() == NEW
    assert stat.S_IMODE(path.stat().st_mode) == mode


NEW_FILE_MODE = """
import os, sys
from vexil._atomic import write_atomically
import vexil._atomic
vexil._atomic._unnamed_works = vexil._atomic._unnamed_works and sys.argv[2] == "unnamed"
os.umask(0o027)
def refuse(mask):
    raise AssertionError("the process umask was changed")
os.umask = refuse
write_atomically(sys.argv[1], b"x = 1\\n")
print(oct(os.stat(sys.argv[1]).st_mode & 0o7777))
"""


def test_new_file_gets_the_umask_without_touching_it(tmp_path, route):
    # Run apart: the umask is process-wide. os.umask is replaced by a function
    # that fails, so a write that reads the umask by setting it fails too.
    result = subprocess.run([sys.executable, "-c", NEW_FILE_MODE, str(tmp_path / "out.toml"), route],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "0o640"


def test_syncs_the_file_then_its_folder(tmp_path, route, monkeypatch):
    synced = []
    real_fsync = os.fsync

    def spy(fd):
        mode = os.fstat(fd).st_mode
        synced.append("folder" if stat.S_ISDIR(mode) else "file")
        real_fsync(fd)

    monkeypatch.setattr(os, "fsync", spy)
    write_atomically(tmp_path / "out.toml", NEW)
    assert synced == ["file", "folder"]


def test_missing_folder_names_the_target(tmp_path, route):
    path = tmp_path / "missing" / "out.toml"
    with pytest.raises(FileNotFoundError) as info:
        vexil.dump({"a": 1}, path)
    assert info.value.filename == str(path)
    assert listing(tmp_path) == []


def test_a_folder_is_not_replaced(tmp_path, route):
    (tmp_path / "out.toml").mkdir()
    with pytest.raises(IsADirectoryError) as info:
        write_atomically(tmp_path / "out.toml", NEW)
    assert info.value.filename == str(tmp_path / "out.toml")
    assert listing(tmp_path) == ["out.toml"] and (tmp_path / "out.toml").is_dir()


@pytest.mark.parametrize("failing", ["write", "fsync", "replace"])
def test_failure_leaves_old_file_and_no_temporary(tmp_path, route, monkeypatch, failing):
    path = tmp_path / "out.toml"
    path.write_bytes(OLD)
    real = getattr(os, failing)

    def fail(*args, **kwargs):
        if failing == "fsync" and stat.S_ISDIR(os.fstat(args[0]).st_mode):
            return real(*args, **kwargs)
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(os, failing, fail)
    with pytest.raises(OSError) as info:
        write_atomically(path, NEW * 1000)
    assert info.value.errno == errno.ENOSPC and info.value.filename == str(path)
    assert path.read_bytes() == OLD
    assert listing(tmp_path) == ["out.toml"]


def test_interrupt_leaves_no_temporary(tmp_path, route, monkeypatch):
    path = tmp_path / "out.toml"
    path.write_bytes(OLD)

    def interrupt(fd):
        raise KeyboardInterrupt

    monkeypatch.setattr(os, "fsync", interrupt)
    with pytest.raises(KeyboardInterrupt):
        write_atomically(path, NEW)
    assert listing(tmp_path) == ["out.toml"] and path.read_bytes() == OLD


KILLED = """
import os, sys, time
import vexil._atomic
vexil._atomic._unnamed_works = vexil._atomic._unnamed_works and sys.argv[2] == "unnamed"
def hang(fd):
    print("writing", flush=True)
    time.sleep(60)
os.fsync = hang
vexil._atomic.write_atomically(sys.argv[1], b"new = 2\\n" * 100000)
"""


def test_killed_while_writing(tmp_path, route):
    # The process is killed with the text written but not yet synced or
    # renamed: the old file stays, and what is left over is nothing (an
    # unnamed file) or one file whose name says what it is.
    path = tmp_path / "out.toml"
    path.write_bytes(OLD)
    child = subprocess.Popen([sys.executable, "-c", KILLED, str(path), route], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "writing\n"
    finally:
        child.kill()
        child.wait()
        child.stdout.close()
    assert path.read_bytes() == OLD
    left = [name for name in listing(tmp_path) if name != "out.toml"]
    if route == "unnamed":
        assert left == []
    else:
        assert len(left) == 1 and TEMPORARY.fullmatch(left[0]), left


def test_a_pipe_is_written_to_not_replaced(tmp_path):
    fifo = tmp_path / "out.toml"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()), daemon=True)
    reader.start()
    write_atomically(fifo, NEW)
    reader.join(timeout=30)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert received == [NEW]
    assert listing(tmp_path) == ["out.toml"]


def test_command_line_rewrites_through_a_link(tmp_path):
    real = tmp_path / "real.toml"
    real.write_text("b=1\na  =  2\n")
    os.chmod(real, 0o600)
    link = tmp_path / "link.toml"
    link.symlink_to("real.toml")
    result = subprocess.run([sys.executable, "-m", "vexil", "--format", "--in-place", str(link)],
                            capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert link.is_symlink() and real.read_text() == "b = 1\na = 2\n"
    assert stat.S_IMODE(real.stat().st_mode) == 0o600
    assert listing(tmp_path) == ["link.toml", "real.toml"]
