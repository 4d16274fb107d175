"""The command line: python -m vexil, in each mode, with files and stdin."""

import json
import os
import pathlib
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
    source.write_text('{"a": [1, 2], "t": {"x": "y"}}')
    result = run("--to-toml", source)
    assert result.returncode == 0, result.stderr
    assert result.stdout == b'a = [1, 2]\n\n[t]\nx = "y"\n'
    source.write_text('{"a": [1, 2], "t": {"x": "y"}, "n": null}')
    result = run("--to-toml", "--pretty", "--none-value", "nil", source)
    assert result.stdout == b'n = "nil"\na = [\n    1,\n    2,\n]\n\n[t]\nx = "y"\n'
    result = run("--to-toml", stdin="{not json")
    assert result.returncode == 1
    assert result.stderr.decode().startswith("<stdin>:1:2: ")
    # A JSON array is no TOML document.
    result = run("--to-toml", stdin="[1, 2]")
    assert result.returncode == 1 and result.stdout == b""
    assert result.stderr.startswith(b"<stdin>: the JSON document is an array, not an object")


def test_format_prints_and_rewrites_in_place(files):
    good, bad = files
    expected = vexil.dumps(vexil.loads(GOOD), pretty=True, multiline_strings=True).encode()
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


# --format keeps data, not text: what it would lose is refused unless --lossy.
# (source, line, column of the first loss, what the message names)
LOSSY = [
    ("a = 1 # why\n", 1, 7, "drop 1 comment"),
    ("# head\na = 1\n", 1, 1, "drop 1 comment"),
    ("a = [\n  1, # one\n  2,\n]\n", 2, 6, "drop 1 comment"),
    ("a = {b = 1, # inline\n}\n", 1, 13, "drop 1 comment"),
    ("a = 0x10\n", 1, 5, "0x10"),
    ("a = 0o17\n", 1, 5, "0o17"),
    ("a = 0b11\n", 1, 5, "0b11"),
    ("a = +1\n", 1, 5, "+1"),
    ("a = 1_000\n", 1, 5, "1_000"),
    ("a = 1e3\n", 1, 5, "1e3"),
    ("a = 1.50\n", 1, 5, "1.50"),
    ("a = -nan\n", 1, 5, "-nan"),
    ("a = +inf\n", 1, 5, "+inf"),
    ("a = 1979-05-27T07:32:00.1234567Z\n", 1, 5, "1979-05-27T07:32:00.1234567Z"),
    ("a = 1979-05-27 07:32:00\n", 1, 5, "1979-05-27 07:32:00"),
    ("a = 1979-05-27T07:32:00+00:00\n", 1, 5, "+00:00"),
    ("a = 07:32\n", 1, 5, "07:32"),
    ("a = 'literal'\n", 1, 5, "'literal'"),
    ('a = """multi"""\n', 1, 5, '"""multi"""'),
    ('a = "\\u0041"\n', 1, 5, '"\\u0041"'),
    ("ok = 1\n[t]\nx = [1, 2, 0xff]\n", 3, 12, "0xff"),
]


@pytest.mark.parametrize(("source", "line", "column", "named"), LOSSY)
def test_format_refuses_to_lose_comments_or_spellings(tmp_path, source, line, column, named):
    path = tmp_path / "in.toml"
    path.write_text(source, encoding="utf-8")
    result = run("--format", path)
    assert result.returncode == 1 and result.stdout == b""
    message = result.stderr.decode()
    assert message.startswith(f"{path}:{line}:{column}: --format would "), message
    assert named in message and "--lossy" in message and message.count("\n") == 1
    result = run("--format", "--in-place", path)
    assert result.returncode == 1 and path.read_text(encoding="utf-8") == source
    expected = vexil.dumps(vexil.loads(source), multiline_strings=True).encode()
    result = run("--format", "--lossy", path)
    assert result.returncode == 0 and result.stdout == expected
    result = run("--format", "--lossy", "--in-place", path)
    assert result.returncode == 0 and path.read_bytes() == expected


def test_format_counts_every_loss_and_points_at_the_first(tmp_path):
    source = "a = 1\nb = 0x1 # x\nc = [1_0, 'y'] # z\n"
    result = run("--format", stdin=source)
    assert result.stderr.decode() == (
        "<stdin>:2:5: --format would drop 2 comments and respell 3 values, the first here (the value 0x1); "
        "give --lossy to accept that\n"
    )


@pytest.mark.parametrize(
    "source",
    [
        # Layout changes only: key quoting and order, dotted keys, inline
        # tables becoming headers, whitespace; and a '#' inside strings.
        'title = "x # not a comment"\n"quoted key" = \'it"s\'\n',
        "a.b.c = 1979-05-27T07:32:00Z\nt = {x = 1979-05-27, y = 07:32:00}\n",
        'f   =   [ 1.5 , -0.0 , inf , -inf , nan , 2 ]\n\n\n[[arr]]\nn = true\ns = """\nline one\nline two"""\n',
        "\ufeffa = 1\r\nb = 'C:\\\\path'\r\n",
    ],
)
def test_format_accepts_documents_that_lose_nothing(source):
    result = run("--format", stdin=source)
    assert result.returncode == 0, result.stderr
    assert result.stdout == vexil.dumps(vexil.loads(source), multiline_strings=True).encode()


def test_help_mentions_lossy_and_the_refusals():
    result = run("--help")
    for word in (b"--lossy", b"--allow-nan", b"--none-value", b"comments"):
        assert word in result.stdout


@pytest.mark.skipif(not hasattr(__import__("os"), "symlink"), reason="needs symbolic links")
def test_in_place_writes_through_a_symbolic_link(tmp_path):
    target = tmp_path / "real" / "config.toml"
    target.parent.mkdir()
    target.write_text("b = [1, 2]\na = 1\n", encoding="utf-8")
    link = tmp_path / "link.toml"
    link.symlink_to(pathlib.Path("real") / "config.toml")  # relative, as links often are
    result = run("--format", "--in-place", link)
    assert result.returncode == 0, result.stderr
    assert link.is_symlink() and link.resolve() == target.resolve()
    assert target.read_text(encoding="utf-8") == "a = 1\nb = [1, 2]\n"


@pytest.mark.parametrize(
    ("json_text", "place"),
    [
        ('{"a": [1, null, 3]}', "a[1]"),
        ('{"t": {"k e y": {"x": null}}}', 't."k e y".x'),
        ('{"n": null}', "n"),
    ],
)
def test_to_toml_refuses_null_unless_none_value(json_text, place):
    for encoding in ("utf-8", "utf-16"):  # json reads both
        result = run("--to-toml", stdin=json_text.encode(encoding))
        assert result.returncode == 1 and result.stdout == b""
        assert result.stderr.decode() == (
            f"<stdin>: JSON null at {place} has no TOML form; give --none-value TEXT to write it as a string\n"
        )
    result = run("--to-toml", "--none-value", "nil", stdin=json_text)
    assert result.returncode == 0 and b'"nil"' in result.stdout
    assert vexil.loads(result.stdout, none_value="nil") == json.loads(json_text)


@pytest.mark.parametrize(
    ("source", "place", "allowed"),
    [
        ("a = inf\n", "inf at a", b'"a": Infinity'),
        ("[t]\nx = [1.0, -inf]\n", "-inf at t.x[1]", b"-Infinity"),
        ("n = nan\n", "nan at n", b'"n": NaN'),
    ],
)
def test_json_output_refuses_inf_and_nan_unless_allowed(source, place, allowed):
    result = run(stdin=source)
    assert result.returncode == 1 and result.stdout == b""
    assert result.stderr.decode() == (
        f"<stdin>: {place} has no JSON form; give --allow-nan to write it as Infinity or NaN (not standard JSON)\n"
    )
    result = run("--allow-nan", stdin=source)
    assert result.returncode == 0 and allowed in result.stdout


@pytest.mark.parametrize("args", [["--lossy", "x.toml"], ["--check", "--allow-nan", "x.toml"]])
def test_new_flags_need_their_mode(args):
    result = run(*args)
    assert result.returncode == 2 and b"usage: vexil" in result.stderr


# Output that cannot be written ends the run with one line and status 1.
BIG = "".join(f"key{i} = {i}\n" for i in range(20000))  # more than a pipe holds


def output_to_dev_full(path):
    with open("/dev/full", "wb") as full:
        return subprocess.run([sys.executable, "-m", "vexil", path], stdout=full, stderr=subprocess.PIPE)


def output_closed(path):
    # `>&-`: the interpreter starts without a file descriptor 1.
    return subprocess.run(["sh", "-c", 'exec "$0" -m vexil "$1" >&-', sys.executable, path], stderr=subprocess.PIPE)


def output_to_broken_pipe(path):
    process = subprocess.Popen([sys.executable, "-m", "vexil", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.close()  # the reader goes away at once
    _, stderr = process.communicate(timeout=60)
    return subprocess.CompletedProcess(process.args, process.returncode, None, stderr)


def output_to_reader_that_leaves(path):
    # `vexil big.toml | head -c 10`: the reader takes a little and leaves in
    # the middle of a large write.
    process = subprocess.Popen([sys.executable, "-m", "vexil", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.read(10)
    process.stdout.close()
    _, stderr = process.communicate(timeout=60)
    return subprocess.CompletedProcess(process.args, process.returncode, None, stderr)


def output_in_ascii(path):
    return subprocess.run(
        [sys.executable, "-m", "vexil", path], capture_output=True, env={**os.environ, "PYTHONIOENCODING": "ascii"}
    )


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX devices and shell")
@pytest.mark.parametrize(
    ("how", "message"),
    [
        (output_to_dev_full, "vexil: cannot write to standard output: no space left on device"),
        (output_closed, "vexil: standard output is closed"),
        (output_to_broken_pipe, "vexil: cannot write to standard output: broken pipe"),
        (output_to_reader_that_leaves, "vexil: cannot write to standard output: broken pipe"),
        (output_in_ascii, "vexil: standard output's encoding (ascii) cannot write U+00E9; set PYTHONIOENCODING=utf-8"),
    ],
)
def test_output_errors_are_one_line(tmp_path, how, message):
    if how is output_to_dev_full and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    path = tmp_path / "big.toml"
    path.write_text('name = "café"\n' + BIG, encoding="utf-8")
    result = how(path)
    assert result.returncode == 1
    assert result.stderr.decode("utf-8") == message + "\n"


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
