"""The command line: python -m vexil, in each mode, with files and stdin."""

import json
import re
import subprocess
import sys

import pytest

import vexil

GOOD = 'name = "vexil"\nwhen = 2024-01-05\n[deps]\nlist = [1, 2]\n'
BAD = 'a = 1\nb = "unterminated\n'


def run(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "vexil", *map(str, args)],
        input=stdin.encode() if isinstance(stdin, str) else stdin,
        capture_output=True,
    )


@pytest.fixture
def files(tmp_path):
    good = tmp_path / "good.toml"
    good.write_text(GOOD, encoding="utf-8")
    bad = tmp_path / "bad.toml"
    bad.write_text(BAD, encoding="utf-8")
    return good, bad


def test_prints_json_with_iso_dates(files):
    good, _ = files
    result = run(good)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {"name": "vexil", "when": "2024-01-05", "deps": {"list": [1, 2]}}
    assert result.stdout.startswith(b'{\n    "name"')


def test_json_layout_options_and_stdin():
    result = run("--compact", "--sort-keys", "-", stdin="b = 1\na = 2\n")
    assert result.returncode == 0
    assert result.stdout == b'{"a":2,"b":1}\n'
    result = run("--indent", "1", stdin="a = 2\n")
    assert result.stdout == b'{\n "a": 2\n}\n'


def test_check_reports_file_line_col(files):
    good, bad = files
    result = run("--check", good, bad)
    assert result.returncode == 1
    assert result.stdout == b""
    line = result.stderr.decode().strip()
    match = re.fullmatch(re.escape(str(bad)) + r":2:(\d+): (.+)", line)
    assert match, line
    assert " at line " not in match.group(2)
    assert run("--check", good).returncode == 0


def test_check_stdin_and_missing_file(tmp_path):
    result = run("--check", stdin=BAD)
    assert result.returncode == 1
    assert result.stderr.decode().startswith("<stdin>:2:")
    missing = tmp_path / "missing.toml"
    result = run("--check", missing)
    assert result.returncode == 1
    assert result.stderr.decode().startswith(f"{missing}: ")


def test_to_toml(tmp_path):
    source = tmp_path / "in.json"
    source.write_text('{"a": [1, 2], "t": {"x": "y"}, "n": null}')
    result = run("--to-toml", source)
    assert result.returncode == 0, result.stderr
    assert result.stdout == b'a = [1, 2]\n\n[t]\nx = "y"\n'
    result = run("--to-toml", "--pretty", "--none-value", "nil", source)
    assert result.stdout == b'n = "nil"\na = [\n    1,\n    2,\n]\n\n[t]\nx = "y"\n'
    result = run("--to-toml", stdin="{not json")
    assert result.returncode == 1
    assert result.stderr.decode().startswith("<stdin>:1:2: ")
    # A JSON array is no TOML document.
    result = run("--to-toml", stdin="[1, 2]")
    assert result.returncode == 1 and result.stdout == b""
    assert "needs a mapping, not 'list'" in result.stderr.decode()


def test_format_prints_and_rewrites_in_place(files):
    good, bad = files
    expected = vexil.dumps(vexil.loads(GOOD), pretty=True).encode()
    result = run("--format", "--pretty", good)
    assert result.returncode == 0 and result.stdout == expected
    result = run("--format", "--pretty", "--in-place", good, bad)
    assert result.returncode == 1
    assert result.stdout == b""
    assert good.read_bytes() == expected
    assert bad.read_text(encoding="utf-8") == BAD  # a file that fails to parse is left alone


@pytest.mark.parametrize(
    "args",
    [["--pretty", "x.toml"], ["--in-place", "x.toml"], ["--format", "--in-place", "-"], ["--check", "--format"]],
)
def test_usage_errors(args):
    result = run(*args)
    assert result.returncode == 2
    assert b"usage: vexil" in result.stderr


def test_help_explains_modes():
    result = run("--help")
    assert result.returncode == 0
    for word in (b"--check", b"--to-toml", b"--format", b"--in-place", b"FILE:LINE:COL", b"exit status"):
        assert word in result.stdout


def test_console_script_is_installed():
    import shutil
    from pathlib import Path

    script = Path(sys.executable).with_name("vexil")
    assert script.exists() or shutil.which("vexil")


def test_check_as_toml_1_0(tmp_path):
    # examples/example.toml is TOML 1.1.0: tomllib on 3.11-3.13 refuses it.
    from conftest import ROOT

    example = ROOT / "examples" / "example.toml"
    assert run("--check", example).returncode == 0
    result = run("--check", "--toml-version", "1.0.0", example)
    assert result.returncode == 1
    assert "TOML 1.0.0 does not allow" in result.stderr.decode()
    older = tmp_path / "old.toml"
    older.write_text("t = 07:32:00\ni = { a = 1 }\n")
    assert run("--check", "--toml-version", "1.0.0", older).returncode == 0
    assert run("--check", "--toml-version", "2.0", older).returncode == 2
