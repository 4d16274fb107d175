"""Round trips: what serialize writes reads back as the same data, through
vexil's own deserialize and through tomli (an independent TOML 1.1.0 reader),
for every valid toml-test document, the benchmark documents and generated
objects."""

import datetime as dt
import functools
import math
import tomllib

import pytest
import tomli
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import SHARED
from vexil._vexil import deserialize, serialize, serialize_pretty

WRITERS = [serialize, serialize_pretty]


def same(a, b):
    """Deep equality that tells bool from int, compares NaN as NaN and -0.0
    apart from 0.0, and requires aware date-times to keep their offset. Key
    order is not compared: the writer groups a table's entries."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, (dt.datetime, dt.time)):
        return a == b and (a.tzinfo is None) == (b.tzinfo is None) and a.utcoffset() == b.utcoffset()
    return a == b


def check_round_trip(data, expected, none_value=None, tomli_expected=None):
    for write in WRITERS:
        text = write(data, none_value=none_value)
        back = deserialize(text, none_value=none_value)
        assert same(back, expected), (write.__name__, text)
        assert same(tomli.loads(text), expected if tomli_expected is None else tomli_expected), (write.__name__, text)


# --- toml-test and the benchmark documents --------------------------------------------


def valid_cases():
    listing = SHARED / "toml-test" / "files-toml-1.1.0"
    if not listing.is_file():
        return []
    return [line for line in listing.read_text().split() if line.startswith("valid/") and line.endswith(".toml")]


VALID = valid_cases()


def read_case(case):
    with open(SHARED / "toml-test" / case, encoding="utf-8", newline="") as f:
        return f.read()


@pytest.mark.parametrize("case", VALID)
def test_toml_test_valid_round_trip(case, shared_dir):
    data = deserialize(read_case(case))
    check_round_trip(data, data)


@pytest.mark.parametrize("case", VALID)
def test_toml_test_valid_through_tomli(case, shared_dir):
    # The same documents read by tomli, whose aware date-times carry
    # datetime.timezone, so offsets come through utcoffset().
    text = read_case(case)
    if text.startswith("\ufeff"):
        pytest.skip("tomli does not accept a byte order mark")
    data = tomli.loads(text)
    for write in WRITERS:
        assert same(tomli.loads(write(data)), data)


def test_toml_test_listing_is_complete(shared_dir):
    assert len(VALID) == 220


@pytest.mark.parametrize("name", ["data", "pyproject", "poetry.lock", "twitter", "citm_catalog"])
def test_benchmark_documents(name, shared_dir):
    with open(shared_dir / "bench" / f"{name}.toml", "rb") as f:
        data = tomllib.load(f)
    for write in WRITERS:
        assert same(tomllib.loads(write(data)), data)


# --- Generated objects ------------------------------------------------------------------

# Text without surrogates (which have no UTF-8 form) or private-use characters
# (kept out so that NONE_VALUE below can never be drawn), plus the pieces that
# pick string and key forms.
CHARS = st.characters(blacklist_categories=("Cs", "Co"))
AWKWARD = st.sampled_from(
    ["", " ", ".", '"', "'", "\\", "\n", "\r", "\r\n", "\t", "\x00", "\x08", "\x7f", "\x1b", '"""', "'''",
     '""', "''", "é", "𝄞", "true", "a.b", "#", "=", "[", "]", "{", "-_"]
)
TEXT = st.lists(st.one_of(st.text(CHARS, max_size=6), AWKWARD), max_size=5).map("".join)

NONE_VALUE = "\ue000nil"


@functools.cache
def tzinfo_class():
    return type(deserialize("x = 2000-01-01T00:00:00Z")["x"].tzinfo)


MINUTES = st.integers(-1439, 1439)
ZONES = st.one_of(
    st.none(),
    st.just(dt.timezone.utc),
    MINUTES.map(lambda m: dt.timezone(dt.timedelta(minutes=m))),
    MINUTES.map(lambda m: tzinfo_class()(m)),
)
INTEGERS = st.one_of(
    st.integers(-(2**63), 2**63 - 1),
    st.integers(-(2**127), 2**127 - 1),
    st.sampled_from([2**63, 2**64 - 1, 2**64, -(2**63) - 1, 2**127 - 1, -(2**127)]),
)
SCALARS = st.one_of(
    st.booleans(),
    INTEGERS,
    st.floats(),
    TEXT,
    st.datetimes(timezones=ZONES),
    st.dates(),
    st.times(timezones=ZONES),
    st.binary(max_size=6),
    st.binary(max_size=6).map(bytearray),
    st.none(),
)


def containers(children, keys):
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=3).map(tuple),
        st.lists(st.dictionaries(keys, children, max_size=3), min_size=1, max_size=3),  # arrays of tables
        st.dictionaries(keys, children, max_size=4),
    )


def documents(keys):
    values = st.recursive(SCALARS, lambda children: containers(children, keys), max_leaves=24)
    return st.dictionaries(keys, values, max_size=6)


DROP = object()


def normalise(obj, none=DROP):
    """What reading back gives for obj: tuples and bytes become lists, an
    aware time loses its offset, a None key becomes NONE_VALUE and a None
    value becomes `none`; with DROP (no none_value) entries and elements
    that are None are left out instead."""
    if isinstance(obj, dict):
        out = {}
        for key, value in obj.items():
            if none is DROP and (key is None or value is None):
                continue
            out[NONE_VALUE if key is None else key] = normalise(value, none)
        return out
    if isinstance(obj, (list, tuple)):
        return [normalise(item, none) for item in obj if not (item is None and none is DROP)]
    if obj is None:
        return none
    if isinstance(obj, (bytes, bytearray)):
        return list(obj)
    if isinstance(obj, dt.time):
        return obj.replace(tzinfo=None)
    return obj


SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(documents(TEXT))
def test_generated_documents(doc):
    check_round_trip(doc, normalise(doc))


@SETTINGS
@given(documents(st.one_of(TEXT, st.none())))
def test_generated_documents_with_none_value(doc):
    # Read back with the same none_value, None values come back as None;
    # tomli sees the string. None keys come back as the none_value text.
    check_round_trip(doc, normalise(doc, None), none_value=NONE_VALUE, tomli_expected=normalise(doc, NONE_VALUE))


@SETTINGS
@given(st.one_of(SCALARS, st.lists(SCALARS, max_size=4), st.lists(SCALARS, max_size=4).map(tuple)))
def test_generated_bare_values(value):
    # A value that is not a dict is written bare, the same in both layouts.
    text = serialize(value)
    assert serialize_pretty(value) == text
    expected = normalise(value, "null") if value is None else normalise(value)
    assert same(tomli.loads(f"v = {text}")["v"], expected)
    assert same(deserialize(f"v = {text}")["v"], expected)
