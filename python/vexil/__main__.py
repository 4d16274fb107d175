"""The vexil command line: ``python -m vexil`` or ``vexil``.

Reads TOML files (or standard input) and prints them as JSON, checks them,
reformats them, or turns JSON into TOML. Results go to standard output,
errors to standard error as ``FILE:LINE:COL: message``; the exit status is 1
if anything failed.
"""

from __future__ import annotations

import argparse
import os
import sys

import vexil

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Literal, Sequence

DESCRIPTION = """\
Read TOML 1.1.0 documents and print them as JSON (the default), validate them
(--check), rewrite them in vexil's canonical layout (--format), or turn JSON
documents into TOML (--to-toml). FILE may be '-' for standard input; with no
FILE, standard input is read.
"""

EPILOG = """\
output:
  JSON output writes date-times as ISO 8601 strings; TOML's inf and nan have
  no JSON form and are refused unless --allow-nan is given. TOML output uses
  vexil's layout (plain values first, then arrays, arrays of tables and
  sub-tables), with --pretty putting each element of a longer array on its
  own line. JSON null has no TOML form: --to-toml refuses it unless
  --none-value gives a string to write in its place.

formatting:
  --format keeps the data but not the text: comments are dropped and values
  are written in vexil's spelling (0x10 as 16, 1e3 as 1000.0, 'a' as "a",
  fraction digits past microseconds cut, ...). A document that would lose a
  comment or a value's spelling is refused, naming the first such place,
  unless --lossy is given.

errors:
  Each failure is reported on standard error as FILE:LINE:COL: message (or
  FILE: message when there is no position), the form compilers and editors
  understand. Every FILE is processed; the exit status is 1 if any failed,
  2 for bad command-line usage, 0 otherwise. A failure to write the output
  (a full disk, a closed or broken pipe, an encoding that cannot hold the
  text) stops the run with one line "vexil: message" and exit status 1.

examples:
  vexil pyproject.toml                 print as indented JSON
  vexil --compact --sort-keys a.toml   one-line JSON with sorted keys
  vexil --check *.toml                 validate, print only problems
  vexil --format --in-place a.toml     rewrite a file in canonical layout
  vexil --format --lossy a.toml        format even if comments are lost
  vexil --to-toml --pretty data.json   convert JSON to TOML
"""

STDIN = "-"


class Failure(Exception):
    """A failure to report as ``FILE[:LINE:COL]: message``."""

    def __init__(self, message: str, lineno: int | None = None, colno: int | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.lineno = lineno
        self.colno = colno

    def render(self, name: str) -> str:
        if self.lineno is not None and self.colno is not None:
            return f"{name}:{self.lineno}:{self.colno}: {self.message}"
        return f"{name}: {self.message}"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vexil",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("files", metavar="FILE", nargs="*", help="input files ('-' for standard input)")
    parser.add_argument("--version", action="version", version=f"vexil {vexil.__version__}")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--check", action="store_true", help="only validate the TOML files; print nothing for good ones")
    mode.add_argument("--to-toml", action="store_true", help="read JSON documents and print them as TOML")
    mode.add_argument("--format", action="store_true", help="print TOML documents in vexil's canonical layout")
    parser.add_argument(
        "--pretty", action="store_true", help="with --to-toml or --format: one array element per line"
    )
    parser.add_argument(
        "--in-place",
        action="store_true",
        help="with --format: rewrite each file instead of printing (through a symbolic link, the file it points to)",
    )
    parser.add_argument(
        "--lossy",
        action="store_true",
        help="with --format: accept losing comments and value spellings (without it, such documents are refused)",
    )
    parser.add_argument(
        "--toml-version",
        choices=["1.0.0", "1.1.0"],
        default="1.1.0",
        help="read TOML documents as this version of the language (default 1.1.0); "
        "1.0.0 refuses what 1.1.0 added, as readers of TOML 1.0.0 (tomllib, pip) do",
    )
    parser.add_argument(
        "--none-value",
        metavar="TEXT",
        help="TOML strings equal to TEXT are read as JSON null; with --to-toml, null is written as TEXT "
        "(without it, a JSON null is refused)",
    )
    layout = parser.add_mutually_exclusive_group()
    layout.add_argument(
        "--indent", metavar="N", type=int, default=4, help="JSON output: indent by N spaces (default 4)"
    )
    layout.add_argument("--compact", action="store_true", help="JSON output: one line, no spaces")
    parser.add_argument("--sort-keys", action="store_true", help="JSON output: sort the keys of every table")
    parser.add_argument(
        "--allow-nan",
        action="store_true",
        help="JSON output: write inf and nan as Infinity and NaN (not standard JSON) instead of refusing them",
    )
    return parser


class OutputError(Exception):
    """Standard output cannot take the text: the run stops."""


def write_out(out: Any, text: str) -> None:
    """Writes to standard output, turning each way that can fail into an
    :class:`OutputError` with a one-line message."""
    if out is None:
        # The interpreter found file descriptor 1 closed at start-up.
        raise OutputError("standard output is closed")
    try:
        buffer = getattr(out, "buffer", None)
        if buffer is None:
            out.write(text)
            return
        # Encode here and loop on the binary buffer: when the reader of a pipe
        # goes away in the middle of a large write, BufferedWriter returns a
        # short count instead of raising, and text written through the
        # TextIOWrapper would be lost without an error. The next write raises
        # BrokenPipeError. (Lines end in "\n" on every platform, as in the
        # files vexil writes.)
        data = memoryview(text.encode(out.encoding or "utf-8", getattr(out, "errors", None) or "strict"))
        out.flush()
        while data:
            data = data[buffer.write(data) :]
    except UnicodeEncodeError as err:
        # The code point, not the character: standard error has the same
        # encoding and would not show it either.
        code_point = ord(err.object[err.start])
        raise OutputError(
            f"standard output's encoding ({err.encoding}) cannot write U+{code_point:04X}; "
            "set PYTHONIOENCODING=utf-8"
        ) from None
    except (OSError, ValueError) as err:
        raise OutputError(f"cannot write to standard output: {describe(err)}") from None


def flush_out(out: Any) -> None:
    if out is None:
        return
    try:
        out.flush()
        buffer = getattr(out, "buffer", None)
        if buffer is not None:
            buffer.flush()
    except (OSError, ValueError) as err:
        raise OutputError(f"cannot write to standard output: {describe(err)}") from None


def describe(err: Exception) -> str:
    if isinstance(err, OSError) and err.strerror:
        return err.strerror[0].lower() + err.strerror[1:]
    return str(err)


def silence_stdout() -> None:
    """Points file descriptor 1 at the null device, so the interpreter's own
    flush at exit (of text a failed write left in the buffer) neither fails
    nor prints a traceback."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
    except OSError:
        pass


def read_input(name: str) -> bytes:
    try:
        if name == STDIN:
            return sys.stdin.buffer.read()
        with open(name, "rb") as file:
            return file.read()
    except OSError as err:
        raise Failure(err.strerror or str(err)) from None


def read_toml(
    name: str, data: bytes, none_value: str | None, toml_version: Literal["1.0.0", "1.1.0"] = "1.1.0"
) -> dict[str, Any]:
    try:
        return vexil.loads(data, none_value=none_value, toml_version=toml_version)
    except vexil.TomlParsingError as err:
        raise Failure(err.msg, err.lineno, err.colno) from None


def read_json(data: bytes) -> Any:
    import json

    try:
        return json.loads(data)
    except json.JSONDecodeError as err:
        raise Failure(err.msg, err.lineno, err.colno) from None
    except UnicodeDecodeError as err:
        raise Failure(f"invalid UTF-8 (byte offset {err.start})") from None


def to_toml(obj: Any, pretty: bool, none_value: str | None) -> str:
    try:
        # The canonical layout is the core writer's: texts with line feeds as
        # multi-line strings (dumps escapes them by default, as tomli_w does).
        return vexil.dumps(obj, pretty=pretty, none_value=none_value)
    except (vexil.TomlSerializationError, TypeError) as err:  # TypeError: not a table at the top
        raise Failure(str(err)) from None


def json_to_toml(data: bytes, args: argparse.Namespace) -> str:
    document = read_json(data)
    if not isinstance(document, dict):
        kind = "an array" if isinstance(document, list) else "a single value"
        raise Failure(f"the JSON document is {kind}, not an object: a TOML document is a table")
    # TOML has no null. Leaving nulls out would shift the indexes of the
    # array elements after them, so a null is refused unless --none-value
    # says what to write instead. (No shortcut on the bytes: json also reads
    # UTF-16 and UTF-32, where "null" is not those four bytes.)
    if args.none_value is None:
        found = find_path(document, lambda value: value is None)
        if found is not None:
            raise Failure(f"JSON null at {found[0]} has no TOML form; give --none-value TEXT to write it as a string")
    return to_toml(document, args.pretty, args.none_value)


def find_path(document: Any, wanted: Any) -> tuple[str, Any] | None:
    """The path (``a.b[2]``) and the value of the first value in ``document``
    for which ``wanted(value)`` is true, or None. Iterative: depth is no limit."""
    stack: list[tuple[str, Any]] = [("", document)]
    while stack:
        path, value = stack.pop()
        if wanted(value):
            return path or "the top", value
        if isinstance(value, dict):
            items = [(f"{path}.{key_text(key)}" if path else key_text(key), item) for key, item in value.items()]
        elif isinstance(value, (list, tuple)):
            items = [(f"{path}[{index}]", item) for index, item in enumerate(value)]
        else:
            continue
        stack.extend(reversed(items))
    return None


def key_text(key: Any) -> str:
    import json

    text = str(key)
    if text and all(c.isascii() and (c.isalnum() or c in "_-") for c in text):
        return text
    return json.dumps(text, ensure_ascii=False)


def json_default(obj: Any) -> str:
    import datetime

    if isinstance(obj, (datetime.datetime, datetime.date, datetime.time)):
        return obj.isoformat()
    raise TypeError(f"{type(obj).__qualname__} is not JSON serializable")


def to_json(document: Any, args: argparse.Namespace) -> str:
    import json

    options: dict[str, Any] = {"sort_keys": args.sort_keys, "default": json_default, "ensure_ascii": False}
    if args.compact:
        options["separators"] = (",", ":")
    else:
        options["indent"] = args.indent
    try:
        return json.dumps(document, allow_nan=args.allow_nan, **options)
    except ValueError:
        if args.allow_nan:
            raise
    # json names no place; find the first inf or nan for the message.
    found = find_path(document, lambda value: isinstance(value, float) and value - value != 0)
    place = f"{found[1]!r} at {found[0]}" if found else "inf or nan"
    raise Failure(f"{place} has no JSON form; give --allow-nan to write it as Infinity or NaN (not standard JSON)")


def format_toml(name: str, data: bytes, document: dict[str, Any], args: argparse.Namespace) -> str:
    text = to_toml(document, args.pretty, args.none_value)
    if not args.lossy:
        check_lossless(data.decode("utf-8"), text)
    return text


def check_lossless(source: str, formatted: str) -> None:
    """Raises Failure, placed at the first loss, if writing ``source`` as
    ``formatted`` drops a comment or changes how a value is spelt."""
    from ._lossless import Unreadable, line_and_column, losses

    try:
        comments, changed = losses(source, formatted)
    except Unreadable as err:
        raise Failure(
            "--format cannot tell whether this document keeps its comments and value spellings; "
            "give --lossy to format it anyway",
            *line_and_column(source, err.offset),
        ) from None
    if not comments and not changed:
        return
    lost = []
    if comments:
        lost.append(f"drop {plural(len(comments), 'comment')}")
    if changed:
        lost.append(f"respell {plural(len(changed), 'value')}")
    if changed and (not comments or changed[0][0] < comments[0]):
        offset, first = changed[0][0], f"the value {shorten(changed[0][1])}"
    else:
        offset, first = comments[0], "a comment"
    raise Failure(
        f"--format would {' and '.join(lost)}, the first here ({first}); give --lossy to accept that",
        *line_and_column(source, offset),
    )


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def shorten(token: str, width: int = 40) -> str:
    first_line = token.split("\n", 1)[0]
    if first_line == token and len(token) <= width:
        return token
    return first_line[: width - 3] + "..."


def write_in_place(name: str, text: str) -> None:
    from ._atomic import write_atomically

    try:
        # Through a symbolic link, rewrite the file it points to and keep
        # the link.
        write_atomically(os.path.realpath(name), text.encode("utf-8"))
    except OSError as err:
        raise Failure(err.strerror or str(err)) from None


def process(name: str, args: argparse.Namespace, out: Any) -> None:
    data = read_input(name)
    if args.to_toml:
        write_out(out, json_to_toml(data, args))
        return
    document = read_toml(name, data, args.none_value, args.toml_version)
    if args.check:
        return
    if args.format:
        text = format_toml(name, data, document, args)
        if args.in_place:
            write_in_place(name, text)
        else:
            write_out(out, text)
        return
    write_out(out, to_json(document, args) + "\n")


def report(line: str) -> None:
    if sys.stderr is None:
        return
    try:
        print(line, file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.pretty and not (args.to_toml or args.format):
        parser.error("--pretty needs --to-toml or --format")
    if (args.in_place or args.lossy) and not args.format:
        parser.error(f"{'--in-place' if args.in_place else '--lossy'} needs --format")
    if args.allow_nan and (args.to_toml or args.format or args.check):
        parser.error("--allow-nan applies to JSON output only")
    files = args.files or [STDIN]
    if args.in_place and STDIN in files:
        parser.error("--in-place cannot rewrite standard input")

    out = sys.stdout
    failed = False
    try:
        for name in files:
            try:
                process(name, args, out)
            except Failure as failure:
                failed = True
                flush_out(out)  # keeps standard output and the report in order
                report(failure.render("<stdin>" if name == STDIN else name))
        flush_out(out)
    except OutputError as err:
        # Output that cannot be written stops the run: the rest would fail
        # the same way.
        silence_stdout()
        report(f"vexil: {err}")
        return 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
