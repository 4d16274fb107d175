"""Style-preserving editing of TOML documents: :class:`Document`.

A document keeps its text. Reading goes through the native tree built from
that text; an edit writes new text for the few spans it touches (the
serializer's forms for the new values, the neighbours' indentation and line
ending for new lines), parses the result into a new tree and checks that it
reads back as the edit intended. Every byte the edit did not touch stays
as it was, and an edit that cannot be written raises and changes nothing.

Tables are :class:`collections.abc.MutableMapping` views and arrays
:class:`collections.abc.MutableSequence` views of one document: they hold
their path (keys and indexes) and read the document's current text on every
access, so they stay live across edits made through any other view.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable, Iterator, Mapping, MutableMapping, MutableSequence
from typing import Any, BinaryIO, TextIO, Union, overload

from ._vexil import TomlParsingError, TomlSerializationError

_native: Any = __import__("vexil._native", fromlist=["edit_tree"])

__all__ = ["Array", "Document", "Table"]

Path = tuple[Union[str, int], ...]
StrPath = Union[str, "os.PathLike[str]"]

_TABLE, _ARRAY = 0, 1


def _plain(value: Any) -> Any:
    """The plain data of a view (so a view of the same document can be
    assigned); anything else as it is."""
    if isinstance(value, (Table, Array)):
        return value._data()
    return value


def _same(a: Any, b: Any) -> bool:
    """Data equality as the text reads back: NaN equals NaN, a tuple equals
    the list it is written as."""
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and bool(a == b)


def _check_value(value: Any) -> None:
    if value is None:
        raise TomlSerializationError("None has no TOML form")


def _is_tables(value: Any) -> bool:
    """A dict, or a non-empty list of dicts: what a table can hold under headers."""
    if isinstance(value, dict):
        return True
    return isinstance(value, (list, tuple)) and len(value) > 0 and all(isinstance(v, dict) for v in value)


def _comment_text(raw: str) -> str:
    text = raw[1:]
    return text[1:] if text.startswith(" ") else text


def _comment_line(text: str) -> str:
    if not isinstance(text, str):
        raise TypeError(f"a comment is a str, not {type(text).__qualname__}")
    if "\n" in text or "\r" in text:
        raise ValueError("a comment cannot hold a line break")
    return "# " + text if text else "#"


class _Editor:
    """The document's current tree and the edits on it. Each edit makes a
    new tree; it replaces the current one only once it reads back right."""

    def __init__(self, tree: Any) -> None:
        self.tree = tree
        self.text: str | None = None

    def commit(self, tree: Any) -> None:
        self.tree = tree
        self.text = None

    # --- reading --------------------------------------------------------------

    def read(self, path: Path) -> Any:
        kind = self.tree.kind(path)
        if kind == _TABLE:
            return Table(self, path)
        if kind == _ARRAY:
            return Array(self, path)
        return self.tree.data(path)

    # --- writing --------------------------------------------------------------

    def _as_header(self, tree: Any, path: Path, value: Any) -> bool:
        """Whether a new key of the table at `path` gets its own header:
        for a table (or tables) when the parent is written with headers and
        its other sub-tables are too."""
        if not _is_tables(value):
            return False
        form = tree.form(path)
        if form in ("value", "dotted"):
            return False
        for key in tree.keys(path):
            sub = path + (key,)
            if tree.kind(sub) == _TABLE and tree.form(sub) in ("value", "dotted"):
                return False
        return True

    def _insert(self, tree: Any, path: Path, key: str, value: Any) -> Any:
        return tree.insert(path, key, value, self._as_header(tree, path, value))

    def _restore_parents(self, tree: Any, path: Path) -> Any:
        """Gives back, as empty tables, the tables on `path` that lost the
        only text that made them (the last dotted key or sub-table header)."""
        for i in range(1, len(path) + 1):
            if not tree.contains(path[:i]):
                parent, key = path[: i - 1], path[i - 1]
                assert isinstance(key, str)
                tree = self._insert(tree, parent, key, {})
        return tree

    def _put(self, tree: Any, path: Path, key: str, value: Any) -> Any:
        full = path + (key,)
        if not tree.contains(full):
            return self._insert(tree, path, key, value)
        replaced = tree.replace(full, value)
        if replaced is not None:
            return replaced
        # A table or array of tables written with headers or dotted keys:
        # its text goes, the new value is written as a new key.
        tree = self._restore_parents(tree.remove(full), path)
        return self._insert(tree, path, key, value)

    def set(self, path: Path, key: str, value: Any) -> None:
        if not isinstance(key, str):
            raise TypeError(f"a TOML key is a str, not {type(key).__qualname__}")
        value = _plain(value)
        _check_value(value)
        if self._assign_scalar(path + (key,), value):
            return
        self._require_table(path)
        tree = self._put(self.tree, path, key, value)
        self._verify(tree, path + (key,), value)
        self.commit(tree)

    def delete(self, path: Path) -> None:
        tree = self.tree.remove(path)
        tree = self._restore_parents(tree, path[:-1])
        if tree.contains(path) and not isinstance(path[-1], int):
            raise TomlSerializationError("the value could not be removed from the text")
        self.commit(tree)

    def _assign_scalar(self, path: Path, value: Any) -> bool:
        """The fast edit: a scalar in place of a value written as a value."""
        if isinstance(value, (dict, list, tuple)):
            return False
        done = self.tree.assign_scalar(path, value, self.text)
        if done is None:
            return False
        tree, written, text = done
        if not _same(written, value):
            raise TomlSerializationError(f"{value!r} does not read back as written in TOML")
        self.commit(tree)
        self.text = text
        return True

    # Array edits check what they changed: the array's new size and the
    # element at the edited index (reading the whole array back would cost
    # as much as the rest of the edit for a long array of tables).

    def set_element(self, path: Path, index: int, value: Any) -> None:
        value = _plain(value)
        _check_value(value)
        if self._assign_scalar(path + (index,), value):
            return
        tree = self.tree
        size: int = tree.size(path)
        new = tree.replace(path + (index,), value)
        if new is not None:
            pass
        elif isinstance(value, dict) and size > 1:
            new = tree.remove(path + (index,)).insert_element(path, index, value)
        else:
            expected = tree.data(path)
            expected[index] = value
            new = self._rewrite(path, expected)
        self._verify_array(new, path, size, index, value)
        self.commit(new)

    def delete_element(self, path: Path, index: int) -> None:
        tree = self.tree
        size: int = tree.size(path)
        if tree.form(path) == "value" or size > 1:
            new = tree.remove(path + (index,))
        else:
            new = self._rewrite(path, [])
        following = tree.data(path + (index + 1,)) if index + 1 < size else _Missing
        self._verify_array(new, path, size - 1, index, following)
        self.commit(new)

    def insert_element(self, path: Path, index: int, value: Any) -> None:
        value = _plain(value)
        _check_value(value)
        tree = self.tree
        size: int = tree.size(path)
        if tree.form(path) == "value" or isinstance(value, dict):
            new = tree.insert_element(path, index, value)
        else:
            expected = tree.data(path)
            expected.insert(index, value)
            new = self._rewrite(path, expected)
        self._verify_array(new, path, size + 1, index, value)
        self.commit(new)

    @staticmethod
    def _verify_array(tree: Any, path: Path, size: int, index: int, value: Any) -> None:
        try:
            ok = tree.size(path) == size
            if ok and value is not _Missing:
                ok = _same(tree.data(path + (index,)), value)
        except (KeyError, IndexError, TypeError):
            ok = False
        if not ok:
            raise TomlSerializationError(f"{value!r} does not read back as written in TOML")

    def _rewrite(self, path: Path, value: list[Any]) -> Any:
        """Writes the array at `path` anew (an array of tables that must
        become a plain array, or lose its last element)."""
        parent, key = path[:-1], path[-1]
        if not isinstance(key, str):
            replaced = self.tree.replace(path, value)
            assert replaced is not None  # an element of a written array
            return replaced
        tree = self._restore_parents(self.tree.remove(path), parent)
        return self._insert(tree, parent, key, value)

    def _require_table(self, path: Path) -> None:
        if self.tree.kind(path) != _TABLE:
            raise TypeError("the value is not a table")

    @staticmethod
    def _verify(tree: Any, path: Path, value: Any) -> None:
        try:
            written = tree.data(path)
        except (KeyError, IndexError, TypeError):
            written = _Missing
        if not _same(written, value):
            raise TomlSerializationError(f"{value!r} does not read back as written in TOML")


_Missing: Any = object()


class Table(MutableMapping[str, Any]):
    """A live view of one table of a :class:`Document`.

    Reading a key gives a scalar as ``vexil.loads`` gives it, or a view of a
    table or an array. Assigning writes the value as ``vexil.dumps`` would
    into the document's text, keeping everything else byte for byte.
    """

    __slots__ = ("_editor", "_path")

    def __init__(self, editor: _Editor, path: Path) -> None:
        self._editor = editor
        self._path = path

    def _data(self) -> dict[str, Any]:
        data: dict[str, Any] = self._editor.tree.data(self._path)
        return data

    def __getitem__(self, key: str) -> Any:
        if not isinstance(key, str):
            raise KeyError(key)
        return self._editor.read(self._path + (key,))

    def __setitem__(self, key: str, value: Any) -> None:
        self._editor.set(self._path, key, value)

    def __delitem__(self, key: str) -> None:
        if not isinstance(key, str) or not self._editor.tree.contains(self._path + (key,)):
            self._editor.tree.kind(self._path)  # a missing table raises its own error first
            raise KeyError(key)
        self._editor.delete(self._path + (key,))

    def __contains__(self, key: object) -> bool:
        return isinstance(key, str) and bool(self._editor.tree.contains(self._path + (key,)))

    def __iter__(self) -> Iterator[str]:
        return iter(self._editor.tree.keys(self._path))

    def __len__(self) -> int:
        size: int = self._editor.tree.size(self._path)
        return size

    def __eq__(self, other: object) -> bool:
        if isinstance(other, (Table, Mapping)):
            return bool(self._data() == (other._data() if isinstance(other, Table) else dict(other)))
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._data()!r})"

    def setdefault(self, key: str, default: Any = None) -> Any:
        if key not in self:
            self[key] = default
        return self[key]

    def to_dict(self) -> dict[str, Any]:
        """The table as plain data, equal to what ``vexil.loads`` gives for it."""
        return self._data()

    # --- comments -------------------------------------------------------------
    #
    # The comment of a key is the one after its value on its line; for a key
    # whose table has a [header], the one after the header. The comments
    # above are the comment lines directly above that line (no blank line
    # between). Texts are given and returned without the "# ".

    def comment(self, key: str) -> str | None:
        """The comment after the entry ``key`` on its line, or None."""
        raw = self._editor.tree.comment(self._path + (key,))
        return None if raw is None else _comment_text(raw)

    def set_comment(self, key: str, text: str | None) -> None:
        """Sets (or with None removes) the comment after the entry ``key``."""
        line = None if text is None else _comment_line(text)
        ed = self._editor
        ed.commit(ed.tree.set_comment(self._path + (key,), line))

    def comments_above(self, key: str) -> list[str]:
        """The comment lines directly above the entry (or header) ``key``."""
        raw: str = self._editor.tree.comments_above(self._path + (key,))
        return [_comment_text(line.strip(" \t")) for line in raw.splitlines()]

    def set_comments_above(self, key: str, lines: Iterable[str] | None) -> None:
        """Replaces (or with None removes) the comment lines above ``key``."""
        block = None
        if lines is not None:
            texts = [lines] if isinstance(lines, str) else list(lines)
            block = "\n".join(_comment_line(t) for t in texts) if texts else None
        ed = self._editor
        ed.commit(ed.tree.set_comments_above(self._path + (key,), block))


class Array(MutableSequence[Any]):
    """A live view of one array (or array of tables) of a :class:`Document`."""

    __slots__ = ("_editor", "_path")

    def __init__(self, editor: _Editor, path: Path) -> None:
        self._editor = editor
        self._path = path

    def _data(self) -> list[Any]:
        data: list[Any] = self._editor.tree.data(self._path)
        return data

    def _index(self, index: int, size: int | None = None) -> int:
        if not isinstance(index, int) or isinstance(index, bool):
            raise TypeError(f"array indices must be integers, not {type(index).__qualname__}")
        n = len(self) if size is None else size
        i = index + n if index < 0 else index
        if not 0 <= i < n:
            raise IndexError("array index out of range")
        return i

    @overload
    def __getitem__(self, index: int) -> Any: ...
    @overload
    def __getitem__(self, index: slice) -> list[Any]: ...
    def __getitem__(self, index: int | slice) -> Any:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(len(self)))]
        return self._editor.read(self._path + (self._index(index),))

    @overload
    def __setitem__(self, index: int, value: Any) -> None: ...
    @overload
    def __setitem__(self, index: slice, value: Iterable[Any]) -> None: ...
    def __setitem__(self, index: int | slice, value: Any) -> None:
        if isinstance(index, slice):
            raise TypeError("slice assignment is not supported; assign elements one by one")
        self._editor.set_element(self._path, self._index(index), value)

    @overload
    def __delitem__(self, index: int) -> None: ...
    @overload
    def __delitem__(self, index: slice) -> None: ...
    def __delitem__(self, index: int | slice) -> None:
        if isinstance(index, slice):
            for i in sorted(range(*index.indices(len(self))), reverse=True):
                self._editor.delete_element(self._path, i)
            return
        self._editor.delete_element(self._path, self._index(index))

    def __len__(self) -> int:
        size: int = self._editor.tree.size(self._path)
        return size

    def insert(self, index: int, value: Any) -> None:
        n = len(self)
        if index < 0:
            index = max(0, index + n)
        self._editor.insert_element(self._path, min(index, n), value)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Array):
            return self._data() == other._data()
        if isinstance(other, (list, tuple)):
            return self._data() == list(other)
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._data()!r})"

    def to_list(self) -> list[Any]:
        """The array as plain data."""
        return self._data()


class Document(Table):
    """A TOML document that is edited in place, keeping its layout.

    ``Document(text)`` reads ``text`` (a ``str`` or UTF-8 ``bytes``) and
    raises :class:`TomlParsingError` exactly as ``vexil.loads`` does.
    ``str(doc)`` is the text: unchanged, byte for byte, until an edit, and
    after edits changed only where the edits were made.
    """

    __slots__ = ()

    def __init__(self, text: str | bytes | bytearray = "") -> None:
        from . import _with_position, loads

        if isinstance(text, (bytearray, memoryview)):
            text = bytes(text)
        elif not isinstance(text, (str, bytes)):
            raise TypeError(f"Document() takes a str or bytes, not {type(text).__qualname__}")
        try:
            tree = _native.edit_tree(text)
        except UnicodeEncodeError as err:
            raise TomlParsingError(f"the text holds a lone surrogate at index {err.start}") from None
        except TomlParsingError as exc:
            if isinstance(text, bytes):
                loads(text)  # raises as loads does (invalid UTF-8 included)
            raise _with_position(exc) from None
        super().__init__(_Editor(tree), ())
        if isinstance(text, str):
            self._editor.text = text

    @classmethod
    def load(cls, fp: BinaryIO | TextIO | StrPath) -> Document:
        """Reads a document from a path or a (binary or text) file object."""
        if isinstance(fp, (str, os.PathLike)):
            with open(fp, "rb") as file:
                data: str | bytes = file.read()
        else:
            data = fp.read()
        if not isinstance(data, (str, bytes, bytearray)):
            raise TypeError(f"the file's read() returned {type(data).__qualname__}, not bytes or str")
        return cls(data)

    def __str__(self) -> str:
        ed = self._editor
        if ed.text is None:
            ed.text = ed.tree.text()
        return ed.text

    def dumps(self) -> str:
        """The document's text."""
        return str(self)

    def dump(self, fp: BinaryIO | TextIO | StrPath) -> None:
        """Writes the text to a file object, or atomically to a path (a
        symbolic link is followed: the file it points to is replaced)."""
        data: bytes = self._editor.tree.bytes()
        if isinstance(fp, (str, os.PathLike)):
            from ._atomic import write_atomically

            write_atomically(os.path.realpath(fp), data)
            return
        from typing import cast

        from . import _is_binary

        if _is_binary(fp):
            cast(BinaryIO, fp).write(data)
        else:
            cast(TextIO, fp).write(str(self))

    def __repr__(self) -> str:
        return f"Document({str(self)!r})"
