"""Reading leaks nothing: sys.getallocatedblocks() stays flat over many
deserialize calls, successful and failing ones."""

import datetime as dt
import sys

from vexil import _vexil
from conftest import blocks_growth


def attempt(text, none_value=None):
    try:
        _vexil.deserialize(text, none_value)
    except (_vexil.TomlParsingError, TypeError, UnicodeEncodeError):
        pass


def test_bench_documents(shared_dir):
    texts = [path.read_text(encoding="utf-8") for path in sorted((shared_dir / "bench").glob("*.toml"))]
    assert len(texts) >= 5

    def call():
        for text in texts:
            _vexil.deserialize(text)
            _vexil.deserialize(text, "")

    assert blocks_growth(call, 20) < 100


def test_invalid_conformance_cases(shared_dir):
    root = shared_dir / "toml-test"
    texts = []
    for name in (root / "files-toml-1.1.0").read_text(encoding="utf-8").split():
        if name.startswith("invalid/"):
            try:
                texts.append((root / name).read_bytes().decode("utf-8"))
            except UnicodeDecodeError:
                pass
    assert len(texts) > 400

    def call():
        for text in texts:
            attempt(text)

    assert blocks_growth(call, 20) < 100


# Failures while building, after objects have been made: every partial dict
# and list must be released.
BUILD_FAILURES = [
    "a = 1\nb = 'x'\nc = [1, 2, {d = [3, 99999999999999999999999999999999999999999]}]",
    "a = [[1, 2], [3, 1e400]]",
    "[t]\nx = 1979-05-27T07:32:00Z\ny = [1979-05-27T07:32:00+01:00, 0000-01-01T00:00:00Z]",
    "s = 'text'\nt = 23:59:60",
    "[[a]]\nb = 1\n[[a]]\nb = 0000-01-01",
]


def test_failing_builds_and_arguments():
    def call():
        for text in BUILD_FAILURES:
            attempt(text)
            attempt(text, "x")
        attempt(b"a = 1")
        attempt("a = 1", 0)
        attempt("a = '\ud800'")
        attempt("a = 1", "\udfff")

    assert blocks_growth(call, 500) < 100


def test_tzinfo():
    TzInfo = type(_vexil.deserialize("a = 1979-05-27T07:32:00Z")["a"].tzinfo)
    moment = dt.datetime(2000, 1, 1)

    def call():
        tz = TzInfo(-90)
        str(tz), repr(tz), tz.tzname(None), tz.utcoffset(moment), tz.seconds(), tz.dst(None)
        for bad in (40000, 2**70, "x"):
            try:
                TzInfo(bad)
            except (OverflowError, TypeError):
                pass
        try:
            tz.utcoffset(None)
        except TypeError:
            pass

    assert blocks_growth(call, 5000) < 200
