"""vexil: a fast, exact TOML 1.1.0 reader and writer.

The API follows the standard library's ``tomllib`` and ``json`` and the writer
``tomli_w``::

    import vexil

    config = vexil.loads('title = "example"\\n[owner]\\nname = "Tom"\\n')
    text = vexil.dumps(config)

    with open("config.toml", "rb") as fp:
        config = vexil.load(fp)
    vexil.dump(config, "config.toml", pretty=True)

All parsing and formatting happens in the C++ core, :mod:`vexil._vexil`;
this module only adapts inputs and outputs (bytes, files, paths).
"""

from __future__ import annotations

import os
import re
from typing import IO, TYPE_CHECKING, Any, BinaryIO, TextIO, Union, cast

from . import _vexil
from ._vexil import TomlParsingError, TomlSerializationError, deserialize, serialize, serialize_pretty

if TYPE_CHECKING:
    from ._document import Document

__all__ = [
    "Document",
    "TOMLDecodeError",
    "TomlParsingError",
    "TomlSerializationError",
    "__version__",
    "deserialize",
    "dump",
    "dumps",
    "load",
    "loads",
    "serialize",
    "serialize_pretty",
]

__version__: str = _vexil.__version__

#: Alias of :class:`TomlParsingError`, so code written for ``tomllib`` keeps working.
TOMLDecodeError = TomlParsingError

StrPath = Union[str, "os.PathLike[str]"]

# The position suffix that _vexil appends to a parse error's message.
_POSITION = re.compile(r" at line (\d+) column (\d+)\Z")


def _with_position(exc: TomlParsingError) -> TomlParsingError:
    """Sets ``msg``, ``lineno`` and ``colno`` on a parse error, as
    ``json.JSONDecodeError`` has them; ``args`` and ``str()`` stay unchanged."""
    message = str(exc.args[0]) if exc.args else ""
    match = _POSITION.search(message)
    if match:
        exc.msg = message[: match.start()]
        exc.lineno = int(match.group(1))
        exc.colno = int(match.group(2))
    else:
        exc.msg = message
        exc.lineno = None
        exc.colno = None
    return exc


def _decode(data: bytes | bytearray | memoryview) -> str:
    """Decodes UTF-8 input; an invalid byte raises TomlParsingError naming
    its byte offset, line and column instead of UnicodeDecodeError."""
    try:
        return bytes(data).decode("utf-8")
    except UnicodeDecodeError as err:
        raw = bytes(data)
        before = raw[: err.start]
        line = before.count(b"\n") + 1
        line_start = before.rfind(b"\n") + 1
        column = 1 + sum(1 for b in before[line_start:] if b & 0xC0 != 0x80)
        exc = TomlParsingError(
            f"invalid UTF-8 (byte 0x{raw[err.start]:02x} at offset {err.start}) at line {line} column {column}"
        )
        raise _with_position(exc) from None


def loads(s: str | bytes | bytearray, /, *, none_value: str | None = None) -> dict[str, Any]:
    """Parses a TOML document given as ``str`` or as UTF-8 ``bytes``.

    String values equal to ``none_value`` (when given) become ``None``.
    Raises :class:`TomlParsingError` (a ``ValueError``) for malformed TOML,
    with ``lineno`` and ``colno`` attributes giving the error's position.
    """
    if isinstance(s, (bytes, bytearray, memoryview)):
        s = _decode(s)
    try:
        result: dict[str, Any] = deserialize(s, none_value)
    except TomlParsingError as exc:
        raise _with_position(exc) from None
    return result


def load(fp: BinaryIO | TextIO | StrPath, /, *, none_value: str | None = None) -> dict[str, Any]:
    """Parses a TOML document from a binary file object (as ``tomllib.load``
    expects), a text file object, or a path (``str`` or ``os.PathLike``)."""
    if isinstance(fp, (str, os.PathLike)):
        with open(fp, "rb") as file:
            data: str | bytes = file.read()
    else:
        data = fp.read()
    if not isinstance(data, (str, bytes, bytearray)):
        raise TypeError(f"the file's read() returned {type(data).__qualname__}, not bytes or str")
    return loads(data, none_value=none_value)


def dumps(obj: Any, /, *, pretty: bool = False, none_value: str | None = None) -> str:
    """Writes ``obj`` (normally a ``dict``) as TOML text.

    With ``pretty``, arrays of two or more elements put each element on a line
    of its own. ``None`` values are left out, or written as the string
    ``none_value`` when it is given. Raises :class:`TomlSerializationError`
    (a ``ValueError``) for objects that have no TOML form.
    """
    if pretty:
        return serialize_pretty(obj, none_value)
    return serialize(obj, none_value)


def dump(
    obj: Any,
    fp: BinaryIO | TextIO | StrPath,
    /,
    *,
    pretty: bool = False,
    none_value: str | None = None,
) -> None:
    """Writes ``obj`` as TOML to a text or binary file object, or to a path.

    A path is written atomically: the text goes to a temporary file in the
    same folder, which then replaces the target, so a failed dump leaves an
    existing file untouched. Files are UTF-8 with ``\\n`` line ends.
    """
    text = dumps(obj, pretty=pretty, none_value=none_value)
    if isinstance(fp, (str, os.PathLike)):
        from ._atomic import write_atomically

        write_atomically(fp, text.encode("utf-8"))
    elif _is_binary(fp):
        cast(BinaryIO, fp).write(text.encode("utf-8"))
    else:
        cast(TextIO, fp).write(text)


def _is_binary(fp: IO[Any]) -> bool:
    mode = getattr(fp, "mode", None)
    if isinstance(mode, str):
        return "b" in mode
    # io.BytesIO and friends have no mode; text streams have an encoding.
    import io

    return isinstance(fp, (io.RawIOBase, io.BufferedIOBase)) or not hasattr(fp, "encoding")


def __getattr__(name: str) -> Any:
    # The editor loads on first use, so that `import vexil` stays light.
    if name == "Document":
        from ._document import Document

        globals()["Document"] = Document
        return Document
    raise AttributeError(f"module 'vexil' has no attribute {name!r}")
