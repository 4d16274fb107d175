"""The vexil command line: ``python -m vexil`` or ``vexil``.

Reads TOML files (or standard input) and prints them as JSON, checks them,
reformats them, or turns JSON into TOML. Results go to standard output,
errors to standard error as ``FILE:LINE:COL: message``; the exit status is 1
if anything failed.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import sys
from typing import Any, Sequence

import vexil

DESCRIPTION = """\
Read TOML 1.1.0 documents and print them as JSON (the default), validate them
(--check), rewrite them in vexil's canonical layout (--format), or turn JSON
documents into TOML (--to-toml). FILE may be '-' for standard input; with no
FILE, standard input is read.
"""

EPILOG = """\
output:
  JSON output writes date-times as ISO 8601 strings; TOML output uses vexil's
  layout (plain values first, then arrays, arrays of tables and sub-tables),
  with --pretty putting each element of a longer array on its own line.

errors:
  Each failure is reported on standard error as FILE:LINE:COL: message (or
  FILE: message when there is no position), the form compilers and editors
  understand. Every FILE is processed; the exit status is 1 if any failed,
  2 for bad command-line usage, 0 otherwise.

examples:
  vexil pyproject.toml                 print as indented JSON
  vexil --compact --sort-keys a.toml   one-line JSON with sorted keys
  vexil --check *.toml                 validate, print only problems
  vexil --format --in-place a.toml     rewrite a file in canonical layout
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
    parser.add_argument("--in-place", action="store_true", help="with --format: rewrite each file instead of printing")
    parser.add_argument(
        "--none-value",
        metavar="TEXT",
        help="TOML strings equal to TEXT are read as JSON null; with --to-toml, null is written as TEXT "
        "(without it, null entries are left out)",
    )
    layout = parser.add_mutually_exclusive_group()
    layout.add_argument(
        "--indent", metavar="N", type=int, default=4, help="JSON output: indent by N spaces (default 4)"
    )
    layout.add_argument("--compact", action="store_true", help="JSON output: one line, no spaces")
    parser.add_argument("--sort-keys", action="store_true", help="JSON output: sort the keys of every table")
    return parser


def read_input(name: str) -> bytes:
    try:
        if name == STDIN:
            return sys.stdin.buffer.read()
        with open(name, "rb") as file:
            return file.read()
    except OSError as err:
        raise Failure(err.strerror or str(err)) from None


def read_toml(name: str, data: bytes, none_value: str | None) -> dict[str, Any]:
    try:
        return vexil.loads(data, none_value=none_value)
    except vexil.TomlParsingError as err:
        raise Failure(err.msg, err.lineno, err.colno) from None


def read_json(data: bytes) -> Any:
    try:
        return json.loads(data)
    except json.JSONDecodeError as err:
        raise Failure(err.msg, err.lineno, err.colno) from None
    except UnicodeDecodeError as err:
        raise Failure(f"invalid UTF-8 (byte offset {err.start})") from None


def to_toml(obj: Any, pretty: bool, none_value: str | None) -> str:
    try:
        return vexil.dumps(obj, pretty=pretty, none_value=none_value)
    except vexil.TomlSerializationError as err:
        raise Failure(str(err)) from None


def json_default(obj: Any) -> str:
    if isinstance(obj, (datetime.datetime, datetime.date, datetime.time)):
        return obj.isoformat()
    raise TypeError(f"{type(obj).__qualname__} is not JSON serializable")


def to_json(document: Any, args: argparse.Namespace) -> str:
    if args.compact:
        return json.dumps(
            document, separators=(",", ":"), sort_keys=args.sort_keys, default=json_default, ensure_ascii=False
        )
    return json.dumps(document, indent=args.indent, sort_keys=args.sort_keys, default=json_default, ensure_ascii=False)


def process(name: str, args: argparse.Namespace, out: Any) -> None:
    data = read_input(name)
    if args.to_toml:
        out.write(to_toml(read_json(data), args.pretty, args.none_value))
        return
    document = read_toml(name, data, args.none_value)
    if args.check:
        return
    if args.format:
        if not args.in_place:
            out.write(to_toml(document, args.pretty, args.none_value))
            return
        try:
            vexil.dump(document, name, pretty=args.pretty, none_value=args.none_value)
        except vexil.TomlSerializationError as err:
            raise Failure(str(err)) from None
        except OSError as err:
            raise Failure(err.strerror or str(err)) from None
        return
    out.write(to_json(document, args))
    out.write("\n")


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    if arguments and arguments[0] in ("get", "set", "del"):
        from ._cli_edit import main as edit_main

        return edit_main(arguments)
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.pretty and not (args.to_toml or args.format):
        parser.error("--pretty needs --to-toml or --format")
    if args.in_place and not args.format:
        parser.error("--in-place needs --format")
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
                out.flush()
                print(failure.render("<stdin>" if name == STDIN else name), file=sys.stderr)
        out.flush()
    except BrokenPipeError:
        # The reader went away (e.g. `vexil big.toml | head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
