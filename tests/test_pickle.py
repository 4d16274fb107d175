"""Pickling and copying what vexil makes: documents with offset date-times
and the two exception classes, in this process, in a fresh one, and across a
process pool."""

import concurrent.futures
import copy
import pickle
import subprocess
import sys

import pytest

import vexil
from vexil import _vexil

DOCUMENT = """\
utc = 1979-05-27T07:32:00Z
west = 1979-05-27T00:32:00-07:00
india = 1979-05-27T13:02:00.999999+05:30
times = [2024-01-05T10:00:00+14:00, 2024-01-05T10:00:00-23:59]
local = 1979-05-27T07:32:00
day = 1979-05-27
[[t]]
when = 2000-01-01T00:00:00+01:00
"""


def offsets(doc):
    """Every offset of the document's date-times, in order, as seconds."""
    found = [doc["utc"], doc["west"], doc["india"], *doc["times"], doc["t"][0]["when"]]
    return [value.utcoffset().total_seconds() for value in found]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_document_with_offsets_round_trips(protocol):
    doc = vexil.loads(DOCUMENT)
    back = pickle.loads(pickle.dumps(doc, protocol=protocol))
    assert back == doc
    assert offsets(back) == offsets(doc) == [0, -25200, 19800, 50400, -86340, 3600]
    zone = back["west"].tzinfo
    assert type(zone) is type(doc["west"].tzinfo)
    assert str(zone) == "UTC-07:00" and zone.seconds() == -25200


def test_copy_and_deepcopy_keep_the_zones():
    doc = vexil.loads(DOCUMENT)
    for copied in (copy.copy(doc), copy.deepcopy(doc)):
        assert copied == doc and offsets(copied) == offsets(doc)
    zone = doc["india"].tzinfo
    assert repr(copy.deepcopy(zone)) == repr(zone) == "TzInfo(UTC+05:30)"


def test_unpickles_in_a_fresh_process_without_importing_vexil_first():
    data = pickle.dumps(vexil.loads(DOCUMENT))
    script = (
        "import pickle, sys\n"
        "doc = pickle.loads(sys.stdin.buffer.read())\n"
        "print(repr(doc['india']), doc['west'].isoformat(), type(doc['utc'].tzinfo).__name__)\n"
    )
    result = subprocess.run([sys.executable, "-c", script], input=data, capture_output=True, check=True)
    assert result.stdout.decode().split() == [
        "datetime.datetime(1979,", "5,", "27,", "13,", "2,", "0,", "999999,", "tzinfo=TzInfo(UTC+05:30))",
        "1979-05-27T00:32:00-07:00", "TzInfo",
    ]


def test_pickles_made_in_a_fresh_process_load_here():
    script = "import pickle, sys, vexil\nsys.stdout.buffer.write(pickle.dumps(vexil.loads(sys.stdin.read())))\n"
    result = subprocess.run([sys.executable, "-c", script], input=DOCUMENT.encode(), capture_output=True, check=True)
    assert pickle.loads(result.stdout) == vexil.loads(DOCUMENT)


def parse_error():
    with pytest.raises(vexil.TomlParsingError) as info:
        vexil.loads("a = 1\nb = [1,\n")
    return info.value


@pytest.mark.parametrize("make", [parse_error, lambda: vexil.TomlSerializationError("{1} (set) is not serializable")])
def test_exceptions_round_trip_with_their_attributes(make):
    exc = make()
    exc.add_note("a note")
    for back in (pickle.loads(pickle.dumps(exc)), copy.copy(exc), copy.deepcopy(exc)):
        assert type(back) is type(exc)
        assert back.args == exc.args and str(back) == str(exc)
        assert vars(back) == vars(exc)
        assert back.__notes__ == ["a note"]


def test_parse_error_keeps_its_position_through_pickle():
    back = pickle.loads(pickle.dumps(parse_error()))
    assert (back.msg, back.lineno, back.colno) == ("expected a value, found end of input", 3, 1)


def test_subclasses_pickle_as_themselves():
    exc = Subclassed("text")
    back = pickle.loads(pickle.dumps(exc))
    assert type(back) is Subclassed and back.args == ("text",)


class Subclassed(vexil.TomlParsingError):
    pass


def test_parse_error_in_a_process_pool_worker_arrives_as_itself():
    with concurrent.futures.ProcessPoolExecutor(max_workers=1) as pool:
        future = pool.submit(vexil.loads, "a = 1\na = 2\n")
        with pytest.raises(vexil.TomlParsingError) as info:
            future.result(timeout=60)
        assert pool.submit(vexil.loads, "a = 1979-05-27T07:32:00+01:00").result(timeout=60) == vexil.loads(
            "a = 1979-05-27T07:32:00+01:00"
        )
    assert isinstance(info.value, ValueError)
    assert str(info.value) == "duplicate key: `a` at line 2 column 1"
    assert (info.value.lineno, info.value.colno) == (2, 1)


def test_names_stay_as_they_are():
    # The mend goes through copyreg; the classes and the core module keep
    # their names and attributes.
    assert vexil.TomlParsingError.__module__ == vexil.TomlSerializationError.__module__ == "_vexil"
    assert not hasattr(_vexil, "TzInfo")
    assert type(vexil.loads("a = 2000-01-01T00:00:00Z")["a"].tzinfo).__module__ == "vexil._vexil"
