"""Every TOML 1.1.0 case of toml-test through deserialize: valid documents
give exactly the expected values, invalid ones raise TomlParsingError with a
line and column inside the document."""

import datetime as dt
import json
import math
import re

import pytest

from vexil import _vexil

# Inputs that are not UTF-8 cannot be a Python str, so they never reach
# deserialize; the C++ conformance test covers them against the library.
NOT_UTF8 = {
    "invalid/encoding/bad-codepoint.toml",
    "invalid/encoding/bad-utf8-at-end.toml",
    "invalid/encoding/bad-utf8-in-array.toml",
    "invalid/encoding/bad-utf8-in-comment.toml",
    "invalid/encoding/bad-utf8-in-multiline.toml",
    "invalid/encoding/bad-utf8-in-multiline-literal.toml",
    "invalid/encoding/bad-utf8-in-string.toml",
    "invalid/encoding/bad-utf8-in-string-literal.toml",
    "invalid/encoding/utf16-bom.toml",
}

TzInfo = type(_vexil.deserialize("a = 1979-05-27T07:32:00Z")["a"].tzinfo)

_DATE = r"(\d{4})-(\d{2})-(\d{2})"
_TIME = r"(\d{2}):(\d{2})(?::(\d{2})(?:\.(\d+))?)?"
_OFFSET = r"([Zz]|[+-]\d{2}:\d{2})"


def _time_fields(hour, minute, second, fraction):
    # Fractions beyond microseconds are truncated, as toml-test asks.
    micro = int((fraction or "")[:6].ljust(6, "0"))
    return int(hour), int(minute), int(second or 0), micro


def _datetime(kind, text):
    if kind == "date-local":
        return dt.date(*map(int, re.fullmatch(_DATE, text).groups()))
    if kind == "time-local":
        return dt.time(*_time_fields(*re.fullmatch(_TIME, text).groups()))
    pattern = _DATE + "[Tt ]" + _TIME + (_OFFSET if kind == "datetime" else "")
    groups = re.fullmatch(pattern, text).groups()
    value = dt.datetime(*map(int, groups[:3]), *_time_fields(*groups[3:7]))
    if kind == "datetime":
        offset = groups[7]
        minutes = 0 if offset in "Zz" else (int(offset[1:3]) * 60 + int(offset[4:])) * (-1 if offset[0] == "-" else 1)
        value = value.replace(tzinfo=dt.timezone(dt.timedelta(minutes=minutes)))
    return value


def untag(node):
    """toml-test's tagged JSON as the Python values deserialize must build."""
    if isinstance(node, list):
        return [untag(item) for item in node]
    if set(node) == {"type", "value"} and all(isinstance(node[k], str) for k in node):
        kind, text = node["type"], node["value"]
        if kind == "string":
            return text
        if kind == "integer":
            return int(text)
        if kind == "float":
            return float(text)
        if kind == "bool":
            return {"true": True, "false": False}[text]
        return _datetime(kind, text)
    return {key: untag(value) for key, value in node.items()}


def mismatch(got, want, path="$"):
    """The first difference between two results (None if they agree): types
    exactly, floats with NaN equal to NaN and the sign of zero,
    aware date-times by their fields, offset and TzInfo class."""
    if type(got) is not type(want):
        return f"{path}: {type(got).__name__} {got!r} != {type(want).__name__} {want!r}"
    if isinstance(want, dict):
        # The expected files list keys sorted, not in document order.
        if sorted(got) != sorted(want):
            return f"{path}: keys {sorted(got)} != {sorted(want)}"
        for key in want:
            if (found := mismatch(got[key], want[key], f"{path}.{key}")) is not None:
                return found
        return None
    if isinstance(want, list):
        if len(got) != len(want):
            return f"{path}: length {len(got)} != {len(want)}"
        for i, (g, w) in enumerate(zip(got, want)):
            if (found := mismatch(g, w, f"{path}[{i}]")) is not None:
                return found
        return None
    if isinstance(want, float):
        if math.isnan(want):
            return None if math.isnan(got) else f"{path}: {got!r} != nan"
        same = got == want and math.copysign(1, got) == math.copysign(1, want)
        return None if same else f"{path}: {got!r} != {want!r}"
    if isinstance(want, dt.datetime) and want.tzinfo is not None:
        if type(got.tzinfo) is not TzInfo:
            return f"{path}: tzinfo {got.tzinfo!r} is not a TzInfo"
        if got.replace(tzinfo=None) != want.replace(tzinfo=None) or got.utcoffset() != want.utcoffset():
            return f"{path}: {got!r} != {want!r}"
        return None
    if isinstance(want, (dt.datetime, dt.time)) and got.tzinfo is not None:
        return f"{path}: {got!r} should be naive"
    return None if got == want else f"{path}: {got!r} != {want!r}"


def cases(shared_dir, group):
    listing = (shared_dir / "toml-test" / "files-toml-1.1.0").read_text(encoding="utf-8").split()
    return [name for name in listing if name.startswith(group + "/") and name.endswith(".toml")]


def test_valid_cases(shared_dir, capsys):
    root = shared_dir / "toml-test"
    names = cases(shared_dir, "valid")
    failures = []
    for name in names:
        text = (root / name).read_bytes().decode("utf-8")
        expected = untag(json.loads((root / name).with_suffix(".json").read_text(encoding="utf-8")))
        try:
            result = _vexil.deserialize(text)
        except _vexil.TomlParsingError as error:
            failures.append(f"{name}: {error}")
            continue
        if (found := mismatch(result, expected)) is not None:
            failures.append(f"{name}: {found}")
    with capsys.disabled():
        print(f"\ntoml-test valid through deserialize: {len(names) - len(failures)} of {len(names)} equal")
    assert len(names) == 220
    assert not failures, "\n".join(failures)


_POSITION = re.compile(r" at line (\d+) column (\d+)\Z")


def test_invalid_cases(shared_dir, capsys):
    root = shared_dir / "toml-test"
    names = cases(shared_dir, "invalid")
    not_utf8, failures, rejected = [], [], 0
    for name in names:
        data = (root / name).read_bytes()
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            not_utf8.append(name)
            continue
        try:
            result = _vexil.deserialize(text)
        except _vexil.TomlParsingError as error:
            message = str(error)
            match = _POSITION.search(message)
            lines = text.split("\n")
            if error.args != (message,) or match is None:
                failures.append(f"{name}: no position in {message!r}")
                continue
            line, column = int(match.group(1)), int(match.group(2))
            if not (1 <= line <= len(lines) and 1 <= column <= len(lines[line - 1]) + 1):
                failures.append(f"{name}: line {line} column {column} outside the document ({message!r})")
                continue
            rejected += 1
        else:
            failures.append(f"{name}: accepted as {result!r}")
    with capsys.disabled():
        print(f"\ntoml-test invalid through deserialize: {rejected} of {len(names) - len(not_utf8)} decodable cases "
              f"rejected with a position; {len(not_utf8)} not UTF-8 (covered by the C++ conformance test)")
    assert len(names) == 492
    assert set(not_utf8) == NOT_UTF8
    assert not failures, "\n".join(failures)
