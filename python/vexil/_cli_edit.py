"""The editing commands of the command line: ``vexil get|set|del FILE KEY [VALUE]``.

``set`` and ``del`` rewrite the file in place, atomically, through
:class:`vexil.Document`, so every byte they do not edit stays; a failure
leaves the file untouched. KEY is a TOML dotted key with ``[N]`` after a
part to index an array (``servers[0].ip``, ``servers[-1]``).
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Sequence, Union

import vexil

from ._document import Array, Document, Table

Step = Union[str, int]

COMMANDS = ("get", "set", "del")

HELP = {
    "get": "print the value at KEY: a string without quotes, other values in TOML form, "
    "tables and arrays as JSON (or TOML with --toml)",
    "set": "set the value at KEY to VALUE (a TOML value, or a plain string with --str), keeping the rest of FILE",
    "del": "remove KEY (and, for a table, everything under it) from FILE, keeping the rest",
}


class Failure(Exception):
    def __init__(self, message: str, lineno: int | None = None, colno: int | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.lineno = lineno
        self.colno = colno


def _bare(ch: str) -> bool:
    return ch.isascii() and (ch.isalnum() or ch in "-_")


def parse_key(text: str) -> list[Step]:
    """The steps of a KEY: decoded key parts, each followed by its indexes."""
    steps: list[Step] = []
    i, n = 0, len(text)

    def skip_ws() -> None:
        nonlocal i
        while i < n and text[i] in " \t":
            i += 1

    while True:
        skip_ws()
        if i < n and text[i] in "\"'":
            quote = text[i]
            j = i + 1
            while j < n and text[j] != quote:
                j += 2 if quote == '"' and text[j] == "\\" else 1
            if j >= n:
                raise Failure(f"invalid KEY {text!r}: unterminated quoted part")
            token = text[i : j + 1]
            try:
                steps.append(vexil.loads(f"k = {token}")["k"])
            except vexil.TomlParsingError as err:
                raise Failure(f"invalid KEY {text!r}: {err.msg}") from None
            i = j + 1
        else:
            j = i
            while j < n and _bare(text[j]):
                j += 1
            if j == i:
                raise Failure(f"invalid KEY {text!r}: expected a key part at offset {i}")
            steps.append(text[i:j])
            i = j
        skip_ws()
        while i < n and text[i] == "[":
            close = text.find("]", i)
            try:
                steps.append(int(text[i + 1 : close].strip()) if close > 0 else int("x"))
            except ValueError:
                raise Failure(f"invalid KEY {text!r}: expected an integer index in [...]") from None
            i = close + 1
            skip_ws()
        if i >= n:
            return steps
        if text[i] != ".":
            raise Failure(f"invalid KEY {text!r}: unexpected {text[i]!r} at offset {i}")
        i += 1


def key_text(steps: Sequence[Step]) -> str:
    out = ""
    for step in steps:
        if isinstance(step, int):
            out += f"[{step}]"
        else:
            part = step if step and all(_bare(c) for c in step) else vexil.dumps({step: 0}).split(" = ")[0]
            out += ("." if out else "") + part
    return out


def parse_value(text: str) -> Any:
    try:
        document = vexil.loads(f"value = {text}")
    except vexil.TomlParsingError as err:
        raise Failure(f"invalid VALUE {text!r}: {err.msg} (use --str for a plain string)") from None
    if list(document) != ["value"]:
        raise Failure(f"invalid VALUE {text!r}: not one TOML value")
    return document["value"]


def walk(doc: Document, steps: Sequence[Step]) -> Any:
    """The view or value at `steps`; every step but the last must lead into
    a table (for a key) or an array (for an index)."""
    node: Any = doc
    for depth, step in enumerate(steps):
        where = key_text(steps[: depth + 1])
        if isinstance(step, int):
            if not isinstance(node, Array):
                raise Failure(f"{key_text(steps[:depth]) or 'the document'} is not an array, cannot index {where}")
            if not -len(node) <= step < len(node):
                raise Failure(f"index out of range: {where} (the array has {len(node)} elements)")
        elif not isinstance(node, Table):
            raise Failure(f"{key_text(steps[:depth])} is not a table, cannot read {where}")
        elif step not in node:
            raise Failure(f"key not found: {where}")
        node = node[step]
    return node


def _exists(doc: Document, steps: Sequence[Step]) -> bool:
    node: Any = doc
    for step in steps:
        if isinstance(node, Table) and isinstance(step, str) and step in node:
            node = node[step]
        elif isinstance(node, Array) and isinstance(step, int) and -len(node) <= step < len(node):
            node = node[step]
        else:
            return False
    return True


def parent_of(doc: Document, steps: Sequence[Step]) -> Any:
    parent = walk(doc, steps[:-1])
    last = steps[-1]
    where = key_text(steps)
    if isinstance(last, int) and not isinstance(parent, Array):
        raise Failure(f"{key_text(steps[:-1])} is not an array, cannot index {where}")
    if isinstance(last, str) and not isinstance(parent, Table):
        raise Failure(f"{key_text(steps[:-1])} is not a table, cannot set {where}")
    return parent


def scalar_text(value: Any) -> str:
    if isinstance(value, str):
        return value
    return vexil.dumps({"v": value})[len("v = ") :].rstrip("\n")


def render(value: Any, as_toml: bool) -> str:
    if isinstance(value, Table):
        data = value.to_dict()
        if as_toml:
            return vexil.dumps(data).rstrip("\n")
    elif isinstance(value, Array):
        data_list = value.to_list()
        if as_toml:
            return vexil.dumps({"v": data_list})[len("v = ") :].rstrip("\n")
        return _json(data_list)
    else:
        return scalar_text(value)
    return _json(data)


def _json(data: Any) -> str:
    import json

    from .__main__ import json_default

    return json.dumps(data, indent=4, default=json_default, ensure_ascii=False)


def build_parser(command: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=f"vexil {command}", description=HELP[command])
    parser.add_argument("file", metavar="FILE", help="the TOML file")
    parser.add_argument("key", metavar="KEY", help="a dotted key, with [N] to index arrays: tool.poetry.version")
    if command == "set":
        parser.add_argument("value", metavar="VALUE", help="a TOML value: '\"1.2.3\"', true, [1, 2], {x = 1}")
        parser.add_argument("--str", dest="as_str", action="store_true", help="take VALUE as a plain string")
    if command == "get":
        parser.add_argument("--toml", action="store_true", help="print tables and arrays as TOML, not JSON")
    return parser


def run(command: str, args: argparse.Namespace) -> str | None:
    steps = parse_key(args.key)
    value = None
    if command == "set":
        value = args.value if args.as_str else parse_value(args.value)
    try:
        with open(args.file, "rb") as file:
            data = file.read()
    except OSError as err:
        raise Failure(err.strerror or str(err)) from None
    try:
        doc = Document(data)
    except vexil.TomlParsingError as err:
        raise Failure(err.msg, err.lineno, err.colno) from None
    if command == "get":
        return render(walk(doc, steps), args.toml)
    last = steps[-1]
    if command == "set":
        # Tables missing on the way are made: the value goes into the
        # deepest existing table as nested tables.
        depth = len(steps) - 1
        while depth > 0 and isinstance(steps[depth - 1], str) and not _exists(doc, steps[:depth]):
            depth -= 1
        for step in reversed(steps[depth + 1 :]):
            assert isinstance(step, str)
            value = {step: value}
        steps, last = steps[: depth + 1], steps[depth]
    parent = parent_of(doc, steps)
    try:
        if command == "set":
            parent[last] = value
        else:
            if isinstance(last, str) and last not in parent:
                raise Failure(f"key not found: {key_text(steps)}")
            if isinstance(last, int) and not -len(parent) <= last < len(parent):
                raise Failure(f"index out of range: {key_text(steps)} (the array has {len(parent)} elements)")
            del parent[last]
    except (vexil.TomlSerializationError, TypeError, ValueError) as err:
        raise Failure(str(err)) from None
    if doc.dumps().encode("utf-8") != data:
        try:
            doc.dump(args.file)
        except OSError as err:
            raise Failure(err.strerror or str(err)) from None
    return None


def main(argv: Sequence[str]) -> int:
    command, rest = argv[0], list(argv[1:])
    args = build_parser(command).parse_args(rest)
    try:
        output = run(command, args)
    except Failure as failure:
        where = args.file
        if failure.lineno is not None and failure.colno is not None:
            where += f":{failure.lineno}:{failure.colno}"
        print(f"{where}: {failure.message}", file=sys.stderr)
        return 1
    if output is not None:
        try:
            sys.stdout.write(output + "\n")
            sys.stdout.flush()
        except BrokenPipeError:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return 1
    return 0
