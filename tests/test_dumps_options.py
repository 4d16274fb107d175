"""vexil.dumps/dump options (multiline_strings, indent, sort_keys, default),
the types the package writer takes beyond the exact built-ins, and the
bytes output, with tomli_w as the oracle where it has the same option."""

import collections
import dataclasses
import datetime as dt
import decimal
import enum
import io
import tomllib
import types

import pytest
import tomli_w

import vexil
from vexil import _native, _vexil
from conftest import blocks_growth


# --- multiline_strings and indent, as tomli_w has them -----------------------------

TEXTS = ["plain", "one\ntwo", "tab\there", 'say "hi"\nbye', "C:\\dir\nD:\\", "a'''b\n", 'q"""\n', "cr\r\nlf\n", "\x1b[0m"]


@pytest.mark.parametrize("text", TEXTS)
@pytest.mark.parametrize("multiline", [False, True])
def test_strings_read_back_and_follow_multiline_strings(text, multiline):
    out = vexil.dumps({"s": text}, multiline_strings=multiline)
    assert tomllib.loads(out) == {"s": text}
    if not multiline:
        # Like tomli_w: never a multi-line form, line feeds escaped.
        assert out.count("\n") == 1 and not out.startswith(('s = """', "s = '''"))
        assert tomllib.loads(tomli_w.dumps({"s": text})) == {"s": text}


@pytest.mark.parametrize(
    "text, expected",
    [
        ("one\ntwo", 's = "one\\ntwo"\n'),
        ('say "hi"', "s = 'say \"hi\"'\n"),
        ("it's\n", 's = "it\'s\\n"\n'),
    ],
)
def test_single_line_forms(text, expected):
    assert vexil.dumps({"s": text}, multiline_strings=False) == expected


def test_multiline_strings_is_on_by_default():
    # vexil.dumps has always written line feeds as multi-line strings, as
    # serialize does; tomli_w's one-line form is asked for explicitly.
    assert vexil.dumps({"s": "one\ntwo"}) == _vexil.serialize({"s": "one\ntwo"})


def test_multiline_strings_true_is_the_core_writers_form():
    doc = {"s": "one\ntwo", "t": 'a\'b"c'}
    assert vexil.dumps(doc, multiline_strings=True) == _vexil.serialize(doc)
    assert tomli_w.dumps({"s": "one\ntwo"}, multiline_strings=True) == vexil.dumps({"s": "one\ntwo"}, multiline_strings=True)


@pytest.mark.parametrize("indent", [0, 1, 2, 4, 8])
@pytest.mark.parametrize(
    "value",
    [[1, 2, [3, 4]], [[1, [2, 3]], 4], [[1, 2], [3, 4]], [{"a": 1}, 2], [1, "two", [3.5, [True, False]]]],
)
def test_pretty_arrays_indent_like_tomli_w(indent, value):
    assert vexil.dumps({"a": value}, pretty=True, indent=indent) == tomli_w.dumps({"a": value}, indent=indent)


def test_indent_only_applies_to_pretty_arrays():
    doc = {"a": [1, [2, 3]], "t": {"b": [4, 5]}}
    assert vexil.dumps(doc, indent=2) == vexil.dumps(doc)
    assert vexil.dumps({"a": [1]}, pretty=True, indent=2) == "a = [1]\n"
    assert vexil.dumps(doc, pretty=True) == "a = [\n    1,\n    [\n        2,\n        3,\n    ],\n]\n\n[t]\nb = [\n    4,\n    5,\n]\n"


@pytest.mark.parametrize(
    "indent, error",
    [(-1, ValueError), (1025, ValueError), (2**70, OverflowError), (1.5, TypeError), ("2", TypeError), (True, TypeError)],
)
def test_bad_indent(indent, error):
    with pytest.raises(error, match="indent"):
        vexil.dumps({"a": [1, 2]}, indent=indent)


# --- sort_keys ----------------------------------------------------------------------


def test_sort_keys_orders_each_group_and_reads_back():
    doc = {"z": 1, "é": 2, "a": [1], "m": {"y": 1, "b": 2}, "B": "x", "c": [{"k": 2, "j": 1}], "A": {}}
    out = vexil.dumps(doc, sort_keys=True)
    assert out == (
        'B = "x"\nz = 1\n"é" = 2\na = [1]\n\n[[c]]\nj = 1\nk = 2\n\n[A]\n\n[m]\nb = 2\ny = 1\n'
    )
    assert tomllib.loads(out) == doc
    assert vexil.dumps(doc) != out


def test_sort_keys_in_inline_tables_and_with_odd_keys():
    doc = {"arr": [{"b": 1, "a": 2}], "k": {True: 1, None: 2, "a": 3}}
    assert vexil.dumps(doc, sort_keys=True, none_value="nil") == (
        "[[arr]]\na = 2\nb = 1\n\n[k]\na = 3\nnil = 2\ntrue = 1\n"
    )
    assert vexil.dumps({"x": [1, {"b": 1, "a": 2}]}, sort_keys=True) == "x = [1, { a = 2, b = 1 }]\n"


# --- Types beyond the exact built-ins -------------------------------------------------


class Color(enum.IntEnum):
    RED = 1


class Name(enum.StrEnum):
    TOM = "tom"


class Celsius(float):
    pass


class Words(list):
    pass


Point = collections.namedtuple("Point", "x y")


class Stamp(dt.datetime):
    pass


class ReadOnly(collections.abc.Mapping):
    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


@pytest.mark.parametrize(
    "value, text",
    [
        (Color.RED, "1"),
        (Name.TOM, '"tom"'),
        (Celsius(21.5), "21.5"),
        (Words(["a", "b"]), '["a", "b"]'),
        (Point(1, 2), "[1, 2]"),
        (Stamp(2024, 1, 5, 12, 30), "2024-01-05T12:30:00"),
        (2**128 - 1, str(2**128 - 1)),
        (decimal.Decimal("1.10"), "1.10"),
        (decimal.Decimal("3"), "3.0"),
        (decimal.Decimal("-0"), "-0.0"),
        (decimal.Decimal("1E+5"), "1e+5"),
        (decimal.Decimal("1.5E-7"), "1.5e-7"),
        (decimal.Decimal("0E-10"), "0e-10"),
        (decimal.Decimal("NaN"), "nan"),
        (decimal.Decimal("-sNaN"), "nan"),
        (decimal.Decimal("Infinity"), "inf"),
        (decimal.Decimal("-Infinity"), "-inf"),
    ],
)
def test_subclasses_and_decimals(value, text):
    out = vexil.dumps({"v": value})
    assert out == f"v = {text}\n"
    back = vexil.loads(out, parse_float=decimal.Decimal)["v"]
    if isinstance(value, decimal.Decimal) and value.is_finite():
        assert back == value
    elif isinstance(value, tuple):
        assert back == list(value)
    elif not isinstance(value, decimal.Decimal):
        assert back == value


def test_mappings_are_tables():
    ordered = collections.OrderedDict([("b", 1), ("a", 2)])
    ordered.move_to_end("b")
    doc = collections.OrderedDict(
        top=1,
        ordered=ordered,
        proxy=types.MappingProxyType({"x": [1, 2]}),
        custom=ReadOnly({"y": "z"}),
        default=collections.defaultdict(int, w=3),
        tables=[ReadOnly({"n": 1}), collections.OrderedDict(n=2)],
        inline=[1, {"i": ReadOnly({"j": 1})}],
    )
    out = vexil.dumps(doc)
    assert out == (
        "top = 1\ninline = [1, { i = { j = 1 } }]\n\n[[tables]]\nn = 1\n\n[[tables]]\nn = 2\n\n"
        "[ordered]\na = 2\nb = 1\n\n[proxy]\nx = [1, 2]\n\n[custom]\ny = \"z\"\n\n[default]\nw = 3\n"
    )
    assert vexil.dumps(types.MappingProxyType({"a": 1})) == "a = 1\n"


@pytest.mark.parametrize("obj", [[1, 2], (1,), 42, "text", None, b"x", Point(1, 2)])
def test_a_document_must_be_a_mapping(obj):
    with pytest.raises(TypeError, match="needs a mapping"):
        vexil.dumps(obj)
    with pytest.raises(TypeError, match="needs a mapping"):
        vexil.dump(obj, io.StringIO())


def test_exact_types_write_what_the_core_writes():
    doc = {
        "s": "x", "i": -5, "f": 0.1, "b": True, "d": dt.date(2024, 1, 5), "t": dt.time(1, 2, 3),
        "when": dt.datetime(2024, 1, 5, 1, 2, tzinfo=dt.timezone.utc), "raw": b"\x00\xff", "arr": [1, [2]],
        "tab": {"x": [{"y": 1}]}, "tup": (1, 2), "n": None,
    }
    assert vexil.dumps(doc) == _vexil.serialize(doc)
    assert vexil.dumps(doc, none_value="nil") == _vexil.serialize(doc, "nil")


# --- default ------------------------------------------------------------------------


@dataclasses.dataclass
class Server:
    host: str
    port: int


class Opaque:
    def __repr__(self):
        return "Opaque()"


def test_default_result_is_written_in_place():
    doc = {"server": Server("a", 80), "tags": {"x", "y"} and frozenset({"x"}), "list": [Server("b", 1)]}
    out = vexil.dumps(doc, default=lambda o: dataclasses.asdict(o) if dataclasses.is_dataclass(o) else sorted(o))
    assert tomllib.loads(out) == {"server": {"host": "a", "port": 80}, "tags": ["x"], "list": [{"host": "b", "port": 1}]}


def test_default_is_not_called_for_writable_values():
    def refuse(obj):
        raise AssertionError(obj)

    doc = {"a": 1, "b": [1.5, "x", {"c": dt.date(2024, 1, 1)}], "e": Color.RED, "d": decimal.Decimal("1")}
    assert vexil.dumps(doc, default=refuse) == vexil.dumps(doc)


def test_default_makes_a_document_of_a_top_level_object():
    assert vexil.dumps(Server("h", 1), default=dataclasses.asdict) == 'host = "h"\nport = 1\n'
    with pytest.raises(TypeError, match="needs a mapping, not 'Server'"):
        vexil.dumps(Server("h", 1), default=lambda o: [o.host])


def test_default_returning_something_unwritable_is_an_error_not_a_loop():
    calls = []

    def same(obj):
        calls.append(obj)
        return obj

    with pytest.raises(vexil.TomlSerializationError) as info:
        vexil.dumps({"a": Opaque()}, default=same)
    assert str(info.value) == "Opaque() (Opaque), returned by default for Opaque() (Opaque), is not serializable to TOML"
    assert len(calls) == 1
    # One that wraps the object ever deeper ends at the nesting limit.
    with pytest.raises(vexil.TomlSerializationError, match="nesting too deep"):
        vexil.dumps({"a": Opaque()}, default=lambda o: {"again": o})


def test_an_exception_from_default_propagates_unchanged():
    raised = TypeError("Object of type Opaque is not TOML serializable")

    def default(obj):
        raise raised

    with pytest.raises(TypeError) as info:
        vexil.dumps({"a": [1, {"b": Opaque()}]}, default=default)
    assert info.value is raised


def test_without_default_the_object_is_named():
    with pytest.raises(vexil.TomlSerializationError, match=r"^Opaque\(\) \(Opaque\) is not serializable to TOML$"):
        vexil.dumps({"a": Opaque()})
    with pytest.raises(TypeError, match="default must be callable"):
        vexil.dumps({"a": 1}, default=1)


# --- Bytes output and dump -------------------------------------------------------------


def test_as_bytes_is_the_utf8_of_the_text():
    doc = {"title": "café ☕ 𝄞", "n": [1, 2], "t": {"s": "x\ny"}}
    for kwargs in [{}, {"pretty": True, "multiline_strings": True}]:
        data = _native.dumps(doc, as_bytes=True, **kwargs)
        assert type(data) is bytes and data == _native.dumps(doc, **kwargs).encode()


def test_dump_writes_bytes_to_binary_targets(tmp_path):
    class BytesOnly(io.RawIOBase):
        def __init__(self):
            self.parts = []

        def writable(self):
            return True

        def write(self, data):
            assert type(data) is bytes
            self.parts.append(data)
            return len(data)

    doc = {"a": "é", "b": Decimal_like()}
    sink = BytesOnly()
    vexil.dump(doc, sink, sort_keys=True, default=str)
    assert b"".join(sink.parts) == vexil.dumps(doc, sort_keys=True, default=str).encode()
    path = tmp_path / "doc.toml"
    vexil.dump(doc, path, default=str, pretty=True)
    assert path.read_bytes() == vexil.dumps(doc, default=str, pretty=True).encode()


class Decimal_like:
    def __str__(self):
        return "1.5"


# --- No leaks on the new paths ---------------------------------------------------------


def test_writing_options_leak_nothing():
    doc = collections.OrderedDict(
        b=Color.RED, a=[Point(1, 2), {"x": decimal.Decimal("1.5")}], m=types.MappingProxyType({"k": [1, 2]}),
        o=Opaque(), t=[ReadOnly({"n": 1})], s="one\ntwo",
    )

    def raising(obj):
        raise ValueError("no")

    def call():
        _native.dumps(doc, default=repr, sort_keys=True, pretty=True, indent=2)
        _native.dumps(doc, default=repr, as_bytes=True, multiline_strings=True)
        for obj, kwargs in [
            (doc, {}),
            (doc, {"default": raising}),
            (doc, {"default": lambda o: o}),
            ({"a": 2**200}, {}),
            ([1], {}),
            (Server("a", 1), {"default": dataclasses.asdict}),
            ({"a": 1}, {"indent": -1}),
        ]:
            try:
                _native.dumps(obj, **kwargs)
            except (ValueError, TypeError):
                pass

    # The caches the exceptions and ABC checks fill take a few hundred calls
    # to settle; a leak grows with every call after that.
    assert blocks_growth(call, 300) < 100
