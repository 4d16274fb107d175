"""serialize and serialize_pretty keep no references: the interpreter's count
of allocated memory blocks stays flat over many calls, successful and failing."""

import datetime as dt
import sys
import tomllib

import pytest

from vexil._vexil import TomlSerializationError, deserialize, serialize, serialize_pretty
from conftest import blocks_growth


class RaisingRepr:
    def __repr__(self):
        raise RuntimeError("no repr")


class RaisingZone(dt.tzinfo):
    def utcoffset(self, when):
        raise ZeroDivisionError("no offset")


class SecondsZone(dt.tzinfo):
    def utcoffset(self, when):
        return dt.timedelta(seconds=30)


class Tagged(str):
    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


def self_containing():
    d = {"a": [1, 2]}
    d["self"] = d
    return d


def self_containing_list():
    items = [1]
    items.append(items)
    return {"a": items}


def tzinfo(minutes):
    return type(deserialize("x = 2000-01-01T00:00:00Z")["x"].tzinfo)(minutes)


def mixed():
    return {
        "s": ["plain", "say \"hi\"", "a'b\"c", "one\ntwo", "\x01\n", "é𝄞"],
        "n": [0, -1, 2**63, -(2**127), 2**127 - 1, 1.5, -0.0, float("nan"), 1e300, True],
        "d": [dt.datetime(2000, 1, 2, 3, 4, 5, 6), dt.date(1, 2, 3), dt.time(1, 2, 3, tzinfo=dt.timezone.utc),
              dt.datetime(2000, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=-5))),
              dt.datetime(2000, 1, 1, tzinfo=tzinfo(330))],
        "b": [b"\x00\xff", bytearray(b"abc")],
        "t": {"u": {"v": [{"w": 1}, None, {}]}, "x": (1, (2, {"y": [3]}))},
        None: "dropped",
        True: {"k": None},
        Tagged("tagged"): 1,
    }


def failing_cases():
    return [
        ({"a": {1, 2}}, None),
        ({"a": [1, RaisingRepr()]}, None),
        ({RaisingRepr(): 1}, None),
        ({1: 2}, None),
        (self_containing(), None),
        (self_containing_list(), None),
        ({"a": 2**130}, None),
        ({"a": "x\ud800"}, None),
        ({"\ud800": 1}, None),
        ({"a": dt.datetime(2000, 1, 1, tzinfo=RaisingZone())}, None),
        ({"a": [dt.datetime(2000, 1, 1, tzinfo=SecondsZone())]}, None),
        ({"a": dt.datetime(2000, 1, 1, tzinfo=tzinfo(2000))}, None),
        ({True: 1, "true": 2}, None),
        ({None: {"x": 1}, "nil": {}}, "nil"),
        ({Tagged("a"): [{"b": 1}], "a": [{"c": 2}]}, None),
    ]


@pytest.fixture(scope="module")
def benchmark_objects(shared_dir):
    objects = []
    for name in ["data", "pyproject", "poetry.lock", "twitter", "citm_catalog"]:
        with open(shared_dir / "bench" / f"{name}.toml", "rb") as f:
            objects.append(tomllib.load(f))
    return objects


def test_successful_calls_do_not_leak(benchmark_objects):
    objects = benchmark_objects + [mixed()]

    def run():
        for obj in objects:
            serialize(obj)
            serialize_pretty(obj, none_value="nil")

    # A lost reference per value would add thousands of blocks per round.
    assert blocks_growth(run, 20) < 100


def test_failing_calls_do_not_leak():
    cases = failing_cases()

    def run():
        for obj, none_value in cases:
            for write in (serialize, serialize_pretty):
                try:
                    write(obj, none_value=none_value)
                except TomlSerializationError:
                    pass
                else:
                    raise AssertionError(f"{obj!r} was written")

    assert blocks_growth(run, 500) < 100


def test_argument_errors_do_not_leak():
    def run():
        for call in (lambda: serialize(), lambda: serialize({}, 0), lambda: serialize({}, "\ud800"),
                     lambda: serialize({}, none_value="x", extra=1)):
            try:
                call()
            except (TypeError, UnicodeEncodeError):
                pass

    assert blocks_growth(run, 2000) < 100


def test_refcounts_of_written_objects_are_unchanged():
    obj = mixed()
    leaves = [obj["s"][0], obj["n"][2], obj["d"][0], obj["b"][0], obj["t"]["u"]]
    counts = [sys.getrefcount(x) for x in leaves]
    for _ in range(100):
        serialize(obj)
        try:
            serialize({"a": leaves, "b": {1, 2}})
        except TomlSerializationError:
            pass
    assert [sys.getrefcount(x) for x in leaves] == counts
