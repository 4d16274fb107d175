"""Atheris harness for the whole Python round trip: whatever deserialize
accepts, serialize and serialize_pretty must write, and deserialize must read
that text back to the same data. See fuzz/README.md for how to run it."""

import datetime
import math
import os
import sys

# An extension built with -fsanitize=fuzzer-no-link (for C++ coverage, see
# fuzz/README.md) needs libFuzzer's symbols, which atheris loads in Setup():
# load them global, and import vexil only after Setup().
sys.setdlopenflags(sys.getdlopenflags() | os.RTLD_GLOBAL)
import atheris  # noqa: E402


# Integers the reader takes but the writer cannot (2**127 .. 2**128-1): the
# writer's range is signed 128 bits.
WRITER_MAX = 2**127 - 1


def same(a, b):
    """Equality that tells bool from int, NaN from everything, -0.0 from 0.0,
    and requires aware date-times to keep their offset."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        if math.isnan(a):
            return math.isnan(b)
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    if isinstance(a, datetime.datetime):
        return a == b and a.replace(tzinfo=None) == b.replace(tzinfo=None) and a.utcoffset() == b.utcoffset()
    return a == b


def writable(value):
    if isinstance(value, dict):
        return all(writable(v) for v in value.values())
    if isinstance(value, list):
        return all(writable(v) for v in value)
    return not (type(value) is int and value > WRITER_MAX)


def test_one_input(data: bytes) -> None:
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return
    try:
        document = deserialize(text)
    except TomlParsingError:
        return
    if not writable(document):
        return
    for write in (serialize, serialize_pretty):
        written = write(document)
        again = deserialize(written)
        if not same(document, again):
            raise AssertionError(f"{write.__name__} changed the data:\n{text!r}\n->\n{written!r}")
        if write(again) != written:
            raise AssertionError(f"{write.__name__} is not stable:\n{written!r}")


def load_vexil() -> None:
    global TomlParsingError, deserialize, serialize, serialize_pretty
    with atheris.instrument_imports():
        import vexil  # noqa: F401  (the package's Python code is instrumented too)
        from vexil._vexil import TomlParsingError, deserialize, serialize, serialize_pretty


def first_input(data: bytes) -> None:
    # libFuzzer is loaded once fuzzing starts: only then can an extension
    # built for coverage be imported.
    global test_entry
    load_vexil()
    test_entry = test_one_input
    test_one_input(data)


test_entry = first_input


def main() -> None:
    atheris.Setup(sys.argv, lambda data: test_entry(data))
    atheris.Fuzz()


if __name__ == "__main__":
    main()
