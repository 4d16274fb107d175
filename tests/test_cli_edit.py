"""vexil get|set|del end to end on a copy of a real pyproject.toml."""

import json
import subprocess
import sys

import pytest

import vexil


def run(*args):
    return subprocess.run([sys.executable, "-m", "vexil", *map(str, args)], capture_output=True, text=True)


@pytest.fixture
def pyproject(shared_dir, tmp_path):
    target = tmp_path / "pyproject.toml"
    target.write_bytes((shared_dir / "bench" / "pyproject.toml").read_bytes())
    return target


AUTHOR = {"name": "S\u0065\u0301bastien Eustace", "email": "sebastien@eustace.io"}


@pytest.mark.parametrize(
    "key, flags, expected",
    [
        ("project.version", [], "2.5.0.dev0"),
        ("project.name", [], "poetry"),
        ("'project'.\"requires-python\"", [], ">=3.10,<4.0"),
        ("project.authors[0].name", [], AUTHOR["name"]),
        ("project.authors[-1]", ["--toml"], 'name = "%s"\nemail = "%s"' % (AUTHOR["name"], AUTHOR["email"])),
        ("project.authors", [], json.dumps([AUTHOR], indent=4, ensure_ascii=False)),
    ],
)
def test_get(pyproject, key, flags, expected):
    result = run("get", pyproject, key, *flags)
    assert result.returncode == 0, result.stderr
    assert result.stdout == expected + "\n"


def test_get_prints_scalars_in_toml_form(tmp_path):
    path = tmp_path / "a.toml"
    path.write_text("b = true\nd = 1979-05-27T07:32:00Z\nf = 0.5\nn = [1, 'x']\n")
    assert run("get", path, "b").stdout == "true\n"
    assert run("get", path, "d").stdout == "1979-05-27T07:32:00Z\n"
    assert run("get", path, "f").stdout == "0.5\n"
    assert run("get", path, "n", "--toml").stdout == '[1, "x"]\n'


@pytest.mark.parametrize(
    "args, key, expected",
    [
        (["project.version", '"1.2.3"'], ("project", "version"), "1.2.3"),
        (["project.version", "1.2.3", "--str"], ("project", "version"), "1.2.3"),
        (["tool.poetry.new", "[1, 2]"], ("tool", "poetry", "new"), [1, 2]),
        (["tool.poetry.table", "{x = 1}"], ("tool", "poetry", "table"), {"x": 1}),
        (["project.authors[0].name", "'Me'"], ("project", "authors", 0, "name"), "Me"),
        (["tool.newtool.deep.flag", "true"], ("tool", "newtool", "deep", "flag"), True),
    ],
)
def test_set_changes_only_the_value(pyproject, args, key, expected):
    before = pyproject.read_bytes()
    result = run("set", pyproject, *args)
    assert result.returncode == 0, result.stderr
    after = pyproject.read_bytes()
    data = vexil.loads(after)
    for step in key:
        data = data[step]
    assert data == expected
    changed = [line for line in after.splitlines() if line not in before.splitlines()]
    assert len(changed) <= 2, changed
    assert len(after.splitlines()) - len(before.splitlines()) <= 3


def test_set_bumps_the_version_keeping_every_other_byte(pyproject):
    before = pyproject.read_text()
    assert run("set", pyproject, "project.version", '"2.5.1"').returncode == 0
    assert pyproject.read_text() == before.replace('version = "2.5.0.dev0"', 'version = "2.5.1"', 1)


def test_del_removes_the_lines(pyproject):
    before = vexil.loads(pyproject.read_bytes())
    assert run("del", pyproject, "tool.poetry").returncode == 0
    del before["tool"]["poetry"]
    assert vexil.loads(pyproject.read_bytes()) == before


def test_symbolic_link_is_followed(pyproject, tmp_path):
    link = tmp_path / "link.toml"
    link.symlink_to(pyproject)
    assert run("set", link, "project.version", "--str", "3").returncode == 0
    assert link.is_symlink()
    assert vexil.loads(pyproject.read_bytes())["project"]["version"] == "3"


@pytest.mark.parametrize(
    "command, message",
    [
        (["get", "project.missing"], "key not found: project.missing"),
        (["del", "project.missing"], "key not found: project.missing"),
        (["set", "project.version.x", "1"], "project.version is not a table"),
        (["set", "project.version", "1.2.3"], "invalid VALUE"),
        (["set", "project.version", "1\nx = 2"], "invalid VALUE"),
        (["get", "project.authors[7]"], "index out of range"),
        (["get", "project..x"], "invalid KEY"),
        (["set", "project.version", "nan", "--str", ], None),
    ],
)
def test_failures_leave_the_file_untouched(pyproject, command, message):
    before = pyproject.read_bytes()
    result = run(command[0], pyproject, *command[1:])
    if message is None:
        assert result.returncode == 0
        return
    assert result.returncode == 1
    assert result.stderr.count("\n") == 1
    assert result.stderr.startswith(f"{pyproject}: ") and message in result.stderr
    assert pyproject.read_bytes() == before


def test_invalid_file_gives_its_position(tmp_path):
    path = tmp_path / "bad.toml"
    path.write_text("a = 1\nb = \n")
    result = run("set", path, "a", "2")
    assert result.returncode == 1
    assert result.stderr.startswith(f"{path}:2:5: ")
    assert path.read_text() == "a = 1\nb = \n"
    assert run("get", tmp_path / "none.toml", "a").returncode == 1
