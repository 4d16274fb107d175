"""Deep documents: everything the reader accepts can be written back, and deep
or re-entrant reading and writing end in a clean error on small thread
stacks instead of overflowing the C stack."""

import os
import subprocess
import sys

import pytest

from vexil import TomlParsingError, TomlSerializationError, dumps, loads
from vexil._vexil import deserialize, serialize, serialize_pretty

LIMIT = 127
READ_ERROR = f"nesting too deep: more than {LIMIT} levels of arrays and tables"


def keys(n):
    return ".".join(["k"] * n)


# Documents `levels` deep, in each way of nesting: arrays, inline tables,
# header paths, dotted keys, arrays of tables, and a mix.
SHAPES = {
    "arrays": lambda n: "a = " + "[" * n + "]" * n,
    "inline tables": lambda n: "a = " + "{b = " * n + "1" + "}" * n,
    "header": lambda n: f"[{keys(n)}]\nx = 1\n",
    "dotted keys": lambda n: f"{keys(n)} = []\n",
    "array of tables": lambda n: f"[{keys(n - 1)}]\n[[{keys(n)}]]\nx = 1\n",
    "arrays of tables": lambda n: "".join(f"[[{keys(i)}]]\n" for i in range(1, n + 1)),
    "mixed": lambda n: "a = " + "[{b = " * (n // 2) + "[1]" * (n % 2) + "}]" * (n // 2),
}


@pytest.mark.parametrize("shape", SHAPES)
def test_deepest_accepted_documents_are_written_back(shape):
    text = SHAPES[shape](LIMIT)
    value = deserialize(text)
    for write in (serialize, serialize_pretty):
        assert deserialize(write(value)) == value
    assert loads(dumps(value)) == value


@pytest.mark.parametrize("shape", SHAPES)
def test_one_level_more_is_refused_naming_the_limit(shape):
    with pytest.raises(TomlParsingError) as info:
        loads(SHAPES[shape](LIMIT + 1))
    assert info.value.msg == READ_ERROR


def nested_tables(depth, array):
    value = {"x": 1}
    for _ in range(depth - 1):
        value = {"k": [value] if array else value}
    return value


@pytest.mark.parametrize("array", [False, True])
def test_deepest_written_documents_are_read_back(array):
    # 128 levels of tables, the writer's limit, nested directly or each in an
    # array of tables (no level of its own, in the writer as in the reader).
    obj = nested_tables(128, array)
    for write in (serialize, serialize_pretty):
        assert deserialize(write(obj)) == obj
    with pytest.raises(TomlSerializationError, match="the limit is 128 levels"):
        serialize(nested_tables(129, array))


def test_the_issues_reproduction():
    with pytest.raises(TomlParsingError, match=READ_ERROR):
        dumps(loads("a = " + "[" * 128 + "]" * 128))
    assert dumps(loads("a = " + "[" * 127 + "]" * 127)) == "a = " + "[" * 127 + "]" * 127 + "\n"


# Run apart, on a thread with a small stack: an overflow kills the process.
SMALL_STACK = r"""
import datetime as dt
import sys
import threading
import vexil
from vexil._vexil import deserialize, serialize, serialize_pretty

LIMIT = 127
DEEP = [
    "a = " + "[" * LIMIT + "]" * LIMIT,
    "a = " + "{b = " * LIMIT + "1" + "}" * LIMIT,
    "[" + ".".join(["k"] * LIMIT) + "]\nx = 1\n",
]


def nested_list(depth):
    value = 1
    for _ in range(depth):
        value = [value]
    return value


def nested_dict(depth):
    value = {"a": 1}
    for _ in range(depth - 1):
        value = {"t": value}
    return value


def deepest():
    # The deepest documents and objects each way, read and written.
    for text in DEEP:
        value = deserialize(text)
        assert deserialize(serialize_pretty(value)) == value
    assert serialize(nested_list(128)) == "[" * 128 + "1" + "]" * 128
    for obj in [{"v": nested_list(127)}, nested_dict(128), {"a": [1, nested_dict(126)]}, {"a": [nested_dict(127)]}]:
        assert deserialize(serialize(obj)) == obj
    return "ok"


def reenter(read, depth, write=serialize):
    # A utcoffset that (after reading a deep document, with `read`) writes
    # the document it belongs to again: the chain must end in an error.
    class Zone(dt.tzinfo):
        def utcoffset(self, when):
            if read:
                deserialize(DEEP[1])
            write(root)

    root = {"a": [dt.datetime(2000, 1, 1, tzinfo=Zone())]}
    for _ in range(depth):
        root = {"t": root}
    try:
        write(root)
    except Exception as error:
        text = str(error)
        named = "RecursionError: " in text or "nesting too deep for this thread's C stack" in text
        return f"{type(error).__name__} {named}"
    return "no error"


def reread():
    # A parse_float that reads a deep document with itself as parse_float.
    def parse_float(text):
        return vexil.loads("a = 1.5\nb = " + DEEP[0][4:].replace("[]", "[2.5]"), parse_float=parse_float)
    try:
        vexil.loads("x = 0.5", parse_float=parse_float)
    except Exception as error:
        text = str(error)
        named = "RecursionError" in text or "nesting too deep for this thread's C stack" in text
        return f"{type(error).__name__} {named}"
    return "no error"


results = []
def run():
    results.append(deepest())
    results.append(reenter(False, 0))
    results.append(reenter(False, 126))
    results.append(reenter(True, 0))
    results.append(reenter(True, 120))
    # The package's writer with options, and its reader calling parse_float.
    results.append(reenter(False, 0, lambda obj: vexil.dumps(obj, sort_keys=True)))
    results.append(reenter(True, 60, vexil.dumps))
    results.append(reread())


threading.stack_size(int(sys.argv[1]))
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(*results, sep="\n")
"""


# AddressSanitizer (CI runs the suite once under it) pads every frame with
# red zones; the stacks grow with it so the deepest documents still fit.
SANITIZED = 4 if "libasan" in os.environ.get("LD_PRELOAD", "") else 1


@pytest.mark.parametrize("stack_kib", [256, 512])
def test_small_thread_stacks_end_in_clean_errors(stack_kib):
    result = subprocess.run([sys.executable, "-c", SMALL_STACK, str(stack_kib * 1024 * SANITIZED)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    expected = ["ok"] + ["TomlSerializationError True"] * 6 + ["TomlParsingError True", ""]
    assert result.stdout.split("\n") == expected, result.stderr[-2000:]
