"""What ``vexil --format`` would lose: comments and value spellings.

The writer keeps the data but not the text: comments go, and a value is
written in vexil's own spelling (``0x10`` becomes ``16``, ``1e3`` becomes
``1000.0``, ``'a'`` becomes ``"a"``, fraction digits past microseconds
go...). Layout (order, headers, dotted keys, quoting of keys, whitespace) is
what formatting is for and is not counted.

The check scans the scalar value tokens of the source and of the formatted
text and compares them as multisets. That is exact, not a heuristic: the
writer spells each value in one canonical way, and reading that spelling back
and writing it again gives the same text, so every token of the formatted
text is canonical. A source token that is not canonical is written as some
other text and therefore appears in the formatted text fewer times than in
the source; a canonical one appears at least as often. So the source tokens
left over after matching them against the formatted tokens are exactly the
values whose spelling changes, and none are left over only when every value
is kept as written.

Both texts are valid TOML (the source has just been read, the formatted text
was written by vexil), so the scanner only has to find where tokens start and
end; anything it does not expect is reported as unreadable, so a document it
cannot follow is never called lossless.
"""

from __future__ import annotations

import re

# Runs of the characters that make up bare keys and the scalars that are not
# strings: numbers, booleans, inf/nan and date-times.
_BARE = re.compile(r"[A-Za-z0-9_+\-.:]+")
_BARE_KEY = re.compile(r"[A-Za-z0-9_\-]+")
_BLANKS = re.compile(r"[ \t]*")
# A date followed by a space and a time is one offset or local date-time.
_DATE = re.compile(r"\d{4}-\d{2}-\d{2}")
_SPACE_TIME = re.compile(r" \d{2}:")
# Strings of the four forms. A multi-line string may end with up to two
# quotes of its own right before its closing delimiter, hence {3,5}.
_ML_BASIC = re.compile(r'"""(?:[^"\\]|\\.|"(?!""))*"{3,5}', re.DOTALL)
_ML_LITERAL = re.compile(r"'''(?:[^']|'(?!''))*'{3,5}")
_BASIC = re.compile(r'"(?:[^"\\\n]|\\.)*"')
_LITERAL = re.compile(r"'[^'\n]*'")


class Unreadable(Exception):
    """The scanner met text it does not expect at ``offset``."""

    def __init__(self, offset: int) -> None:
        super().__init__(offset)
        self.offset = offset


class _Scanner:
    def __init__(self, text: str) -> None:
        self.text = text
        self.pos = 1 if text.startswith("\ufeff") else 0
        self.values: list[tuple[int, str]] = []  # (offset, token)
        self.comments: list[int] = []  # offsets of '#'

    def skip_blanks(self) -> None:
        self.pos = _BLANKS.match(self.text, self.pos).end()  # type: ignore[union-attr]

    def skip_trivia(self) -> None:
        """Skips whitespace, newlines and comments, noting each comment."""
        text = self.text
        while self.pos < len(text):
            char = text[self.pos]
            if char in " \t\r\n":
                self.pos += 1
            elif char == "#":
                self.comments.append(self.pos)
                end = text.find("\n", self.pos)
                self.pos = len(text) if end < 0 else end
            else:
                return

    def expect(self, char: str) -> None:
        if not self.text.startswith(char, self.pos):
            raise Unreadable(self.pos)
        self.pos += 1

    def document(self) -> None:
        text = self.text
        while True:
            self.skip_trivia()
            if self.pos >= len(text):
                return
            if text[self.pos] == "[":
                double = text.startswith("[[", self.pos)
                self.pos += 2 if double else 1
                self.key()
                self.expect("]")
                if double:
                    self.expect("]")
            else:
                self.key_value()

    def key(self) -> None:
        """A dotted key, quoted parts included; keys are layout, not values."""
        while True:
            self.skip_blanks()
            match = _BASIC.match(self.text, self.pos) or _LITERAL.match(self.text, self.pos)
            match = match or _BARE_KEY.match(self.text, self.pos)
            if not match:
                raise Unreadable(self.pos)
            self.pos = match.end()
            self.skip_blanks()
            if not self.text.startswith(".", self.pos):
                return
            self.pos += 1

    def key_value(self) -> None:
        self.key()
        self.expect("=")
        self.skip_blanks()
        self.value()

    def value(self) -> None:
        text, start = self.text, self.pos
        char = text[start] if start < len(text) else ""
        if char == "[":
            self.array()
            return
        if char == "{":
            self.inline_table()
            return
        if char == '"':
            match = _ML_BASIC.match(text, start) or _BASIC.match(text, start)
        elif char == "'":
            match = _ML_LITERAL.match(text, start) or _LITERAL.match(text, start)
        else:
            match = _BARE.match(text, start)
        if not match:
            raise Unreadable(start)
        end = match.end()
        if _DATE.fullmatch(text, start, end) and _SPACE_TIME.match(text, end):
            end = _BARE.match(text, end + 1).end()  # type: ignore[union-attr]
        self.values.append((start, text[start:end]))
        self.pos = end

    def array(self) -> None:
        self.pos += 1
        while True:
            self.skip_trivia()
            if self.text.startswith("]", self.pos):
                self.pos += 1
                return
            self.value()
            self.skip_trivia()
            if self.text.startswith(",", self.pos):
                self.pos += 1
            elif not self.text.startswith("]", self.pos):
                raise Unreadable(self.pos)

    def inline_table(self) -> None:
        self.pos += 1
        while True:
            self.skip_trivia()
            if self.text.startswith("}", self.pos):
                self.pos += 1
                return
            self.key_value()
            self.skip_trivia()
            if self.text.startswith(",", self.pos):
                self.pos += 1
            elif not self.text.startswith("}", self.pos):
                raise Unreadable(self.pos)


def scan(text: str) -> tuple[list[tuple[int, str]], list[int]]:
    """The scalar value tokens of a valid TOML document as (offset, text),
    and the offsets of its comments. Raises :class:`Unreadable`."""
    scanner = _Scanner(text)
    scanner.document()
    return scanner.values, scanner.comments


def losses(source: str, formatted: str) -> tuple[list[int], list[tuple[int, str]]]:
    """What writing ``source`` as ``formatted`` loses: the offsets of the
    comments, and (offset, token) for each value whose spelling changes, in
    source order. Raises :class:`Unreadable`."""
    if source == formatted:
        return [], []  # the common case of a file formatted before
    values, comments = scan(source)
    written: dict[str, int] = {}
    for _, token in scan(formatted)[0]:
        written[token] = written.get(token, 0) + 1
    changed = []
    for offset, token in values:
        if written.get(token, 0):
            written[token] -= 1
        else:
            changed.append((offset, token))
    return comments, changed


def line_and_column(text: str, offset: int) -> tuple[int, int]:
    """1-based line and column (in characters, a byte order mark not
    counted) of ``offset`` in ``text``."""
    line = text.count("\n", 0, offset) + 1
    line_start = text.rfind("\n", 0, offset) + 1
    if line_start == 0 and text.startswith("\ufeff"):
        line_start = 1
    return line, offset - line_start + 1
