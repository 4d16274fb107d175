"""vexil: a fast, exact TOML 1.1.0 reader and writer.

The API follows the standard library's ``tomllib`` and ``json`` and the writer
``tomli_w``::

    import vexil

    config = vexil.loads('title = "example"\\n[owner]\\nname = "Tom"\\n')
    text = vexil.dumps(config)

    with open("config.toml", "rb") as fp:
        config = vexil.load(fp)
    vexil.dump(config, "config.toml", pretty=True)

All parsing and formatting happens in C++: in the core module
:mod:`vexil._vexil` and in :mod:`vexil._native`, which adds the options of
``loads`` and ``dumps``; this module only adapts inputs and outputs (files,
paths).
"""

from __future__ import annotations

import os

from . import _pickle, _vexil  # noqa: F401  (_pickle registers the pickling of vexil's classes)
from . import _native
from ._vexil import TomlParsingError, TomlSerializationError, deserialize, serialize, serialize_pretty

# `import vexil` stays light: typing (like re and tempfile) is not imported
# at run time; annotations are strings, and mypy reads this block.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Mapping
    from typing import Any, Literal, Protocol, TypeVar, Union

    StrPath = Union[str, "os.PathLike[str]"]

    _T_co = TypeVar("_T_co", covariant=True)
    _T_contra = TypeVar("_T_contra", contravariant=True)

    class SupportsRead(Protocol[_T_co]):
        """What :func:`load` reads from: ``read()`` returning the whole text."""

        def read(self, /) -> _T_co: ...

    class SupportsWrite(Protocol[_T_contra]):
        """What :func:`dump` writes to."""

        def write(self, data: _T_contra, /) -> object: ...

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


def _split_position(message: str) -> tuple[str, int, int] | None:
    """Splits the `` at line N column M`` suffix that _vexil appends to a
    parse error's message into (text, N, M); None if there is none."""
    text, found, position = message.rpartition(" at line ")
    if not found:
        return None
    line, found, column = position.partition(" column ")
    if not (found and line.isdigit() and column.isdigit() and line.isascii() and column.isascii()):
        return None
    return text, int(line), int(column)


def _with_position(exc: TomlParsingError) -> TomlParsingError:
    """Sets ``msg``, ``lineno`` and ``colno`` on a parse error, as
    ``json.JSONDecodeError`` has them; ``args`` and ``str()`` stay unchanged."""
    message = str(exc.args[0]) if exc.args else ""
    position = _split_position(message)
    if position:
        exc.msg, exc.lineno, exc.colno = position
    else:
        exc.msg = message
        exc.lineno = None
        exc.colno = None
    return exc


def loads(
    s: str | bytes | bytearray | memoryview,
    /,
    *,
    none_value: str | None = None,
    parse_float: Callable[[str], Any] | None = None,
    toml_version: Literal["1.0.0", "1.1.0"] = "1.1.0",
) -> dict[str, Any]:
    """Parses a TOML document given as ``str`` or as UTF-8 bytes (``bytes``,
    ``bytearray``, ``memoryview``), which go to the parser without being
    decoded first.

    String values equal to ``none_value`` (when given) become ``None``.
    ``parse_float`` is called with the text of every float as written (as
    ``tomllib`` does; e.g. ``decimal.Decimal``). ``toml_version="1.0.0"``
    refuses what TOML 1.1.0 added. Raises :class:`TomlParsingError` (a
    ``ValueError``) for malformed TOML, with ``lineno`` and ``colno``
    attributes giving the error's position; an invalid UTF-8 byte is reported
    with its offset, line and column.
    """
    try:
        result: dict[str, Any] = _native.loads(
            s, none_value=none_value, parse_float=parse_float, toml_version=toml_version
        )
    except TomlParsingError as exc:
        raise _with_position(exc) from None
    return result


def load(
    fp: SupportsRead[bytes] | SupportsRead[str] | StrPath,
    /,
    *,
    none_value: str | None = None,
    parse_float: Callable[[str], Any] | None = None,
    toml_version: Literal["1.0.0", "1.1.0"] = "1.1.0",
) -> dict[str, Any]:
    """Parses a TOML document from an object with ``read()`` returning bytes
    (a binary file, as ``tomllib.load`` expects, a zip or gzip member...) or
    str (a text file), or from a path (``str`` or ``os.PathLike``). The
    options are those of :func:`loads`."""
    if isinstance(fp, (str, os.PathLike)):
        with open(fp, "rb") as file:
            data: object = file.read()
    else:
        data = fp.read()
    if not isinstance(data, (str, bytes, bytearray, memoryview)):
        raise TypeError(f"the file's read() returned {type(data).__qualname__}, not bytes or str")
    return loads(data, none_value=none_value, parse_float=parse_float, toml_version=toml_version)


def dumps(
    obj: Mapping[str, Any],
    /,
    *,
    pretty: bool = False,
    none_value: str | None = None,
    multiline_strings: bool = True,
    indent: int = 4,
    sort_keys: bool = False,
    default: Callable[[Any], Any] | None = None,
) -> str:
    """Writes ``obj``, a mapping, as a TOML document.

    With ``pretty``, arrays of two or more elements put each element on a line
    of its own, indented by ``indent`` spaces per level. ``None`` values are
    left out, or written as the string ``none_value`` when it is given.
    ``multiline_strings`` (the default) writes texts holding a line feed as
    multi-line strings; with ``multiline_strings=False`` the line feed is
    escaped and every string stays on one line (``tomli_w``'s default);
    ``sort_keys`` orders the keys of each table; ``default`` is called for an
    object that has no TOML form and its result written in its place (as
    ``json.dumps`` does). Subclasses of ``int``, ``float``, ``str``, ``list``,
    ``tuple`` and ``dict``, any ``Mapping`` and ``decimal.Decimal`` are
    written too. Raises ``TypeError`` if ``obj`` is not a mapping and
    :class:`TomlSerializationError` (a ``ValueError``) for objects that have
    no TOML form.
    """
    text: str = _native.dumps(
        obj,
        pretty=pretty,
        none_value=none_value,
        multiline_strings=multiline_strings,
        indent=indent,
        sort_keys=sort_keys,
        default=default,
    )
    return text


def dump(
    obj: Mapping[str, Any],
    fp: SupportsWrite[bytes] | SupportsWrite[str] | StrPath,
    /,
    *,
    pretty: bool = False,
    none_value: str | None = None,
    multiline_strings: bool = True,
    indent: int = 4,
    sort_keys: bool = False,
    default: Callable[[Any], Any] | None = None,
) -> None:
    """Writes ``obj`` as TOML to an object with ``write()`` (a text or binary
    file), or to a path. The options are those of :func:`dumps`.

    A path is written atomically: the text goes to a temporary file in the
    same folder, which then replaces the target, so a failed dump leaves an
    existing file untouched. Files are UTF-8 with ``\\n`` line ends; binary
    files and paths get the UTF-8 bytes straight from the writer.
    """
    data: Any = _native.dumps(  # bytes for a path or a binary file, str for a text file
        obj,
        pretty=pretty,
        none_value=none_value,
        multiline_strings=multiline_strings,
        indent=indent,
        sort_keys=sort_keys,
        default=default,
        as_bytes=isinstance(fp, (str, os.PathLike)) or _is_binary(fp),
    )
    if isinstance(fp, (str, os.PathLike)):
        from ._atomic import write_atomically

        write_atomically(fp, data)
    else:
        fp.write(data)


def _is_binary(fp: object) -> bool:
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
