"""The four TOML date-time kinds read as datetime, date and time objects."""

import datetime as dt

import pytest

from vexil import _vexil

deserialize = _vexil.deserialize


def read(literal):
    return deserialize(f"v = {literal}")["v"]


def minutes(value):
    return value.tzinfo.seconds() // 60


@pytest.mark.parametrize(
    "literal, expected, offset",
    [
        ("1979-05-27T07:32:00Z", dt.datetime(1979, 5, 27, 7, 32), 0),
        ("1979-05-27t07:32:00z", dt.datetime(1979, 5, 27, 7, 32), 0),
        ("1979-05-27 07:32:00Z", dt.datetime(1979, 5, 27, 7, 32), 0),
        ("1979-05-27T00:32:00.999999-07:00", dt.datetime(1979, 5, 27, 0, 32, 0, 999999), -420),
        ("1979-05-27T07:32:00+05:30", dt.datetime(1979, 5, 27, 7, 32), 330),
        ("1979-05-27T07:32:00-00:00", dt.datetime(1979, 5, 27, 7, 32), 0),
        ("1979-05-27T07:32:00+00:00", dt.datetime(1979, 5, 27, 7, 32), 0),
        ("1979-05-27T07:32:00+23:59", dt.datetime(1979, 5, 27, 7, 32), 1439),
        ("1979-05-27T07:32:00-23:59", dt.datetime(1979, 5, 27, 7, 32), -1439),
        ("1979-05-27T07:32Z", dt.datetime(1979, 5, 27, 7, 32), 0),
        ("9999-12-31T23:59:59.9999999+01:00", dt.datetime(9999, 12, 31, 23, 59, 59, 999999), 60),
    ],
)
def test_offset_datetime(literal, expected, offset):
    value = read(literal)
    assert type(value) is dt.datetime
    assert value.replace(tzinfo=None) == expected
    assert type(value.tzinfo).__name__ == "TzInfo"
    assert minutes(value) == offset
    assert value.utcoffset() == dt.timedelta(minutes=offset)
    assert value.fold == 0
    if offset == 0:
        assert value.tzname() == "UTC"


@pytest.mark.parametrize(
    "literal, expected",
    [
        ("1979-05-27T07:32:00", dt.datetime(1979, 5, 27, 7, 32)),
        ("1979-05-27T07:32", dt.datetime(1979, 5, 27, 7, 32)),
        ("1979-05-27T00:32:00.5", dt.datetime(1979, 5, 27, 0, 32, 0, 500000)),
        ("0001-01-01T00:00:00", dt.datetime(1, 1, 1)),
        ("1979-05-27", dt.date(1979, 5, 27)),
        ("2024-02-29", dt.date(2024, 2, 29)),
        ("07:32:00", dt.time(7, 32)),
        ("07:32", dt.time(7, 32)),
        ("23:59:59.1234567", dt.time(23, 59, 59, 123456)),
        ("00:00:00.9999999", dt.time(0, 0, 0, 999999)),
        ("00:00:00.0000009", dt.time(0, 0, 0, 0)),
        ("00:00:00.123", dt.time(0, 0, 0, 123000)),
    ],
)
def test_local_kinds(literal, expected):
    value = read(literal)
    assert type(value) is type(expected)
    assert value == expected
    if not isinstance(value, dt.date) or isinstance(value, dt.datetime):
        assert value.tzinfo is None
        assert value.fold == 0


def test_each_offset_datetime_gets_its_own_tzinfo():
    result = deserialize("a = 1979-05-27T07:32:00Z\nb = 1979-05-27T07:32:00Z\nc = [1979-05-27T07:32:00+01:00]")
    zones = [result["a"].tzinfo, result["b"].tzinfo, result["c"][0].tzinfo]
    assert len({id(z) for z in zones}) == 3
    assert len({type(z) for z in zones}) == 1


def test_datetimes_never_become_none():
    text = "a = 1979-05-27T07:32:00Z\nb = 1979-05-27\nc = 07:32:00"
    assert None not in deserialize(text, "1979-05-27").values()
    assert None not in deserialize(text, "07:32:00").values()


def python_error(make):
    with pytest.raises(ValueError) as info:
        make()
    return f"ValueError: {info.value}"


@pytest.mark.parametrize(
    "text, make, line, column",
    [
        ("d = 0000-01-01", lambda: dt.date(0, 1, 1), 1, 5),
        ("x = 1\nd = 0000-12-31T00:00:00", lambda: dt.datetime(0, 12, 31), 2, 5),
        ("d = [0000-01-01T00:00:00Z]", lambda: dt.datetime(0, 1, 1), 1, 6),
        ("t = 23:59:60", lambda: dt.time(23, 59, 60), 1, 5),
        ("[a]\nb = {c = 1990-12-31T23:59:60Z}", lambda: dt.datetime(1990, 12, 31, 23, 59, 60), 2, 10),
    ],
)
def test_values_python_cannot_hold(text, make, line, column):
    with pytest.raises(_vexil.TomlParsingError) as info:
        deserialize(text)
    assert str(info.value) == f"{python_error(make)} at line {line} column {column}"
    assert info.value.__context__ is None
